#pragma once

// TklavioForm: the program's one window, a Keyboard page with the device, channel, shift and
// free-command panels above the keyboard, and an About page.

#include <QWidget>

#include <memory>
#include <string>
#include <vector>

#include "app/status_line.h"

#include "platform/platform_services.h"

class DeviceList;
class ErrorBox;
class QCloseEvent;
class QComboBox;
class QEvent;
class QGroupBox;
class QLabel;
class QObject;
class QPushButton;
class QShowEvent;
class QTabWidget;
class QTimer;
class SoundController;
class SoundPage;
class TVMidiKeys;
class TVistaAltFix;

class TklavioForm : public QWidget {
    Q_OBJECT
public:
    // Builds every control, then runs FormCreate. Errors escaping the window's handlers are
    // shown in the services' error box; the services must outlive the window.
    explicit TklavioForm(const PlatformServices& services, QWidget* parent = nullptr);
    // Runs FormDestroy while every control still exists.
    ~TklavioForm() override;

    // The controls, owned by the window. XPManifest1 has no counterpart: Qt draws its controls
    // in the desktop's style without being asked.
    QTabWidget* PageControl1 = nullptr;
    QWidget* KeyboardTabSheet = nullptr;
    SoundPage* SoundTabSheet = nullptr;
    QWidget* AboutTabSheet = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* MidiInDevComboBox = nullptr;
    QComboBox* MidiInChanComboBox = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QLabel* Label2 = nullptr;
    QComboBox* MidiOutDevComboBox = nullptr;
    QComboBox* MidiOutChanComboBox = nullptr;
    QGroupBox* GroupBox4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* BaseKeyLabel = nullptr;
    QLabel* LastKeyLabel = nullptr;
    QGroupBox* GroupBox3 = nullptr;
    QPushButton* LowerButton = nullptr;
    QPushButton* UpperButton = nullptr;
    TVMidiKeys* VMidiKeys1 = nullptr;
    QGroupBox* GroupBox5 = nullptr;
    QComboBox* FreeCmdComboBox = nullptr;
    QPushButton* SendButton = nullptr;
    QGroupBox* GroupBox6 = nullptr;
    QLabel* ProductImage = nullptr;
    QLabel* NameVersionLabel = nullptr;
    QLabel* CopyrightLabel = nullptr;
    QLabel* About1Label = nullptr;
    QLabel* About2Label = nullptr;
    QLabel* KeysLabel = nullptr;
    QGroupBox* GroupBox7 = nullptr;
    QLabel* About3Label = nullptr;
    QLabel* PayPalImage = nullptr;
    TVistaAltFix* VistaAltFix1 = nullptr;
    QTimer* Timer1 = nullptr;
    // Beside the page tabs: what is wrong, if anything (a command not sent, a device absent).
    QLabel* StatusLabel = nullptr;

    void CheckTransposeButtons();
    void RefreshLanguage();
    void VMidiKeys1NoteOn(QObject* Sender, int note, int velocity);
    void LowerButtonClick();
    void UpperButtonClick();
    void ReadConfig();
    void WriteConfig();
    void FormShow();
    void FormDestroy();
    void MidiInDevComboBoxChange();
    void MidiInChanComboBoxChange();
    void MidiOutDevComboBoxChange();
    void MidiOutChanComboBoxChange();
    void VMidiKeys1NoteOff(QObject* Sender, int note, int velocity);
    void FormCreate();
    void SendButtonClick();
    void FreeCmdComboBoxChange();
    void FormClose();
    void Timer1Timer();
    void PayPalImageClick();

    // Relists the devices and reconnects or releases the chosen ones; the service's device
    // watcher events come here, a burst of them once.
    void MidiDevicesChanged();
    // The Sound page's SoundFont button: a file dialog, and the synthesizer opened again on the
    // file picked, which the settings keep.
    void ChooseSoundFont();

protected:
    void customEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Pulls the window onto the screen that holds it where its designed place lies partly off it.
    void KeepOnScreen();
    // Once the first frame is drawn: the program's icon, and the devices the settings hold
    // connected.
    void AfterFirstFrame();
    void CreateKeyboardPage();
    void CreateAboutPage();
    void ConnectHandlers();

    void ReadVersionInfo();
    void FillAboutPage();
    void ShowProductNameAsCaption();
    void UpdateDonationLink();
    // Page Up and Page Down: the lower and higher buttons' steps, seven at a time.
    void ShiftByOctave(bool higher);
    void DescribeControls();
    void DescribeKeyboard();
    // Puts the status line and the device lists' warnings in the current language.
    void ShowStatus();

    PlatformServices services_;
    ErrorBox& errorBox_;
    bool shown_ = false;
    bool awaitingFirstFrame_ = false;
    bool firstFrameLeaving_ = false; // the work after it is asked for
    // The history as ReadConfig found it; saving keeps what another instance added since.
    std::vector<std::string> loadedCommands_;
    std::unique_ptr<DeviceList> inputs_;
    std::unique_ptr<DeviceList> outputs_;
    // What the Sound page sends, and keeps from run to run.
    std::unique_ptr<SoundController> sound_;
    // Gathers a burst of device changes into one relisting.
    QTimer* devicesChangedTimer_ = nullptr;
    WhyNotSent whyNotSent_ = WhyNotSent::None;
    // The last command sent is too long to be kept in the saved history.
    bool commandNotKept_ = false;

    // Filled from the program's version resource by FormCreate, empty until then.
    std::string FVersionText;
    std::string FProductName;
    std::string FCompanyName;
    std::string FEmail;
    std::string FWebsite;
    std::string FLegalCopyright;
};
