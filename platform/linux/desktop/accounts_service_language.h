#pragma once

// The language GNOME's settings give the user's account: AccountsService's Language property on
// the system bus. The window asks once a second and must never wait for another process, so the
// value is kept here and refreshed by asynchronous calls whenever the service signals a change
// or appears on the bus. Lives on the GUI thread, whose event loop delivers the replies.

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <optional>
#include <string>

class QDBusMessage;

class AccountsServiceLanguage final : public QObject {
    Q_OBJECT
public:
    // Starts asking at once; a bus that is not connected leaves the language unknown for good.
    AccountsServiceLanguage(const QDBusConnection& systemBus, unsigned userId);

    // The user's language as the service last reported it: nothing while no answer has come, when
    // the service is not there, or when it has none for the user.
    const std::optional<std::string>& Language() const { return language_; }

private slots:
    void PropertiesChanged(const QDBusMessage& message);
    void UserChanged(const QDBusMessage& message);
    void ServiceOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

private:
    void Refresh();
    void Call(QDBusMessage call, void (AccountsServiceLanguage::*answered)(const QDBusMessage&));
    void FindUser();
    void UserFound(const QDBusMessage& reply);
    void ReadLanguage();
    void LanguageRead(const QDBusMessage& reply);

    QDBusConnection bus_;
    unsigned userId_;
    QString userPath_;
    bool userFound_ = false;
    // One call at a time: signals coming faster than the answers are folded into one more call.
    bool calling_ = false;
    bool callAgain_ = false;
    std::optional<std::string> language_;
};
