#include "keyboard/key_painter.h"
#include "keyboard/press_ahead.h"
#include "keyboard/vkeys.h"
#include "tests/keyboard/keyboard_shapes.h"

#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QTest>
#include <QWidget>
#include <QWindow>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

struct NoteEvent {
    std::string kind;
    int note;
    int velocity;
    bool operator==(const NoteEvent&) const = default;
};

std::ostream& operator<<(std::ostream& out, const NoteEvent& e) {
    return out << e.kind << "(" << e.note << "," << e.velocity << ")";
}

// The main window's keyboard inside a larger parent, so the pointer can leave it.
class KeyboardTest : public testing::Test {
protected:
    void SetUp() override {
        window = std::make_unique<QWidget>();
        window->resize(900, 200);
        keys = new TVKeys(window.get());
        keys->setGeometry(6, 96, 780, 75);
        keys->SetNoteWidth(15);
        keys->SetBaseOctave(1);
        keys->SetBaseNote(TKeyboardStartNote::A);
        keys->SetOnNoteOn([this](QObject* sender, int note, int velocity) {
            EXPECT_EQ(sender, keys);
            events.push_back({"on", note, velocity});
        });
        keys->SetOnNoteOff([this](QObject* sender, int note, int velocity) {
            EXPECT_EQ(sender, keys);
            events.push_back({"off", note, velocity});
        });
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        QApplication::processEvents();
    }

    QImage Released() {
        QImage canvas(780, 75, QImage::Format_RGB32);
        key_painter::PaintKeyboard(canvas, shapes::MainWindow(), {}, {});
        return canvas;
    }

    // A key of the computer keyboard as X11 reports it: by its key code, whatever the layout.
    void Key(QEvent::Type type, std::uint32_t scanCode, bool autoRepeat = false,
             Qt::KeyboardModifiers modifiers = {}) {
        QKeyEvent event(type, Qt::Key_unknown, modifiers, scanCode, 0, 0, QString(), autoRepeat);
        QApplication::sendEvent(keys, &event);
    }

    std::unique_ptr<QWidget> window;
    TVKeys* keys = nullptr;
    std::vector<NoteEvent> events;
};

TEST(TVKeysDefaults, NewControl) {
    TVKeys keys;
    EXPECT_EQ(keys.width(), 200);
    EXPECT_EQ(keys.height(), 50);
    EXPECT_EQ(keys.NoteWidth(), 10);
    EXPECT_EQ(keys.BaseOctave(), 3);
    EXPECT_EQ(keys.BaseNote(), TKeyboardStartNote::C);
    EXPECT_EQ(keys.BaseString(), "C2");
    EXPECT_TRUE(keys.VelocityMode());
    EXPECT_EQ(keys.MouseNote(), -1);
    EXPECT_EQ(keys.FirstNote(), 0); // nothing drawn yet
    EXPECT_EQ(keys.LastNote(), 0);
    keys.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&keys));
    QApplication::processEvents();
    EXPECT_EQ(keys.FirstNote(), 36);
    EXPECT_EQ(keys.LastNote(), 69);
}

TEST_F(KeyboardTest, ShiftingMovesOneWhiteKeyWithinItsLimits) {
    struct Row {
        int octave;
        TKeyboardStartNote note;
        bool lower;
        std::string result;
    };
    using N = TKeyboardStartNote;
    for (const Row& row : std::vector<Row>{{1, N::A, true, "G0"},
                                           {2, N::C, true, "B0"},
                                           {0, N::C, true, "C-1"},
                                           {2, N::B, false, "C2"},
                                           {9, N::B, false, "B8"},
                                           {9, N::A, false, "B8"}}) {
        keys->SetBaseOctave(row.octave);
        keys->SetBaseNote(row.note);
        EXPECT_EQ(row.lower ? keys->ShiftLower() : keys->ShiftHigher(), row.result);
        EXPECT_EQ(keys->BaseString(), row.result);
        // Painted at once: the visible range already follows the new base key.
        EXPECT_EQ(NoteToStr(keys->FirstNote()), row.result);
    }
}

