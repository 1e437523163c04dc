// Hand-written access, user and group files that the real Apache reads its
// own way. For each, the answers Apache gives are the ones written down here
// (so the case is what it claims to be on this server), and the model's
// prediction for every probe is Apache's answer. Where the panel reads the
// file into its lists, what it shows and what its next edit writes are
// checked against the server too.

#include "common/ApacheHarness.h"
#include "common/ServedFolder.h"
#include "common/TestModelContext.h"
#include "core/Log.h"
#include "model/PHAccessCheck.h"
#include "model/PHEffectiveAccess.h"
#include "model/PHFSItem.h"
#include "model/PHGroupsModel.h"
#include "model/PHServerRules.h"
#include "model/PHSettings.h"
#include "support/PHSettingsStore.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <memory>

namespace fs = std::filesystem;

namespace {

using apache_harness::ApacheServer;
using apache_harness::Credentials;

// Probes, in order: from 127.0.0.1 then ::1, each with no credentials,
// alice's password, a wrong password for alice, and bob's password.
using Answers = std::array<int, 8>;

const QString kAuth = QStringLiteral("AuthType Basic\nAuthName \"h\"\nAuthUserFile \"USERS\"\n"
                                     "AuthGroupFile \"GROUPS\"\n");

class ApacheExamples : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string reason = apache_harness::unavailableReason();
        if (!reason.empty())
            GTEST_SKIP() << "no private Apache: " << reason;
        if (::access("/usr/bin/htpasswd", X_OK) != 0)
            GTEST_SKIP() << "no htpasswd";
        ::umask(022);
        m_root = apache_harness::makeReadableTempFolder("porthold-examples");
        m_server = std::make_unique<ApacheServer>(m_root, serverConfiguration());
        root = QString::fromStdString(m_root.string());
        // Bcrypt, which both the server and the C library check.
        for (const auto &[name, password, create] :
             {std::tuple{"alice", "wonder-land", true}, std::tuple{"bob", "builder-7", false}}) {
            const std::string command = std::string("/usr/bin/htpasswd -bB ") + (create ? "-c " : "") + "'" +
                                        (m_root / ".htusers").string() + "' " + name + " '" + password +
                                        "' 2>/dev/null";
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
        }
        ::chmod((m_root / ".htusers").c_str(), 0644);
        writeText(root + QStringLiteral("/.htgroups"), QStringLiteral("staff: alice\ncrew: bob\n"));
        context.webRoot = root;
        context.users = {QStringLiteral("alice"), QStringLiteral("bob")};
        context.groups = {QStringLiteral("staff"), QStringLiteral("crew")};
        context.discover = false;
        Log::setCapture(&m_log);
        m_tree = std::make_unique<PHFSItem>(root, nullptr);
        m_tree->setContext(context.model());
    }

    /// Lines added to the server's configuration ("ROOT" for the web root).
    virtual std::string serverConfiguration() const { return {}; }

    void TearDown() override {
        Log::setCapture(nullptr);
        m_tree.reset();
        m_server.reset();
        std::error_code ignored;
        if (!m_root.empty())
            fs::remove_all(m_root, ignored);
    }

    static QString readText(const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    static void writeText(const QString &path, const QString &text) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.toUtf8());
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    }

    QString expand(QString text) const {
        text.replace(QStringLiteral("USERS"), root + QStringLiteral("/.htusers"));
        text.replace(QStringLiteral("GROUPS"), root + QStringLiteral("/.htgroups"));
        return text;
    }

    /// A folder `name` below the web root holding `text` as its access file.
    std::unique_ptr<PHFSItem> folder(const QString &name, const QString &text) {
        if (!makeServedFolder(root, name, text.isNull() ? QString() : expand(text))) {
            ADD_FAILURE() << "could not make the folder " << name.toStdString();
            return nullptr;
        }
        // Below the tree's root, which outlives it (and never lists it).
        return std::make_unique<PHFSItem>(name, m_tree.get());
    }

    /// What Apache answers for the folder, probe by probe.
    Answers ask(const QString &name) {
        Answers answers{};
        const std::string url = "/" + name.toStdString() + "/index.html";
        int i = 0;
        for (bool ipv6 : {false, true})
            for (const Credentials &sent : probes()) {
                answers[size_t(i++)] =
                    ipv6 ? (server().servesIpv6() ? server().get6(url, sent) : -1) : server().get(url, sent);
            }
        return answers;
    }

    /// The model's prediction for the same probes.
    Answers predict(const PHFSItem &node) {
        const PHEffectiveAccess access = node.effectiveAccess();
        const PHEffectiveAccess::Directory directory = PHEffectiveAccess::filesOnDisk();
        Answers answers{};
        int i = 0;
        for (bool ipv6 : {false, true}) {
            const PHEffectiveAccess::Client client =
                PHEffectiveAccess::clientAt(ipv6 ? QStringLiteral("::1") : QStringLiteral("127.0.0.1"));
            for (const Credentials &sent : probes()) {
                const PHEffectiveAccess::Credentials credentials{QString::fromStdString(sent.user),
                                                                 !sent.user.empty() &&
                                                                     sent.password != "not-the-password"};
                answers[size_t(i++)] =
                    ipv6 && !server().servesIpv6() ? -1 : access.predict(client, credentials, directory);
            }
        }
        return answers;
    }

    /// The folder answers `expected` from Apache, and the model predicts it.
    void expectAgreement(const QString &name, const QString &text, const Answers &expected) {
        std::unique_ptr<PHFSItem> node = folder(name, text);
        ASSERT_TRUE(node);
        Answers apache = ask(name);
        Answers wanted = expected;
        if (!server().servesIpv6())
            for (size_t i = 4; i < 8; ++i)
                wanted[i] = apache[i] = -1;
        EXPECT_EQ(apache, wanted) << "Apache itself, for:\n" << expand(text).toStdString();
        EXPECT_EQ(predict(*node), apache)
            << "the model, for:\n"
            << expand(text).toStdString() << "\nit says:\n  "
            << node->effectiveAccess().lines().join(QStringLiteral("\n  ")).toStdString();
    }

    static const QList<Credentials> &probes() {
        static const QList<Credentials> list{
            {}, {"alice", "wonder-land"}, {"alice", "not-the-password"}, {"bob", "builder-7"}};
        return list;
    }

    ApacheServer &server() { return *m_server; }

    QString root;
    TestModelContext context;

