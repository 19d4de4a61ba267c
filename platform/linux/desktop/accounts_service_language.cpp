#include "platform/linux/desktop/accounts_service_language.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Accounts");
const QString kAccountsPath = QStringLiteral("/org/freedesktop/Accounts");
const QString kAccountsInterface = QStringLiteral("org.freedesktop.Accounts");
const QString kUserInterface = QStringLiteral("org.freedesktop.Accounts.User");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// Any answer longer than these is not one the service meant to give.
constexpr qsizetype kMaxLanguageSize = 128;
constexpr qsizetype kMaxUserPathSize = 255;

// The user's object path in a reply to FindUserById, or nothing when the reply is not one.
std::optional<QString> UserPathIn(const QDBusMessage& reply) {
    const QList<QVariant> values = reply.arguments();
    if (reply.type() != QDBusMessage::ReplyMessage || values.size() != 1 ||
        values.front().metaType() != QMetaType::fromType<QDBusObjectPath>())
        return std::nullopt;
    const QString path = values.front().value<QDBusObjectPath>().path();
    if (path.size() > kMaxUserPathSize || !path.startsWith(kAccountsPath + u'/'))
        return std::nullopt;
    return path;
}

// The language in a reply to Properties.Get, or nothing when the reply is an error, is not a
// string, or is empty (the user has not chosen one).
std::optional<std::string> LanguageIn(const QDBusMessage& reply) {
    const QList<QVariant> values = reply.arguments();
    if (reply.type() != QDBusMessage::ReplyMessage || values.size() != 1 ||
        values.front().metaType() != QMetaType::fromType<QDBusVariant>())
        return std::nullopt;
    const QVariant value = values.front().value<QDBusVariant>().variant();
    if (value.metaType() != QMetaType::fromType<QString>())
        return std::nullopt;
    const QString language = value.toString();
    if (language.isEmpty() || language.size() > kMaxLanguageSize)
        return std::nullopt;
    return language.toStdString();
}

} // namespace

AccountsServiceLanguage::AccountsServiceLanguage(const QDBusConnection& systemBus, unsigned userId)
    : bus_(systemBus), userId_(userId),
      userPath_(kAccountsPath + QStringLiteral("/User") + QString::number(userId)) {
    if (!bus_.isConnected())
        return;
    // The signals are taken from any sender: naming the service would make Qt ask the bus for
    // its owner and wait for the answer. As any program on the bus may send them, a signal only
    // prompts a fresh question to the service itself; its content is not believed.
    bus_.connect(QString(), QString(), kPropertiesInterface, QStringLiteral("PropertiesChanged"),
                 this, SLOT(PropertiesChanged(QDBusMessage)));
    bus_.connect(QString(), QString(), kUserInterface, QStringLiteral("Changed"), this,
                 SLOT(UserChanged(QDBusMessage)));
    bus_.connect(QString(), QStringLiteral("/org/freedesktop/DBus"),
                 QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"),
                 {kService}, QString(), this, SLOT(ServiceOwnerChanged(QString, QString, QString)));
    Refresh();
}

void AccountsServiceLanguage::PropertiesChanged(const QDBusMessage& message) {
    const QList<QVariant> values = message.arguments();
    if (message.path() == userPath_ && !values.isEmpty() &&
        values.front().metaType() == QMetaType::fromType<QString>() &&
        values.front().toString() == kUserInterface)
        Refresh();
}

void AccountsServiceLanguage::UserChanged(const QDBusMessage& message) {
    if (message.path() == userPath_)
        Refresh();
}

void AccountsServiceLanguage::ServiceOwnerChanged(const QString& name, const QString&,
                                                  const QString&) {
    if (name != kService)
        return;
    // A new instance of the service may place the user elsewhere; one that is gone answers the
    // next question with an error, which clears the language.
    userFound_ = false;
    Refresh();
}

void AccountsServiceLanguage::Refresh() {
    if (calling_) {
        callAgain_ = true;
        return;
    }
    if (userFound_)
        ReadLanguage();
    else
        FindUser();
}

void AccountsServiceLanguage::Call(QDBusMessage call,
                                   void (AccountsServiceLanguage::*answered)(const QDBusMessage&)) {
    calling_ = true;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, answered](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                calling_ = false;
                (this->*answered)(finished->reply());
            });
}

void AccountsServiceLanguage::FindUser() {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kAccountsPath, kAccountsInterface,
                                                       QStringLiteral("FindUserById"));
    call << static_cast<qlonglong>(userId_);
    Call(call, &AccountsServiceLanguage::UserFound);
}

void AccountsServiceLanguage::UserFound(const QDBusMessage& reply) {
    // The service may have been replaced meanwhile: then the answer is of the one before.
    if (callAgain_) {
        callAgain_ = false;
        FindUser();
        return;
    }
    // Without an answer the service's usual place for the user is asked.
    if (const std::optional<QString> path = UserPathIn(reply))
        userPath_ = *path;
    userFound_ = true;
    ReadLanguage();
}

void AccountsServiceLanguage::ReadLanguage() {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, userPath_, kPropertiesInterface,
                                                       QStringLiteral("Get"));
    call << kUserInterface << QStringLiteral("Language");
    Call(call, &AccountsServiceLanguage::LanguageRead);
}

void AccountsServiceLanguage::LanguageRead(const QDBusMessage& reply) {
    language_ = LanguageIn(reply);
    if (callAgain_) {
        callAgain_ = false;
        Refresh();
    }
}