TEST_F(KeyboardTest, BaseSettersRepaintAtOnceAndRefuseBadValues) {
    keys->SetBaseNote(TKeyboardStartNote::C);
    EXPECT_EQ(keys->FirstNote(), 12);
    keys->SetBaseOctave(-1);
    EXPECT_EQ(keys->BaseOctave(), 1);
    keys->SetBaseOctave(20);
    EXPECT_EQ(keys->BaseOctave(), 20);
    EXPECT_EQ(keys->FirstNote(), 240);
    keys->SetBaseOctave(INT_MAX); // its notes would not fit an int
    EXPECT_EQ(keys->BaseOctave(), 20);
    keys->SetBaseNote(static_cast<TKeyboardStartNote>(9));
    EXPECT_EQ(keys->BaseNote(), TKeyboardStartNote::B);
    EXPECT_EQ(keys->BaseString(), "B19");
    keys->SetBaseString("ignored");
    EXPECT_EQ(keys->BaseString(), "B19");
}

TEST_F(KeyboardTest, NoteWidthBelowOneIsRaisedToOne) {
    keys->SetNoteWidth(0);
    EXPECT_EQ(keys->NoteWidth(), 1);
    keys->SetNoteWidth(-100);
    EXPECT_EQ(keys->NoteWidth(), 1);
    keys->repaint();
    EXPECT_GT(keys->LastNote(), 700);
}

TEST_F(KeyboardTest, ShownNotesInvertOncePerChangeAndRaiseNothing) {
    const QImage released = Released();
    ASSERT_EQ(keys->Canvas(), released);
    keys->NoteOn(60, 100, false);
    const QImage pressed = keys->Canvas();
    EXPECT_NE(pressed, released);
    keys->NoteOn(60, 90, false);
    EXPECT_EQ(keys->Canvas(), pressed);
    EXPECT_TRUE(keys->IsPressed(60));
    keys->NoteOff(60, 0, false);
    EXPECT_EQ(keys->Canvas(), released);
    EXPECT_FALSE(keys->IsPressed(60));
    EXPECT_TRUE(events.empty());
}

TEST_F(KeyboardTest, PlayedNotesRaiseEventsEvenWithoutAChange) {
    keys->NoteOn(-5, 64, true);
    keys->NoteOff(70, 99, true); // not pressed: still raised, with velocity 0
    EXPECT_EQ(events, (std::vector<NoteEvent>{{"on", -5, 64}, {"off", 70, 0}}));
    EXPECT_EQ(keys->Canvas(), Released());
}

TEST_F(KeyboardTest, PressedNoteOutsideTheRangeShowsWhenItComesIntoView) {
    keys->NoteOn(19, 100, false);
    EXPECT_EQ(keys->Canvas(), Released());
    keys->ShiftLower(); // G0 = 19 becomes the lowest key
    EXPECT_EQ(keys->FirstNote(), 19);
    QImage expected(780, 75, QImage::Format_RGB32);
    KeyboardShape shape = shapes::MainWindow();
    shape.baseNote = TKeyboardStartNote::G;
    std::bitset<128> pressed;
    pressed.set(19);
    key_painter::PaintKeyboard(expected, shape, {}, pressed);
    EXPECT_EQ(keys->Canvas(), expected);
}

TEST_F(KeyboardTest, DisablingTheParentGraysTheBlackKeysAndIgnoresTheMouse) {
    window->setEnabled(false);
    EXPECT_EQ(keys->Canvas().pixel(16, 20), 0xFF808080);
    QTest::mousePress(keys, Qt::LeftButton, {}, QPoint(7, 60));
    QTest::mouseRelease(keys, Qt::LeftButton, {}, QPoint(7, 60));
    EXPECT_TRUE(events.empty());
    keys->NoteOn(22, 100, false); // incoming notes still show
    EXPECT_EQ(keys->Canvas().pixel(16, 20), 0xFF7F7F7F);
    window->setEnabled(true);
    EXPECT_EQ(keys->Canvas().pixel(16, 20), 0xFFFFFFFF);
}

