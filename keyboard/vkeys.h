#pragma once

// TVKeys: a piano keyboard drawn on its own canvas and played with the mouse or, while it has
// the focus, with two rows of the computer keyboard (keyboard/computer_keys.h).

#include "keyboard/computer_keys.h"
#include "keyboard/graphics_objects.h"
#include "keyboard/key_geometry.h"
#include "keyboard/key_labels.h"

#include <QImage>
#include <QTimer>
#include <QWidget>

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QKeyEvent;
class QObject;

// Sender, note, velocity. May be unassigned.
using TKeyboardNoteEvent = std::function<void(QObject* Sender, int note, int velocity)>;

class TVKeys : public QWidget {
    Q_OBJECT
public:
    explicit TVKeys(QWidget* owner = nullptr);
    ~TVKeys() override;

    TKeyboardOrientation Orientation() const { return FOrientation; }
    void SetOrientation(TKeyboardOrientation value);
    int NoteWidth() const { return FNoteWidth; }
    void SetNoteWidth(int value); // below 1 becomes 1: the walk and the hit test divide by it
    int BaseOctave() const { return FBaseOctave; }
    void SetBaseOctave(int value); // negative or absurdly high values are refused
    TKeyboardStartNote BaseNote() const { return FBaseNote; }
    void SetBaseNote(TKeyboardStartNote value); // past B becomes B
    const std::string& BaseString() const { return FBaseString; }
    void SetBaseString(const std::string& ignored);

    TBrush& BlackBrush() { return FBlackBrush; }
    TBrush& WhiteBrush() { return FWhiteBrush; }
    TBrush& GrayBrush() { return FGrayBrush; }
    TPen& Pen() { return FPen; }
    void SetBlackBrush(const TBrush& value) { FBlackBrush.Assign(value); }
    void SetWhiteBrush(const TBrush& value) { FWhiteBrush.Assign(value); }
    void SetGrayBrush(const TBrush& value) { FGrayBrush.Assign(value); }
    void SetPen(const TPen& value) { FPen.Assign(value); }

    // The velocity of notes played on the computer keyboard, which knows no force.
    int KeyVelocity() const { return FKeyVelocity; }
    void SetKeyVelocity(int value); // kept within 1..127: 0 would be a note-off

    bool VelocityMode() const { return FVelocityMode; }
    void SetVelocityMode(bool value) { FVelocityMode = value; }

    const TKeyboardNoteEvent& OnNoteOn() const { return FOnNoteOn; }
    void SetOnNoteOn(TKeyboardNoteEvent handler) { FOnNoteOn = std::move(handler); }
    const TKeyboardNoteEvent& OnNoteOff() const { return FOnNoteOff; }
    void SetOnNoteOff(TKeyboardNoteEvent handler) { FOnNoteOff = std::move(handler); }

    // Move the lowest visible white key one white key down or up (C-1 to B8) and return the new
    // BaseString.
    std::string ShiftLower();
    std::string ShiftHigher();

    KeyMetrics GetKeyMetrics() const;
    static NoteSplit SplitNote(int offset) { return ::SplitNote(offset); }
    NoteHit NoteFromPoint(int X, int Y) const;

    // Every note passes through these; Notify is set for notes the user plays and clear for
    // notes that are only shown.
    virtual void NoteOn(int Note, int Velocity, bool Notify);
    virtual void NoteOff(int Note, int Velocity, bool Notify);

    // Written by every drawing pass; 0 until the first.
    int FirstNote() const { return FFirstNote; }
    int LastNote() const { return FLastNote; }
    int MouseNote() const { return FMouseNote; }
    bool IsPressed(int note) const { return note >= 0 && note < 128 && FPressedNotes.test(note); }

    // What the widget shows, one pixel to each of the widget's pixels; on a screen with more
    // device pixels to each, the same picture is drawn at the device's resolution.
    const QImage& Canvas() const { return canvas_; }

    void InvertKey(int note);

    // The lowest note on screen; the computer keyboard's rows start at the C at or above it.
    int LowestVisibleNote() const;
    // The highest note on screen, drawn whole or not.
    int HighestVisibleNote() const;

    // The sustain pedal, held with the space bar or set from elsewhere (the Sound page's button):
    // one pedal, whoever moves it. handler hears every change; it may be unassigned.
    bool SustainIsDown() const { return FSustainDown; }
    void SetSustain(bool down);
    void SetOnSustainChanged(std::function<void(bool down)> handler) {
        FOnSustainChanged = std::move(handler);
    }
    // Called once the control has lost the keys (see KeysLost); may be unassigned.
    void SetOnKeysLost(std::function<void()> handler) { FOnKeysLost = std::move(handler); }

