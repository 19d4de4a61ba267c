#include "app/Unit1.h"
#include "app/sound_page.h"
#include "keyboard/graphics_objects.h"
#include "keyboard/vmidikeys.h"
#include "tests/app/form_helpers.h"
#include "tests/fakes/fake_platform.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTabWidget>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace {

class KlavioForm : public testing::Test {
protected:
    FakePlatform platform;
    FakeErrorBox& errorBox = platform.errorBox;
    std::unique_ptr<TklavioForm> form = std::make_unique<TklavioForm>(platform.Services());
};

// The text a control shows as its caption.
QString Caption(const QWidget* control) {
    if (const auto* label = qobject_cast<const QLabel*>(control))
        return label->text();
    if (const auto* box = qobject_cast<const QGroupBox*>(control))
        return box->title();
    if (const auto* button = qobject_cast<const QPushButton*>(control))
        return button->text();
    if (const auto* combo = qobject_cast<const QComboBox*>(control))
        return combo->currentText();
    return {};
}

struct Control {
    const char* name;
    std::function<QWidget*(TklavioForm&)> member;
    const char* parent;
    const char* kind;
    QRect geometry;
    const char* caption; // nullptr where the wording is free
    bool sizedToText = false;
};

// A row per control: the member of that name, its object name and everything it starts with.
#define CONTROL(Name) #Name, [](TklavioForm & f) -> QWidget* { return f.Name; }

const std::vector<Control> kLayout = {
    {CONTROL(PageControl1), "", "QTabWidget", {0, 0, 801, 209}, nullptr},
    {CONTROL(GroupBox1), "KeyboardTabSheet", "QGroupBox", {6, 4, 355, 42}, " Midi-In-Config "},
    {CONTROL(Label1), "GroupBox1", "QLabel", {8, 17, 32, 13}, "Device", true},
    {CONTROL(MidiInDevComboBox),
     "GroupBox1",
     "QComboBox",
     {55, 14, 202, 21},
     "< No Device selected >"},
    {CONTROL(MidiInChanComboBox), "GroupBox1", "QComboBox", {263, 14, 82, 21}, "All channels"},
    {CONTROL(GroupBox2), "KeyboardTabSheet", "QGroupBox", {6, 48, 355, 42}, " Midi-Out-Config "},
    {CONTROL(Label2), "GroupBox2", "QLabel", {8, 17, 32, 13}, "Device", true},
    {CONTROL(MidiOutDevComboBox),
     "GroupBox2",
     "QComboBox",
     {55, 14, 202, 21},
     "< No Device selected >"},
    {CONTROL(MidiOutChanComboBox), "GroupBox2", "QComboBox", {263, 14, 82, 21}, "Channel 1"},
    {CONTROL(GroupBox4), "KeyboardTabSheet", "QGroupBox", {368, 4, 233, 42}, " State "},
    {CONTROL(Label5), "GroupBox4", "QLabel", {8, 17, 49, 13}, "Base-Key:", true},
    {CONTROL(Label6), "GroupBox4", "QLabel", {120, 17, 45, 13}, "Last Key:", true},
    {CONTROL(BaseKeyLabel), "GroupBox4", "QLabel", {56, 17, 49, 13}, "A0"},
    {CONTROL(LastKeyLabel), "GroupBox4", "QLabel", {168, 17, 57, 13}, "<?\?\?>"},
    {CONTROL(GroupBox3), "KeyboardTabSheet", "QGroupBox", {609, 4, 178, 42}, " Transpose / Shift "},
    {CONTROL(LowerButton), "GroupBox3", "QPushButton", {9, 14, 75, 21}, "lower"},
    {CONTROL(UpperButton), "GroupBox3", "QPushButton", {92, 14, 75, 21}, "higher"},
    {CONTROL(VMidiKeys1), "KeyboardTabSheet", "TVMidiKeys", {6, 96, 780, 75}, nullptr},
    {CONTROL(GroupBox5),
     "KeyboardTabSheet",
     "QGroupBox",
     {368, 48, 419, 42},
     " Free MIDI Command "},
    {CONTROL(FreeCmdComboBox), "GroupBox5", "QComboBox", {8, 14, 318, 21}, ""},
    {CONTROL(SendButton), "GroupBox5", "QPushButton", {333, 14, 75, 21}, "send"},
    {CONTROL(GroupBox6), "AboutTabSheet", "QGroupBox", {6, 4, 457, 169}, ""},
    {CONTROL(ProductImage), "GroupBox6", "QLabel", {56, 25, 48, 48}, ""},
    {CONTROL(NameVersionLabel), "GroupBox6", "QLabel", {115, 27, 292, 25}, "klavio  v 1.0.0 (0)"},
    {CONTROL(CopyrightLabel), "GroupBox6", "QLabel", {115, 56, 292, 16}, nullptr},
    {CONTROL(About1Label), "GroupBox6", "QLabel", {24, 102, 409, 13}, nullptr},
    {CONTROL(About2Label), "GroupBox6", "QLabel", {40, 124, 377, 26}, nullptr},
    {CONTROL(KeysLabel), "GroupBox6", "QLabel", {24, 75, 409, 26}, nullptr},
    {CONTROL(GroupBox7), "AboutTabSheet", "QGroupBox", {472, 4, 315, 169}, ""},
    {CONTROL(About3Label), "GroupBox7", "QLabel", {8, 19, 297, 39}, nullptr},
    {CONTROL(PayPalImage), "GroupBox7", "QLabel", {77, 77, 167, 76}, ""},
};