TEST_F(KeyboardTest, BrushChangeRepaintsLater) {
    keys->BlackBrush().SetColor(0x0000FF); // red, as 0x00BBGGRR
    EXPECT_EQ(keys->Canvas().pixel(16, 20), 0xFF000000);
    QApplication::processEvents();
    keys->repaint();
    EXPECT_EQ(keys->Canvas().pixel(16, 20), 0xFFFF0000);
}

TEST_F(KeyboardTest, ClickPlaysAndEndsANote) {
    QTest::mousePress(keys, Qt::LeftButton, {}, QPoint(7, 60));
    EXPECT_TRUE(keys->IsPressed(21));
    EXPECT_NE(keys->Canvas(), Released());
    QTest::mouseRelease(keys, Qt::LeftButton, {}, QPoint(7, 60));
    EXPECT_EQ(events, (std::vector<NoteEvent>{{"on", 21, 101}, {"off", 21, 0}}));
    EXPECT_FALSE(keys->IsPressed(21));
    EXPECT_EQ(keys->Canvas(), Released());
    EXPECT_EQ(keys->MouseNote(), 21); // kept after the release
}

TEST_F(KeyboardTest, DragPlaysEachKeyThePointerEnters) {
    QTest::mousePress(keys, Qt::LeftButton, {}, QPoint(5, 10));
    for (int x = 6; x <= 27; ++x)
        QTest::mouseMove(keys, QPoint(x, 10));
    QTest::mouseRelease(keys, Qt::LeftButton, {}, QPoint(27, 10));
    EXPECT_EQ(events, (std::vector<NoteEvent>{{"on", 21, 16},
                                              {"off", 21, 0},
                                              {"on", 22, 28},
                                              {"off", 22, 0},
                                              {"on", 23, 16},
                                              {"off", 23, 0}}));
    EXPECT_EQ(keys->Canvas(), Released());
}

TEST_F(KeyboardTest, DragOutOfTheControlHoldsTheNoteUntilReleasedOutside) {
    // Through the window system, as a real pointer does, so Qt's mouse grab takes part.
    QWindow* screenWindow = window->windowHandle();
    const QPoint origin = keys->mapTo(window.get(), QPoint(0, 0));
    QTest::mousePress(screenWindow, Qt::LeftButton, {}, origin + QPoint(100, 60));
    QTest::mouseMove(screenWindow, origin + QPoint(100, 74)); // the bottom row counts as outside
    QTest::mouseMove(screenWindow, origin + QPoint(100, 100));
    QTest::mouseMove(screenWindow, QPoint(2, 20));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(keys->IsPressed(events[0].note));
    QTest::mouseRelease(screenWindow, Qt::LeftButton, {}, QPoint(2, 20));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], (NoteEvent{"off", events[0].note, 0}));
    EXPECT_EQ(keys->Canvas(), Released());
}

TEST_F(KeyboardTest, RightButtonRepeatsTheLastNoteOff) {
    QTest::mouseClick(keys, Qt::RightButton, {}, QPoint(7, 60));
    EXPECT_TRUE(events.empty());
    QTest::mouseClick(keys, Qt::LeftButton, {}, QPoint(7, 60));
    QTest::mouseClick(keys, Qt::RightButton, {}, QPoint(300, 60));
    EXPECT_EQ(events, (std::vector<NoteEvent>{{"on", 21, 101}, {"off", 21, 0}, {"off", 21, 0}}));
    EXPECT_EQ(keys->Canvas(), Released());
}

TEST_F(KeyboardTest, OnlyTheLeftButtonEndsTheNoteItHolds) {
    for (const Qt::MouseButton other : {Qt::RightButton, Qt::MiddleButton}) {
        events.clear();
        QTest::mousePress(keys, Qt::LeftButton, {}, QPoint(7, 60));
        QTest::mouseClick(keys, other, {}, QPoint(300, 60));
        EXPECT_TRUE(keys->IsPressed(21)) << other;
        QTest::mouseRelease(keys, Qt::LeftButton, {}, QPoint(7, 60));
        EXPECT_EQ(events, (std::vector<NoteEvent>{{"on", 21, 101}, {"off", 21, 0}})) << other;
        EXPECT_EQ(keys->Canvas(), Released());
    }
}

