// New password hashes as Apache's own checker reads them, the schemes of
// hashes other tools wrote, and checking a password the way the server does.

#include "model/PHPasswordHash.h"
#include "model/PHUsersModel.h"
#include "users_groups_fixture.h"

#include <QProcess>
#include <QSet>
#include <QStandardPaths>

namespace {

using Scheme = PHPasswordHash::Scheme;

int htpasswd(const QStringList &arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("htpasswd"), arguments);
    if (!process.waitForFinished(30000))
        return -1;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool htpasswdAvailable() {
    return !QStandardPaths::findExecutable(QStringLiteral("htpasswd")).isEmpty();
}

/// The stored hash of a user in a file htpasswd wrote.
QString storedHash(const QByteArray &file, const QString &name) {
    for (const QByteArray &line : file.split('\n'))
        if (line.startsWith(name.toUtf8() + ':'))
            return QString::fromUtf8(line.mid(name.toUtf8().size() + 1));
    return {};
}

class PasswordHashTest : public UsersGroupsTest {};

} // namespace

TEST_F(PasswordHashTest, ApachesCheckerAcceptsEverySchemeAndOnlyDesCutsPasswordsShort) {
    if (!htpasswdAvailable())
        GTEST_SKIP() << "htpasswd (apache2-utils) is not installed";
    const QString twelve = QStringLiteral("wonderful1XY");
    const QStringList passwords{twelve, QStringLiteral("p\u00e4ss\u00f6rd"), QStringLiteral("x")};
    struct Expected {
        Scheme scheme;
        QString prefix;
        bool firstEightCount; // whether the first 8 characters alone get in
    };
    for (const Expected &expected :
         {Expected{Scheme::Bcrypt, QStringLiteral("$2y$05$"), false},
          Expected{Scheme::Sha512, QStringLiteral("$6$"), false}, Expected{Scheme::Des, QString(), true}}) {
        PHUsersModel users(context.model());
        users.dataArray().clear();
        for (qsizetype i = 0; i < passwords.size(); ++i) {
            const QString hash = PHPasswordHash::hash(passwords.at(i), expected.scheme);
            ASSERT_FALSE(hash.isNull());
            EXPECT_TRUE(hash.startsWith(expected.prefix)) << hash.toStdString();
            EXPECT_EQ(PHPasswordHash::isWeak(hash), expected.scheme == Scheme::Des) << hash.toStdString();
            users.dataArray().append(PHUsersModel::userRecord(QStringLiteral("u%1").arg(i), hash));
        }
        ASSERT_TRUE(users.writeUserfile());
        const QString label = PHPasswordHash::settingValue(expected.scheme);
        for (qsizetype i = 0; i < passwords.size(); ++i) {
            const QString name = QStringLiteral("u%1").arg(i);
            EXPECT_EQ(htpasswd({"-vb", usersPath(), name, passwords.at(i)}), 0) << label.toStdString();
            EXPECT_NE(htpasswd({"-vb", usersPath(), name, "!" + passwords.at(i)}), 0) << label.toStdString();
        }
        EXPECT_EQ(htpasswd({"-vb", usersPath(), "u0", twelve.left(8)}) == 0, expected.firstEightCount)
            << label.toStdString();
        // The sheet and portholdctl warn exactly where characters are lost.
        EXPECT_EQ(PHPasswordHash::truncationWarning(twelve, expected.scheme).isEmpty(),
                  !expected.firstEightCount);
        EXPECT_TRUE(PHPasswordHash::truncationWarning(twelve.left(8), expected.scheme).isEmpty());
    }
    EXPECT_EQ(PHPasswordHash::truncationWarning(QStringLiteral("123456789"), Scheme::Des),
              QStringLiteral("Only the first 8 characters of this password will count"));
    EXPECT_FALSE(PHPasswordHash::truncationWarning(QString(73, QLatin1Char('a')), Scheme::Bcrypt).isEmpty());
}

TEST_F(PasswordHashTest, HashesMadeTogetherHaveTheirOwnSalts) {
    for (Scheme scheme : PHPasswordHash::schemes()) {
        // DES has 4096 salts: four in a row sharing one is a one-in-2^36 chance.
        const int count = scheme == Scheme::Des ? 4 : 2;
        QSet<QString> salts;
        for (int i = 0; i < count; ++i) {
            const QString hash = PHPasswordHash::hash(QStringLiteral("same password"), scheme);
            ASSERT_FALSE(hash.isNull());
            // DES: 2 salt characters; bcrypt: "$2y$05$" and 22; SHA-512: up to the last "$".
            salts.insert(scheme == Scheme::Des      ? hash.left(2)
                         : scheme == Scheme::Bcrypt ? hash.left(29)
                                                    : hash.left(hash.lastIndexOf(QLatin1Char('$'))));
        }
        EXPECT_GT(salts.size(), scheme == Scheme::Des ? 1 : count - 1)
            << PHPasswordHash::settingValue(scheme).toStdString();
    }
}

