#pragma once

// The Sound page: the instrument by name, the channel's controllers, bend and pedals, how the
// computer keys play, and the built-in synthesizer's SoundFont and master volume. It only shows
// and asks; SoundController decides what its controls send.

#include "app/sound_texts.h"
#include "formats/channel_sound.h"
#include "keyboard/key_labels.h"

#include <QWidget>

#include <array>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSlider;
class QSpinBox;

// An instrument the output device offers.
struct Instrument {
    SoundChoice choice;
    // FluidSynth's bank number where the built-in synthesizer lists it; else bank select's MSB.
    int bank = 0;
    std::string name; // UTF-8
    bool operator==(const Instrument&) const = default;
};

class SoundPage : public QWidget {
    Q_OBJECT
public:
    explicit SoundPage(QWidget* parent = nullptr);

    void SetTexts(const SoundTexts& texts);
    // The list the instrument is picked from; the current choice stays marked where it is in it.
    // The same list again changes nothing: a device opening does not wait for the list.
    void SetInstruments(std::vector<Instrument> instruments);
    // The channel's state, put on the controls without any of them sending.
    void ShowChannel(const ChannelSettings& settings, bool sustain, bool sostenuto, bool soft);
    void ShowPedal(Pedal pedal, bool down);
    void ShowPlaying(int keyVelocity, int transpose, KeyLabels labels);
    // The synthesizer box: whether it is the output, the SoundFont's file name, a load problem
    // (empty when none), and the master volume in percent.
    void ShowSynthesizer(bool chosen, const QString& soundFont, const QString& problem,
                         bool loading, int masterVolume);

    // Steps the instrument list by one, as the arrow keys do on the keyboard page.
    void StepInstrument(int step);

    QGroupBox* InstrumentBox = nullptr;
    QLineEdit* SearchEdit = nullptr;
    QListWidget* InstrumentList = nullptr;
    QGroupBox* ControllersBox = nullptr;
    std::array<QLabel*, kControllerCount> ControllerLabels{};
    std::array<QSlider*, kControllerCount> ControllerSliders{};
    QLabel* BendLabel = nullptr;
    QSlider* BendSlider = nullptr;
    QSpinBox* BendRangeSpin = nullptr;
    QGroupBox* PlayingBox = nullptr;
    std::array<QPushButton*, 3> PedalButtons{};
    QLabel* KeyVelocityLabel = nullptr;
    QSpinBox* KeyVelocitySpin = nullptr;
    QLabel* TransposeLabel = nullptr;
    QSpinBox* TransposeSpin = nullptr;
    QLabel* NoteNamesLabel = nullptr;
    QComboBox* NoteNamesBox = nullptr;
    QGroupBox* SynthesizerBox = nullptr;
    QPushButton* SoundFontButton = nullptr;
    QLabel* SoundFontLabel = nullptr;
    QLabel* MasterVolumeLabel = nullptr;
    QSlider* MasterVolumeSlider = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

signals:
    void instrumentChosen(SoundChoice choice);
    void controllerMoved(Controller controller, int value);
    // 0 to 16383; back to 8192 when the slider is let go.
    void bendMoved(int value);
    void bendRangeChanged(int semitones);
    void pedalPressed(Pedal pedal, bool down);
    void keyVelocityChanged(int velocity);
    void transposeChanged(int semitones);
    void keyLabelsChanged(KeyLabels labels);
    void soundFontRequested();
    void masterVolumeChanged(int percent);

private:
    void Filter(const QString& text);
    void MarkChosen();

    std::vector<Instrument> instruments_;
    std::optional<SoundChoice> chosen_;
};
