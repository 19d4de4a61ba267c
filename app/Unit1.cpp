#include "app/Unit1.h"
#include "app/utf8_text.h"

#include "app/application.h"
#include "app/device_list.h"
#include "app/error_funnel.h"
#include "app/group_box_style.h"
#include "app/program_icon.h"
#include "app/settings_schema.h"
#include "app/sound_controller.h"
#include "app/sound_page.h"
#include "app/sound_texts.h"
#include "app/uStuff.h"
#include "app/whole_paste.h"
#include "app/window_placement.h"
#include "app/window_texts.h"
#include "formats/code_page.h"
#include "formats/midi_stream.h"
#include "formats/reg_file.h"
#include "keyboard/computer_keys.h"
#include "keyboard/graphics_objects.h"
#include "keyboard/key_geometry.h"
#include "keyboard/vmidikeys.h"
#include "platform/log_sink.h"
#include "platform/midi_events.h"
#include "platform/midi_service.h"
#include "platform/program_location.h"
#include "platform/registry.h"
#include "platform/shell_service.h"
#include "platform/synthesizer.h"
#include "support/VersionInfo.h"
#include "support/VistaAltFixUnit.h"
#include "support/about_links.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCloseEvent>
#include <QColor>
#include <QComboBox>
#include <QCursor>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QProxyStyle>
#include <QPushButton>
#include <QRect>
#include <QScreen>
#include <QShowEvent>
#include <QStringList>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionComplex>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

// A 64 KiB SysEx, written as pairs of hex digits with a blank between each.
constexpr int kMaxCommandLength = 3 * 65536;

template <typename Control>
Control* Place(Control* control, const char* name, int left, int top, int width, int height) {
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(left, top, width, height);
    return control;
}

QLabel* NewLabel(const char* text, QWidget* parent) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    // Captions are shown as written: the last key's question-mark placeholder is not markup.
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

QLabel* NewCentredLabel(const char* text, QWidget* parent) {
    QLabel* label = NewLabel(text, parent);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    return label;
}

// A label without a fixed size takes the size of its text, keeping its place.
QLabel* SizeToText(QLabel* label) {
    label->adjustSize();
    return label;
}

QComboBox* NewListComboBox(const QStringList& items, QWidget* parent) {
    auto* box = new QComboBox(parent);
    box->addItems(items);
    box->setCurrentIndex(0);
    return box;
}

QStringList ChannelItems() {
    QStringList items;
    for (int channel = 1; channel <= 16; ++channel)
        items << QStringLiteral("Channel %1").arg(channel);
    return items;
}

// Fonts set on a control name only what differs from the window's font and take the rest
// from it.
QFont BoldFont() {
    QFont font;
    font.setBold(true);
    return font;
}

QFont WindowFont() {
    QFont font;
    // Liberation Sans has Arial's widths, close to the dialog font the pixel layout was drawn
    // with; DejaVu Sans is there on every Debian desktop when it is not.
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    // In pixels, not points: the layout is in pixels and must not grow with the screen's dpi.
    font.setPixelSize(11);
    return font;
}

QPixmap DonationButtonPicture() {
    QPixmap picture(167, 76);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF button(10.5, 18.5, 146, 38);
    QLinearGradient gradient(button.topLeft(), button.bottomLeft());
    gradient.setColorAt(0, QColor(255, 226, 140));
    gradient.setColorAt(1, QColor(246, 172, 36));
    painter.setPen(QColor(184, 118, 18));
    painter.setBrush(gradient);
    painter.drawRoundedRect(button, 12, 12);
    QFont font = WindowFont();
    font.setPixelSize(19);
    font.setBold(true);
    font.setItalic(true);
    painter.setFont(font);
    painter.setPen(QColor(0, 48, 135));
    painter.drawText(button, Qt::AlignCenter, QStringLiteral("Donate"));
    return picture;
}

// Fusion keeps 19 pixels right of a list box's text for an arrow 8 pixels wide. The layout's
// 82-pixel channel lists need 4 of them to show "All channels" whole; the arrow, centred in
// what is left, moves 2 pixels towards the edge so that the text does not run into it.
class TListBoxStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                         const QWidget* widget) const override {
        QRect rect = QProxyStyle::subControlRect(control, option, part, widget);
        if (control != CC_ComboBox ||
            baseStyle()->name().compare(QLatin1String("fusion"), Qt::CaseInsensitive) != 0)
            return rect;
        const bool leftToRight = option->direction != Qt::RightToLeft;
        if (part == SC_ComboBoxEditField) {
            if (leftToRight)
                rect.setRight(rect.right() + 4);
            else
                rect.setLeft(rect.left() - 4);
        } else if (part == SC_ComboBoxArrow) {
            if (leftToRight)
                rect.setLeft(rect.left() + 4);
            else
                rect.setRight(rect.right() - 4);
        }
        return rect;
    }
};

} // namespace

