// Generated web trees, written through the access model the panel uses, asked
// of the real Apache. For every folder, what the model says the server
// enforces must be what the server answers: from 127.0.0.1 and ::1, without
// credentials, with each user's password and with a wrong one.

#include "common/ApacheHarness.h"
#include "common/TestPanelContext.h"
#include "model/PHEffectiveAccess.h"
#include "model/PHFSItem.h"
#include "platform/Log.h"

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
            if (candidate->relativePath() == name)
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

    QString root;
    TestPanelContext context;
    int handManagedRefusals = 0;

private:
    fs::path m_root;
    std::unique_ptr<ApacheServer> m_server;
    QStringList m_log;
    std::mt19937 m_random{20261208};

protected:
    ApacheServer &server() { return *m_server; }
};

TEST_F(ApacheDifferential, PredictionsEqualApachesAnswers) {
    context.knownAddresses = kAddresses;
    const PHEffectiveAccess::Directory directory = PHEffectiveAccess::filesOnDisk();
    struct Probe {
        bool ipv6;
        int user; // -1: no credentials
        bool rightPassword;
    };
    QList<Probe> probes;
    for (bool ipv6 : {false, true}) {
        if (ipv6 && !server().servesIpv6())
            continue;
        probes.append({ipv6, -1, false});
        for (int user = 0; user < kUsers.size(); ++user)
            probes.append({ipv6, user, true});
        probes.append({ipv6, 0, false});
    }

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
                PHEffectiveAccess::Client client{probe.ipv6 ? QStringLiteral("::1")
                                                            : QStringLiteral("127.0.0.1"),
                                                 QStringLiteral("localhost")};
                PHEffectiveAccess::Credentials credentials;
                Credentials sent;
                if (probe.user >= 0) {
                    const User &user = kUsers.at(probe.user);
                    credentials = {user.name, probe.rightPassword};
                    sent = {user.name.toStdString(), probe.rightPassword ? user.password.toStdString()
                                                                         : std::string("not-the-password")};
                }
                QString why;
                const int predicted = access.predict(client, credentials, directory, &why);
                if (predicted < 0) {
                    ++unpredictable;
                    continue;
                }
                const int answered = probe.ipv6 ? server().get6(url, sent) : server().get(url, sent);
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
                ADD_FAILURE() << "GET " << url << " from " << client.address.toStdString() << " as "
                              << (sent.user.empty() ? std::string("nobody") : sent.user) << " ("
                              << (probe.rightPassword ? "right" : "wrong") << " password): predicted "
                              << predicted << " (" << why.toStdString() << "), Apache answered " << answered
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
    for (const auto &[status, count] : answers)
        std::cout << ' ' << status << " x" << count;
    std::cout << '\n';
    // Every kind of answer turns up, so agreement is not agreement on one.
    for (const int status : {200, 401, 403, 500})
        EXPECT_GT(answers[status], 0) << status;
    EXPECT_EQ(agreed, asked);
    EXPECT_GE(asked, 1000);
    EXPECT_EQ(unpredictable, 0) << "every generated rule is one the model works out";
    EXPECT_GT(thisComputerRefused, 0) << "the warning was put to the test";
}

} // namespace
