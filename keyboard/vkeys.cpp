#include "keyboard/vkeys.h"

#include "keyboard/key_canvas.h"
#include "keyboard/key_painter.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEngine>
#include <QPainter>

#include <algorithm>

TVKeys::TVKeys(QWidget* owner) : QWidget(owner) {
    // The keyboard paints every pixel of its area itself.
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Clicked or tabbed to, the keyboard takes the keys: it is played with them.
    setFocusPolicy(Qt::StrongFocus);
    FKeyNotes.fill(-1);
    for (TGraphicsObject* graphics :
         {static_cast<TGraphicsObject*>(&FGrayBrush), static_cast<TGraphicsObject*>(&FBlackBrush),
          static_cast<TGraphicsObject*>(&FWhiteBrush), static_cast<TGraphicsObject*>(&FPen)})
        graphics->OnChange = [this] { GraphicsChanged(); };
    resize(200, 50);
    RecomputeBaseString();
    FPressAheadExpiry.setSingleShot(true);
    FPressAheadExpiry.setInterval(1000);
    connect(&FPressAheadExpiry, &QTimer::timeout, this, [this] {
        // Qt gave the press to nobody here, and so will give the release to nobody.
        if (FPressAhead && FPressAhead->state == LeftPress::Holding &&
            FLeftPress == LeftPress::Holding)
            EndMouseNote(LeftPress::CutShort);
        FPressAhead.reset();
    });
}

TVKeys::~TVKeys() = default;

KeyboardShape TVKeys::Shape() const {
    return KeyboardShape{FOrientation, width(), height(), FNoteWidth, FBaseOctave, FBaseNote};
}

void TVKeys::Invalidate() {
    canvasValid_ = false;
    update();
}

void TVKeys::RepaintNow() {
    Invalidate();
    // Painting now, not when the event loop comes round, keeps FFirstNote and FLastNote in step
    // with the new range before the setter returns.
    if (isVisible()) {
        Paint();
        canvasValid_ = true;
    }
}

void TVKeys::RecomputeBaseString() {
    FBaseString = BaseKeyName(FBaseOctave, FBaseNote);
}

void TVKeys::SetOrientation(TKeyboardOrientation value) {
    if (value == FOrientation)
        return;
    FOrientation = value;
    Invalidate();
}

void TVKeys::SetNoteWidth(int value) {
    value = std::max(1, value);
    if (value == FNoteWidth)
        return;
    FNoteWidth = value;
    Invalidate();
}

void TVKeys::SetBaseOctave(int value) {
    if (value != FBaseOctave && value >= 0 && value <= kMaxBaseOctave) {
        FBaseOctave = value;
        RepaintNow();
    }
    RecomputeBaseString();
}

void TVKeys::SetBaseNote(TKeyboardStartNote value) {
    value = std::min(value, TKeyboardStartNote::B);
    if (value != FBaseNote) {
        FBaseNote = value;
        RepaintNow();
    }
    RecomputeBaseString();
}

void TVKeys::SetBaseString(const std::string&) {
    RecomputeBaseString();
}

std::string TVKeys::ShiftLower() {
    bool changed = true;
    if (FBaseNote != TKeyboardStartNote::C) {
        FBaseNote = static_cast<TKeyboardStartNote>(static_cast<int>(FBaseNote) - 1);
    } else if (FBaseOctave > 0) {
        --FBaseOctave;
        FBaseNote = TKeyboardStartNote::B;
    } else {
        changed = false;
    }
    if (changed)
        RepaintNow();
    RecomputeBaseString();
    return FBaseString;
}

std::string TVKeys::ShiftHigher() {
    bool changed = true;
    if (FBaseNote != TKeyboardStartNote::B) {
        FBaseNote = static_cast<TKeyboardStartNote>(static_cast<int>(FBaseNote) + 1);
    } else if (FBaseOctave < 9) {
        ++FBaseOctave;
        FBaseNote = TKeyboardStartNote::C;
    } else {
        changed = false;
    }
    if (changed)
        RepaintNow();
    RecomputeBaseString();
    return FBaseString;
}

void TVKeys::SetKeyVelocity(int value) {
    FKeyVelocity = std::clamp(value, 1, 127);
}

int TVKeys::LowestVisibleNote() const {
    return FirstVisibleNote(Shape());
}

int TVKeys::HighestVisibleNote() const {
    return WalkKeyboard(Shape()).lastNote;
}

KeyMetrics TVKeys::GetKeyMetrics() const {
    return ::GetKeyMetrics(Shape());
}

NoteHit TVKeys::NoteFromPoint(int X, int Y) const {
    return ::NoteFromPoint(Shape(), FVelocityMode, X, Y);
}