TklavioForm::TklavioForm(const PlatformServices& services, QWidget* parent)
    : QWidget(parent), services_(services), errorBox_(services.errorBox) {
    setWindowTitle(QStringLiteral("klavio"));
    // The window's font first: every control created afterwards inherits it.
    setFont(WindowFont());
    move(441, 292);
    setFixedSize(801, 209);

    PageControl1 = Place(new QTabWidget(this), "PageControl1", 0, 0, 801, 209);
    KeyboardTabSheet = new QWidget;
    KeyboardTabSheet->setObjectName(QStringLiteral("KeyboardTabSheet"));
    PageControl1->addTab(KeyboardTabSheet, QStringLiteral("Keyboard"));
    AboutTabSheet = new QWidget;
    AboutTabSheet->setObjectName(QStringLiteral("AboutTabSheet"));
    PageControl1->addTab(AboutTabSheet, QStringLiteral("About"));
    PageControl1->setCurrentWidget(KeyboardTabSheet);

    // Controls are created in tab order: Qt moves the focus in the order of creation.
    CreateKeyboardPage();
    SoundTabSheet = new SoundPage;
    PageControl1->insertTab(PageControl1->indexOf(AboutTabSheet), SoundTabSheet,
                            QStringLiteral("Sound"));
    CreateAboutPage();

    // A style is not owned by the widgets that use it; created after them as the window's child,
    // it is deleted after them too.
    auto* listBoxStyle = new TListBoxStyle(QStyleFactory::create(style()->name()));
    listBoxStyle->setParent(this);
    for (QComboBox* box :
         {MidiInDevComboBox, MidiInChanComboBox, MidiOutDevComboBox, MidiOutChanComboBox})
        box->setStyle(listBoxStyle);
    auto* groupBoxStyle = new GroupBoxStyle(QStyleFactory::create(style()->name()));
    groupBoxStyle->setParent(this);
    for (QGroupBox* box : {GroupBox1, GroupBox2, GroupBox3, GroupBox4, GroupBox5, GroupBox6,
                           GroupBox7, SoundTabSheet->InstrumentBox, SoundTabSheet->ControllersBox,
                           SoundTabSheet->PlayingBox, SoundTabSheet->SynthesizerBox})
        box->setStyle(groupBoxStyle);

    VistaAltFix1 = new TVistaAltFix(this, services_.systemTheme);
    VistaAltFix1->setObjectName(QStringLiteral("VistaAltFix1"));

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);

    // Beside the tabs, in the band the page tabs leave free: the controls below keep their
    // places.
    StatusLabel = new QLabel(PageControl1);
    StatusLabel->setObjectName(QStringLiteral("StatusLabel"));
    StatusLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    StatusLabel->setMinimumWidth(560);
    // The label reaches the window's edge; its text keeps the 4 pixels every caption keeps
    // from a frame.
    StatusLabel->setIndent(4);
    QPalette warning = StatusLabel->palette();
    warning.setColor(QPalette::WindowText, QColor(160, 0, 0));
    StatusLabel->setPalette(warning);
    PageControl1->setCornerWidget(StatusLabel, Qt::TopRightCorner);

    inputs_ = std::make_unique<DeviceList>(DeviceList::Direction::Input, *MidiInDevComboBox,
                                           *VMidiKeys1, services_.midi);
    outputs_ = std::make_unique<DeviceList>(DeviceList::Direction::Output, *MidiOutDevComboBox,
                                            *VMidiKeys1, services_.midi);
    sound_ = std::make_unique<SoundController>(*SoundTabSheet, *VMidiKeys1, services_.synthesizer);
    connect(sound_.get(), &SoundController::soundFontRequested, this,
            [this] { RunGuarded([this] { ChooseSoundFont(); }, errorBox_, kApplicationTitle); });
    devicesChangedTimer_ = new QTimer(this);
    devicesChangedTimer_->setSingleShot(true);
    // Long enough to take in a program registering its ports one by one, short enough that a
    // new device shows at once.
    devicesChangedTimer_->setInterval(50);

    ConnectHandlers();
    FormCreate();
}

TklavioForm::~TklavioForm() {
    services_.midi.midiSetDeviceWatcher(nullptr);
    services_.synthesizer.SetSynthWatcher(nullptr);
    FormDestroy();
    // The keyboard outlives this part of the window; a note it releases while it is destroyed
    // must not reach the handlers of a window that is already gone.
    VMidiKeys1->SetOnNoteOn(nullptr);
    VMidiKeys1->SetOnNoteOff(nullptr);
}

