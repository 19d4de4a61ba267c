#include "app/Unit1.h"
#include "app/sound_page.h"
#include "app/uStuff.h"
#include "keyboard/vmidikeys.h"
#include "support/VistaAltFixUnit.h"
#include "tests/app/form_helpers.h"
#include "tests/fakes/fake_platform.h"

#include <QComboBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QStyleOptionGroupBox>
#include <QTabWidget>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

// The language the program last read is the program's one state of its kind; each test puts it
// back as it found it.
struct LanguageKept {
    LanguageKept() = default;
    LanguageKept(const LanguageKept&) = delete;
    LanguageKept& operator=(const LanguageKept&) = delete;
    ~LanguageKept() { CurrentLangID = saved; }
    const LANGID saved = CurrentLangID;
};

TEST(LanguageState, GermanByPrimaryLanguageChangeByWholeIdentifier) {
    const LanguageKept kept;
    FakeUserLanguage system;
    system.langId = 0x0407;
    InitLanguage(system);
    struct Case {
        LANGID now;
        bool changed;
        bool german;
    };
    const std::vector<Case> cases = {
        {0x0407, false, true}, {0x0C07, true, true},   {0x0C07, false, true}, {0x1407, true, true},
        {0x0007, true, true},  {0xFC07, true, true},   {0x040C, true, false}, {0x0C0A, true, false},
        {0x0409, true, false}, {0x0809, true, false},  {0x0107, true, false}, {0x0207, true, false},
        {0x0000, true, false}, {0x0000, false, false}, {0x0807, true, true},
    };
    for (const Case& c : cases) {
        system.langId = c.now;
        EXPECT_EQ(UserLanguageChanged(system), c.changed) << std::hex << c.now;
        EXPECT_EQ(CurrentLangID, c.now);
        EXPECT_EQ(IsGermanLanguage(), c.german) << std::hex << c.now;
    }
    EXPECT_EQ(system.asked, 1 + static_cast<int>(cases.size()));
}

class Localisation : public testing::Test {
protected:
    ~Localisation() override { form.reset(); }
    void Show(LANGID language) {
        platform.userLanguage.langId = language;
        InitLanguage(platform.userLanguage);
        platform.midi.outputDevices = {"Synth:in", "Other:in", "klavio (for other programs)"};
        platform.midi.inputDevices = {"Piano:out", "Drums:out"};
        form = std::make_unique<TklavioForm>(platform.Services());
        ShowForm(*form);
    }
    // One tick of the language poll after the user chose a language.
    void SwitchTo(LANGID language) {
        platform.userLanguage.langId = language;
        form->Timer1Timer();
    }

    const LanguageKept kept;
    FakePlatform platform;
    std::unique_ptr<TklavioForm> form;
};

struct ShownCaption {
    const char* control;
    std::function<QString(TklavioForm&)> shown;
    // UTF-16 with escapes: the expected texts do not depend on how the source is read.
    const char16_t* german;
    const char16_t* english;
};

#define TEXT(Control, Call) #Control, [](TklavioForm & f) { return f.Control->Call; }

const std::vector<ShownCaption> kCaptions = {
    {TEXT(PageControl1, tabText(0)), u"Keyboard", u"Keyboard"},
    {TEXT(PageControl1, tabText(1)), u"Klang", u"Sound"},
    {TEXT(PageControl1, tabText(2)), u"\u00DCber", u"About"},
    {TEXT(SoundTabSheet->ControllersBox, title()), u" Regler ", u" Controllers "},
    {TEXT(SoundTabSheet->PedalButtons[2], text()), u"Leise", u"Soft"},
    {TEXT(SoundTabSheet->NoteNamesBox, itemText(1)), u"jedes C", u"every C"},
    {TEXT(SoundTabSheet->SynthesizerBox, title()), u" Eingebauter Synthesizer ",
     u" Built-in synthesizer "},
    {TEXT(GroupBox1, title()), u" MIDI-Eingang ", u" MIDI-Input "},
    {TEXT(Label1, text()), u"Ger\u00E4t:", u"Device:"},
    // Nothing chosen: the no-device item is what the list shows.
    {TEXT(MidiInDevComboBox, currentText()), u"< Kein Ger\u00E4t ausgew\u00E4hlt >",
     u"< No device selected >"},
    {TEXT(MidiInChanComboBox, itemText(0)), u"Alle Kan\u00E4le", u"All channels"},
    {TEXT(MidiInChanComboBox, itemText(7)), u"Kanal 7", u"Channel 7"},
    {TEXT(MidiInChanComboBox, itemText(16)), u"Kanal 16", u"Channel 16"},
    {TEXT(GroupBox2, title()), u" MIDI-Ausgang ", u" MIDI-Output "},
    {TEXT(Label2, text()), u"Ger\u00E4t:", u"Device:"},
    {TEXT(MidiOutDevComboBox, itemText(0)), u"< Kein Ger\u00E4t ausgew\u00E4hlt >",
     u"< No device selected >"},
    {TEXT(MidiOutDevComboBox, itemText(2)), u"Synth:in", u"Synth:in"},
    {TEXT(MidiOutDevComboBox, itemText(4)), u"klavio (f\u00FCr andere Programme)",
     u"klavio (for other programs)"},
    {TEXT(MidiOutChanComboBox, itemText(0)), u"Kanal 1", u"Channel 1"},
    {TEXT(MidiOutChanComboBox, itemText(15)), u"Kanal 16", u"Channel 16"},
    {TEXT(GroupBox3, title()), u" Transponieren / Verschieben ", u" Transpose / Shift "},
    {TEXT(LowerButton, text()), u"tiefer", u"lower"},
    {TEXT(UpperButton, text()), u"h\u00F6her", u"higher"},
    {TEXT(GroupBox4, title()), u" Status ", u" State "},
    {TEXT(Label5, text()), u"Basis-Note:", u"Base-Key:"},
    {TEXT(Label6, text()), u"letzte Note:", u"Last Key:"},
    {TEXT(GroupBox5, title()), u" Freies MIDI-Kommando ", u" Free MIDI-Command "},
    {TEXT(SendButton, text()), u"senden", u"send"},
    {TEXT(BaseKeyLabel, text()), u"A0", u"A0"},
    {"window", [](TklavioForm& f) { return f.windowTitle(); }, u"klavio", u"klavio"},
};