private:
    fs::path m_root;
    std::unique_ptr<ApacheServer> m_server;
    std::unique_ptr<PHFSItem> m_tree;
    QStringList m_log;
};

constexpr Answers kOpen{200, 200, 200, 200, 200, 200, 200, 200};
constexpr Answers kRefusedEverywhere{500, 500, 500, 500, 500, 500, 500, 500};

TEST_F(ApacheExamples, ANegatedRuleThatFailsIsNeutralNotGranted) {
    // From 127.0.0.1 the address rule grants and "not user bob" is neutral
    // for everyone (no one is asked for a password); from ::1 the address
    // rule refuses.
    expectAgreement(QStringLiteral("negation"),
                    kAuth + QStringLiteral("<RequireAll>\n  Require ip 127.0.0.1\n  Require not user bob\n"
                                           "</RequireAll>\n"),
                    {200, 200, 200, 200, 403, 403, 403, 403});
    // Negation alone: neutral, which refuses; directly in the file's own
    // list (any of) or in a <RequireAny>, the server refuses the file.
    expectAgreement(QStringLiteral("negation-only"),
                    kAuth + QStringLiteral("<RequireAll>\n  Require not user bob\n</RequireAll>\n"),
                    {403, 403, 403, 403, 403, 403, 403, 403});
    expectAgreement(QStringLiteral("negation-top"), kAuth + QStringLiteral("Require not user bob\n"),
                    kRefusedEverywhere);
    expectAgreement(QStringLiteral("negation-any"),
                    kAuth + QStringLiteral("<RequireAny>\n  Require user alice\n  Require not user bob\n"
                                           "</RequireAny>\n"),
                    kRefusedEverywhere);
    expectAgreement(QStringLiteral("none-in-any"),
                    kAuth + QStringLiteral("<RequireNone>\n  Require user bob\n</RequireNone>\n"),
                    kRefusedEverywhere);
    expectAgreement(QStringLiteral("valid-but-not-bob"),
                    kAuth + QStringLiteral("<RequireAll>\n  Require valid-user\n  <RequireNone>\n"
                                           "    Require user bob\n  </RequireNone>\n</RequireAll>\n"),
                    {401, 200, 401, 401, 401, 200, 401, 401});
    expectAgreement(QStringLiteral("empty-container"),
                    kAuth + QStringLiteral("<RequireAll>\n</RequireAll>\n"), kRefusedEverywhere);
}