void TklavioForm::CreateKeyboardPage() {
    QWidget* page = KeyboardTabSheet;

    GroupBox1 =
        Place(new QGroupBox(QStringLiteral(" Midi-In-Config "), page), "GroupBox1", 6, 4, 355, 42);
    Label1 = SizeToText(Place(NewLabel("Device", GroupBox1), "Label1", 8, 17, 32, 13));
    MidiInDevComboBox =
        Place(NewListComboBox({QStringLiteral("< No Device selected >")}, GroupBox1),
              "MidiInDevComboBox", 55, 14, 202, 21);
    MidiInChanComboBox = Place(
        NewListComboBox(QStringList{QStringLiteral("All channels")} + ChannelItems(), GroupBox1),
        "MidiInChanComboBox", 263, 14, 82, 21);

    GroupBox2 = Place(new QGroupBox(QStringLiteral(" Midi-Out-Config "), page), "GroupBox2", 6, 48,
                      355, 42);
    Label2 = SizeToText(Place(NewLabel("Device", GroupBox2), "Label2", 8, 17, 32, 13));
    MidiOutDevComboBox =
        Place(NewListComboBox({QStringLiteral("< No Device selected >")}, GroupBox2),
              "MidiOutDevComboBox", 55, 14, 202, 21);
    MidiOutChanComboBox =
        Place(NewListComboBox(ChannelItems(), GroupBox2), "MidiOutChanComboBox", 263, 14, 82, 21);

    GroupBox4 = Place(new QGroupBox(QStringLiteral(" State "), page), "GroupBox4", 368, 4, 233, 42);
    Label5 = SizeToText(Place(NewLabel("Base-Key:", GroupBox4), "Label5", 8, 17, 49, 13));
    Label6 = SizeToText(Place(NewLabel("Last Key:", GroupBox4), "Label6", 120, 17, 45, 13));
    BaseKeyLabel = Place(NewCentredLabel("A0", GroupBox4), "BaseKeyLabel", 56, 17, 49, 13);
    LastKeyLabel = Place(NewCentredLabel("<?\?\?>", GroupBox4), "LastKeyLabel", 168, 17, 57, 13);
    LastKeyLabel->setFont(BoldFont());

    GroupBox3 = Place(new QGroupBox(QStringLiteral(" Transpose / Shift "), page), "GroupBox3", 609,
                      4, 178, 42);
    LowerButton =
        Place(new QPushButton(QStringLiteral("lower"), GroupBox3), "LowerButton", 9, 14, 75, 21);
    UpperButton =
        Place(new QPushButton(QStringLiteral("higher"), GroupBox3), "UpperButton", 92, 14, 75, 21);

    VMidiKeys1 = Place(new TVMidiKeys(page, services_.midi), "VMidiKeys1", 6, 96, 780, 75);
    VMidiKeys1->SetNoteWidth(15);
    VMidiKeys1->SetBaseOctave(1);
    VMidiKeys1->SetBaseNote(TKeyboardStartNote::A);
    VMidiKeys1->BlackBrush().SetColor(clBlack);
    VMidiKeys1->GrayBrush().SetColor(clGray);

    GroupBox5 = Place(new QGroupBox(QStringLiteral(" Free MIDI Command "), page), "GroupBox5", 368,
                      48, 419, 42);
    FreeCmdComboBox = Place(new QComboBox(GroupBox5), "FreeCmdComboBox", 8, 14, 318, 21);
    FreeCmdComboBox->setEditable(true);
    // The history changes only when a command is sent, never by pressing Enter in the box.
    FreeCmdComboBox->setInsertPolicy(QComboBox::NoInsert);
    // Every keystroke lays the whole line out again: measured in a release build, about 90 ms
    // at this length, 190 ms at 1 MiB, where a paste would also take half a second to show.
    // Longer pastes are cut here.
    FreeCmdComboBox->lineEdit()->setMaxLength(kMaxCommandLength);
    SendButton =
        Place(new QPushButton(QStringLiteral("send"), GroupBox5), "SendButton", 333, 14, 75, 21);

    // The hands stay on the keyboard: a wheel turned over a list does not take the keys from
    // it, nor does a click on a button. Lists and the command line take them when clicked or
    // tabbed to, buttons only when tabbed to.
    for (QComboBox* box : {MidiInDevComboBox, MidiInChanComboBox, MidiOutDevComboBox,
                           MidiOutChanComboBox, FreeCmdComboBox})
        box->setFocusPolicy(Qt::StrongFocus);
    for (QPushButton* button : {LowerButton, UpperButton, SendButton})
        button->setFocusPolicy(Qt::TabFocus);
}

void TklavioForm::CreateAboutPage() {
    QWidget* page = AboutTabSheet;

    GroupBox6 = Place(new QGroupBox(page), "GroupBox6", 6, 4, 457, 169);
    ProductImage = Place(new QLabel(GroupBox6), "ProductImage", 56, 25, 48, 48);
    ProductImage->setCursor(Qt::PointingHandCursor);

    NameVersionLabel = Place(NewCentredLabel("klavio  v 1.0.0 (0)", GroupBox6), "NameVersionLabel",
                             115, 27, 292, 25);
    QFont nameFont;
    nameFont.setPixelSize(21);
    NameVersionLabel->setFont(nameFont);
    NameVersionLabel->setCursor(Qt::PointingHandCursor);

    CopyrightLabel = Place(NewCentredLabel("Copyright the klavio authors", GroupBox6),
                           "CopyrightLabel", 115, 56, 292, 16);
    QFont copyrightFont = BoldFont();
    copyrightFont.setPixelSize(13);
    CopyrightLabel->setFont(copyrightFont);
    QPalette blueText = CopyrightLabel->palette();
    blueText.setColor(QPalette::WindowText, Qt::blue);
    CopyrightLabel->setPalette(blueText);
    CopyrightLabel->setCursor(Qt::PointingHandCursor);

    About1Label =
        Place(NewCentredLabel("klavio is free for private and commercial use.", GroupBox6),
              "About1Label", 24, 102, 409, 13);
    About1Label->setFont(BoldFont());
    About2Label = Place(
        NewCentredLabel("It comes without any warranty: you use it at your own risk.", GroupBox6),
        "About2Label", 40, 124, 377, 26);
    About2Label->setFont(BoldFont());
    About2Label->setWordWrap(true);
    // In the free band between the copyright line and the terms of use.
    KeysLabel = Place(NewCentredLabel("", GroupBox6), "KeysLabel", 24, 75, 409, 26);

    GroupBox7 = Place(new QGroupBox(page), "GroupBox7", 472, 4, 315, 169);
    About3Label =
        Place(NewCentredLabel("If klavio is useful to you, a small donation helps to keep "
                              "it going. Thank you!",
                              GroupBox7),
              "About3Label", 8, 19, 297, 39);
    About3Label->setWordWrap(true);
    PayPalImage = Place(new QLabel(GroupBox7), "PayPalImage", 77, 77, 167, 76);
    PayPalImage->setPixmap(DonationButtonPicture());
    PayPalImage->setCursor(Qt::PointingHandCursor);
    // A label has no click signal; the window watches its mouse releases instead.
    PayPalImage->installEventFilter(this);
}