TEST_F(PasswordHashTest, TheSettingChoosesTheSchemeAndAnUnknownValueMeansBcrypt) {
    PHSettingsStore *settings = PHSettingsStore::instance();
    EXPECT_EQ(PHPasswordHash::configuredScheme(), Scheme::Bcrypt);
    EXPECT_TRUE(PHUsersModel::encryptPassword(QStringLiteral("pw")).startsWith(QStringLiteral("$2y$")));
    settings->setObjectForKey(QStringLiteral("DES"), PHPasswordHash::settingKey);
    EXPECT_EQ(PHPasswordHash::configuredScheme(), Scheme::Des);
    EXPECT_EQ(PHUsersModel::encryptPassword(QStringLiteral("pw")).size(), 13);
    settings->setObjectForKey(QStringLiteral("SHA-512"), PHPasswordHash::settingKey);
    EXPECT_TRUE(PHUsersModel::encryptPassword(QStringLiteral("pw")).startsWith(QStringLiteral("$6$")));
    settings->setObjectForKey(QStringLiteral("md4"), PHPasswordHash::settingKey);
    EXPECT_EQ(PHPasswordHash::configuredScheme(), Scheme::Bcrypt);
    settings->setObjectForKey(7, PHPasswordHash::settingKey);
    EXPECT_EQ(PHPasswordHash::configuredScheme(), Scheme::Bcrypt);
    // Nothing libcrypt can hash whole is hashed in part.
    EXPECT_TRUE(PHPasswordHash::hash(QStringLiteral("ab") + QChar(0) + QStringLiteral("cd"), Scheme::Bcrypt)
                    .isNull());
}

TEST_F(PasswordHashTest, HashesOtherToolsWroteAreNamedWeighedAndCheckedAsApacheChecksThem) {
    if (!htpasswdAvailable())
        GTEST_SKIP() << "htpasswd (apache2-utils) is not installed";
    const QString path = usersPath();
    struct Case {
        const char *flag;
        const char *name;
        const char *password;
        const char *scheme;
        bool weak;
    };
    const QList<Case> cases{
        {"-d", "des", "pw-des", "DES crypt", true},
        {"-s", "sha", "pw-sha", "SHA-1", true},
        {"-p", "plain", "pw-plain", "plain text", true},
        {"-B", "blowfish", "pw-bcrypt", "bcrypt", false},
        {"-m", "md5", "pw-md5", "MD5 (Apache)", false},
        {"-5", "sha512", "pw-sha512", "SHA-512 crypt", false},
        {"-2", "sha256", "pw-sha256", "SHA-256 crypt", false},
        {"-m", "md5long", "a much longer password than sixteen bytes", "MD5 (Apache)", false},
    };
    ASSERT_EQ(htpasswd({"-cbB", path, "first", "x"}), 0);
    for (const Case &c : cases)
        ASSERT_EQ(htpasswd({QStringLiteral("-b") + QLatin1String(c.flag + 1), path, c.name, c.password}), 0)
            << c.flag;
    const QByteArray file = readFile(path);
    for (const Case &c : cases) {
        const QString hash = storedHash(file, QLatin1String(c.name));
        ASSERT_FALSE(hash.isEmpty()) << c.name;
        EXPECT_EQ(PHPasswordHash::storedSchemeName(hash), QLatin1String(c.scheme)) << hash.toStdString();
        EXPECT_EQ(PHPasswordHash::isWeak(hash), c.weak) << hash.toStdString();
        // Whatever the server's checker says, ours says too, for the right password and a wrong one.
        for (const QString &tried :
             {QString::fromLatin1(c.password), QString::fromLatin1(c.password) + "?"}) {
            const bool apache = htpasswd({"-vb", path, c.name, tried}) == 0;
            EXPECT_EQ(PHPasswordHash::verify(tried, hash), apache)
                << c.name << " with " << tried.toStdString();
        }
        if (QLatin1String(c.flag) == QLatin1String("-m")) {
            const QStringList parts = hash.split(QLatin1Char('$'));
            EXPECT_EQ(PHPasswordHash::apacheMd5(QByteArray(c.password), parts.at(2).toLatin1()), hash);
        }
    }
    EXPECT_TRUE(PHPasswordHash::verify(QStringLiteral("pw-des"), storedHash(file, "des")));
    EXPECT_FALSE(PHPasswordHash::verify(QStringLiteral("pw-plain"), storedHash(file, "plain")))
        << "Apache on Linux never accepts a plain-text entry";
    // yescrypt, Debian's own default, is strong and goes to libcrypt.
    const QString yescrypt =
        QStringLiteral("$y$j9T$F5Jx5fExrKuPp53xLKQ..1$X3DX6M94c7o.9agCG9G317fhZg9SqC.5i5rd.RhAtQ7");
    EXPECT_EQ(PHPasswordHash::storedSchemeName(yescrypt), QStringLiteral("yescrypt"));
    EXPECT_FALSE(PHPasswordHash::isWeak(yescrypt));
    EXPECT_FALSE(PHPasswordHash::verify(QStringLiteral("x"), QStringLiteral("$apr1$nodollar")));
    EXPECT_TRUE(PHPasswordHash::isWeak(QString()));
}
