#include "platform/linux/desktop/linux_user_language.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Accounts");
const QString kAccountsPath = QStringLiteral("/org/freedesktop/Accounts");
// Not the service's usual place for a user: the backend must have asked FindUserById.
const QString kUserPath = QStringLiteral("/org/freedesktop/Accounts/StandIn");

// The window polls the language once a second: a change must be seen within that.
constexpr int kPollMilliseconds = 1000;

QString UniqueName(const char* prefix) {
    static int count = 0;
    return QStringLiteral("%1-%2").arg(prefix).arg(++count);
}

// A message bus of the test's own, so that no test hears the machine's AccountsService.
class PrivateBus {
public:
    PrivateBus() {
        const QString config = directory_.filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return;
        file.write(
            QStringLiteral("<busconfig><listen>unix:path=%1</listen><auth>EXTERNAL</auth>"
                           "<policy context=\"default\"><allow send_destination=\"*\"/>"
                           "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>")
                .arg(directory_.filePath(QStringLiteral("bus")))
                .toUtf8());
        file.close();
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {"--config-file=" + config, "--nofork", "--print-address"});
        if (daemon_.waitForStarted(5000) && daemon_.waitForReadyRead(5000))
            address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    }
    ~PrivateBus() {
        daemon_.kill();
        daemon_.waitForFinished(5000);
    }
    const QString& Address() const { return address_; }
    // Where no bus listens.
    QString NoBusAddress() const { return "unix:path=" + directory_.filePath("none"); }

private:
    QTemporaryDir directory_;
    QProcess daemon_;
    QString address_;
};

// AccountsService as far as the language goes: it places the user at kUserPath and answers the
// Language property with whatever it holds, of whatever type; an invalid value is an error.
class StandInAccounts final : public QDBusVirtualObject {
public:
    QVariant language;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() == QLatin1String("FindUserById"))
            return connection.send(
                message.createReply(QVariant::fromValue(QDBusObjectPath(kUserPath))));
        if (message.member() != QLatin1String("Get") || message.path() != kUserPath)
            return false;
        return connection.send(
            language.isValid() ? message.createReply(QVariant::fromValue(QDBusVariant(language)))
                               : message.createErrorReply(QDBusError::InvalidArgs,
                                                          QStringLiteral("no such property")));
    }
};

// The stand-in on the bus under the service's name, for as long as this lives.
class AccountsOnBus {
public:
    AccountsOnBus(const QString& address, const QVariant& language)
        : name_(UniqueName("stand-in")),
          connection_(QDBusConnection::connectToBus(address, name_)) {
        standIn_.language = language;
        registered_ =
            connection_.registerVirtualObject(kAccountsPath, &standIn_, QDBusConnection::SubPath) &&
            connection_.registerService(kService);
    }
    ~AccountsOnBus() {
        connection_.unregisterService(kService);
        connection_.unregisterObject(kAccountsPath);
        QDBusConnection::disconnectFromBus(name_);
    }
    bool Registered() const { return registered_; }
    // As GNOME's settings do through the service: the property changes and the service says so.
    void Change(const QVariant& language) {
        standIn_.language = language;
        QDBusMessage signal =
            QDBusMessage::createSignal(kUserPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                       QStringLiteral("PropertiesChanged"));
        signal << QStringLiteral("org.freedesktop.Accounts.User")
               << QVariantMap{{QStringLiteral("Language"), language}} << QStringList();
        connection_.send(signal);
    }

private:
    QString name_;
    QDBusConnection connection_;
    StandInAccounts standIn_;
    bool registered_ = false;
};

// The desktop of one test: its own configuration folder, the locale variables and the system
// bus address pointing at a private bus, all put back afterwards.
class Desktop {
public:
    explicit Desktop(const QString& systemBusAddress) {
        for (const char* name : {"XDG_CONFIG_HOME", "DBUS_SYSTEM_BUS_ADDRESS", "LANGUAGE", "LC_ALL",
                                 "LC_MESSAGES", "LANG"}) {
            if (const char* value = std::getenv(name))
                saved_[name] = value;
            else
                saved_[name] = std::nullopt;
            unsetenv(name);
        }
        setenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit().constData(), 1);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", systemBusAddress.toLocal8Bit().constData(), 1);
        setenv("LANG", "en_GB.UTF-8", 1);
    }
    ~Desktop() {
        for (const auto& [name, value] : saved_)
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    }
    QString Path(const char* file) const { return config_.filePath(QString::fromLatin1(file)); }
    // Rewrites the file in place: a rewrite of the same size within the same tick of the file
    // system's clock leaves its stamp as it was.
    bool Write(const char* file, const char* text) const {
        QFile out(Path(file));
        return out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(text) >= 0;
    }