void TVKeys::GraphicsChanged() {
    Invalidate();
}

void TVKeys::Paint() {
    deviceCanvasValid_ = false;
    if (canvas_.size() != size())
        canvas_ = QImage(size(), QImage::Format_RGB32);
    // The parent's state counts too: isEnabled() is false when any ancestor is disabled.
    const key_painter::KeyColors colors{
        FWhiteBrush.Color(), isEnabled() ? FBlackBrush.Color() : FGrayBrush.Color(), FPen.Color()};
    const KeyboardWalk walk =
        key_painter::PaintKeyboard(canvas_, Shape(), colors, FPressedNotes, FKeyLabels);
    FFirstNote = walk.firstNote;
    FLastNote = walk.lastNote;
}

void TVKeys::InvertKey(int note) {
    const KeyInversion inverted =
        key_painter::InvertKey(canvas_, Shape(), FFirstNote, FLastNote, note);
    for (int i = 0; i < inverted.count; ++i) {
        const PixelRect& r = inverted.rects[i];
        deviceCanvasValid_ = false;
        update(QRect(r.x, r.y, r.width, r.height));
    }
}

void TVKeys::NoteOn(int Note, int Velocity, bool Notify) {
    // Notes outside 0..127 are never in the pressed set, so inverting one could never be
    // undone: they change nothing on the keyboard.
    if (Note >= 0 && Note < 128 && !IsPressed(Note)) {
        InvertKey(Note);
        FPressedNotes.set(static_cast<std::size_t>(Note));
    }
    if (Notify && FOnNoteOn)
        FOnNoteOn(this, Note, Velocity);
}

void TVKeys::NoteOff(int Note, int /*Velocity*/, bool Notify) {
    if (IsPressed(Note)) {
        InvertKey(Note);
        FPressedNotes.reset(static_cast<std::size_t>(Note));
    }
    if (Notify && FOnNoteOff)
        FOnNoteOff(this, Note, 0);
}

// Qt grabs the mouse for the pressed widget by itself and keeps sending it moves and the
// release while a button is down, also outside the control. Where that release cannot come
// (hidden, disabled, mouse taken elsewhere), hideEvent, changeEvent and eventFilter end the note.
void TVKeys::KeysMouseDown(QObject* /*Sender*/, Qt::MouseButton Button, Qt::MouseButtons /*Shift*/,
                           int X, int Y) {
    if (!isEnabled() || Button != Qt::LeftButton)
        return;
    // A release lost outside the program must not leave the previous note sounding.
    if (FLeftPress == LeftPress::Holding)
        EndMouseNote(LeftPress::Idle);
    const NoteHit hit = NoteFromPoint(X, Y);
    if (hit.note >= 0 && hit.note <= 127)
        HoldMouseNote(hit);
    else
        FLeftPress = LeftPress::OnNoKey;
}

void TVKeys::KeysMouseMove(QObject* /*Sender*/, Qt::MouseButtons Shift, int X, int Y) {
    if (!isEnabled() || !(Shift & Qt::LeftButton) || FLeftPress == LeftPress::CutShort)
        return;
    // Outside the control (right column and bottom row excluded) the current note keeps sounding.
    if (X < 0 || Y < 0 || X >= width() - 1 || Y >= height() - 1)
        return;
    const NoteHit hit = NoteFromPoint(X, Y);
    if (hit.note < 0 || hit.note > 127 || hit.note == FMouseNote)
        return;
    if (FLeftPress == LeftPress::Holding)
        EndMouseNote(LeftPress::Idle);
    HoldMouseNote(hit);
}

void TVKeys::KeysMouseUp(QObject* /*Sender*/, Qt::MouseButton Button, Qt::MouseButtons /*Shift*/,
                         int /*X*/, int /*Y*/) {
    if (!isEnabled())
        return;
    if (FLeftPress == LeftPress::Holding) {
        // The note belongs to the left button; another button's release leaves it sounding.
        if (Button == Qt::LeftButton)
            EndMouseNote(LeftPress::Idle);
        return;
    }
    if ((FLeftPress == LeftPress::CutShort || FLeftPress == LeftPress::OnNoKey) &&
        Button == Qt::LeftButton) {
        FLeftPress = LeftPress::Idle;
        return;
    }
    // With no note held, a release of another button repeats the last note's note-off, as it
    // always has: a right click is the way to ask for that on purpose.
    if (FMouseNote >= 0 && FMouseNote <= 127)
        NoteOff(FMouseNote, 0, true);
}

