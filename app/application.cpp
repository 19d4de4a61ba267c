#include "app/application.h"

#include "app/error_funnel.h"

TApplication::TApplication(int& argc, char** argv, ErrorBox& errorBox)
    : QApplication(argc, argv), errorBox_(errorBox) {
    setApplicationName(QString::fromLatin1(kApplicationTitle));
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    bool handled = false;
    RunGuarded([&] { handled = QApplication::notify(receiver, event); }, errorBox_,
               kApplicationTitle);
    return handled;
}