// Whatever takes the mouse or the view away from a held key ends its note as a release does;
// the release that may still arrive later ends nothing more.
TEST_F(KeyboardTest, HeldNoteEndsWhenTheControlLosesTheMouseOrTheView) {
    QWindow* screenWindow = window->windowHandle();
    const QPoint key = keys->mapTo(window.get(), QPoint(7, 60));
    auto* other = new QWidget(window.get());
    other->setGeometry(800, 10, 50, 50);
    other->show();
    auto* menu = new QMenu(window.get());
    menu->addAction(QStringLiteral("x"));
    struct Row {
        const char* name;
        std::function<void()> interrupt;
        std::function<void()> restore;
    };
    const std::vector<Row> rows{
        {"window hidden", [&] { window->hide(); }, [&] { window->show(); }},
        {"window minimised", [&] { window->showMinimized(); }, [&] { window->showNormal(); }},
        {"control hidden", [&] { keys->hide(); }, [&] { keys->show(); }},
        {"window disabled", [&] { window->setEnabled(false); }, [&] { window->setEnabled(true); }},
        {"grabbed by another widget",
         [&] {
             other->grabMouse();
             QTest::mouseMove(screenWindow, QPoint(820, 30));
         },
         [&] { other->releaseMouse(); }},
        {"popup opened",
         [&] {
             menu->popup(window->mapToGlobal(QPoint(300, 20)));
             QTest::mouseMove(screenWindow, key + QPoint(1, 0));
         },
         [&] { menu->hide(); }},
    };
    for (const Row& row : rows) {
        events.clear();
        QTest::mousePress(screenWindow, Qt::LeftButton, {}, key);
        row.interrupt();
        QApplication::processEvents();
        EXPECT_EQ(events, (std::vector<NoteEvent>{{"on", 21, 101}, {"off", 21, 0}})) << row.name;
        EXPECT_FALSE(keys->IsPressed(21)) << row.name;
        QTest::mouseRelease(screenWindow, Qt::LeftButton, {}, key);
        EXPECT_EQ(events.size(), 2u) << row.name;
        row.restore();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        QApplication::processEvents();
        EXPECT_EQ(keys->Canvas(), Released()) << row.name;
    }
}

// A press played as the window system reports it: the QMouseEvent that follows it sends
// nothing more, whether it comes as a press or as a double click; one that differs is a press
// of its own; one that never comes ends the note.
TEST_F(KeyboardTest, APressPlayedAheadOfQtSoundsOnce) {
    const auto qtPress = [&](QEvent::Type type, quint64 timestamp, QPoint at = QPoint(7, 60)) {
        QMouseEvent press(type, at, keys->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, {});
        press.setTimestamp(timestamp);
        QApplication::sendEvent(keys, &press);
    };
    const std::vector<NoteEvent> once{{"on", 21, 101}, {"off", 21, 0}};
    for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonDblClick}) {
        events.clear();
        keys->PlayPressAhead(7, 60, 500);
        EXPECT_EQ(events.size(), 1u);
        qtPress(type, 500);
        QTest::mouseRelease(keys, Qt::LeftButton, {}, QPoint(7, 60));
        EXPECT_EQ(events, once) << type;
    }
    events.clear();
    keys->PlayPressAhead(7, 60, 600);
    qtPress(QEvent::MouseButtonPress, 601, QPoint(300, 60));
    QTest::mouseRelease(keys, Qt::LeftButton, {}, QPoint(300, 60));
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[1], (NoteEvent{"off", 21, 0}));
    EXPECT_EQ(events[2].note, events[3].note);
    events.clear();
    keys->PlayPressAhead(7, 60, 700);
    EXPECT_TRUE(QTest::qWaitFor([&] { return events.size() == 2; }, 3000));
    EXPECT_EQ(events, once);
    EXPECT_EQ(keys->Canvas(), Released());
}