private:
    QTemporaryDir config_;
    std::map<std::string, std::optional<std::string>> saved_;
};

// A client connection to the bus at address, closed afterwards.
class BusClient {
public:
    explicit BusClient(const QString& address)
        : name_(UniqueName("client")), connection_(QDBusConnection::connectToBus(address, name_)) {}
    ~BusClient() { QDBusConnection::disconnectFromBus(name_); }
    const QDBusConnection& Connection() const { return connection_; }

private:
    QString name_;
    QDBusConnection connection_;
};

// The window's poll: the answer a while after the sources have had their say, unchanged since.
std::optional<LANGID> SettledLangId(LinuxUserLanguage& language) {
    const LANGID first = language.GetUserDefaultLangID();
    QTest::qWait(300);
    const LANGID settled = language.GetUserDefaultLangID();
    return settled == first ? std::optional(settled) : std::nullopt;
}

TEST(LinuxUserLanguageBackend, TakesTheFirstDesktopSourceThatNamesALanguage) {
    struct Case {
        const char* what;
        const char* plasmaLocalerc;
        std::optional<QVariant> accountsLanguage; // nothing: the service is not on the bus
        const char* localeConf;
        LANGID id;
    };
    const std::vector<Case> cases = {
        {"only the environment", nullptr, std::nullopt, nullptr, 0x0809},
        {"locale.conf", nullptr, std::nullopt, "LANG=de_AT.UTF-8\n", 0x0C07},
        {"AccountsService before locale.conf", nullptr, QString("de_DE.UTF-8"), "LANG=fr_FR\n",
         0x0407},
        {"an empty AccountsService language is none", nullptr, QString(""), "LANG=fr_FR\n", 0x040C},
        {"an AccountsService error is no language", nullptr, QVariant(), "LANG=fr_FR\n", 0x040C},
        {"a language that is no string is none", nullptr, QVariant(QByteArray("de_DE")), nullptr,
         0x0809},
        {"an overlong language is none", nullptr, QString(200, u'd'), nullptr, 0x0809},
        {"Plasma's language list first", "[Translations]\nLANGUAGE=de_CH:en_US\n", QString("pl_PL"),
         "LANG=fr_FR\n", 0x0807},
        {"Plasma's formats when it lists no language",
         "[Formats]\nLANG=nl_BE.UTF-8\n[Translations]\nLANGUAGE=\n", QString("de_DE"), nullptr,
         0x0813},
        {"Plasma's file without a language", "[General]\nColorScheme=Breeze\n", QString("de_LU"),
         nullptr, 0x1007},
    };
    PrivateBus bus;
    ASSERT_FALSE(bus.Address().isEmpty()) << "dbus-daemon did not start";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Desktop desktop(bus.Address());
        for (const auto& [file, text] : {std::pair("plasma-localerc", c.plasmaLocalerc),
                                         std::pair("locale.conf", c.localeConf)}) {
            if (text) {
                ASSERT_TRUE(desktop.Write(file, text));
            }
        }
        std::optional<AccountsOnBus> accounts;
        if (c.accountsLanguage) {
            accounts.emplace(bus.Address(), *c.accountsLanguage);
            ASSERT_TRUE(accounts->Registered());
        }
        const BusClient client(bus.Address());
        LinuxUserLanguage language(client.Connection());
        EXPECT_TRUE(QTest::qWaitFor([&] { return language.GetUserDefaultLangID() == c.id; },
                                    kPollMilliseconds));
        EXPECT_EQ(SettledLangId(language), c.id);
    }
}