TEST_F(KlavioForm, EveryControlStartsWhereAndAsTheLayoutSays) {
    for (const Control& c : kLayout) {
        SCOPED_TRACE(c.name);
        QWidget* control = c.member(*form);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->objectName(), QString::fromLatin1(c.name));
        EXPECT_EQ(form->findChild<QWidget*>(QString::fromLatin1(c.name)), control);
        EXPECT_TRUE(control->inherits(c.kind)) << control->metaObject()->className();
        const QWidget* parent = control->parentWidget();
        EXPECT_EQ(parent == form.get() ? QString() : parent->objectName(),
                  QString::fromLatin1(c.parent));
        if (c.sizedToText) {
            EXPECT_EQ(control->pos(), c.geometry.topLeft());
            EXPECT_EQ(control->size(), control->sizeHint());
        } else {
            EXPECT_EQ(control->geometry(), c.geometry);
        }
        if (c.caption != nullptr) {
            EXPECT_EQ(Caption(control), QString::fromUtf8(c.caption));
        }
    }
    EXPECT_EQ(form->PageControl1->count(), 3);
    EXPECT_EQ(form->PageControl1->indexOf(form->KeyboardTabSheet), 0);
    EXPECT_EQ(form->PageControl1->tabText(0), QStringLiteral("Keyboard"));
    EXPECT_EQ(form->PageControl1->indexOf(form->SoundTabSheet), 1);
    EXPECT_EQ(form->PageControl1->indexOf(form->AboutTabSheet), 2);
    EXPECT_EQ(form->PageControl1->tabText(2), QStringLiteral("About"));
}

TEST_F(KlavioForm, EveryControlFitsInsideItsParent) {
    ShowForm(*form);
    // A tab page takes its size when it is first shown.
    form->PageControl1->setCurrentWidget(form->AboutTabSheet);
    for (const Control& c : kLayout) {
        const QWidget* control = c.member(*form);
        EXPECT_TRUE(control->parentWidget()->rect().contains(control->geometry()))
            << c.name << " sticks out of " << control->parentWidget()->metaObject()->className();
    }
}