void TVKeys::HoldMouseNote(const NoteHit& hit) {
    FMouseNote = hit.note;
    FLeftPress = LeftPress::Holding;
    // Qt tells a widget nothing when another one takes the mouse from it; seeing a mouse
    // event go elsewhere is the only sign.
    qApp->installEventFilter(this);
    NoteOn(hit.note, hit.velocity, true);
}

void TVKeys::EndMouseNote(LeftPress after) {
    qApp->removeEventFilter(this);
    FLeftPress = after;
    NoteOff(FMouseNote, 0, true);
}

bool TVKeys::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
        // Mouse events reach a window before its widgets; only another widget means a lost grab.
        if (FLeftPress == LeftPress::Holding && watched != this && watched->isWidgetType())
            EndMouseNote(LeftPress::CutShort);
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void TVKeys::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    // Also sent, spontaneously, when the window is minimised or another page is chosen; the
    // release may still come but nobody sees the key any more.
    KeysLost();
}

void TVKeys::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    // Key releases go where the focus went: none would reach this control.
    KeysLost();
}

void TVKeys::KeysLost() {
    // A key still down when the keys come back presses anew.
    FKeysDown.clear();
    ReleaseHeldNotes();
    if (FOnKeysLost)
        FOnKeysLost();
}

void TVKeys::ReleaseHeldNotes() {
    if (FLeftPress == LeftPress::Holding)
        EndMouseNote(LeftPress::CutShort);
    for (int key = 0; key < kPlayingKeyCount; ++key)
        ReleasePlayingKey(key);
    LiftSustain();
}

void TVKeys::Panic() {
    ReleaseHeldNotes();
    // Notes that came in are shown released too: their note-offs may never come.
    for (int note = 0; note < 128; ++note)
        if (IsPressed(note))
            NoteOff(note, 0, false);
}

namespace {

// The X11 key code of the key pressed; on platforms that report none, the key that shows the
// same character on a US keyboard.
std::uint32_t ScanCodeOf(const QKeyEvent& event) {
    if (event.nativeScanCode() != 0)
        return event.nativeScanCode();
    const int key = event.key();
    return key > 0 && key < 0x80 ? UsScanCodeForCharacter(key) : 0;
}

// The key of the computer keyboard an event is about: its key code where the platform gives
// one, else Qt's key, so that a press and its release name the same key.
std::uint32_t KeyIdentity(const QKeyEvent& event) {
    return event.nativeScanCode() != 0 ? event.nativeScanCode()
                                       : static_cast<std::uint32_t>(event.key());
}

} // namespace

bool TVKeys::FirstPress(const QKeyEvent& press) {
    if (press.isAutoRepeat())
        return false;
    const std::uint32_t key = KeyIdentity(press);
    if (std::find(FKeysDown.begin(), FKeysDown.end(), key) != FKeysDown.end())
        return false;
    FKeysDown.push_back(key);
    return true;
}