TEST_F(ApacheExamples, MethodContainersTreatHeadAsGet) {
    expectAgreement(
        QStringLiteral("except-head-post"),
        QStringLiteral("Order deny,allow\n<LimitExcept HEAD POST>\n  Deny from all\n</LimitExcept>\n"),
        kOpen);
    expectAgreement(QStringLiteral("except-head"),
                    kAuth + QStringLiteral("<LimitExcept HEAD>\n  Require valid-user\n</LimitExcept>\n"),
                    kOpen);
    expectAgreement(QStringLiteral("limit-post"),
                    QStringLiteral("<Limit POST>\n  Require all denied\n</Limit>\n"), kOpen);
    expectAgreement(QStringLiteral("limit-post-and-more"),
                    QStringLiteral("<Limit POST>\n  Require all denied\n</Limit>\nRequire all denied\n"),
                    {403, 403, 403, 403, 403, 403, 403, 403});
    // Method names are compared exactly; one the server does not know is an error.
    expectAgreement(QStringLiteral("limit-lower"), QStringLiteral("<Limit get>\n  Deny from all\n</Limit>\n"),
                    kRefusedEverywhere);
    expectAgreement(QStringLiteral("limit-bare"), QStringLiteral("<Limit>\n  Require all denied\n</Limit>\n"),
                    kRefusedEverywhere);
}

TEST_F(ApacheExamples, SatisfyAnyWithoutAnAddressRuleLetsEveryoneIn) {
    const QString text = kAuth + QStringLiteral("Require user alice\nSatisfy any\n");
    expectAgreement(QStringLiteral("satisfy-any"), text, kOpen);
    // The mode it reads as asks for a password; the row says that the server does not.
    std::unique_ptr<PHFSItem> node = folder(QStringLiteral("satisfy-any"), text);
    EXPECT_EQ(node->modeIndex(), 1);
    EXPECT_TRUE(node->modeNote().startsWith(QStringLiteral("open to everyone")))
        << node->modeNote().toStdString();
    // Without Satisfy any the same mode is what the server does: no note.
    std::unique_ptr<PHFSItem> asked =
        folder(QStringLiteral("password"), kAuth + QStringLiteral("Require user alice\n"));
    EXPECT_EQ(asked->modeNote(), QString());
}

TEST_F(ApacheExamples, AContinuedCommentSwallowsTheNextLine) {
    const QString text = kAuth + QStringLiteral("# staff only, see ticket \\\nRequire user alice\n");
    expectAgreement(QStringLiteral("continued-comment"), text, kOpen);
    // The panel shows what is in force: no password is asked for.
    std::unique_ptr<PHFSItem> node = folder(QStringLiteral("continued-comment"), text);
    EXPECT_FALSE(node->isPasswordProtected());
    EXPECT_TRUE(node->listForKey(PHFSItem::RequireUserKey).isEmpty());
    // A continued rule and CRLF line ends, read as the server joins them.
    expectAgreement(QStringLiteral("continued-rule"),
                    QString(kAuth).replace(QLatin1Char('\n'), QStringLiteral("\r\n")) +
                        QStringLiteral("Require user alice \\\r\n bob\r\n"),
                    {401, 200, 401, 200, 401, 200, 401, 200});
}

TEST_F(ApacheExamples, GroupFilesAndGroupNamesAreReadAsTheServerReadsThem) {
    // Group names are compared without regard to case.
    expectAgreement(QStringLiteral("group-case"), kAuth + QStringLiteral("Require group STAFF\n"),
                    {401, 200, 401, 401, 401, 200, 401, 401});
    // A tab separates members, and a quoted member is one word.
    writeText(root + QStringLiteral("/.htgroups"), QStringLiteral("team:\talice\ncrew: \"bob\"\n"));
    expectAgreement(QStringLiteral("group-tab"), kAuth + QStringLiteral("Require group team crew\n"),
                    {401, 200, 401, 200, 401, 200, 401, 200});
    // The panel reads alice as a member, and its next edit of the group keeps her.
    PHGroupsModel groups(context.model(), context.users);
    ASSERT_EQ(groups.list(), (QStringList{"team", "crew"}));
    const PHUserItem::Ptr team = groups.rootItem()->children().at(0);
    ASSERT_EQ(team->children().size(), 1);
    EXPECT_EQ(team->children().at(0)->value(), QStringLiteral("alice"));
    team->children().append(
        PHUserItem::itemWithValueParentChildren(QStringLiteral("bob"), team, std::nullopt));
    ASSERT_TRUE(groups.writeGroupfile());
    expectAgreement(QStringLiteral("group-tab-after-edit"), kAuth + QStringLiteral("Require group team\n"),
                    {401, 200, 401, 200, 401, 200, 401, 200});
}