TEST_F(KlavioForm, LabelsShowTheirWholeText) {
    for (const Control& c : kLayout) {
        const auto* label = qobject_cast<const QLabel*>(c.member(*form));
        if (label == nullptr || label->text().isEmpty())
            continue;
        SCOPED_TRACE(c.name);
        const QSize needed = label->sizeHint();
        EXPECT_LE(needed.width(), label->width());
        if (label->wordWrap()) {
            EXPECT_LE(label->heightForWidth(label->width()), label->height());
        } else {
            EXPECT_LE(needed.height(), label->height());
        }
    }
}

TEST_F(KlavioForm, ListBoxesShowEveryItemWhole) {
    for (QComboBox* box : {form->MidiInDevComboBox, form->MidiInChanComboBox,
                           form->MidiOutDevComboBox, form->MidiOutChanComboBox}) {
        QStyleOptionComboBox option;
        option.initFrom(box);
        option.editable = false;
        option.frame = true;
        const QRect field = box->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                         QStyle::SC_ComboBoxEditField, box);
        for (int i = 0; i < box->count(); ++i) {
            // The item text is drawn one pixel in from either side of the field.
            EXPECT_LE(box->fontMetrics().horizontalAdvance(box->itemText(i)), field.width() - 2)
                << box->objectName().toStdString() << ": " << box->itemText(i).toStdString();
        }
    }
}

TEST_F(KlavioForm, ComboBoxesStartWithTheirItems) {
    QStringList channels;
    for (int channel = 1; channel <= 16; ++channel)
        channels << QStringLiteral("Channel %1").arg(channel);
    struct Case {
        QComboBox* box;
        bool editable;
        QStringList items;
    };
    const std::vector<Case> cases = {
        {form->MidiInDevComboBox, false, {QStringLiteral("< No Device selected >")}},
        {form->MidiInChanComboBox, false, QStringList{QStringLiteral("All channels")} + channels},
        {form->MidiOutDevComboBox, false, {QStringLiteral("< No Device selected >")}},
        {form->MidiOutChanComboBox, false, channels},
        {form->FreeCmdComboBox, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.box->objectName().toStdString());
        EXPECT_EQ(c.box->isEditable(), c.editable);
        QStringList items;
        for (int i = 0; i < c.box->count(); ++i)
            items << c.box->itemText(i);
        EXPECT_EQ(items, c.items);
        EXPECT_EQ(c.box->currentIndex(), c.items.isEmpty() ? -1 : 0);
    }
    EXPECT_EQ(form->FreeCmdComboBox->currentText(), QString());
    EXPECT_TRUE(form->SendButton->isEnabled());
}

TEST_F(KlavioForm, TabKeyVisitsTheKeyboardPageInTableOrder) {
    const std::vector<QWidget*> expected = {
        form->MidiInDevComboBox,   form->MidiInChanComboBox, form->MidiOutDevComboBox,
        form->MidiOutChanComboBox, form->LowerButton,        form->UpperButton,
        form->VMidiKeys1,          form->FreeCmdComboBox,    form->SendButton};
    std::vector<QWidget*> visited;
    QWidget* widget = form->PageControl1;
    do {
        for (QWidget* control : expected)
            if ((widget == control || widget->focusProxy() == control ||
                 widget->parentWidget() == control) &&
                (visited.empty() || visited.back() != control))
                visited.push_back(control);
        widget = widget->nextInFocusChain();
    } while (widget != form->PageControl1);
    EXPECT_EQ(visited, expected);
}