void TklavioForm::ConnectHandlers() {
    // activated, unlike currentIndexChanged, comes only from the user: selecting an item from
    // code must not run a handler.
    connect(MidiInDevComboBox, &QComboBox::activated, this, &TklavioForm::MidiInDevComboBoxChange);
    connect(MidiInChanComboBox, &QComboBox::activated, this,
            &TklavioForm::MidiInChanComboBoxChange);
    connect(MidiOutDevComboBox, &QComboBox::activated, this,
            &TklavioForm::MidiOutDevComboBoxChange);
    connect(MidiOutChanComboBox, &QComboBox::activated, this,
            &TklavioForm::MidiOutChanComboBoxChange);
    // Typing and picking a history entry are the user's changes; setting the text from code is
    // not, so the line edit's textEdited is used rather than the box's editTextChanged.
    connect(FreeCmdComboBox->lineEdit(), &QLineEdit::textEdited, this,
            &TklavioForm::FreeCmdComboBoxChange);
    connect(FreeCmdComboBox, &QComboBox::activated, this, &TklavioForm::FreeCmdComboBoxChange);
    // Why the last command was not sent holds until the user starts on the next one.
    connect(FreeCmdComboBox->lineEdit(), &QLineEdit::textEdited, this, [this] {
        if (whyNotSent_ != WhyNotSent::None || commandNotKept_) {
            whyNotSent_ = WhyNotSent::None;
            commandNotKept_ = false;
            ShowStatus();
        }
    });
    connect(LowerButton, &QPushButton::clicked, this, &TklavioForm::LowerButtonClick);
    connect(UpperButton, &QPushButton::clicked, this, &TklavioForm::UpperButtonClick);
    connect(SendButton, &QPushButton::clicked, this, &TklavioForm::SendButtonClick);
    // Enter sends, as the button does (see eventFilter). Keys reach the box first, which hands
    // them on to its line; either may have them.
    FreeCmdComboBox->installEventFilter(this);
    FreeCmdComboBox->lineEdit()->installEventFilter(this);
    connect(devicesChangedTimer_, &QTimer::timeout, this, &TklavioForm::MidiDevicesChanged);
    connect(Timer1, &QTimer::timeout, this, &TklavioForm::Timer1Timer);
    // Leaving the page hides the keyboard, which ends its notes; coming back, the hands find it
    // ready to play.
    connect(PageControl1, &QTabWidget::currentChanged, this, [this] {
        if (PageControl1->currentWidget() == KeyboardTabSheet)
            VMidiKeys1->setFocus(Qt::OtherFocusReason);
        // The Sound page opens on its instruments, where the arrow keys choose one.
        if (PageControl1->currentWidget() == SoundTabSheet)
            SoundTabSheet->InstrumentList->setFocus(Qt::OtherFocusReason);
    });
    VMidiKeys1->installEventFilter(this);
    VMidiKeys1->SetOnNoteOn([this](QObject* Sender, int note, int velocity) {
        VMidiKeys1NoteOn(Sender, note, velocity);
    });
    VMidiKeys1->SetOnNoteOff([this](QObject* Sender, int note, int velocity) {
        VMidiKeys1NoteOff(Sender, note, velocity);
    });
}

void TklavioForm::FormCreate() {
    RunGuarded([this] { ReadVersionInfo(); }, errorBox_, kApplicationTitle);
}

void TklavioForm::FormShow() {
    RunGuarded(
        [this] {
            // The page the user left open last time is not remembered.
            PageControl1->setCurrentWidget(KeyboardTabSheet);
            FillAboutPage();
            ShowProductNameAsCaption();
            ReadConfig();
            // From here on the lists follow the devices as they come and go.
            services_.midi.midiSetDeviceWatcher(this);
            services_.synthesizer.SetSynthWatcher(this);
            CheckTransposeButtons();
            RefreshLanguage();
            VMidiKeys1->setFocus(Qt::OtherFocusReason);
            Timer1->start();
        },
        errorBox_, kApplicationTitle);
    // Opening a device can take a tenth of a second (the synthesizer joins the sound server),
    // and reading the icon's four pictures several milliseconds: the window draws its first
    // frame, then does both. A window that starts minimised draws nothing, and does them after
    // a second.
    awaitingFirstFrame_ = true;
    QTimer::singleShot(1000, this, [this] { AfterFirstFrame(); });
}

void TklavioForm::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    // The children are drawn after this. The frame leaves for the window system when the event
    // loop next waits or wakes; a zero timer set now would run before that, and the frame would
    // wait for its work (15 ms here). So the work is posted from there.
    if (awaitingFirstFrame_ && !firstFrameLeaving_) {
        firstFrameLeaving_ = true;
        for (const auto loopTurns :
             {&QAbstractEventDispatcher::aboutToBlock, &QAbstractEventDispatcher::awake})
            connect(
                QAbstractEventDispatcher::instance(), loopTurns, this,
                [this] { QTimer::singleShot(0, this, [this] { AfterFirstFrame(); }); },
                Qt::SingleShotConnection);
    }
}

void TklavioForm::AfterFirstFrame() {
    if (!std::exchange(awaitingFirstFrame_, false))
        return;
    RunGuarded(
        [this] {
            // For this window and the dialogs it opens.
            QApplication::setWindowIcon(ProgramIcon());
            inputs_->Update();
            outputs_->Update();
            ShowStatus();
            sound_->SynthesizerChanged();
        },
        errorBox_, kApplicationTitle);
}

void TklavioForm::FormClose() {
    RunGuarded([this] { Timer1->stop(); }, errorBox_, kApplicationTitle);
}

void TklavioForm::FormDestroy() {
    RunGuarded([this] { WriteConfig(); }, errorBox_, kApplicationTitle);
}

void TklavioForm::customEvent(QEvent* event) {
    if (event->type() == MM_DEVICES_CHANGED) {
        if (!devicesChangedTimer_->isActive())
            devicesChangedTimer_->start();
        return;
    }
    if (event->type() == MM_SYNTH_CHANGED) {
        sound_->SynthesizerChanged();
        return;
    }
    QWidget::customEvent(event);
}