void ExpectCaptionsIn(TklavioForm& form, bool german) {
    for (const ShownCaption& c : kCaptions)
        EXPECT_EQ(c.shown(form), QString::fromUtf16(german ? c.german : c.english)) << c.control;
    EXPECT_EQ(form.MidiInChanComboBox->count(), 17);
    EXPECT_EQ(form.MidiOutChanComboBox->count(), 16);
    // The wording of the About page's lines is free; that they follow the language is not.
    EXPECT_EQ(form.About1Label->text().contains(QStringLiteral(" ist ")), german);
    EXPECT_EQ(form.About3Label->text().contains(QStringLiteral("Spende")), german);
    EXPECT_FALSE(form.About2Label->text().isEmpty());
    EXPECT_TRUE(form.PayPalImage->toolTip().contains(german ? "&lc=DE&" : "&lc=US&"));
    EXPECT_EQ(form.KeysLabel->text().contains(QStringLiteral("Leertaste")), german);
    // What assistive technology reads: every control says what it is, in the same language.
    for (QWidget* control :
         {static_cast<QWidget*>(form.PageControl1), static_cast<QWidget*>(form.MidiInDevComboBox),
          static_cast<QWidget*>(form.MidiInChanComboBox),
          static_cast<QWidget*>(form.MidiOutDevComboBox),
          static_cast<QWidget*>(form.MidiOutChanComboBox), static_cast<QWidget*>(form.BaseKeyLabel),
          static_cast<QWidget*>(form.LastKeyLabel), static_cast<QWidget*>(form.LowerButton),
          static_cast<QWidget*>(form.UpperButton), static_cast<QWidget*>(form.VMidiKeys1),
          static_cast<QWidget*>(form.FreeCmdComboBox), static_cast<QWidget*>(form.SendButton),
          static_cast<QWidget*>(form.ProductImage), static_cast<QWidget*>(form.NameVersionLabel),
          static_cast<QWidget*>(form.CopyrightLabel), static_cast<QWidget*>(form.PayPalImage)})
        EXPECT_FALSE(control->accessibleName().isEmpty() ||
                     control->accessibleDescription().isEmpty())
            << control->objectName().toStdString();
    const QString keyboard = form.VMidiKeys1->accessibleDescription();
    EXPECT_TRUE(keyboard.contains(QStringLiteral("A0")) && keyboard.contains(QStringLiteral("C8")))
        << keyboard.toStdString();
    EXPECT_EQ(keyboard.contains(QStringLiteral("Leertaste")), german);
    EXPECT_EQ(form.LowerButton->accessibleDescription().contains(QStringLiteral("Taste ")), german);
}

TEST_F(Localisation, CaptionsFollowEveryChangeOfTheIdentifierAndOnlyThat) {
    Show(0x0407);
    ExpectCaptionsIn(*form, true);
    struct Case {
        LANGID now;
        bool refreshed;
        bool german;
    };
    const std::vector<Case> cases = {
        {0x0407, false, true},  {0x0C07, true, true},  {0x040C, true, false}, {0x0C0A, true, false},
        {0x0C0A, false, false}, {0x0809, true, false}, {0x0807, true, true},  {0x0409, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.now);
        form->LowerButton->setText(QStringLiteral("placeholder"));
        SwitchTo(c.now);
        EXPECT_EQ(form->LowerButton->text() != QStringLiteral("placeholder"), c.refreshed);
        if (c.refreshed)
            ExpectCaptionsIn(*form, c.german);
    }
}

