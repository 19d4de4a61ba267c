#pragma once

// Small ways of looking at and working the window's lists, shared by the window tests.

#include <QComboBox>
#include <QCoreApplication>
#include <QStringList>
#include <QTest>
#include <QWidget>

// Every item's text, first to last.
inline QStringList Items(const QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
}

// Picks an item as the user does, which runs the box's change handler.
inline void Choose(QComboBox* box, int item) {
    box->setCurrentIndex(item);
    emit box->activated(item);
}

// Shows the window as the program does and lets it connect the devices the settings hold, which
// it does once its first frame is drawn.
inline void ShowForm(QWidget& form) {
    form.show();
    if (QTest::qWaitForWindowExposed(&form))
        form.repaint();
    // The work after the first frame is posted at the event loop's next turn.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
}