void TklavioForm::MidiDevicesChanged() {
    RunGuarded(
        [this] {
            // A port the window closes or opens by itself is worth a line: a note cut short by
            // a device that went can be told from one the program lost. An open that failed is
            // said as such: the service has said why just before.
            const auto report = [this](const char* what, const DeviceList& list, DeviceStep step) {
                const bool reached = list.State() == DeviceState::Connected ||
                                     list.State() == DeviceState::Connecting;
                const char* done =
                    step == DeviceStep::Open    ? (reached ? "connected" : "does not open")
                    : step == DeviceStep::Close ? "closed, its device is gone"
                    : step == DeviceStep::Reopen
                        ? (reached ? "opened again" : "closed, it does not open again")
                        : nullptr;
                if (done != nullptr)
                    services_.log.Report(std::string("MIDI ") + what + " \"" + list.Chosen() +
                                         "\" " + done);
            };
            report("input", *inputs_, inputs_->Update());
            report("output", *outputs_, outputs_->Update());
            ShowStatus();
        },
        errorBox_, kApplicationTitle);
}

void TklavioForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Restoring a minimised window shows it again; FormShow belongs to the first show only.
    if (!shown_) {
        shown_ = true;
        KeepOnScreen();
        FormShow();
    }
}

void TklavioForm::KeepOnScreen() {
    // The designed place lies off small screens; the screen under the window's middle holds it.
    QScreen* holder = QGuiApplication::screenAt(geometry().center());
    if (holder == nullptr)
        holder = screen();
    if (holder == nullptr)
        return;
    // The frame counts where the window system has told Qt about it; move() places the frame.
    const QPoint place = PlaceOnScreen(frameGeometry(), holder->availableGeometry());
    if (place != frameGeometry().topLeft())
        move(place);
}

void TklavioForm::closeEvent(QCloseEvent* event) {
    FormClose();
    QWidget::closeEvent(event);
}

bool TklavioForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == VMidiKeys1 && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<const QKeyEvent*>(event);
        const bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        if (plain && (key->key() == Qt::Key_PageUp || key->key() == Qt::Key_PageDown)) {
            // One octave per press, however long the key is held.
            if (VMidiKeys1->FirstPress(*key))
                ShiftByOctave(key->key() == Qt::Key_PageUp);
            return true;
        }
        // Up and down step through the instruments, left and right bend while held: keys
        // that play nothing.
        if (plain && (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down)) {
            if (VMidiKeys1->FirstPress(*key))
                sound_->StepInstrument(key->key() == Qt::Key_Up ? -1 : 1);
            return true;
        }
        if (plain && (key->key() == Qt::Key_Left || key->key() == Qt::Key_Right)) {
            if (VMidiKeys1->FirstPress(*key))
                sound_->BendByKey(key->key() == Qt::Key_Left ? -1 : 1);
            return true;
        }
    }
    // The bend springs back on the release, which the keyboard still sees to count its keys.
    if (watched == VMidiKeys1 && event->type() == QEvent::KeyRelease) {
        const auto* key = static_cast<const QKeyEvent*>(event);
        if (!key->isAutoRepeat() && (key->key() == Qt::Key_Left || key->key() == Qt::Key_Right))
            sound_->BendByKey(0);
    }
    // A SysEx dump may be pasted whole; the line's own paste would hold the window. The box
    // has the keys and hands them to its line; the mouse goes to the line itself.
    const bool boxKeysOrMenu = watched == FreeCmdComboBox && (event->type() == QEvent::KeyPress ||
                                                              event->type() == QEvent::ContextMenu);
    if ((watched == FreeCmdComboBox->lineEdit() || boxKeysOrMenu) &&
        PasteEventTaken(*FreeCmdComboBox->lineEdit(), *event))
        return true;
    if ((watched == FreeCmdComboBox || watched == FreeCmdComboBox->lineEdit()) &&
        event->type() == QEvent::KeyPress) {
        // Taken before the line and the box both act on it, which would send twice; only what
        // the button would send.
        const int key = static_cast<const QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            if (SendButton->isEnabled())
                SendButtonClick();
            return true;
        }
    }
    if (watched == PayPalImage && event->type() == QEvent::MouseButtonRelease) {
        // The press went to the picture too: a pressed button keeps the mouse to its widget.
        const auto* mouse = static_cast<const QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton &&
            PayPalImage->rect().contains(mouse->position().toPoint()))
            PayPalImageClick();
    }
    return QWidget::eventFilter(watched, event);
}

void TklavioForm::VMidiKeys1NoteOn(QObject* /*Sender*/, int note, int /*velocity*/) {
    LastKeyLabel->setText(QString::fromStdString(NoteToStr(note)));
}

void TklavioForm::VMidiKeys1NoteOff(QObject* /*Sender*/, int /*note*/, int /*velocity*/) {
    // The last-key label keeps the released note's name.
}

void TklavioForm::LowerButtonClick() {
    BaseKeyLabel->setText(QString::fromStdString(VMidiKeys1->ShiftLower()));
    CheckTransposeButtons();
    DescribeKeyboard();
}

void TklavioForm::UpperButtonClick() {
    BaseKeyLabel->setText(QString::fromStdString(VMidiKeys1->ShiftHigher()));
    CheckTransposeButtons();
    DescribeKeyboard();
}

void TklavioForm::ShiftByOctave(bool higher) {
    for (int step = 0; step < 7; ++step)
        higher ? UpperButtonClick() : LowerButtonClick();
}