// Played ahead only where Qt will give the press to the keyboard, and only once Qt has
// delivered the press or release read before it.
TEST_F(KeyboardTest, OnlyAPressQtWillGiveTheKeyboardNextIsPlayedAhead) {
    using Kind = X11InputEvent::Kind;
    PressAhead ahead(*keys);
    const QPoint key = keys->mapTo(window.get(), QPoint(7, 60));
    const auto press = [&](std::uint32_t button, QPoint at, std::optional<X11InputEvent> before) {
        ahead.Pressed({Kind::ButtonPress, 800, button, static_cast<std::uint32_t>(window->winId()),
                       at.x() * 1.0, at.y() * 1.0, false},
                      before);
    };
    struct : QObject {
        quint64 time = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::MouseButtonRelease)
                time = static_cast<QMouseEvent*>(event)->timestamp();
            return false;
        }
    } releases;
    window->windowHandle()->installEventFilter(&releases);
    QTest::mouseClick(window->windowHandle(), Qt::RightButton, {}, QPoint(850, 20));
    const X11InputEvent delivered{Kind::ButtonRelease, static_cast<std::uint32_t>(releases.time),
                                  3};
    press(3, key, delivered);
    press(1, QPoint(2, 20), delivered);
    press(1, key, X11InputEvent{Kind::ButtonRelease, delivered.time + 1, 3});
    auto* menu = new QMenu(window.get());
    menu->addAction(QStringLiteral("x"));
    menu->popup(window->mapToGlobal(QPoint(300, 20)));
    press(1, key, delivered);
    menu->hide();
    EXPECT_TRUE(events.empty());
    press(1, key, delivered);
    EXPECT_EQ(events, (std::vector<NoteEvent>{{"on", 21, 101}}));
    QTest::mouseRelease(keys, Qt::LeftButton, {}, QPoint(7, 60));
}

TEST_F(KeyboardTest, PointAboveNote127PlaysNothing) {
    QTest::mouseClick(keys, Qt::LeftButton, {}, QPoint(7, 60));
    events.clear();
    keys->SetBaseOctave(10);
    QTest::mouseClick(keys, Qt::LeftButton, {}, QPoint(700, 60));
    QTest::mouseClick(keys, Qt::LeftButton, {}, QPoint(700, 60));
    EXPECT_EQ(events, (std::vector<NoteEvent>{}));
}

TEST_F(KeyboardTest, TopRowGivesVelocityZero) {
    QTest::mouseClick(keys, Qt::LeftButton, {}, QPoint(100, 0));
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].velocity, 0);
    keys->SetVelocityMode(false);
    events.clear();
    QTest::mouseClick(keys, Qt::LeftButton, {}, QPoint(100, 0));
    EXPECT_EQ(events[0].velocity, 127);
}

// Z and X of the bottom row, Q of the top row, from C1 (the C above A0).
constexpr std::uint32_t kZ = 52, kX = 53, kQ = 24, kComma = 59;

TEST_F(KeyboardTest, ComputerKeysPlayLikeTheMouseAndRepeatsSendNothing) {
    struct Step {
        QEvent::Type type;
        std::uint32_t scanCode;
        bool autoRepeat;
        std::vector<NoteEvent> events;
    };
    const std::vector<Step> steps = {
        {QEvent::KeyPress, kZ, false, {{"on", 24, 100}}},
        {QEvent::KeyRelease, kZ, true, {}}, // X11 repeats a held key as release and press
        {QEvent::KeyPress, kZ, true, {}},
        {QEvent::KeyPress, kQ, false, {{"on", 36, 100}}},
        {QEvent::KeyPress, kX, false, {{"on", 26, 100}}},
        {QEvent::KeyRelease, kQ, false, {{"off", 36, 0}}}, // only its own note
        {QEvent::KeyRelease, kZ, false, {{"off", 24, 0}}},
        {QEvent::KeyRelease, kZ, false, {}},
        // The comma and Q both play C2: it sounds until the last of them is up.
        {QEvent::KeyPress, kComma, false, {{"on", 36, 100}}},
        {QEvent::KeyPress, kQ, false, {}},
        {QEvent::KeyRelease, kComma, false, {}},
        {QEvent::KeyRelease, kQ, false, {{"off", 36, 0}}},
        {QEvent::KeyRelease, kX, false, {{"off", 26, 0}}},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        events.clear();
        Key(steps[i].type, steps[i].scanCode, steps[i].autoRepeat);
        EXPECT_EQ(events, steps[i].events) << "step " << i;
    }
    // Pressed keys show as a mouse press shows them, and come back released.
    Key(QEvent::KeyPress, kZ);
    EXPECT_TRUE(keys->IsPressed(24));
    EXPECT_NE(keys->Canvas(), Released());
    Key(QEvent::KeyRelease, kZ);
    EXPECT_EQ(keys->Canvas(), Released());
}

