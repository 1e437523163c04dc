// Generated web trees, written through the access model the panel uses, asked
// of the real Apache. For every folder, what the model says the server
// enforces must be what the server answers: from 127.0.0.1 and ::1, without
// credentials, with each user's password and with a wrong one.

#include "common/ApacheHarness.h"
#include "common/ServedFolder.h"
#include "common/TestModelContext.h"
#include "core/Log.h"
#include "model/PHEffectiveAccess.h"
#include "model/PHFSItem.h"
#include "model/PHServerRules.h"
#include "model/PHSettings.h"
#include "support/PHSettingsStore.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace {

using apache_harness::ApacheServer;
using apache_harness::Credentials;

struct User {
    QString name;
    QString password;
};
const QList<User> kUsers{{QStringLiteral("alice"), QStringLiteral("wonder-land")},
                         {QStringLiteral("bob"), QStringLiteral("builder-7")},
                         {QStringLiteral("carol"), QStringLiteral("c4rol-x")}};
const QStringList kGroups{QStringLiteral("staff"), QStringLiteral("crew")};
const QStringList kAddresses{QStringLiteral("127.0.0.1"),  QStringLiteral("::1"),
                             QStringLiteral("10.1.2.3"),   QStringLiteral("127.0.0.0/8"),
                             QStringLiteral("10.0.0.0/8"), QStringLiteral("127.0"),
                             QStringLiteral("::1/128"),    QStringLiteral("no-such.example.invalid")};

// Lines people keep below the panel's own.
const QStringList kCustomLines{
    QStringLiteral("Options -Indexes"),    QStringLiteral("Require ip 127.0.0.1"),
    QStringLiteral("Require all granted"), QStringLiteral("Satisfy any"),
    QStringLiteral("Deny from ::1"),       QStringLiteral("ErrorDocument 403 \"Desk #4\""),
    QStringLiteral("Require local"),       QStringLiteral("Allow from 127.0.0.1"),
};

// Files written by hand; USERS and GROUPS stand for the files' paths.
const QStringList kHandWritten{
    QStringLiteral("AuthType Basic\nAuthName \"h\"\nAuthUserFile \"USERS\"\n"
                   "<RequireAll>\n  Require user bob\n  Require ip 10.0.0.1\n</RequireAll>\n"),
    QStringLiteral("AuthType Basic\nAuthName \"h\"\nAuthUserFile \"USERS\"\n"
                   "<RequireAll>\n  Require user bob carol\n  Require ip 127.0.0.1\n</RequireAll>\n"),
    QStringLiteral("Order deny,allow\nDeny from 127.0.0.1\n<Limit POST>\n  Allow from 127.0.0.1\n</Limit>\n"),
    QStringLiteral("Order deny,allow\nDeny from ALL\nAllow from 10.1.1.1\n"),
    QStringLiteral("Deny from 10.3.3.3\t127.0.0.0/8 NO-SUCH.EXAMPLE.INVALID\n"),
    QStringLiteral("Require ip 127.0.0.1\n"),
    QStringLiteral("Require local\n"),
    QStringLiteral("Satisfy any\n"),
    QStringLiteral("Order allow,deny\nAllow from 127.0.0.1\n"),
    QStringLiteral("Require all denied\n"),
    QStringLiteral("Require all granted\n"),
    QStringLiteral("AuthType Basic\nAuthName \"h\"\nAuthUserFile \"USERS\"\n"
                   "<RequireAny>\n  Require ip ::1\n  Require user carol\n</RequireAny>\n"),
    QStringLiteral(
        "AuthType Basic\nAuthName \"h\"\nAuthUserFile \"USERS\"\nRequire valid-user\nRequire ip ::1\n"),
    QStringLiteral("Deny from all\n"),
    QStringLiteral("Order Deny,Allow\nDeny from all\nAllow from ::1\nSatisfy Any\n"),
    QStringLiteral("AuthGroupFile \"GROUPS\"\nRequire group crew\n"),
    QStringLiteral("AuthType Basic\nAuthName \"h\"\nAuthUserFile \"USERS\"\n"
                   "<RequireAll>\n  Require valid-user\n  Require not user bob\n</RequireAll>\n"),
    QStringLiteral("AuthType Basic\nAuthName \"h\"\nAuthUserFile \"USERS\"\nRequire user alice\n"
                   "Order deny,allow\nDeny from all\nAllow from 127.0.0.1\nSatisfy any\n"),
    QStringLiteral("DENY FROM 127.0.0.1\n"),
    QStringLiteral(
        "AuthType Basic\nAuthName \"h\"\nAuthUserFile \"USERS\"\nRequire user \\\n  carol alice\n"),
};

/// Access files as people write them by hand, from a small grammar: auth
/// lines, Require in its forms (negations, containers nested two levels),
/// method containers, Order/Allow/Deny/Satisfy, comments (one continued into
/// the next line), quotes, letter cases, continued lines and CRLF.
class HandWrittenGrammar {
public:
    explicit HandWrittenGrammar(std::mt19937 &random) : m_random(random) {}