void TklavioForm::CheckTransposeButtons() {
    LowerButton->setEnabled(
        !(VMidiKeys1->BaseOctave() == 0 && VMidiKeys1->BaseNote() == TKeyboardStartNote::C));
    UpperButton->setEnabled(
        !(VMidiKeys1->BaseOctave() == 9 && VMidiKeys1->BaseNote() == TKeyboardStartNote::B));
}

void TklavioForm::RefreshLanguage() {
    const WindowTexts& texts = WindowTextsIn(IsGermanLanguage());
    const auto setLabel = [&](QLabel* label, std::string_view caption) {
        label->setText(FromUtf8(caption));
        label->adjustSize();
    };
    // Items are renamed where they stand, none added or removed, and the selection is put back
    // from code: no change handler runs, so open ports and the keyboard's channels stay as they
    // are.
    const auto renameItems = [](QComboBox* box, const QStringList& items) {
        const int selected = box->currentIndex();
        box->setUpdatesEnabled(false);
        for (int i = 0; i < items.size() && i < box->count(); ++i)
            box->setItemText(i, items[i]);
        box->setCurrentIndex(selected);
        box->setUpdatesEnabled(true);
        box->setCurrentIndex(selected);
    };
    QStringList channels;
    for (int channel = 1; channel <= 16; ++channel)
        channels << FromUtf8(ChannelItemText(texts, channel));

    UpdateDonationLink();

    PageControl1->setTabText(PageControl1->indexOf(KeyboardTabSheet), FromUtf8(texts.keyboardTab));
    PageControl1->setTabText(PageControl1->indexOf(AboutTabSheet), FromUtf8(texts.aboutTab));
    PageControl1->setTabText(PageControl1->indexOf(SoundTabSheet),
                             FromUtf8(SoundTextsIn(IsGermanLanguage()).tab));
    sound_->SetLanguage(IsGermanLanguage());
    GroupBox1->setTitle(FromUtf8(texts.midiInBox));
    setLabel(Label1, texts.midiInDeviceLabel);
    renameItems(MidiInDevComboBox, {FromUtf8(texts.noDevice)});
    renameItems(MidiInChanComboBox, QStringList{FromUtf8(texts.allChannels)} + channels);
    GroupBox2->setTitle(FromUtf8(texts.midiOutBox));
    setLabel(Label2, texts.midiOutDeviceLabel);
    outputs_->SetOwnPortSuffix(texts.ownPortSuffix);
    renameItems(MidiOutDevComboBox, {FromUtf8(texts.noDevice)});
    renameItems(MidiOutChanComboBox, channels);
    GroupBox3->setTitle(FromUtf8(texts.transposeBox));
    LowerButton->setText(FromUtf8(texts.lower));
    UpperButton->setText(FromUtf8(texts.higher));
    GroupBox4->setTitle(FromUtf8(texts.stateBox));
    setLabel(Label5, texts.baseKeyLabel);
    setLabel(Label6, texts.lastKeyLabel);
    GroupBox5->setTitle(FromUtf8(texts.freeCommandBox));
    SendButton->setText(FromUtf8(texts.send));
    About1Label->setText(FromUtf8(texts.usageTerms1));
    About2Label->setText(FromUtf8(texts.usageTerms2));
    About3Label->setText(FromUtf8(texts.donationInvitation));
    KeysLabel->setText(FromUtf8(texts.playingKeys));
    DescribeControls();
    ShowStatus();
}

void TklavioForm::ShowStatus() {
    const bool german = IsGermanLanguage();
    StatusFacts facts;
    facts.command = whyNotSent_;
    facts.commandNotKept = commandNotKept_;
    facts.output = outputs_->State();
    facts.outputName = outputs_->ChosenCaption();
    facts.input = inputs_->State();
    facts.inputName = inputs_->ChosenCaption();
    facts.systemRunning = services_.midi.midiSystemRunning();
    StatusLabel->setText(QString::fromStdString(StatusText(facts, german)));
    // The list of a device that cannot be reached says so where the eye goes, in its tooltip
    // and in muted red.
    const auto mark = [german](QComboBox* box, const DeviceList& list, bool output) {
        const std::string problem =
            DeviceProblemText(list.State(), list.ChosenCaption(), output, german);
        box->setToolTip(QString::fromStdString(problem));
        QPalette palette = QApplication::palette(box);
        if (!problem.empty())
            for (const QPalette::ColorRole role : {QPalette::ButtonText, QPalette::Text})
                palette.setColor(role, QColor(160, 0, 0));
        box->setPalette(palette);
    };
    mark(MidiInDevComboBox, *inputs_, false);
    mark(MidiOutDevComboBox, *outputs_, true);
    const bool commandRefused = whyNotSent_ != WhyNotSent::None || commandNotKept_;
    FreeCmdComboBox->setToolTip(commandRefused ? StatusLabel->text() : QString());
}

namespace {

void Describe(QWidget* control, const AccessibleText& text) {
    control->setAccessibleName(FromUtf8(text.name));
    control->setAccessibleDescription(FromUtf8(text.description));
}

} // namespace

void TklavioForm::DescribeControls() {
    const WindowTexts& texts = WindowTextsIn(IsGermanLanguage());
    Describe(PageControl1, texts.pages);
    Describe(MidiInDevComboBox, texts.midiInDeviceList);
    Describe(MidiInChanComboBox, texts.midiInChannelList);
    Describe(MidiOutDevComboBox, texts.midiOutDeviceList);
    Describe(MidiOutChanComboBox, texts.midiOutChannelList);
    Describe(BaseKeyLabel, texts.baseKey);
    Describe(LastKeyLabel, texts.lastKey);
    Describe(LowerButton, texts.lowerButton);
    Describe(UpperButton, texts.higherButton);
    Describe(FreeCmdComboBox, texts.commandLine);
    Describe(SendButton, texts.sendButton);
    Describe(NameVersionLabel, texts.productLink);
    Describe(ProductImage, texts.productLink);
    Describe(CopyrightLabel, texts.copyrightLink);
    Describe(PayPalImage, texts.donationButton);
    DescribeKeyboard();
}

