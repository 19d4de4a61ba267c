#include "platform/linux/desktop/qt_error_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>

void QtErrorBox::ShowError(const std::string& caption, const std::string& text) {
    // No parent: the box may have to appear while the main window is being torn down.
    QMessageBox box(QMessageBox::Critical, QString::fromStdString(caption),
                    QString::fromStdString(text), QMessageBox::Ok);
    // Error texts quote whatever went wrong, angle brackets included; none of it is markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void AnswerWaitingErrorBox() {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
        box->done(QMessageBox::Ok);
}