TEST_F(KeyboardTest, ReleaseEndsTheNoteItsPressBeganAfterTheRangeMoved) {
    Key(QEvent::KeyPress, kZ);
    for (int step = 0; step < 7; ++step)
        keys->ShiftHigher();
    Key(QEvent::KeyPress, kX);
    Key(QEvent::KeyRelease, kZ);
    Key(QEvent::KeyRelease, kX);
    EXPECT_EQ(events, (std::vector<NoteEvent>{
                          {"on", 24, 100}, {"on", 38, 100}, {"off", 24, 0}, {"off", 38, 0}}));
}

// Without key codes (the offscreen platform), the US letter names the place; with modifiers
// for shortcuts held, nothing plays.
TEST_F(KeyboardTest, KeysWithoutKeyCodesAndShortcutsAreToldApart) {
    QTest::keyClick(keys, Qt::Key_Z);
    QTest::keyClick(keys, Qt::Key_Z, Qt::ControlModifier);
    QTest::keyClick(keys, Qt::Key_Q, Qt::AltModifier);
    QTest::keyClick(keys, Qt::Key_A);
    EXPECT_EQ(events, (std::vector<NoteEvent>{{"on", 24, 100}, {"off", 24, 0}}));
}

// Wherever the key releases or the mouse release can no longer arrive, every held note ends.
TEST_F(KeyboardTest, HeldKeysAndMouseEndWhenTheControlLosesTheKeys) {
    QWindow* screenWindow = window->windowHandle();
    const QPoint key = keys->mapTo(window.get(), QPoint(7, 60));
    auto* other = new QWidget(window.get());
    other->setFocusPolicy(Qt::StrongFocus);
    other->setGeometry(800, 10, 50, 50);
    other->show();
    struct Row {
        const char* name;
        std::function<void()> interrupt;
        std::function<void()> restore;
    };
    const std::vector<Row> rows{
        {"focus moved", [&] { other->setFocus(); }, [] {}},
        {"window deactivated",
         [&] {
             QEvent deactivate(QEvent::WindowDeactivate);
             QApplication::sendEvent(window.get(), &deactivate);
         },
         [] {}},
        {"control hidden", [&] { keys->hide(); }, [&] { keys->show(); }},
        {"control disabled", [&] { keys->setEnabled(false); }, [&] { keys->setEnabled(true); }},
    };
    for (const Row& row : rows) {
        events.clear();
        QTest::mousePress(screenWindow, Qt::LeftButton, {}, key);
        ASSERT_TRUE(keys->hasFocus()) << row.name; // a click gives the keyboard the keys
        Key(QEvent::KeyPress, kZ);
        Key(QEvent::KeyPress, kQ);
        row.interrupt();
        QApplication::processEvents();
        EXPECT_EQ(events, (std::vector<NoteEvent>{{"on", 21, 101},
                                                  {"on", 24, 100},
                                                  {"on", 36, 100},
                                                  {"off", 21, 0},
                                                  {"off", 24, 0},
                                                  {"off", 36, 0}}))
            << row.name;
        QTest::mouseRelease(screenWindow, Qt::LeftButton, {}, key);
        Key(QEvent::KeyRelease, kZ);
        Key(QEvent::KeyRelease, kQ);
        EXPECT_EQ(events.size(), 6u) << row.name;
        row.restore();
        QApplication::processEvents();
        EXPECT_EQ(keys->Canvas(), Released()) << row.name;
    }
}

