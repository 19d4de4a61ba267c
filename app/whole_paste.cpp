#include "app/whole_paste.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>

#include <algorithm>

bool PasteWhole(QLineEdit& line, QClipboard::Mode mode) {
    if (line.isReadOnly())
        return false;
    QString pasted = QGuiApplication::clipboard()->text(mode);
    const QString text = line.text();
    const qsizetype start = line.hasSelectedText() ? line.selectionStart() : line.cursorPosition();
    const qsizetype replaced = line.hasSelectedText() ? line.selectedText().size() : 0;
    if (pasted.isEmpty() && replaced == 0)
        return false;
    for (QChar& c : pasted)
        if (c == u'\n' || c == u'\r' || c == u'\t')
            c = u' ';
    const qsizetype room = std::max<qsizetype>(0, line.maxLength() - (text.size() - replaced));
    pasted.truncate(room);
    line.setText(text.left(start) + pasted + text.mid(start + replaced));
    line.setCursorPosition(static_cast<int>(start + pasted.size()));
    emit line.textEdited(line.text());
    return true;
}

bool PasteEventTaken(QLineEdit& line, QEvent& event) {
    if (event.type() == QEvent::KeyPress &&
        static_cast<QKeyEvent&>(event).matches(QKeySequence::Paste)) {
        PasteWhole(line, QClipboard::Clipboard);
        return true;
    }
    if (event.type() == QEvent::ContextMenu) {
        // The line's own menu, whose Paste pastes whole. The menu belongs to the line and
        // goes when it closes, as the line's own would.
        QMenu* menu = line.createStandardContextMenu();
        menu->setAttribute(Qt::WA_DeleteOnClose);
        // The menu's Paste is the action that calls the line's own paste, connected by name or
        // by pointer as the Qt version has it.
        for (QAction* action : menu->actions()) {
            const bool byName =
                QObject::disconnect(action, SIGNAL(triggered()), &line, SLOT(paste()));
            const bool byPointer =
                QObject::disconnect(action, &QAction::triggered, &line, &QLineEdit::paste);
            if (byName || byPointer)
                QObject::connect(action, &QAction::triggered, &line,
                                 [&line] { PasteWhole(line, QClipboard::Clipboard); });
        }
        menu->popup(static_cast<QContextMenuEvent&>(event).globalPos());
        return true;
    }
    if (event.type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent&>(event).button() == Qt::MiddleButton &&
        QGuiApplication::clipboard()->supportsSelection()) {
        line.deselect();
        line.setCursorPosition(
            line.cursorPositionAt(static_cast<QMouseEvent&>(event).position().toPoint()));
        PasteWhole(line, QClipboard::Selection);
        return true;
    }
    return false;
}