TEST_F(ApacheExamples, AQuotedUserIsShownAndKeptByTheNextEdit) {
    const QString text = kAuth + QStringLiteral("Require user \"alice\"\n");
    expectAgreement(QStringLiteral("quoted-user"), text, {401, 200, 401, 401, 401, 200, 401, 401});
    std::unique_ptr<PHFSItem> node = folder(QStringLiteral("quoted-user"), text);
    EXPECT_EQ(node->listForKey(PHFSItem::RequireUserKey), QStringList{"alice"});
    node->setListForKey(PHFSItem::RequireUserKey, {QStringLiteral("alice"), QStringLiteral("bob")});
    ASSERT_TRUE(node->writeAccessFile());
    EXPECT_EQ(ask(QStringLiteral("quoted-user"))[1], 200) << readText(node->accessPath()).toStdString();
    EXPECT_EQ(ask(QStringLiteral("quoted-user"))[3], 200) << readText(node->accessPath()).toStdString();
}

TEST_F(ApacheExamples, AnEditKeepsWhatItWasNotAskedToChange) {
    // IPv4 loopback allowed alone: adding an address lets ::1 in no more than before.
    context.knownAddresses = {QStringLiteral("127.0.0.1"), QStringLiteral("10.9.9.9")};
    const QString v4Only = QStringLiteral("Order deny,allow\nDeny from all\nAllow from 127.0.0.1\n");
    const Answers v4Answers{200, 200, 200, 200, 403, 403, 403, 403};
    expectAgreement(QStringLiteral("v4-only"), v4Only, v4Answers);
    {
        std::unique_ptr<PHFSItem> node = folder(QStringLiteral("v4-only"), v4Only);
        ASSERT_FALSE(node->isHandManaged());
        node->setAddressArray(node->addressArray() + QStringList{QStringLiteral("10.9.9.9")});
        ASSERT_TRUE(node->writeAccessFile());
        const QString written = readText(node->accessPath());
        EXPECT_TRUE(written.contains(QStringLiteral("Allow from 127.0.0.1 10.9.9.9\n")))
            << written.toStdString();
        Answers after = ask(QStringLiteral("v4-only"));
        if (!server().servesIpv6())
            for (size_t i = 4; i < 8; ++i)
                after[i] = -1;
        Answers wanted = v4Answers;
        if (!server().servesIpv6())
            for (size_t i = 4; i < 8; ++i)
                wanted[i] = -1;
        EXPECT_EQ(after, wanted) << written.toStdString();
        // Chosen again as "This computer", it is both loopback addresses.
        node->setAddressArray({QStringLiteral("10.9.9.9")});
        node->setAddressArray({QStringLiteral("10.9.9.9"), QStringLiteral("127.0.0.1")});
        ASSERT_TRUE(node->writeAccessFile());
        EXPECT_TRUE(
            readText(node->accessPath()).contains(QStringLiteral("Allow from 10.9.9.9 127.0.0.1 ::1\n")));
    }

    // An address taken off the Addresses list stays on a folder that has it in force.
    context.knownAddresses = {QStringLiteral("10.9.9.9"), QStringLiteral("127.0.0.1")};
    {
        std::unique_ptr<PHFSItem> node = folder(
            QStringLiteral("kept-address"), QStringLiteral("Order deny,allow\nDeny from 127.0.0.1 ::1\n"));
        EXPECT_EQ(node->addressArray(), QStringList{QStringLiteral("127.0.0.1")});
        context.knownAddresses = {QStringLiteral("10.9.9.9")};
        node->setListForKey(PHFSItem::RequireUserKey, {QStringLiteral("alice")});
        node->setModeIndex(3);
        EXPECT_TRUE(readText(node->accessPath()).contains(QStringLiteral("Deny from 127.0.0.1 ::1\n")))
            << readText(node->accessPath()).toStdString();
    }

    // The realm typed in the manual editor is the one saved.
    {
        std::unique_ptr<PHFSItem> node =
            folder(QStringLiteral("realm"), kAuth + QStringLiteral("Require user alice\n"));
        node->setListForKey(PHFSItem::RequireUserKey, {QStringLiteral("alice"), QStringLiteral("bob")});
        ASSERT_TRUE(node->writeAccessFile());
        EXPECT_TRUE(readText(node->accessPath()).contains(QStringLiteral("AuthName \"h\"\n")));
        node->setStringValue(readText(node->accessPath())
                                 .replace(QStringLiteral("AuthName \"h\""),
                                          QStringLiteral("AuthName \"Staff \\\"only\\\"\"")));
        ASSERT_TRUE(node->writeAccessFile());
        EXPECT_TRUE(
            readText(node->accessPath()).contains(QStringLiteral("AuthName \"Staff \\\"only\\\"\"\n")))
            << readText(node->accessPath()).toStdString();
        EXPECT_EQ(ask(QStringLiteral("realm"))[3], 200);
    }

    // Another user file: the panel does not swap it for its own (which would
    // lock out alice's real password and let in her panel one).
    const QString otherUsers = root + QStringLiteral("/other.users");
    const std::string command =
        "/usr/bin/htpasswd -cbB '" + otherUsers.toStdString() + "' alice other-pass 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ::chmod(otherUsers.toLocal8Bit().constData(), 0644);
    const QString foreign =
        QStringLiteral("AuthType Basic\nAuthName \"h\"\nAuthUserFile \"%1\"\nRequire user alice\n")
            .arg(otherUsers);
    std::unique_ptr<PHFSItem> node = folder(QStringLiteral("other-users"), foreign);
    EXPECT_TRUE(node->isHandManaged());
    EXPECT_TRUE(node->handManagedReasons().join(QLatin1Char(' ')).contains(otherUsers));
    const qsizetype errorsBefore = context.errors.size();
    node->setListForKey(PHFSItem::RequireUserKey, {QStringLiteral("alice"), QStringLiteral("bob")});
    EXPECT_FALSE(node->writeAccessFile());
    EXPECT_EQ(context.errors.mid(errorsBefore), QList<qint32>{PHFSItem::ErrorAccessFileHandManaged});
    EXPECT_EQ(readText(node->accessPath()), expand(foreign));
    EXPECT_EQ(server().get("/other-users/index.html", {"alice", "other-pass"}), 200);
    EXPECT_EQ(server().get("/other-users/index.html", {"alice", "wonder-land"}), 401);
}