// The keyboard on a screen with 1, 1.5 or 2 device pixels to each of its own: each key's area,
// scaled by the ratio, in whole device pixels, so every edge is a step between the two colours
// that meet there; at 1 the picture is the canvas itself.
// Note names are written low on the white keys asked for, nowhere else, and a pressed key
// inverts its name with it.
TEST_F(KeyboardTest, KeyLabelsMarkTheKeysAskedFor) {
    // White key 2 is C1, key 3 D1; the names sit in the lowest 14 pixels.
    const auto marked = [&](int whiteKey) {
        const QImage canvas = keys->grab().toImage().convertToFormat(QImage::Format_RGB32);
        for (int y = 75 - 14; y < 75 - 2; ++y)
            for (int x = whiteKey * 15 + 2; x < whiteKey * 15 + 13; ++x)
                if (canvas.pixel(x, y) != kWhite)
                    return true;
        return false;
    };
    EXPECT_FALSE(marked(2));
    keys->SetKeyLabels(KeyLabels::EveryC);
    EXPECT_TRUE(marked(2));
    EXPECT_FALSE(marked(3));
    keys->SetKeyLabels(KeyLabels::EveryWhiteKey);
    EXPECT_TRUE(marked(3));
    EXPECT_EQ(KeyLabel(60, KeyLabels::EveryC), "C4");
    EXPECT_EQ(KeyLabel(61, KeyLabels::EveryWhiteKey), "");
}

TEST_F(KeyboardTest, DrawnAtTheScreensResolutionWithSharpEdges) {
    const KeyboardShape shape = shapes::MainWindow();
    for (const double ratio : {1.0, 1.5, 2.0}) {
        QImage device(static_cast<int>(std::ceil(780 * ratio)),
                      static_cast<int>(std::ceil(75 * ratio)), QImage::Format_RGB32);
        device.setDevicePixelRatio(ratio);
        device.fill(Qt::red);
        keys->render(&device);
        if (ratio == 1.0) {
            EXPECT_EQ(device, Released());
            continue;
        }
        for (int y = 0; y < device.height(); ++y)
            for (int x = 0; x < device.width(); ++x)
                ASSERT_TRUE(device.pixel(x, y) == kBlack || device.pixel(x, y) == kWhite)
                    << ratio << " " << x << "," << y;
        if (ratio != 2.0)
            continue;
        // Below the black keys each boundary line is two device pixels wide, white either side.
        const int lowRow = 2 * 70;
        for (const Boundary& boundary : WalkKeyboard(shape).boundaries) {
            if (boundary.along <= 0 || boundary.along >= 779)
                continue;
            const int line = 2 * boundary.along;
            EXPECT_EQ(device.pixel(line - 1, lowRow), kWhite) << boundary.along;
            EXPECT_EQ(device.pixel(line, lowRow), kBlack) << boundary.along;
            EXPECT_EQ(device.pixel(line + 1, lowRow), kBlack) << boundary.along;
            EXPECT_EQ(device.pixel(line + 2, lowRow), kWhite) << boundary.along;
            if (!boundary.blackDrawn)
                continue;
            const PixelRect key = BlackKeyRect(shape, boundary);
            const int middle = 2 * key.y + key.height;
            EXPECT_EQ(device.pixel(2 * key.x - 1, middle), kWhite) << boundary.along;
            for (int x = 2 * key.x; x < 2 * (key.x + key.width); ++x)
                EXPECT_EQ(device.pixel(x, middle), kBlack) << boundary.along << " " << x;
            EXPECT_EQ(device.pixel(2 * (key.x + key.width), middle), kWhite) << boundary.along;
        }
    }
}

} // namespace