TEST_F(Localisation, SwitchKeepsEverySelectionOpenPortAndChannel) {
    Show(0x0409);
    TVMidiKeys* keys = form->VMidiKeys1;
    struct Case {
        QComboBox* box;
        int index;
        const char16_t* german;
    };
    const std::vector<Case> cases = {
        {form->MidiInDevComboBox, 2, u"Drums:out"},
        {form->MidiInChanComboBox, 7, u"Kanal 7"},
        {form->MidiOutDevComboBox, 3, u"Other:in"},
        {form->MidiOutChanComboBox, 4, u"Kanal 5"},
    };
    std::vector<std::unique_ptr<QSignalSpy>> userChoices;
    for (const Case& c : cases) {
        Choose(c.box, c.index);
        userChoices.push_back(std::make_unique<QSignalSpy>(c.box, &QComboBox::activated));
    }
    ASSERT_TRUE(keys->MidiInEnabled() && keys->MidiOutEnabled());
    platform.midi.calls.clear();

    SwitchTo(0x0407);

    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].box->objectName().toStdString());
        EXPECT_EQ(cases[i].box->currentIndex(), cases[i].index);
        EXPECT_EQ(cases[i].box->currentText(), QString::fromUtf16(cases[i].german));
        EXPECT_EQ(userChoices[i]->count(), 0);
    }
    // No port was closed or opened, and the channels are the ones chosen before.
    EXPECT_EQ(platform.midi.calls, std::vector<std::string>{});
    EXPECT_TRUE(platform.midi.InputOpen() && platform.midi.OutputOpen());
    EXPECT_EQ(keys->MIDIInChannel(), 7);
    keys->NoteOn(60, 100, true);
    EXPECT_EQ(platform.midi.shortMessages.back(), 0x643C94u);
}

// The German captions are longer than the English ones: they must still be seen whole.
TEST_F(Localisation, EveryCaptionFitsItsControlInBothLanguages) {
    for (LANGID language : {LANGID{0x0407}, LANGID{0x0409}}) {
        SCOPED_TRACE(testing::Message() << std::hex << language);
        Show(language);
        form->PageControl1->setCurrentWidget(form->AboutTabSheet);
        for (QLabel* label : {form->Label1, form->Label2, form->Label5, form->Label6})
            EXPECT_EQ(label->size(), label->sizeHint()) << label->objectName().toStdString();
        for (QLabel* label :
             {form->About1Label, form->About2Label, form->About3Label, form->KeysLabel}) {
            EXPECT_LE(label->sizeHint().width(), label->width());
            EXPECT_LE(label->wordWrap() ? label->heightForWidth(label->width())
                                        : label->sizeHint().height(),
                      label->height())
                << label->objectName().toStdString();
        }
        // The Sound page's captions and buttons, whatever their wording.
        const SoundPage& sound = *form->SoundTabSheet;
        std::vector<QLabel*> soundLabels(sound.ControllerLabels.begin(),
                                         sound.ControllerLabels.end());
        for (QLabel* label : {sound.BendLabel, sound.KeyVelocityLabel, sound.TransposeLabel,
                              sound.NoteNamesLabel, sound.MasterVolumeLabel})
            soundLabels.push_back(label);
        for (QLabel* label : soundLabels)
            EXPECT_LE(label->sizeHint().width(), label->width()) << label->text().toStdString();
        std::vector<QPushButton*> soundButtons(sound.PedalButtons.begin(),
                                               sound.PedalButtons.end());
        soundButtons.push_back(sound.SoundFontButton);
        for (QPushButton* button : soundButtons)
            EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()) + 8, button->width())
                << button->text().toStdString();
        for (QComboBox* box : {form->MidiInDevComboBox, form->MidiInChanComboBox,
                               form->MidiOutDevComboBox, form->MidiOutChanComboBox}) {
            QStyleOptionComboBox option;
            option.initFrom(box);
            const QRect field = box->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                             QStyle::SC_ComboBoxEditField, box);
            option.subControls = QStyle::SC_All;
            const QRect arrow = box->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                             QStyle::SC_ComboBoxArrow, box);
            // The text starts a pixel into the field; the arrow, 8 pixels wide, is centred in
            // its place. Between them stay 4 pixels.
            const double arrowLeft = arrow.left() + arrow.width() / 2.0 - 4;
            for (int i = 0; i < box->count(); ++i) {
                const int advance = box->fontMetrics().horizontalAdvance(box->itemText(i));
                EXPECT_LE(advance, field.width() - 2) << box->itemText(i).toStdString();
                EXPECT_LE(field.left() + 1 + advance + 4, arrowLeft)
                    << box->itemText(i).toStdString();
            }
        }
        // A key's name, centred, stays clear of the caption before it.
        for (const auto& [caption, value] : {std::pair{form->Label5, form->BaseKeyLabel},
                                             std::pair{form->Label6, form->LastKeyLabel}}) {
            const int valueStart =
                value->x() +
                (value->width() - value->fontMetrics().horizontalAdvance(value->text())) / 2;
            EXPECT_LE(caption->x() + caption->fontMetrics().horizontalAdvance(caption->text()) + 4,
                      valueStart)
                << caption->objectName().toStdString();
        }
    }
}