TEST_F(ApacheExamples, LocalhostIsTheNameTheResolverGives) {
    // Whether ::1 has the name "localhost" is the resolver's to say; the
    // model asks it as the server does.
    const PHEffectiveAccess::Client v6 = PHEffectiveAccess::clientAt(QStringLiteral("::1"));
    const int v6Answer =
        v6.hostName.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ? 403 : 200;
    const PHEffectiveAccess::Client v4 = PHEffectiveAccess::clientAt(QStringLiteral("127.0.0.1"));
    const int v4Answer =
        v4.hostName.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ? 403 : 200;
    expectAgreement(QStringLiteral("deny-localhost"),
                    QStringLiteral("Order deny,allow\nDeny from localhost\n"),
                    {v4Answer, v4Answer, v4Answer, v4Answer, v6Answer, v6Answer, v6Answer, v6Answer});
}

TEST_F(ApacheExamples, WhatFollowsAUsersHashIsNoPartOfIt) {
    // "name:hash:comment": the server checks the password against the hash alone.
    const QString users = readText(root + QStringLiteral("/.htusers"));
    QStringList lines = users.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &line : lines)
        if (line.startsWith(QLatin1String("alice:")))
            line += QStringLiteral(":Alice in accounting");
    writeText(root + QStringLiteral("/.htusers"), lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    const QString text =
        QStringLiteral("AuthType Basic\nAuthName \"h\"\nAuthUserFile \"USERS\"\nRequire valid-user\n");
    expectAgreement(QStringLiteral("user-comment"), text, {401, 200, 401, 200, 401, 200, 401, 200});
    // Check Access, which checks the password itself, agrees with the server.
    std::unique_ptr<PHFSItem> node = folder(QStringLiteral("user-comment"), text);
    const PHAccessCheck::Report report =
        PHAccessCheck::run(node.get(), QStringLiteral("http://127.0.0.1:%1/").arg(server().port()),
                           QStringLiteral("alice"), QStringLiteral("wonder-land"), QString());
    EXPECT_TRUE(report.agrees()) << report.lines().join(QStringLiteral("\n")).toStdString();
}

