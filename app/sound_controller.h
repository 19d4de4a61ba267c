#pragma once

// Joins the Sound page to the keyboard and the built-in synthesizer: what the page's controls
// send on the output channel, the channel's state shown when the channel changes, the state
// sent again when a device opens, and what of it is kept from run to run.

#include "app/settings_schema.h"
#include "app/sound_page.h"
#include "formats/channel_sound.h"
#include "keyboard/key_labels.h"

#include <QObject>

#include <array>
#include <string>

class Synthesizer;
class TVMidiKeys;

class SoundController : public QObject {
    Q_OBJECT
public:
    // All three must outlive the controller.
    SoundController(SoundPage& page, TVMidiKeys& keys, Synthesizer& synthesizer);
    ~SoundController() override;

    // Puts the stored state on the page and the keyboard; nothing is sent until a device opens.
    void Restore(const SoundSettings& settings);
    SoundSettings Kept() const;

    // The output channel changed: the page shows the new one's state.
    void ShowChannel();
    // The synthesizer finished or failed loading, or its file changed.
    void SynthesizerChanged();
    // The page's texts in the current language.
    void SetLanguage(bool german);

    // The arrow keys on the keyboard page: the previous or next instrument, a bend held.
    void StepInstrument(int step);
    void BendByKey(int direction); // -1 down, +1 up, 0 back to centre

signals:
    // The user asks for another SoundFont file: the window opens the dialog.
    void soundFontRequested();

private:
    int Channel() const; // the output channel, counted from 0
    void Send(const ShortMessages& messages);
    void ListInstruments();
    // A device opened on the output: it is brought to what the page shows, and the page lists
    // its instruments: the built-in synthesizer's own where it is the one.
    void OutputOpened();

    SoundPage& page_;
    TVMidiKeys& keys_;
    Synthesizer& synthesizer_;
    ChannelSound sound_;
    KeyLabels keyLabels_ = KeyLabels::None;
    int masterVolume_ = 100;
    bool builtIn_ = false;
    bool german_ = false;
};
