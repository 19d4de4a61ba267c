#include "platform/linux/desktop/qt_error_box.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

struct SeenBox {
    bool found = false;
    QString title;
    QString text;
    Qt::TextFormat format = Qt::AutoText;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QList<QMessageBox::StandardButton> buttons;
};

// Waits for the modal box, notes what it shows and presses its button as a user would.
SeenBox ShowAndAcknowledge(const std::string& caption, const std::string& text) {
    SeenBox seen;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr)
            return;
        poll.stop();
        seen.found = true;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.format = box->textFormat();
        seen.icon = box->icon();
        for (QAbstractButton* button : box->buttons())
            seen.buttons << box->standardButton(button);
        box->buttons().value(0)->click();
    });
    poll.start();
    QtErrorBox().ShowError(caption, text);
    return seen;
}

TEST(QtErrorBox, ShowsTheTextUnderTheCaptionWithErrorIconAndOneOkButton) {
    const SeenBox seen = ShowAndAcknowledge("klavio", "Invalid value <none> for \"BaseNote\".");
    ASSERT_TRUE(seen.found);
    EXPECT_EQ(seen.title, QStringLiteral("klavio"));
    EXPECT_EQ(seen.text, QStringLiteral("Invalid value <none> for \"BaseNote\"."));
    // Angle brackets in an error text are part of it, not markup.
    EXPECT_EQ(seen.format, Qt::PlainText);
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
    EXPECT_EQ(seen.buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
}

} // namespace