TEST_F(ApacheExamples, FormsTheServerRefusesAreShownAsRefused) {
    for (const auto &[name, text] : std::initializer_list<std::pair<const char *, QString>>{
             {"require-all-please", QStringLiteral("Require all granted please\n")},
             {"require-All", QStringLiteral("Require All granted\n")},
             {"require-User", kAuth + QStringLiteral("Require User alice\n")},
             {"order-split", QStringLiteral("Order deny, allow\n")},
             {"satisfy-comment", QStringLiteral("Satisfy any # x\n")},
             {"allow-bare", QStringLiteral("Allow from\n")},
             {"byte-order-mark", QString(QChar(0xFEFF)) + kAuth + QStringLiteral("Require user alice\n")},
             {"bad-octet", QStringLiteral("Allow from 999.1.1.1\n")},
             {"bad-prefix", QStringLiteral("Allow from 10.0.0.0/33\n")},
             {"empty-prefix", QStringLiteral("Allow from 1.2.3.4/\n")},
             {"bad-ipv6", QStringLiteral("Allow from fe80::zz\n")},
             {"two-masks", QStringLiteral("Deny from 10.0.0.0/8/8\n")},
             {"zero-prefix", QStringLiteral("Deny from 10.0.0.0/0\n")},
             {"mapped", QStringLiteral("Deny from ::ffff:1.2.3.4\n")},
             {"require-bad-ip", QStringLiteral("Require ip 999.1.1.1\n")},
             {"require-ip-bare", QStringLiteral("Require ip\n")},
         }) {
        SCOPED_TRACE(name);
        expectAgreement(QString::fromLatin1(name), text, kRefusedEverywhere);
        std::unique_ptr<PHFSItem> node = folder(QString::fromLatin1(name), text);
        EXPECT_FALSE(node->effectiveAccess().errors().isEmpty());
        EXPECT_TRUE(node->effectiveAccess().lines().value(0).startsWith(
            QStringLiteral("Refused by the server (500 Internal Server Error): ")))
            << node->effectiveAccess().lines().join(QLatin1Char('\n')).toStdString();
        EXPECT_TRUE(node->isHandManaged()) << "the panel never rewrites a file the server refuses";
    }
    // Forms that look odd but that the server accepts.
    expectAgreement(
        QStringLiteral("odd-but-fine"),
        QStringLiteral("ALLOW FROM 10.1\nallow from 10. 010.1.1.1 10.0.0.0/255.0.0.1 a_b.example 12a\n"
                       "Require all Granted\n"),
        kOpen);
}

TEST_F(ApacheExamples, WhatTheServerFillsInIsNotGuessed) {
    std::unique_ptr<PHFSItem> node =
        folder(QStringLiteral("variable"), kAuth + QStringLiteral("Require user ${PORTHOLD_NO_SUCH}\n"));
    EXPECT_TRUE(node->effectiveAccess().cannotTell());
    EXPECT_EQ(node->effectiveAccess().lines().value(0),
              QStringLiteral("Access: cannot tell here: use Check Access"));
    EXPECT_EQ(node->effectiveAccess().predict(PHEffectiveAccess::clientAt(QStringLiteral("127.0.0.1")), {},
                                              PHEffectiveAccess::filesOnDisk()),
              -1);
}

} // namespace

// The server's own configuration: sections for the folders, and what
// AllowOverride lets their access files say. The model reads the same
// configuration the server was started with.
class ApacheServerConfiguration : public ApacheExamples {
protected:
    void SetUp() override {
        m_settings = apache_harness::makeReadableTempFolder("porthold-examples-settings");
        ::setenv("XDG_CONFIG_HOME", m_settings.c_str(), 1);
        PHSettingsStore::resetInstanceForTesting();
        ApacheExamples::SetUp();
        if (IsSkipped())
            return;
        PHSettingsStore *defaults = PHSettingsStore::instance();
        defaults->setBoolForKey(true, PHSettings::Key::OverrideConfDirectory);
        defaults->setObjectForKey(QString::fromStdString(server().serverRoot().string()),
                                  PHSettings::Key::ApacheConfDirectory);
        defaults->setObjectForKey(QStringLiteral("httpd.conf"), PHSettings::Key::ApacheConfFile);
        PHServerRules::forgetSettings();
    }
    void TearDown() override {
        ApacheExamples::TearDown();
        PHSettingsStore::resetInstanceForTesting();
        ::unsetenv("XDG_CONFIG_HOME");
        PHServerRules::forgetSettings();
        std::error_code ignored;
        fs::remove_all(m_settings, ignored);
    }
    std::string serverConfiguration() const override {
        return "<Directory \"ROOT/ignored\">\n  AllowOverride None\n</Directory>\n"
               "<Directory \"ROOT/authonly*\">\n  AllowOverride AuthConfig\n</Directory>\n"
               "<Directory \"ROOT/closed\">\n  Require all denied\n</Directory>\n"
               "<IfModule !authz_core_module>\n<Directory \"ROOT/closed\">\n  Require all granted\n"
               "</Directory>\n</IfModule>\n"
               "<Directory \"ROOT/files\">\n<FilesMatch \"\\.html$\">\n  Require all granted\n</FilesMatch>\n"
               "</Directory>\n"
               "<Location \"/opened\">\n  Require all granted\n</Location>\n"
               "<Location \"/open\">\n  Require all denied\n</Location>\n";
    }