void TVKeys::keyPressEvent(QKeyEvent* event) {
    // Shortcuts of the window keep their keys.
    if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) {
        QWidget::keyPressEvent(event);
        return;
    }
    if (const std::optional<int> key = PlayingKeyIndex(ScanCodeOf(*event))) {
        // A held key repeats its press; the note sounds on from the first.
        if (FirstPress(*event))
            PressPlayingKey(*key);
        return;
    }
    switch (event->key()) {
    case Qt::Key_Space:
        if (FirstPress(*event))
            ChangeSustain(true);
        return;
    case Qt::Key_Escape:
        if (FirstPress(*event))
            Panic();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void TVKeys::keyReleaseEvent(QKeyEvent* event) {
    // A repeat comes as a release and a press, both marked as repeats (from X11, and from Qt
    // itself on Wayland); the key is still down.
    if (event->isAutoRepeat())
        return;
    FKeysDown.erase(std::remove(FKeysDown.begin(), FKeysDown.end(), KeyIdentity(*event)),
                    FKeysDown.end());
    if (const std::optional<int> key = PlayingKeyIndex(ScanCodeOf(*event))) {
        ReleasePlayingKey(*key);
        return;
    }
    if (event->key() == Qt::Key_Space) {
        LiftSustain();
        return;
    }
    QWidget::keyReleaseEvent(event);
}

void TVKeys::PressPlayingKey(int playingKey) {
    int& held = FKeyNotes[static_cast<std::size_t>(playingKey)];
    if (!isEnabled() || held >= 0)
        return;
    const std::optional<int> note = NoteForPlayingKey(playingKey, LowestVisibleNote());
    if (!note)
        return;
    // Two keys play the C between the rows; the note starts with the first of them.
    const bool sounding = std::find(FKeyNotes.begin(), FKeyNotes.end(), *note) != FKeyNotes.end();
    held = *note;
    if (!sounding)
        NoteOn(*note, FKeyVelocity, true);
}

void TVKeys::ReleasePlayingKey(int playingKey) {
    int& held = FKeyNotes[static_cast<std::size_t>(playingKey)];
    if (held < 0)
        return;
    const int note = held;
    held = -1;
    // Two keys play the C between the rows; the note lasts while either holds it.
    if (std::find(FKeyNotes.begin(), FKeyNotes.end(), note) == FKeyNotes.end())
        NoteOff(note, 0, true);
}

void TVKeys::LiftSustain() {
    ChangeSustain(false);
}

void TVKeys::ChangeSustain(bool down) {
    if (down == FSustainDown)
        return;
    FSustainDown = down;
    SustainChanged(down);
    if (FOnSustainChanged)
        FOnSustainChanged(down);
}

void TVKeys::SetSustain(bool down) {
    ChangeSustain(down);
}

void TVKeys::SetKeyLabels(KeyLabels labels) {
    if (labels == FKeyLabels)
        return;
    FKeyLabels = labels;
    Invalidate();
}

void TVKeys::paintEvent(QPaintEvent* /*event*/) {
    if (!canvasValid_) {
        Paint();
        canvasValid_ = true;
    }
    QPainter painter(this);
    // What the painter finally draws on knows the ratio: the window's backing store, or an image
    // the widget is rendered into; the widget itself may still tell the ratio of its old screen.
    const QPaintEngine* engine = painter.paintEngine();
    const double ratio = engine != nullptr && engine->paintDevice() != nullptr
                             ? engine->paintDevice()->devicePixelRatioF()
                             : devicePixelRatioF();
    if (ratio <= 1.0) {
        painter.drawImage(0, 0, canvas_);
        return;
    }
    if (!deviceCanvasValid_ || deviceCanvas_.devicePixelRatioF() != ratio) {
        deviceCanvas_ = key_canvas::ToDeviceResolution(canvas_, ratio);
        deviceCanvasValid_ = true;
    }
    painter.drawImage(0, 0, deviceCanvas_);
}

void TVKeys::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Invalidate();
}

void TVKeys::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::EnabledChange)
        return;
    // A disabled widget gets no mouse or key events, so the release would never come.
    if (!isEnabled())
        KeysLost();
    RepaintNow();
}

bool TVKeys::event(QEvent* event) {
    // Another window has the keys and maybe the mouse: no release would come here.
    if (event->type() == QEvent::WindowDeactivate)
        KeysLost();
    // Moved to a screen with another ratio of device pixels: paintEvent redraws at the new one.
    if (event->type() == QEvent::ScreenChangeInternal)
        update();
    return QWidget::event(event);
}

void TVKeys::PlayPressAhead(int X, int Y, quint64 timestamp) {
    if (FPressAhead || !isEnabled())
        return;
    KeysMouseDown(this, Qt::LeftButton, Qt::LeftButton, X, Y);
    FPressAhead = PressAhead{timestamp, FLeftPress, NoteFromPoint(X, Y)};
    FPressAheadExpiry.start();
}

bool TVKeys::PlayedAhead(const QMouseEvent& press) {
    if (!FPressAhead)
        return false;
    const PressAhead ahead = *FPressAhead;
    FPressAhead.reset();
    FPressAheadExpiry.stop();
    // Anything that came between (the note cut short, another press) makes it a press of its own.
    const QPoint at = press.position().toPoint();
    const NoteHit hit = NoteFromPoint(at.x(), at.y());
    // The second press of a double click reaches the control as a double click alone.
    const bool isPress =
        press.type() == QEvent::MouseButtonPress || press.type() == QEvent::MouseButtonDblClick;
    return isPress && press.button() == Qt::LeftButton && press.timestamp() == ahead.timestamp &&
           FLeftPress == ahead.state && hit.note == ahead.hit.note &&
           hit.velocity == ahead.hit.velocity &&
           (ahead.state != LeftPress::Holding || FMouseNote == ahead.hit.note);
}

void TVKeys::mousePressEvent(QMouseEvent* event) {
    if (PlayedAhead(*event))
        return;
    const QPoint pos = event->position().toPoint();
    KeysMouseDown(this, event->button(), event->buttons(), pos.x(), pos.y());
}

void TVKeys::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    KeysMouseMove(this, event->buttons(), pos.x(), pos.y());
}

void TVKeys::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    KeysMouseUp(this, event->button(), event->buttons(), pos.x(), pos.y());
}
