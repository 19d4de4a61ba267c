#pragma once

#include <QApplication>

class ErrorBox;
class QEvent;
class QObject;

// The caption of the application's error box.
inline constexpr const char* kApplicationTitle = "klavio";

// The application object. An exception that escapes any event handler is reported in the
// error box instead of ending the program.
class TApplication : public QApplication {
public:
    // errorBox must outlive the application object.
    TApplication(int& argc, char** argv, ErrorBox& errorBox);

    bool notify(QObject* receiver, QEvent* event) override;

private:
    ErrorBox& errorBox_;
};