// GNOME's settings change the language through AccountsService while the window runs; the
// service may also leave the bus and come back.
TEST(LinuxUserLanguageBackend, FollowsAccountsServiceWithinTheWindowsPoll) {
    enum class Step { Change, Leave, Return };
    struct Case {
        Step step;
        QVariant language;
        LANGID id;
    };
    const std::vector<Case> cases = {
        {Step::Change, QString("en_GB.UTF-8"), 0x0809}, {Step::Change, QString(""), 0x040C},
        {Step::Change, QString("de_CH"), 0x0807},       {Step::Leave, {}, 0x040C},
        {Step::Return, QString("de_AT.UTF-8"), 0x0C07},
    };
    PrivateBus bus;
    ASSERT_FALSE(bus.Address().isEmpty()) << "dbus-daemon did not start";
    const Desktop desktop(bus.Address());
    ASSERT_TRUE(desktop.Write("locale.conf", "LANG=fr_FR.UTF-8\n"));

    // Without a bus the next source is in charge.
    const BusClient lost(bus.NoBusAddress());
    LinuxUserLanguage withoutBus(lost.Connection());
    EXPECT_EQ(SettledLangId(withoutBus), 0x040C);

    std::optional<AccountsOnBus> accounts(std::in_place, bus.Address(), QString("de_DE.UTF-8"));
    ASSERT_TRUE(accounts->Registered());
    const BusClient client(bus.Address());
    LinuxUserLanguage language(client.Connection());
    ASSERT_TRUE(QTest::qWaitFor([&] { return language.GetUserDefaultLangID() == 0x0407; },
                                kPollMilliseconds));
    for (const Case& c : cases) {
        QElapsedTimer sinceChange;
        sinceChange.start();
        if (c.step == Step::Change)
            accounts->Change(c.language);
        else if (c.step == Step::Leave)
            accounts.reset();
        else
            accounts.emplace(bus.Address(), c.language);
        EXPECT_TRUE(QTest::qWaitFor([&] { return language.GetUserDefaultLangID() == c.id; },
                                    kPollMilliseconds))
            << "not followed within a second: " << c.language.toString().toStdString();
        std::cout << "followed in " << sinceChange.elapsed()
                  << " ms: " << c.language.toString().toStdString() << '\n';
    }
}

// The files are looked at at every ask; a change in the same second, of the same size, counts.
TEST(LinuxUserLanguageBackend, ReadsTheDesktopFilesAtEveryAsk) {
    struct Case {
        const char* file;
        const char* text; // nothing: a pipe takes the file's place
        LANGID id;
    };
    const std::vector<Case> cases = {
        {"locale.conf", "LANG=de_DE.UTF-8\n", 0x0407},
        {"locale.conf", "LANG=de_AT.UTF-8\n", 0x0C07},
        {"plasma-localerc", "[Translations]\nLANGUAGE=de_CH:en\n", 0x0807},
        {"plasma-localerc", "[Translations]\nLANGUAGE=de_LU:en\n", 0x1007},
        // A pipe in a file's place must not stop the window's language poll.
        {"plasma-localerc", nullptr, 0x0C07},
        {"locale.conf", nullptr, 0x0809},
    };
    PrivateBus bus;
    const Desktop desktop(bus.NoBusAddress());
    LinuxUserLanguage language;
    EXPECT_EQ(language.GetUserDefaultLangID(), 0x0809);
    for (const Case& c : cases) {
        if (c.text) {
            ASSERT_TRUE(desktop.Write(c.file, c.text));
        } else {
            ASSERT_TRUE(QFile::remove(desktop.Path(c.file)));
            ASSERT_EQ(mkfifo(desktop.Path(c.file).toLocal8Bit().constData(), 0600), 0);
        }
        EXPECT_EQ(language.GetUserDefaultLangID(), c.id)
            << c.file << ": " << (c.text ? c.text : "pipe");
    }
}

// A system bus that takes the connection and never answers delays neither the start nor the
// language; a bus that answers is joined in the background and AccountsService then counts.
TEST(LinuxUserLanguageBackend, AHungSystemBusKeepsNothingWaiting) {
    QTemporaryDir folder;
    const QByteArray hungPath = folder.filePath(QStringLiteral("hung")).toLocal8Bit();
    const int hung = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, hungPath.constData(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(hung, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(hung, 8), 0);
    PrivateBus bus;
    ASSERT_FALSE(bus.Address().isEmpty()) << "dbus-daemon did not start";
    const AccountsOnBus accounts(bus.Address(), QString("de_DE.UTF-8"));
    const struct {
        QString address;
        LANGID id;
    } rows[] = {{"unix:path=" + QString::fromLocal8Bit(hungPath), 0x040C}, {bus.Address(), 0x0407}};
    for (const auto& row : rows) {
        const Desktop desktop(row.address);
        ASSERT_TRUE(desktop.Write("locale.conf", "LANG=fr_FR.UTF-8\n"));
        QElapsedTimer clock;
        clock.start();
        {
            LinuxUserLanguage language;
            language.GetUserDefaultLangID();
            EXPECT_LT(clock.elapsed(), 300) << row.address.toStdString();
            EXPECT_TRUE(
                QTest::qWaitFor([&] { return language.GetUserDefaultLangID() == row.id; }, 8000));
            // Asked again a while later: the bus that never answers has not stopped the asking.
            EXPECT_EQ(SettledLangId(language), row.id);
        }
    }
    ::close(hung);
}

} // namespace