void TklavioForm::DescribeKeyboard() {
    const WindowTexts& texts = WindowTextsIn(IsGermanLanguage());
    const int lowest = VMidiKeys1->LowestVisibleNote();
    const auto name = [](int note) {
        const std::string text = NoteToStr(note);
        return text.empty() ? std::string("-") : text;
    };
    VMidiKeys1->setAccessibleName(FromUtf8(texts.keyboard.name));
    VMidiKeys1->setAccessibleDescription(QString::fromStdString(KeyboardDescription(
        texts, name(lowest), name(std::min(VMidiKeys1->HighestVisibleNote(), 127)),
        name(PlayingRowsStart(lowest)))));
}

namespace {

// The device a stored list text names; none for the no-device item's text, which is stored
// as it was shown, in either language.
std::string StoredDevice(const std::string& text) {
    for (const bool german : {false, true}) {
        const std::string_view none = WindowTextsIn(german).noDevice;
        if (QString::fromStdString(text).compare(FromUtf8(none), Qt::CaseInsensitive) == 0)
            return {};
    }
    return text;
}

} // namespace

void TklavioForm::ReadConfig() {
    const StoredSettings settings = LoadSettings(
        *services_.registry.Access(), SettingsKeyPath(FCompanyName, FProductName), services_.log);

    VMidiKeys1->SetBaseOctave(settings.baseOctave);
    VMidiKeys1->SetBaseNote(static_cast<TKeyboardStartNote>(settings.baseNote));
    BaseKeyLabel->setText(QString::fromStdString(VMidiKeys1->BaseString()));
    inputs_->RestoreChoice(StoredDevice(settings.midiInDevice));
    MidiInChanComboBox->setCurrentIndex(settings.midiInChannel);
    MidiInChanComboBoxChange();
    // The channel and its sound first: the output device opening now is brought to them.
    MidiOutChanComboBox->setCurrentIndex(settings.midiOutChannel);
    MidiOutChanComboBoxChange();
    sound_->Restore(settings.sound);
    // Until an output is chosen, the built-in synthesizer behind the mapper: the first click is
    // heard.
    outputs_->RestoreChoice(settings.outputNeverChosen ? std::string(TVMidiKeys::kMapperName)
                                                       : StoredDevice(settings.midiOutDevice));

    // Every stored command, even beyond the limit of sending: the line keeps what it is given.
    // Its bytes go along to be saved again, for a name that is no UTF-8 would not survive the way
    // through a QString. Such a name shows a character per byte, as the line reads what is sent.
    for (const std::string& command : settings.commands) {
        const QByteArray bytes = QByteArray::fromStdString(command);
        const QString utf8 = QString::fromUtf8(bytes);
        FreeCmdComboBox->addItem(utf8.toUtf8() == bytes ? utf8 : QString::fromLatin1(bytes), bytes);
    }
    loadedCommands_ = settings.commands;
    if (FreeCmdComboBox->count() > 0)
        FreeCmdComboBox->setCurrentIndex(0);
}

void TklavioForm::WriteConfig() {
    StoredSettings settings;
    settings.baseOctave = VMidiKeys1->BaseOctave();
    settings.baseNote = static_cast<std::int32_t>(VMidiKeys1->BaseNote());
    // A device by its name's bytes, which the list's text may not give back, and the own port
    // by its name in any language; no device as its item reads.
    const auto device = [](const DeviceList& list, const QComboBox* box) {
        return list.Chosen().empty() ? box->itemText(0).toStdString() : list.Chosen();
    };
    settings.midiInDevice = device(*inputs_, MidiInDevComboBox);
    settings.midiInChannel = MidiInChanComboBox->currentIndex();
    settings.midiOutDevice = device(*outputs_, MidiOutDevComboBox);
    settings.midiOutChannel = MidiOutChanComboBox->currentIndex();
    settings.sound = sound_->Kept();
    // The bytes a command was loaded with, else its text.
    for (int item = 0; item < FreeCmdComboBox->count(); ++item) {
        const QVariant bytes = FreeCmdComboBox->itemData(item);
        settings.commands.push_back(bytes.isValid()
                                        ? bytes.toByteArray().toStdString()
                                        : FreeCmdComboBox->itemText(item).toStdString());
    }
    SaveSettings(*services_.registry.Access(), SettingsKeyPath(FCompanyName, FProductName),
                 settings, loadedCommands_, services_.log);
}

void TklavioForm::ChooseSoundFont() {
    const SoundTexts& texts = SoundTextsIn(IsGermanLanguage());
    const QString now = QString::fromStdString(services_.synthesizer.SoundFont());
    const QString chosen = QFileDialog::getOpenFileName(this, FromUtf8(texts.chooseSoundFont),
                                                        QFileInfo(now).absolutePath(),
                                                        FromUtf8(texts.soundFontFilter));
    if (chosen.isEmpty())
        return;
    const std::string path = chosen.toStdString();
    services_.synthesizer.UseSoundFont(path);
    WriteSoundFontSetting(*services_.registry.Access(), SettingsKeyPath(FCompanyName, FProductName),
                          path, services_.log);
    // The synthesizer playing now plays the new file once opened again.
    if (VMidiKeys1->MIDIOutDevice() == MIDI_MAPPER && VMidiKeys1->MidiOutEnabled()) {
        VMidiKeys1->SetMidiOutEnabled(false);
        VMidiKeys1->SetMidiOutEnabled(true);
        MidiDevicesChanged();
    }
    sound_->SynthesizerChanged();
}