// The window carries the keyboard-cue repaint, which hooks it only where the system needs it.
TEST(WindowKeyboardCues, RepaintIsActiveOnlyOnAThemedWindows6) {
    for (const bool vista : {false, true}) {
        FakePlatform platform;
        if (vista)
            platform.systemTheme = FakeSystemTheme::ThemedVista();
        auto form = std::make_unique<TklavioForm>(platform.Services());
        ASSERT_NE(form->VistaAltFix1, nullptr);
        EXPECT_EQ(form->VistaAltFix1->parent(), form.get());
        EXPECT_TRUE(form->VistaAltFix1->RepaintAll());
        EXPECT_EQ(form->VistaAltFix1->Active(), vista);
        form->VistaAltFix1->AppIdle();
        EXPECT_EQ(platform.systemTheme.Hooks(), vista ? 1u : 0u);
        form.reset();
        EXPECT_EQ(platform.systemTheme.Hooks(), 0u);
    }
}

// The status beside the tabs is right-aligned against the window's edge; its longest text,
// in either language, must end clear of it, not be cut by it.
TEST_F(Localisation, StatusTextEndsClearOfTheWindowsEdge) {
    for (const LANGID language : {LANGID{0x0409}, LANGID{0x0407}}) {
        platform.midi.systemRunning = false;
        Show(language);
        QLabel* status = form->StatusLabel;
        ASSERT_TRUE(status->text().startsWith(QStringLiteral("No MIDI system")) ||
                    status->text().startsWith(QStringLiteral("Kein MIDI-System")))
            << status->text().toStdString();
        const QImage picture = status->grab().toImage();
        const QRgb background = picture.pixel(0, 0);
        int inkRight = -1;
        for (int x = 0; x < picture.width(); ++x)
            for (int y = 0; y < picture.height(); ++y)
                if (picture.pixel(x, y) != background)
                    inkRight = x;
        ASSERT_GE(inkRight, 0) << "nothing drawn";
        EXPECT_LE(status->mapTo(form.get(), QPoint(inkRight, 0)).x() + 4, form->width() - 1)
            << std::hex << language;
    }
}

// The layout expects each group box's frame to run through the middle of its caption, with the
// controls below the caption and inside the frame; the captions' lengths differ by language.
TEST_F(Localisation, ControlsLieInsideTheirGroupBoxesFrames) {
    for (const LANGID language : {LANGID{0x0409}, LANGID{0x0407}}) {
        Show(language);
        for (const QGroupBox* box : form->findChildren<QGroupBox*>()) {
            QStyleOptionGroupBox option;
            option.initFrom(box);
            option.text = box->title();
            option.textAlignment = box->alignment();
            option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
            const QStyle* style = box->style();
            const auto rect = [&](QStyle::SubControl part) {
                return style->subControlRect(QStyle::CC_GroupBox, &option, part, box);
            };
            const QRect frame = rect(QStyle::SC_GroupBoxFrame);
            const QRect caption = rect(QStyle::SC_GroupBoxLabel);
            const int frameWidth = style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, box);
            const QRect inside = frame.adjusted(frameWidth, frameWidth, -frameWidth, -frameWidth);
            const QString where =
                box->objectName() + QStringLiteral(" ") + QString::number(language, 16);
            EXPECT_EQ(frame.bottom(), box->height() - 1) << where.toStdString();
            if (!box->title().isEmpty()) {
                EXPECT_NEAR(frame.top(), caption.center().y(), 1) << where.toStdString();
                // The caption breaks the top line between the frame's corners.
                EXPECT_GT(caption.left(), inside.left()) << where.toStdString();
                EXPECT_LT(caption.right(), inside.right()) << where.toStdString();
            }
            for (const QWidget* control : box->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                const std::string name =
                    (where + QStringLiteral(" ") + control->objectName()).toStdString();
                EXPECT_TRUE(inside.contains(control->geometry())) << name;
                EXPECT_FALSE(caption.intersects(control->geometry())) << name;
            }
        }
    }
}

} // namespace