TEST_F(KlavioForm, WindowIsKlavioAtItsPlaceWithAFixedClientArea) {
    EXPECT_EQ(form->windowTitle(), QStringLiteral("klavio"));
    EXPECT_EQ(form->pos(), QPoint(441, 292));
    ShowForm(*form);
    // The offscreen screen is 800 pixels wide, one less than the window: it opens at the
    // screen's left edge, frame included, at its designed height.
    const QRect screen = form->screen()->availableGeometry();
    ASSERT_EQ(screen.width(), 800);
    EXPECT_EQ(form->frameGeometry().left(), screen.left());
    EXPECT_EQ(form->geometry().top(), 292);
    EXPECT_EQ(form->size(), QSize(801, 209));
    EXPECT_EQ(form->minimumSize(), QSize(801, 209));
    EXPECT_EQ(form->maximumSize(), QSize(801, 209));
    EXPECT_EQ(form->font().pixelSize(), 11);
    EXPECT_EQ(form->font().families(),
              (QStringList{QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")}));
}

TEST_F(KlavioForm, SpecialFontsKeepTheWindowsFamily) {
    EXPECT_TRUE(form->LastKeyLabel->font().bold());
    EXPECT_FALSE(form->BaseKeyLabel->font().bold());
    EXPECT_TRUE(form->About1Label->font().bold());
    EXPECT_TRUE(form->About2Label->font().bold());
    EXPECT_EQ(form->NameVersionLabel->font().pixelSize(), 21);
    EXPECT_EQ(form->CopyrightLabel->font().pixelSize(), 13);
    EXPECT_TRUE(form->CopyrightLabel->font().bold());
    for (const QLabel* label : {form->LastKeyLabel, form->NameVersionLabel, form->CopyrightLabel})
        EXPECT_EQ(label->font().families(), form->font().families())
            << label->objectName().toStdString();
}

TEST_F(KlavioForm, KeyboardPageIsShownAtStartEvenWhenAboutWasChosenBefore) {
    form->PageControl1->setCurrentWidget(form->AboutTabSheet);
    ShowForm(*form);
    EXPECT_EQ(form->PageControl1->currentWidget(), form->KeyboardTabSheet);
}

TEST_F(KlavioForm, KeyboardStartsAtA0WithFifteenPixelKeys) {
    TVMidiKeys* keys = form->VMidiKeys1;
    EXPECT_EQ(keys->NoteWidth(), 15);
    EXPECT_EQ(keys->BaseOctave(), 1);
    EXPECT_EQ(keys->BaseNote(), TKeyboardStartNote::A);
    EXPECT_EQ(keys->BaseString(), "A0");
    EXPECT_EQ(keys->BlackBrush().Color(), clBlack);
    EXPECT_EQ(keys->GrayBrush().Color(), clGray);
    ShowForm(*form);
    EXPECT_EQ(keys->size(), QSize(780, 75));
}

TEST_F(KlavioForm, ShiftButtonsMoveTheBaseKeyOneWhiteKey) {
    struct Case {
        std::vector<QPushButton*> clicks;
        const char* baseKey;
    };
    const std::vector<Case> cases = {
        {{form->LowerButton}, "G0"},
        {{form->UpperButton}, "A0"},
        {{form->UpperButton}, "B0"},
        {{form->UpperButton, form->UpperButton}, "D1"},
    };
    for (const Case& c : cases) {
        for (QPushButton* button : c.clicks)
            button->click();
        EXPECT_EQ(form->BaseKeyLabel->text(), QString::fromLatin1(c.baseKey));
        EXPECT_EQ(form->VMidiKeys1->BaseString(), c.baseKey);
    }
}

TEST_F(KlavioForm, PlayedNoteBecomesTheLastKeyAndStaysAfterRelease) {
    form->VMidiKeys1->NoteOn(61, 100, true);
    EXPECT_EQ(form->LastKeyLabel->text(), QStringLiteral("C#4"));
    form->VMidiKeys1->NoteOff(61, 0, true);
    EXPECT_EQ(form->LastKeyLabel->text(), QStringLiteral("C#4"));
}

TEST_F(KlavioForm, LanguageTimerRunsFromFirstShowUntilClose) {
    EXPECT_EQ(form->Timer1->interval(), 1000);
    EXPECT_FALSE(form->Timer1->isActive());
    ShowForm(*form);
    EXPECT_TRUE(form->Timer1->isActive());
    form->close();
    EXPECT_FALSE(form->Timer1->isActive());
    form.reset();
    EXPECT_TRUE(errorBox.calls.empty());
}

} // namespace