    /// Settings for portholdctl naming the test server's configuration
    /// directory with `confFile` in it, and `extra` plist entries.
    void writeCtlSettings(const std::string &confFile, const std::string &extra = {}) {
        const std::string settings = m_settings.string() + "/porthold";
        fs::create_directories(settings);
        std::ofstream(settings + "/com.quillmere.porthold.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            << "<key>Override Conf Directory Location</key><true/><key>Apache Conf Directory</key><string>"
            << server().serverRoot().string() << "</string><key>Apache Conf File</key><string>" << confFile
            << "</string>" << extra << "</dict></plist>\n";
    }
    /// portholdctl --json --root `webRoot` `arguments`: its JSON answer.
    QJsonObject ctlJson(const std::string &webRoot, const std::string &arguments) const {
        const std::string command = "XDG_CONFIG_HOME='" + m_settings.string() +
                                    "' '" PORTHOLDCTL_PATH "' --json --root '" + webRoot + "' " + arguments +
                                    " 2>/dev/null";
        std::string out;
        if (FILE *pipe = ::popen(command.c_str(), "r")) {
            char buffer[4096];
            for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
                out.append(buffer, n);
            ::pclose(pipe);
        }
        return QJsonDocument::fromJson(QByteArray::fromStdString(out)).object();
    }

    fs::path m_settings;
};

TEST_F(ApacheServerConfiguration, SectionsAndAllowOverrideDecide) {
    const QString password = kAuth + QStringLiteral("Require valid-user\n");
    constexpr Answers kPassword{401, 200, 401, 200, 401, 200, 401, 200};
    // Not read at all: the folder is open, and says why.
    expectAgreement(QStringLiteral("ignored"), password, kOpen);
    EXPECT_TRUE(
        folder(QStringLiteral("ignored"), password)
            ->modeNote()
            .startsWith(QStringLiteral("The server ignores access files here (AllowOverride None in ")));
    // A <Location> is merged after the access file, and a prefix ends at a
    // slash ("/open" is not "/opened").
    expectAgreement(QStringLiteral("opened"), password, kOpen);
    constexpr Answers kForbidden{403, 403, 403, 403, 403, 403, 403, 403};
    expectAgreement(QStringLiteral("closed"), QString(), kForbidden);
    // A section for some of the folder's files only: "cannot tell here",
    // never the "Password" its file claims (its pages are open).
    EXPECT_EQ(folder(QStringLiteral("files"), password)->modeNote(), PHEffectiveAccess::cannotTellText);
    EXPECT_EQ(ask(QStringLiteral("files")), kOpen);
    // AuthConfig without Limit: passwords are honoured, address rules are 500.
    expectAgreement(QStringLiteral("authonly"), password, kPassword);
    expectAgreement(QStringLiteral("authonly-address"),
                    QStringLiteral("Order deny,allow\nDeny from all\nAllow from 127.0.0.1\n"),
                    kRefusedEverywhere);
    // So an address mode is not written there: the file stays as it was.
    std::unique_ptr<PHFSItem> node = folder(QStringLiteral("authonly"), password);
    const QString before = readText(node->accessPath());
    context.knownAddresses = {QStringLiteral("127.0.0.1")};
    node->setAddressArray({QStringLiteral("127.0.0.1")});
    node->setModeIndex(4);
    EXPECT_EQ(readText(node->accessPath()), before);
    ASSERT_FALSE(context.errorDetails.isEmpty());
    EXPECT_TRUE(context.errorDetails.last().contains(QLatin1String("not allowed here")) &&
                context.errorDetails.last().contains(QLatin1String("httpd.conf:")))
        << context.errorDetails.last().toStdString();
    EXPECT_EQ(ask(QStringLiteral("authonly")), kPassword);

    // An access file above the web root the panel was given is the server's too.
    writeText(root + QStringLiteral("/.htaccess"), expand(kAuth + QStringLiteral("Require user bob\n")));
    QDir(root).mkpath(QStringLiteral("site/x"));
    writeText(root + QStringLiteral("/site/x/index.html"), QStringLiteral("x"));
    for (const QString &folder : {QStringLiteral("/site"), QStringLiteral("/site/x")})
        QFile::setPermissions(root + folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                 QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                                 QFile::ExeOther);
    PHFSItem site(root + QStringLiteral("/site"), nullptr);
    site.setContext(context.model());
    PHFSItem below(QStringLiteral("x"), &site);
    const Answers bobOnly{401, 401, 401, 200, 401, 401, 401, 200};
    Answers apache = ask(QStringLiteral("site/x")), model = predict(below), wanted = bobOnly;
    if (!server().servesIpv6())
        for (size_t i = 4; i < 8; ++i)
            wanted[i] = apache[i] = model[i] = -1;
    EXPECT_EQ(apache, wanted);
    EXPECT_EQ(model, apache);
    // Through a link the server reads it; Porthold does not, and says it cannot tell.
    const QString target = root + QStringLiteral("/site/elsewhere");
    ASSERT_TRUE(QFile::rename(root + QStringLiteral("/.htaccess"), target));
    ASSERT_TRUE(QFile::link(target, root + QStringLiteral("/.htaccess")));
    EXPECT_TRUE(below.effectiveAccess().cannotTell())
        << below.effectiveAccess().lines().join(u'\n').toStdString();
    QFile::remove(root + QStringLiteral("/.htaccess"));

    // portholdctl refuses it too, as refused input.
    writeCtlSettings("httpd.conf");
    const std::string command = "XDG_CONFIG_HOME='" + m_settings.string() +
                                "' '" PORTHOLDCTL_PATH "' --root '" + root.toStdString() +
                                "' mode authonly address >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << command;
    EXPECT_EQ(readText(node->accessPath()), before);
}

// Without a configuration to read, predictions are the access files' alone,
// and both front ends say so, naming the file they could not read.
TEST_F(ApacheServerConfiguration, PredictionsWithoutTheConfigurationSaySo) {
    EXPECT_EQ(PHServerRules::unreadNote(root), QString());
    const auto showJson = [this]() { return ctlJson(root.toStdString(), "show ignored"); };
    ASSERT_TRUE(makeServedFolder(root, QStringLiteral("ignored"), QStringLiteral("Require all denied\n")));
    writeCtlSettings("httpd.conf");
    QJsonObject shown = showJson();
    ASSERT_TRUE(shown.contains(QLatin1String("prediction_note")));
    EXPECT_TRUE(shown.value(QLatin1String("prediction_note")).isNull());
    EXPECT_FALSE(shown.value(QLatin1String("note")).isNull()) << "the server's AllowOverride None counts";

    writeCtlSettings("missing.conf");
    shown = showJson();
    const QString note = shown.value(QLatin1String("prediction_note")).toString();
    EXPECT_TRUE(note.startsWith(QLatin1String("Predicted from the access files alone")) &&
                note.contains(QLatin1String("missing.conf")))
        << note.toStdString();
    EXPECT_TRUE(shown.value(QLatin1String("note")).isNull()) << "the access file alone closes the folder";

    PHSettingsStore::instance()->setObjectForKey(QStringLiteral("missing.conf"),
                                                 PHSettings::Key::ApacheConfFile);
    PHServerRules::forgetSettings();
    EXPECT_TRUE(PHServerRules::unreadNote(root).contains(QLatin1String("missing.conf")));
}

// verify asks for the folder where the server's configuration serves it: a
// web root below the DocumentRoot is asked for under its own path.
TEST_F(ApacheServerConfiguration, VerifyAsksWhereTheServerServesTheRoot) {
    const std::string site = "http://127.0.0.1:" + std::to_string(server().port()) + "/";
    EXPECT_EQ(PHAccessCheck::serverAddress(QString::fromStdString(site), root + QStringLiteral("/team")),
              QString::fromStdString(site + "team/"));
    ASSERT_TRUE(makeServedFolder(root, QStringLiteral("team")));
    ASSERT_TRUE(makeServedFolder(root + QStringLiteral("/team"), QStringLiteral("private"),
                                 expand(kAuth + QStringLiteral("Require user bob\n"))));
    // At the top of the DocumentRoot, "private" is another folder, open.
    ASSERT_TRUE(makeServedFolder(root, QStringLiteral("private")));

    writeCtlSettings("httpd.conf", "<key>Apache Site Address</key><string>127.0.0.1:" +
                                       std::to_string(server().port()) + "</string>");
    const QJsonObject report = ctlJson(root.toStdString() + "/team", "verify private");
    EXPECT_EQ(report.value(QLatin1String("url")).toString().toStdString(), site + "team/private/");
    EXPECT_TRUE(report.value(QLatin1String("agrees")).toBool());
}