void TklavioForm::MidiInDevComboBoxChange() {
    inputs_->UserChose();
    ShowStatus();
}

void TklavioForm::MidiInChanComboBoxChange() {
    VMidiKeys1->SetMIDIInChannel(static_cast<TMIDIInChannel>(MidiInChanComboBox->currentIndex()));
}

void TklavioForm::MidiOutDevComboBoxChange() {
    outputs_->UserChose();
    ShowStatus();
}

void TklavioForm::MidiOutChanComboBoxChange() {
    VMidiKeys1->SetMIDIOutChannel(
        static_cast<TMIDIOutChannel>(MidiOutChanComboBox->currentIndex() + 1));
    sound_->ShowChannel();
}

void TklavioForm::SendButtonClick() {
    const std::string text = FreeCmdComboBox->currentText().toLatin1().toStdString();
    // Only whole MIDI messages go out, always as one long message however short; what is not
    // sent says why, and still enters the history to be corrected.
    const std::string digits = ExtractHexDigits(text);
    const std::string bytes = HexDigitsToBytes(digits);
    if (digits.size() % 2 != 0) {
        whyNotSent_ = WhyNotSent::OddDigits;
    } else {
        const MidiStreamSplit split =
            SplitMidiStream(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        whyNotSent_ = WhyNotSentFor(split.problem);
    }
    if (whyNotSent_ == WhyNotSent::None)
        whyNotSent_ = WhyNotSentFor(VMidiKeys1->SendLongMsg(bytes));
    const QString entry = QString::fromLatin1(TrimBlanks(text));
    // The settings file cannot name a value this long; the entry stays for this session only.
    commandNotKept_ = entry.toStdString().size() > kMaxValueNameSize;
    ShowStatus();

    // A fixed-string match is whole-text and ignores letter case.
    const int found = FreeCmdComboBox->findText(entry, Qt::MatchFixedString);
    if (found >= 0) {
        // The entry keeps the text it was first sent with.
        const QString stored = FreeCmdComboBox->itemText(found);
        const QVariant bytes = FreeCmdComboBox->itemData(found);
        FreeCmdComboBox->removeItem(found);
        FreeCmdComboBox->insertItem(0, stored, bytes);
    } else {
        FreeCmdComboBox->insertItem(0, entry);
        // Only the one entry past the limit goes: a longer restored history keeps its length.
        if (FreeCmdComboBox->count() > static_cast<int>(MaxCommandHistory))
            FreeCmdComboBox->removeItem(static_cast<int>(MaxCommandHistory));
    }
    // Selecting from code is no edit: the box keeps its colour and the button its state.
    FreeCmdComboBox->setCurrentIndex(0);
}

void TklavioForm::FreeCmdComboBoxChange() {
    const bool acceptable =
        IsHexText(FreeCmdComboBox->currentText().toLatin1().toStdString(), true);
    SendButton->setEnabled(acceptable);
    QPalette palette = FreeCmdComboBox->palette();
    palette.setColor(QPalette::Base,
                     acceptable ? QApplication::palette(FreeCmdComboBox).color(QPalette::Base)
                                : QColor(255, 0, 0));
    FreeCmdComboBox->setPalette(palette);
}

void TklavioForm::Timer1Timer() {
    if (UserLanguageChanged(services_.userLanguage))
        RefreshLanguage();
}

namespace {

// The version fields hold 8-bit text in Windows-1252, as the version service gives it.
QString FromWindows1252(const std::string& text) {
    return QString::fromStdU16String(Windows1252ToUtf16(text));
}

} // namespace

void TklavioForm::PayPalImageClick() {
    // Whether a browser comes up is not reported: there is nothing the window could do about it.
    services_.shell.ShellExecuteA("open",
                                  Utf16ToWindows1252(PayPalImage->toolTip().toStdU16String()));
}

void TklavioForm::ReadVersionInfo() {
    // A program file without a translation makes the first GetValue throw: the version text is
    // set by then, and the fields after it stay empty.
    const TVersionInfo info(services_.version, services_.program.ExecutablePath());
    FVersionText = TVersionInfo::VersionToText(info.FileVersion());
    FProductName = info.GetValue("ProductName");
    FCompanyName = info.GetValue("CompanyName");
    FEmail = info.GetValue("Email");
    FWebsite = info.GetValue("Website");
    FLegalCopyright = info.GetValue("LegalCopyright");
}

void TklavioForm::FillAboutPage() {
    CopyrightLabel->setText(FromWindows1252(FLegalCopyright));
    CopyrightLabel->setToolTip(FromWindows1252(MailLink(FEmail, FProductName)));
    NameVersionLabel->setText(FromWindows1252(FProductName + " v" + FVersionText));
    NameVersionLabel->setToolTip(FromWindows1252(FWebsite));
    ProductImage->setToolTip(FromWindows1252(FWebsite));
    // Without its picture the image stays empty.
    const QPixmap picture = ProgramPicture(48);
    if (!picture.isNull())
        ProductImage->setPixmap(picture);
}

void TklavioForm::ShowProductNameAsCaption() {
    setWindowTitle(FromWindows1252(FProductName));
}

void TklavioForm::UpdateDonationLink() {
    PayPalImage->setToolTip(FromWindows1252(DonationLink(FProductName, IsGermanLanguage())));
}