    // Which keys carry their note's name.
    KeyLabels Labels() const { return FKeyLabels; }
    void SetKeyLabels(KeyLabels labels);

    // Ends every note the user holds, from the mouse or the computer keyboard, with its
    // note-off, and lifts the sustain pedal: for a device that goes, Escape, and KeysLost. The
    // keys stay down as far as FirstPress knows: their repeats start nothing.
    void ReleaseHeldNotes();
    // Escape: every held note ends and every key shows released, incoming notes included.
    virtual void Panic();
    // Every way the control can lose the keys ends here: the releases of the keys down now
    // will not arrive, so their notes end and the keys count as up. Also called when the
    // window system took the keys for a moment too short for Qt to report.
    void KeysLost();

    // A press of the left button at X, Y that the window system has reported and Qt will
    // deliver to this control one pass of the event loop later: played now, since a note that
    // reaches the device after the start of its cycle waits a whole cycle. The QMouseEvent
    // with the same timestamp then changes nothing; if it does not come within a second, the
    // note ends.
    void PlayPressAhead(int X, int Y, quint64 timestamp);

    // True for the first press of a key of the computer keyboard, false for the presses it
    // repeats while held, whether or not they are marked as repeats: with the X server
    // repeating presses alone, Qt marks none. The key counts as down until its release reaches
    // the control or the control loses the keys.
    bool FirstPress(const QKeyEvent& press);

protected:
    virtual void Paint();
    void GraphicsChanged();

    // The sustain pedal, held with the space bar; here it only changes state.
    virtual void SustainChanged(bool /*down*/) {}
    bool SustainDown() const { return FSustainDown; }

    void KeysMouseDown(QObject* Sender, Qt::MouseButton Button, Qt::MouseButtons Shift, int X,
                       int Y);
    void KeysMouseMove(QObject* Sender, Qt::MouseButtons Shift, int X, int Y);
    void KeysMouseUp(QObject* Sender, Qt::MouseButton Button, Qt::MouseButtons Shift, int X, int Y);

    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // What the current press of the left button is doing. A press on no key that plays (past
    // the keys, or above note 127) plays nothing until the pointer drags onto one, and its
    // release ends nothing; a note cut short (control hidden, disabled, mouse taken by another
    // widget) leaves the rest of that press, its release included, without effect.
    enum class LeftPress { Idle, Holding, OnNoKey, CutShort };

    void PressPlayingKey(int playingKey);
    void ReleasePlayingKey(int playingKey);
    void LiftSustain();
    void ChangeSustain(bool down);
    void HoldMouseNote(const NoteHit& hit);
    bool PlayedAhead(const QMouseEvent& press);
    void EndMouseNote(LeftPress after);

    KeyboardShape Shape() const;
    void Invalidate();
    void RepaintNow();
    void RecomputeBaseString();

    TKeyboardOrientation FOrientation = TKeyboardOrientation::kbHorizontal;
    int FNoteWidth = 10;
    int FBaseOctave = 3;
    TKeyboardStartNote FBaseNote = TKeyboardStartNote::C;
    TBrush FGrayBrush{clGray};
    TBrush FBlackBrush{clBlack};
    TBrush FWhiteBrush{clWhite};
    int FFirstNote = 0;
    int FLastNote = 0;
    TPen FPen{clBlack};
    bool FVelocityMode = true;
    TKeyboardNoteEvent FOnNoteOn;
    TKeyboardNoteEvent FOnNoteOff;
    std::string FBaseString;
    std::bitset<128> FPressedNotes;
    int FMouseNote = -1;
    LeftPress FLeftPress = LeftPress::Idle;
    int FKeyVelocity = 100;
    // The note each playing key of the computer keyboard holds, -1 when it is up: a release
    // ends the note its press began even after the range moved.
    std::array<int, kPlayingKeyCount> FKeyNotes;
    bool FSustainDown = false;
    std::function<void(bool)> FOnSustainChanged;
    std::function<void()> FOnKeysLost;
    KeyLabels FKeyLabels = KeyLabels::None;
    // The keys of the computer keyboard down now, as FirstPress names them.
    std::vector<std::uint32_t> FKeysDown;

    // The press played ahead of its QMouseEvent, and what it played.
    struct PressAhead {
        quint64 timestamp = 0;
        LeftPress state = LeftPress::Idle;
        NoteHit hit;
    };
    std::optional<PressAhead> FPressAhead;
    QTimer FPressAheadExpiry;

    QImage canvas_;
    bool canvasValid_ = false;
    // canvas_ at the resolution of the screen last painted on, when that has more device pixels.
    QImage deviceCanvas_;
    bool deviceCanvasValid_ = false;
};