    QString file() {
        QStringList lines;
        m_needsGroups = false;
        const bool auth = chance(75);
        const int statements = 1 + below(3);
        QStringList body;
        for (int i = 0; i < statements; ++i)
            body += topLevel();
        if (auth) {
            lines << cased("AuthType") + (chance(90) ? QStringLiteral(" Basic") : QStringLiteral(" basic"));
            lines << cased("AuthName") + QStringLiteral(" \"Hand made\"");
            lines << cased("AuthUserFile") +
                         (chance(50) ? QStringLiteral(" \"USERS\"") : QStringLiteral(" USERS"));
            if (m_needsGroups || chance(20))
                lines << cased("AuthGroupFile") + QStringLiteral(" GROUPS");
        }
        lines += body;
        QString text = lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
        if (chance(15))
            text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
        return text;
    }

private:
    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_random); }
    bool chance(int percent) { return below(100) < percent; }
    template <typename T> const T &pick(const QList<T> &from) { return from.at(below(int(from.size()))); }

    /// A directive name as written: mostly as documented, sometimes in other cases.
    QString cased(const char *name) {
        const QString text = QString::fromLatin1(name);
        const int how = below(10);
        return how == 0 ? text.toUpper() : how == 1 ? text.toLower() : text;
    }
    QString address() {
        static const QStringList list{"127.0.0.1",           "::1",     "10.0.0.1", "127.0.0.0/8",
                                      "127.0.0.1/255.0.0.0", "::1/128", "127.0"};
        return pick(list);
    }
    QString userNames() {
        static const QStringList names{"alice", "bob", "carol"};
        QStringList chosen{pick(names)};
        if (chance(40))
            chosen << pick(names);
        if (chance(15))
            chosen.first() = QLatin1Char('"') + chosen.first() + QLatin1Char('"');
        // A list continued on the next line.
        if (chosen.size() > 1 && chance(25))
            return chosen.first() + QStringLiteral(" \\\n  ") + chosen.mid(1).join(QLatin1Char(' '));
        return chosen.join(QLatin1Char(' '));
    }
    /// What follows "Require" (or "Require not").
    QString requirement(bool negatable) {
        switch (below(negatable ? 5 : 7)) {
        case 0:
            return QStringLiteral("user ") + userNames();
        case 1:
            m_needsGroups = true;
            return QStringLiteral("group ") + pick(QStringList{"staff", "STAFF", "crew"});
        case 2:
            return QStringLiteral("ip ") + address() +
                   (chance(20) ? QLatin1Char(' ') + address() : QString());
        case 3:
            return QStringLiteral("local");
        case 4:
            return QStringLiteral("valid-user");
        case 5:
            return QStringLiteral("all ") +
                   (chance(50) ? QStringLiteral("granted") : QStringLiteral("denied"));
        default:
            return chance(80) ? QStringLiteral("valid-user") : QStringLiteral("User alice");
        }
    }
    QStringList requireLines(int depth, const QString &indent) {
        // A container of rules, nested at most two levels.
        if (depth < 2 && chance(depth == 0 ? 35 : 20)) {
            const QString kind = pick(QStringList{"RequireAll", "RequireAny", "RequireNone"});
            QStringList lines{indent + QLatin1Char('<') + kind + QLatin1Char('>')};
            for (int i = 0, n = 1 + below(3); i < n; ++i)
                lines += requireLines(depth + 1, indent + QStringLiteral("  "));
            lines << indent + QStringLiteral("</") + kind + QLatin1Char('>');
            return lines;
        }
        // A negation anywhere (Apache refuses one that cannot have an effect).
        if (depth > 0 && chance(30))
            return {indent + cased("Require") + QStringLiteral(" not ") + requirement(true)};
        if (depth == 0 && chance(3))
            return {indent + cased("Require") + QStringLiteral(" not ") + requirement(true)};
        return {indent + cased("Require") + QLatin1Char(' ') + requirement(false)};
    }
    QStringList compatLines() {
        QStringList lines;
        if (chance(70))
            lines << cased("Order") + QLatin1Char(' ') +
                         pick(QStringList{"deny,allow", "allow,deny", "Deny,Allow", "mutual-failure"});
        for (int i = 0, n = below(3); i < n; ++i)
            lines << (chance(50) ? cased("Allow") : cased("Deny")) + QStringLiteral(" from ") +
                         (chance(20) ? QStringLiteral("all") : address());
        if (chance(40))
            lines << cased("Satisfy") + QLatin1Char(' ') +
                         (chance(50) ? QStringLiteral("any") : QStringLiteral("All"));
        return lines;
    }
    QStringList topLevel() {
        const int kind = below(10);
        if (kind < 5)
            return requireLines(0, QString());
        if (kind < 7)
            return compatLines();
        if (kind < 9) {
            // A method container around a rule or two.
            const bool except = chance(50);
            QStringList methods;
            for (const QString &method : {QStringLiteral("GET"), QStringLiteral("POST"),
                                          QStringLiteral("HEAD"), QStringLiteral("PUT")})
                if (chance(40))
                    methods << method;
            if (methods.isEmpty())
                methods << QStringLiteral("POST");
            const QString name = except ? QStringLiteral("LimitExcept") : QStringLiteral("Limit");
            QStringList lines{QLatin1Char('<') + name + QLatin1Char(' ') + methods.join(QLatin1Char(' ')) +
                              QLatin1Char('>')};
            for (const QString &line : chance(50) ? requireLines(1, QStringLiteral("  ")) : compatLines())
                lines << QStringLiteral("  ") + line.trimmed();
            lines << QStringLiteral("</") + name + QLatin1Char('>');
            return lines;
        }
        // A comment; one ending in a backslash takes the next line with it.
        if (chance(50))
            return {QStringLiteral("# kept for the auditors")};
        return {QStringLiteral("# see ticket 42 \\"), cased("Require") + QStringLiteral(" user alice")};
    }

    std::mt19937 &m_random;
    bool m_needsGroups = false;
};

