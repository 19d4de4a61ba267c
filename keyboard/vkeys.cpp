#include "keyboard/vkeys.h"

#include "keyboard/key_canvas.h"
#include "keyboard/key_painter.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

TVKeys::TVKeys(QWidget* owner) : QWidget(owner) {
    // The keyboard paints every pixel of its area itself.
    setAttribute(Qt::WA_OpaquePaintEvent);
    for (TGraphicsObject* graphics :
         {static_cast<TGraphicsObject*>(&FGrayBrush), static_cast<TGraphicsObject*>(&FBlackBrush),
          static_cast<TGraphicsObject*>(&FWhiteBrush), static_cast<TGraphicsObject*>(&FPen)})
        graphics->OnChange = [this] { GraphicsChanged(); };
    resize(200, 50);
    RecomputeBaseString();
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
    if (canvas_.size() != size())
        canvas_ = QImage(size(), QImage::Format_RGB32);
    // The parent's state counts too: isEnabled() is false when any ancestor is disabled.
    const key_painter::KeyColors colors{
        FWhiteBrush.Color(), isEnabled() ? FBlackBrush.Color() : FGrayBrush.Color(), FPen.Color()};
    const KeyboardWalk walk = key_painter::PaintKeyboard(canvas_, Shape(), colors, FPressedNotes);
    FFirstNote = walk.firstNote;
    FLastNote = walk.lastNote;
}

void TVKeys::DrawKeysHorizontal() {
    const KeyboardWalk walk = key_painter::DrawKeysHorizontal(
        canvas_, Shape(), {FWhiteBrush.Color(), FBlackBrush.Color(), FPen.Color()});
    FFirstNote = walk.firstNote;
    FLastNote = walk.lastNote;
}

void TVKeys::DrawKeysVertical() {
    const KeyboardWalk walk = key_painter::DrawKeysVertical(
        canvas_, Shape(), {FWhiteBrush.Color(), FBlackBrush.Color(), FPen.Color()});
    FFirstNote = walk.firstNote;
    FLastNote = walk.lastNote;
}

void TVKeys::InvertKey(int note) {
    const KeyInversion inversion = KeyInversionRects(Shape(), FFirstNote, FLastNote, note);
    for (int i = 0; i < inversion.count; ++i) {
        const PixelRect& r = inversion.rects[i];
        key_canvas::Invert(canvas_, r);
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
    FLeftPress = LeftPress::Idle;
    const NoteHit hit = NoteFromPoint(X, Y);
    if (hit.note >= 0 && hit.note <= 127)
        HoldMouseNote(hit);
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
    if (FLeftPress == LeftPress::CutShort && Button == Qt::LeftButton) {
        FLeftPress = LeftPress::Idle;
        return;
    }
    // With no note held, a release repeats the last note's note-off, as it always has; a right
    // click is the way to ask for that on purpose.
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
    // Also sent, spontaneously, when the window is minimised; the release may still come but
    // nobody sees the key any more.
    if (FLeftPress == LeftPress::Holding)
        EndMouseNote(LeftPress::CutShort);
}

void TVKeys::paintEvent(QPaintEvent* /*event*/) {
    if (!canvasValid_) {
        Paint();
        canvasValid_ = true;
    }
    QPainter painter(this);
    painter.drawImage(0, 0, canvas_);
}

void TVKeys::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Invalidate();
}

void TVKeys::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::EnabledChange)
        return;
    // A disabled widget gets no mouse events, so the release would never come.
    if (!isEnabled() && FLeftPress == LeftPress::Holding)
        EndMouseNote(LeftPress::CutShort);
    RepaintNow();
}

void TVKeys::mousePressEvent(QMouseEvent* event) {
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