QString readText(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void writeText(const QString &path, const QString &text) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
}

class ApacheDifferential : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string reason = apache_harness::unavailableReason();
        if (!reason.empty())
            GTEST_SKIP() << "no private Apache: " << reason;
        if (::access("/usr/bin/htpasswd", X_OK) != 0)
            GTEST_SKIP() << "no htpasswd";
        ::umask(022);
        m_root = apache_harness::makeReadableTempFolder("porthold-diff");
        m_server = std::make_unique<ApacheServer>(m_root);
        root = QString::fromStdString(m_root.string());
        // The user file comes from the server's own tool.
        bool first = true;
        for (const User &user : kUsers) {
            const std::string command = "/usr/bin/htpasswd -b " + std::string(first ? "-c " : "") + "'" +
                                        (m_root / ".htusers").string() + "' " + user.name.toStdString() +
                                        " '" + user.password.toStdString() + "' 2>/dev/null";
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
            first = false;
        }
        ::chmod((m_root / ".htusers").c_str(), 0644);
        writeText(root + QStringLiteral("/.htgroups"), QStringLiteral("staff: alice\ncrew: bob carol\n"));

        context.webRoot = root;
        for (const User &user : kUsers)
            context.users.append(user.name);
        context.groups = kGroups;
        context.discover = false;
        Log::setCapture(&m_log);
    }

    void TearDown() override {
        Log::setCapture(nullptr);
        m_server.reset();
        if (!m_settings.empty()) {
            PHSettingsStore::resetInstanceForTesting();
            ::unsetenv("XDG_CONFIG_HOME");
            PHServerRules::forgetSettings();
            std::error_code ignored;
            fs::remove_all(m_settings, ignored);
        }
        std::error_code ignored;
        if (!m_root.empty())
            fs::remove_all(m_root, ignored);
    }

    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_random); }
    bool chance(int percent) { return below(100) < percent; }
    template <typename T> QList<T> some(const QList<T> &from) {
        QList<T> result;
        for (const T &item : from)
            if (chance(35))
                result.append(item);
        return result;
    }

    PHFSItem *child(PHFSItem *node, const QString &name) {
        for (PHFSItem *candidate : node->children())
            if (candidate->name() == name)
                return candidate;
        return nullptr;
    }

    /// Gives one folder its access file: through the model, or by hand.
    void protect(PHFSItem *node, std::ostringstream &story) {
        const QString file = node->accessPath();
        const int kind = below(10);
        if (kind == 0) {
            story << node->treePath().toStdString() << ": no access file\n";
            return;
        }
        if (kind <= 2) {
            QString text = kHandWritten.at(below(kHandWritten.size()));
            text.replace(QStringLiteral("USERS"), root + QStringLiteral("/.htusers"));
            text.replace(QStringLiteral("GROUPS"), root + QStringLiteral("/.htgroups"));
            writeText(file, text);
            node->setStringValue(readText(file));
        } else {
            if (chance(20))
                node->setListForKey(PHFSItem::RequireUserKey, {PHFSItem::anyUserRealName});
            else {
                QStringList users;
                for (const User &user : some(kUsers))
                    users.append(user.name);
                node->setListForKey(PHFSItem::RequireUserKey, users);
            }
            node->setListForKey(PHFSItem::RequireGroupKey, some(kGroups));
            node->authDict().insert(PHFSItem::AllowOrDenyKey, chance(50));
            node->setListForKey(PHFSItem::AllowFromKey, some(kAddresses));
            node->setListForKey(PHFSItem::DenyFromKey, some(kAddresses));
            const int mode = below(5);
            if (mode == 0)
                node->setModeIndex(1 + below(4)); // written, then switched off below
            node->setModeIndex(mode);
            if (chance(30)) {
                const QString line = kCustomLines.at(below(kCustomLines.size()));
                writeText(file, readText(file) + line + QLatin1Char('\n'));
                node->setStringValue(readText(file));
            }
        }
        // A later edit in the panel: refused for a file with rules of its own.
        if (chance(50)) {
            const QString before = readText(file);
            const qsizetype errorsBefore = context.errors.size();
            if (chance(50))
                node->setModeIndex(node->modeIndex() == 0 ? 1 + below(4) : node->modeIndex());
            else
                node->setAllow(!node->isAllowSet());
            if (node->isHandManaged()) {
                ++handManagedRefusals;
                EXPECT_EQ(readText(file), before) << "a hand-managed file is left byte for byte";
                EXPECT_EQ(context.errors.mid(errorsBefore),
                          QList<qint32>{PHFSItem::ErrorAccessFileHandManaged});
            }
        }
        story << node->treePath().toStdString() << (node->isHandManaged() ? " (hand-managed)" : "") << ":\n"
              << readText(file).toStdString() << "\n";
    }

    struct Probe {
        bool ipv6;
        int user; // -1: no credentials
        bool rightPassword;
    };
    /// Every probe this server can answer: from 127.0.0.1 and ::1, without
    /// credentials, with each user's password and with a wrong one.
    QList<Probe> probes() {
        QList<Probe> list;
        for (bool ipv6 : {false, true}) {
            if (ipv6 && !server().servesIpv6())
                continue;
            list.append({ipv6, -1, false});
            for (int user = 0; user < kUsers.size(); ++user)
                list.append({ipv6, user, true});
            list.append({ipv6, 0, false});
        }
        return list;
    }
    static PHEffectiveAccess::Client clientOf(const Probe &probe) {
        return {probe.ipv6 ? QStringLiteral("::1") : QStringLiteral("127.0.0.1"),
                QStringLiteral("localhost")};
    }
    static PHEffectiveAccess::Credentials credentialsOf(const Probe &probe) {
        if (probe.user < 0)
            return {};
        return {kUsers.at(probe.user).name, probe.rightPassword};
    }
    int askServer(const std::string &url, const Probe &probe) {
        Credentials sent;
        if (probe.user >= 0) {
            const User &user = kUsers.at(probe.user);
            sent = {user.name.toStdString(),
                    probe.rightPassword ? user.password.toStdString() : std::string("not-the-password")};
        }
        return probe.ipv6 ? server().get6(url, sent) : server().get(url, sent);
    }
    /// Ends the summary line with the count of each answer; every kind
    /// turns up, so agreement is not agreement on one.
    static void expectEveryKindOfAnswer(std::map<int, int> &answers) {
        for (const auto &[status, count] : answers)
            std::cout << ' ' << status << " x" << count;
        std::cout << '\n';
        for (const int status : {200, 401, 403, 500})
            EXPECT_GT(answers[status], 0) << status;
    }
    static std::string describeProbe(const std::string &url, const Probe &probe) {
        return "GET " + url + " from " + (probe.ipv6 ? "::1" : "127.0.0.1") + " as " +
               (probe.user < 0 ? std::string("nobody") : kUsers.at(probe.user).name.toStdString()) + " (" +
               (probe.rightPassword ? "right" : "wrong") + " password)";
    }

    /// What a run of comparisons found.
    struct Tally {
        int asked = 0, agreed = 0, cannotTell = 0;
        std::map<int, int> answers;
        /// Counts one answer; false when the model disagreed with the server.
        bool count(int predicted, int answered) {
            if (predicted < 0) {
                ++cannotTell;
                return true;
            }
            ++asked;
            ++answers[answered];
            agreed += predicted == answered ? 1 : 0;
            return predicted == answered;
        }
    };
    /// Compares the model with the server for every probe of `url`, each
    /// disagreement a failure that shows `what`; the server's answers.
    QList<int> compareWithServer(const PHEffectiveAccess &access, const std::string &url,
                                 const QList<Probe> &probes, Tally &tally, const std::string &what) {
        const PHEffectiveAccess::Directory directory = PHEffectiveAccess::filesOnDisk();
        QList<int> given;
        for (const Probe &probe : probes) {
            QString why;
            const int predicted = access.predict(clientOf(probe), credentialsOf(probe), directory, &why);
            const int answered = askServer(url, probe);
            given.append(answered);
            if (tally.count(predicted, answered))
                continue;
            ADD_FAILURE() << describeProbe(url, probe) << ": predicted " << predicted << " ("
                          << why.toStdString() << "), Apache answered " << answered << "\n"
                          << what << "\nthe model says:\n  "
                          << access.lines().join(QStringLiteral("\n  ")).toStdString();
        }
        return given;
    }

    QString root;
    TestModelContext context;
    int handManagedRefusals = 0;

private:
    fs::path m_root;
    std::unique_ptr<ApacheServer> m_server;
    QStringList m_log;
    std::mt19937 m_random{20261208};

protected:
    ApacheServer &server() { return *m_server; }
    /// Starts the server again with `extra` added to its configuration, and
    /// has the model read that configuration.
    void restartServer(const std::string &extra) {
        m_server.reset();
        m_server = std::make_unique<ApacheServer>(m_root, extra);
        m_settings = apache_harness::makeReadableTempFolder("porthold-diff-settings");
        ::setenv("XDG_CONFIG_HOME", m_settings.c_str(), 1);
        PHSettingsStore::resetInstanceForTesting();
        PHSettingsStore *defaults = PHSettingsStore::instance();
        defaults->setBoolForKey(true, PHSettings::Key::OverrideConfDirectory);
        defaults->setObjectForKey(QString::fromStdString(m_server->serverRoot().string()),
                                  PHSettings::Key::ApacheConfDirectory);
        defaults->setObjectForKey(QStringLiteral("httpd.conf"), PHSettings::Key::ApacheConfFile);
        PHServerRules::forgetSettings();
    }
    fs::path m_settings;
    std::mt19937 &randomEngine() { return m_random; }
};

TEST_F(ApacheDifferential, PredictionsEqualApachesAnswers) {
    context.knownAddresses = kAddresses;
    const PHEffectiveAccess::Directory directory = PHEffectiveAccess::filesOnDisk();
    const QList<Probe> probes = this->probes();

    int asked = 0, agreed = 0, unpredictable = 0, folders = 0, thisComputerRefused = 0;
    std::map<int, int> answers;
    for (int round = 0; asked < 1200 && round < 400; ++round) {
        // A tree of up to three levels below the web root.
        const QString top = QStringLiteral("t%1").arg(round);
        QStringList paths{top};
        for (int i = 0, n = 1 + below(2); i < n; ++i) {
            const QString second = QStringLiteral("%1/s%2").arg(top).arg(i);
            paths.append(second);
            if (chance(60))
                paths.append(second + QStringLiteral("/g"));
        }
        for (const QString &path : paths) {
            QDir(root).mkpath(path);
            writeText(root + QLatin1Char('/') + path + QStringLiteral("/index.html"), path);
            QFile::setPermissions(root + QLatin1Char('/') + path,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                      QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
        }
        PHFSItem tree(root, nullptr);
        tree.setContext(context.model());
        std::ostringstream story;
        QList<PHFSItem *> nodes;
        for (const QString &path : paths) {
            PHFSItem *node = &tree;
            for (const QString &part : path.split(QLatin1Char('/')))
                node = node ? child(node, part) : nullptr;
            ASSERT_NE(node, nullptr) << path.toStdString();
            protect(node, story);
            nodes.append(node);
        }

        for (PHFSItem *node : nodes) {
            ++folders;
            const PHEffectiveAccess access = node->effectiveAccess();
            const QStringList refusedHere = access.refusedLoopbackClients();
            const std::string url = "/" + node->treePath().toStdString() + "/index.html";
            for (const Probe &probe : probes) {
                const PHEffectiveAccess::Client client = clientOf(probe);
                QString why;
                const int predicted = access.predict(client, credentialsOf(probe), directory, &why);
                if (predicted < 0) {
                    ++unpredictable;
                    continue;
                }
                const int answered = askServer(url, probe);
                ++asked;
                ++answers[answered];
                // The warning that this computer is refused holds exactly when
                // a visitor from it without a password gets 403.
                if (probe.user < 0) {
                    const bool warned = refusedHere.contains(client.address);
                    thisComputerRefused += warned ? 1 : 0;
                    EXPECT_EQ(warned, answered == 403)
                        << "GET " << url << " from " << client.address.toStdString() << ": Apache answered "
                        << answered << "\n--- tree\n"
                        << story.str();
                }
                if (predicted == answered) {
                    ++agreed;
                    continue;
                }
                ADD_FAILURE() << describeProbe(url, probe) << ": predicted " << predicted << " ("
                              << why.toStdString() << "), Apache answered " << answered
                              << "\nthe model says:\n  "
                              << access.lines().join(QStringLiteral("\n  ")).toStdString() << "\n--- tree\n"
                              << story.str();
            }
        }
        if (agreed != asked)
            break; // the first round that disagrees tells the story
    }
    std::cout << "differential: " << folders << " folders, " << asked << " probes, " << agreed
              << " agreements, " << unpredictable << " not predicted, " << handManagedRefusals
              << " refused edits of hand-managed files, " << thisComputerRefused
              << " probes where this computer is refused (and warned); answers:";
    expectEveryKindOfAnswer(answers);
    EXPECT_EQ(agreed, asked);
    EXPECT_GE(asked, 1000);
    EXPECT_EQ(unpredictable, 0) << "every generated rule is one the model works out";
    EXPECT_GT(thisComputerRefused, 0) << "the warning was put to the test";
}

TEST_F(ApacheDifferential, HandWrittenFilesAndEditsOfThem) {
    context.knownAddresses = kAddresses;
    const QList<Probe> probes = this->probes();
    HandWrittenGrammar grammar(randomEngine());
    Tally tally;
    int folders = 0, edits = 0, editsKept = 0;
    PHFSItem tree(root, nullptr);
    tree.setContext(context.model());
    for (int round = 0; tally.asked < 3900 && round < 1200; ++round) {
        const QString name = QStringLiteral("h%1").arg(round);
        QString text = grammar.file();
        text.replace(QStringLiteral("USERS"), root + QStringLiteral("/.htusers"));
        text.replace(QStringLiteral("GROUPS"), root + QStringLiteral("/.htgroups"));
        ASSERT_TRUE(makeServedFolder(root, name, text));
        auto node = std::make_unique<PHFSItem>(name, &tree);
        const std::string url = "/" + name.toStdString() + "/index.html";
        ++folders;

        // Compares the model with the server for every probe; the answers.
        const auto compare = [&](const std::string &what) {
            return compareWithServer(node->effectiveAccess(), url, probes, tally,
                                     what + "\n--- .htaccess\n" + readText(node->accessPath()).toStdString());
        };
        const QList<int> before = compare("as written by hand");
        if (HasFailure())
            break;

        // An edit the panel allows changes only what it aims at: an address
        // that is not this computer's changes no answer here; a user added to
        // the list changes only that user's answers.
        if (node->isHandManaged() || node->isUnreadable())
            continue;
        ++edits;
        const bool addUser = node->isPasswordProtected() && chance(50);
        const int added = 1 + below(int(kUsers.size()) - 1); // bob or carol
        if (addUser) {
            QStringList users = node->listForKey(PHFSItem::RequireUserKey);
            if (!users.contains(kUsers.at(added).name) && !users.contains(PHFSItem::anyUserRealName))
                users.append(kUsers.at(added).name);
            node->setListForKey(PHFSItem::RequireUserKey, users);
        } else {
            node->setAddressArray(node->addressArray() + QStringList{QStringLiteral("10.1.2.3")});
        }
        const QString handWritten = readText(node->accessPath());
        ASSERT_TRUE(node->writeAccessFile()) << handWritten.toStdString();
        const std::string what = std::string(addUser ? "after adding " + kUsers.at(added).name.toStdString()
                                                     : std::string("after adding the address 10.1.2.3")) +
                                 "\n--- written by hand\n" + handWritten.toStdString();
        const QList<int> after = compare(what);
        bool kept = true;
        for (qsizetype i = 0; i < probes.size(); ++i) {
            const bool aimedAt = addUser && probes.at(i).user == added && probes.at(i).rightPassword;
            if (!aimedAt && after.at(i) != before.at(i)) {
                kept = false;
                ADD_FAILURE() << describeProbe(url, probes.at(i)) << ": " << before.at(i) << " before, "
                              << after.at(i) << " " << what << "\n--- written by the panel\n"
                              << readText(node->accessPath()).toStdString();
            }
        }
        editsKept += kept ? 1 : 0;
        if (HasFailure())
            break;
    }
    std::cout << "hand-written: " << folders << " folders, " << tally.asked << " probes, " << tally.agreed
              << " agreements, " << tally.cannotTell << " answered \"cannot tell\" ("
              << (tally.asked + tally.cannotTell ? 100.0 * tally.cannotTell / (tally.asked + tally.cannotTell)
                                                 : 0.0)
              << "%), " << edits << " edits, " << edits - editsKept
              << " that changed an answer they did not aim at; answers:";
    expectEveryKindOfAnswer(tally.answers);
    EXPECT_EQ(tally.agreed, tally.asked);
    EXPECT_GE(tally.asked, 3800);
    EXPECT_GT(edits, 50);
    EXPECT_EQ(editsKept, edits);
    EXPECT_LT(tally.cannotTell * 20, tally.asked + tally.cannotTell) << "under 5% answered \"cannot tell\"";
}

// Folders under sections of the server's own configuration: what
// AllowOverride and AllowOverrideList let their access files say, and
// <Directory>, <DirectoryMatch>, <Location> and <LocationMatch> rules merged
// before and after them, some inside <IfModule>.
TEST_F(ApacheDifferential, UnderTheServersOwnSections) {
    const QStringList variants{
        QString(),
        QStringLiteral("<Directory \"ROOT/F\">\n  AllowOverride None\n</Directory>\n"),
        QStringLiteral("<Directory \"ROOT/F\">\n  AllowOverride AuthConfig\n</Directory>\n"),
        QStringLiteral("<Directory \"ROOT/F\">\n  AllowOverride Limit\n</Directory>\n"),
        QStringLiteral("<Directory \"ROOT/F\">\n  AllowOverride AuthConfig Limit\n</Directory>\n"),
        QStringLiteral("<Directory \"ROOT/F\">\n  AllowOverride None\n  AllowOverrideList Require AuthType "
                       "AuthName AuthUserFile AuthGroupFile\n</Directory>\n"),
        QStringLiteral("<Directory \"ROOT/F\">\n  Require all denied\n</Directory>\n"),
        QStringLiteral("<Directory \"ROOT/F\">\n  Require ip 10.0.0.1\n</Directory>\n"),
        QStringLiteral("<Directory \"ROOT/F*\">\n  AuthType Basic\n  AuthName \"server\"\n  AuthUserFile "
                       "\"ROOT/.htusers\"\n  Require user carol\n</Directory>\n"),
        QStringLiteral("<Location \"/F\">\n  Require all granted\n</Location>\n"),
        QStringLiteral("<Location \"/F/\">\n  Require all denied\n</Location>\n"),
        QStringLiteral("<LocationMatch \"^/F/\">\n  Require local\n</LocationMatch>\n"),
        QStringLiteral("<DirectoryMatch \"/F\">\n  Require all denied\n</DirectoryMatch>\n"),
        QStringLiteral("<IfModule authz_groupfile_module>\n<Directory \"ROOT/F\">\n  Require all denied\n"
                       "</Directory>\n</IfModule>\n"),
        QStringLiteral("<IfModule !mod_authz_core.c>\n<Location \"/F\">\n  Require all denied\n</Location>\n"
                       "</IfModule>\n"),
    };
    const QStringList panelFiles{
        QStringLiteral(
            "AuthType Basic\nAuthName \"Protected\"\nAuthUserFile \"USERS\"\nRequire valid-user\n"),
        QStringLiteral("Order deny,allow\nDeny from all\nAllow from 127.0.0.1 ::1\n"),
        QStringLiteral("AuthType Basic\nAuthName \"Protected\"\nAuthUserFile \"USERS\"\nRequire user alice\n"
                       "Order deny,allow\nDeny from all\nAllow from ::1\nSatisfy any\n"),
    };
    HandWrittenGrammar grammar(randomEngine());
    constexpr int kFolders = 150;
    std::string extra;
    QStringList texts;
    for (int i = 0; i < kFolders; ++i) {
        const QString name = QStringLiteral("s%1x").arg(i);
        QString section = variants.at(i % variants.size());
        section.replace(QStringLiteral("/F"), QLatin1Char('/') + name);
        extra += section.toStdString();
        QString text = chance(40) ? panelFiles.at(below(int(panelFiles.size()))) : grammar.file();
        text.replace(QStringLiteral("USERS"), root + QStringLiteral("/.htusers"));
        text.replace(QStringLiteral("GROUPS"), root + QStringLiteral("/.htgroups"));
        texts.append(chance(10) ? QString() : text);
    }
    for (int i = 0; i < kFolders; ++i)
        ASSERT_TRUE(makeServedFolder(root, QStringLiteral("s%1x").arg(i),
                                     texts.at(i).isEmpty() ? QString() : texts.at(i)));
    restartServer(extra);

    const QList<Probe> probes = this->probes();
    Tally tally;
    PHFSItem tree(root, nullptr);
    tree.setContext(context.model());
    for (int i = 0; i < kFolders && !HasFailure(); ++i) {
        const QString name = QStringLiteral("s%1x").arg(i);
        auto node = std::make_unique<PHFSItem>(name, &tree);
        compareWithServer(node->effectiveAccess(), "/" + name.toStdString() + "/index.html", probes, tally,
                          "--- the server's section\n" + variants.at(i % variants.size()).toStdString() +
                              "--- .htaccess\n" + texts.at(i).toStdString());
    }
    std::cout << "server sections: " << kFolders << " folders, " << tally.asked << " probes, " << tally.agreed
              << " agreements, " << tally.cannotTell << " answered \"cannot tell\"; answers:";
    expectEveryKindOfAnswer(tally.answers);
    EXPECT_EQ(tally.agreed, tally.asked);
    EXPECT_GE(tally.asked, 1000);
    EXPECT_LT(tally.cannotTell * 10, tally.asked + tally.cannotTell) << "under 10% answered \"cannot tell\"";
}

// Users and groups with names people really have: letters in other cases,
// dots, dashes, a space, letters outside ASCII; group files written by hand
// with tabs, quotes, CRLF, repeated groups and names that differ only in
// case; Require lines naming them in other cases and quoted.
TEST_F(ApacheDifferential, OddUserAndGroupNames) {
    const QList<User> users{{QStringLiteral("alice"), QStringLiteral("lower-case")},
                            {QStringLiteral("Alice"), QStringLiteral("Upper-Case")},
                            {QStringLiteral("o.brien"), QStringLiteral("dotted")},
                            {QStringLiteral("dash-ed"), QStringLiteral("dashed")},
                            {QStringLiteral("a b"), QStringLiteral("spaced")},
                            {QStringLiteral("\u00fcn\u00efcode"), QStringLiteral("umlaut")},
                            {QStringLiteral("x@y.example"), QStringLiteral("at-sign")}};
    const QString userFile = root + QStringLiteral("/.oddusers");
    bool first = true;
    for (const User &user : users) {
        const std::string command = "/usr/bin/htpasswd -b " + std::string(first ? "-c " : "") + "'" +
                                    userFile.toStdString() + "' '" + user.name.toStdString() + "' '" +
                                    user.password.toStdString() + "' 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        first = false;
    }
    ::chmod(userFile.toLocal8Bit().constData(), 0644);
    const QString groupFile = root + QStringLiteral("/.oddgroups");
    writeText(groupFile, QStringLiteral("staff: alice\n"
                                        "Staff: Alice o.brien\n"
                                        "team:\to.brien\t dash-ed\r\n"
                                        "quoted: \"a b\" \"\u00fcn\u00efcode\"\n"
                                        "crew: dash-ed\n"
                                        "crew: x@y.example\n"
                                        "  lead: alice\n"
                                        "#hidden: alice\n"
                                        "empty:\n"));
    const QStringList groupNames{"staff", "Staff", "STAFF",  "team", "quoted",
                                 "crew",  "lead",  "hidden", "empty"};
    const QStringList nameForms{
        "alice",           "Alice",  "ALICE", "o.brien", "\"a b\"", "dash-ed", "\u00fcn\u00efcode",
        "\"x@y.example\"", "O.Brien"};
    const auto pick = [&](const QStringList &from) { return from.at(below(int(from.size()))); };

    // Every user with the right and a wrong password, one name in another
    // case with its twin's password, and nobody.
    struct OddProbe {
        QString user;
        QString password;
        bool right;
    };
    QList<OddProbe> probes{{QString(), QString(), false}};
    for (const User &user : users) {
        probes.append({user.name, user.password, true});
        probes.append({user.name, QStringLiteral("not-it"), false});
    }
    probes.append({QStringLiteral("ALICE"), QStringLiteral("lower-case"), false});
    probes.append({QStringLiteral("Dash-ed"), QStringLiteral("dashed"), false});

    Tally tally;
    PHFSItem tree(root, nullptr);
    tree.setContext(context.model());
    const PHEffectiveAccess::Directory directory = PHEffectiveAccess::filesOnDisk();
    for (int round = 0; round < 60 && !HasFailure(); ++round) {
        QStringList lines{QStringLiteral("AuthType Basic"), QStringLiteral("AuthName \"odd\""),
                          QStringLiteral("AuthUserFile \"") + userFile + QLatin1Char('"'),
                          QStringLiteral("AuthGroupFile ") + groupFile};
        const int statements = 1 + below(2);
        QStringList body;
        for (int i = 0; i < statements; ++i) {
            switch (below(4)) {
            case 0:
                body << QStringLiteral("Require user ") + pick(nameForms) +
                            (chance(50) ? QLatin1Char(' ') + pick(nameForms) : QString());
                break;
            case 1:
                body << QStringLiteral("Require group ") + pick(groupNames) +
                            (chance(40) ? QLatin1Char(' ') + pick(groupNames) : QString());
                break;
            case 2:
                body << QStringLiteral("Require valid-user");
                break;
            default:
                body << QStringLiteral("<RequireAll>") << QStringLiteral("  Require valid-user")
                     << QStringLiteral("  Require not ") + (chance(50)
                                                                ? QStringLiteral("user ") + pick(nameForms)
                                                                : QStringLiteral("group ") + pick(groupNames))
                     << QStringLiteral("</RequireAll>");
            }
        }
        const QString name = QStringLiteral("n%1").arg(round);
        const QString text = (lines + body).join(QLatin1Char('\n')) + QLatin1Char('\n');
        ASSERT_TRUE(makeServedFolder(root, name, text));
        auto node = std::make_unique<PHFSItem>(name, &tree);
        const PHEffectiveAccess access = node->effectiveAccess();
        const std::string url = "/" + name.toStdString() + "/index.html";
        for (const OddProbe &probe : probes) {
            QString why;
            const PHEffectiveAccess::Credentials credentials{probe.user, probe.right};
            const int predicted = access.predict({QStringLiteral("127.0.0.1"), QStringLiteral("localhost")},
                                                 credentials, directory, &why);
            const int answered =
                probe.user.isEmpty()
                    ? server().get(url)
                    : server().get(url, {probe.user.toStdString(), probe.password.toStdString()});
            if (tally.count(predicted, answered))
                continue;
            ADD_FAILURE() << "GET " << url << " as \"" << probe.user.toStdString() << "\" ("
                          << (probe.right ? "right" : "wrong") << " password): predicted " << predicted
                          << " (" << why.toStdString() << "), Apache answered " << answered
                          << "\n--- .htaccess\n"
                          << text.toStdString();
        }
    }
    std::cout << "odd names: " << tally.asked << " probes, " << tally.agreed << " agreements, "
              << tally.cannotTell << " answered \"cannot tell\"; answers:";
    for (const auto &[status, count] : tally.answers)
        std::cout << ' ' << status << " x" << count;
    std::cout << '\n';
    EXPECT_EQ(tally.agreed, tally.asked);
    EXPECT_GE(tally.asked, 900);
    EXPECT_GT(tally.answers[200], 0);
    EXPECT_GT(tally.answers[401], 0);
}

} // namespace
