// Writing a state and reading the file back gives the same state, over many
// generated states: users, groups, addresses, modes, the disabled flag, custom
// lines and allow/deny mode.

#include "access_test_support.h"

#include <random>

namespace {

class AccessRoundTripTest : public AccessTest {
protected:
    std::mt19937 random{20240611};

    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }
    bool coin() { return below(2) == 1; }

    QString name() {
        static const QString alphabet =
            QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-");
        QString text;
        const int length = 1 + below(10);
        for (int i = 0; i < length; ++i)
            text += alphabet.at(below(alphabet.size()));
        return text;
    }
    /// A random selection from `pool`, in random order, possibly with
    /// elements the panel does not know.
    QStringList pick(const QStringList &pool, const QStringList &strangers) {
        QStringList result;
        const int count = below(5);
        for (int i = 0; i < count; ++i) {
            const QStringList &from = (strangers.isEmpty() || below(4) != 0) ? pool : strangers;
            const QString candidate = from.at(below(from.size()));
            if (!result.contains(candidate))
                result.append(candidate);
        }
        return result;
    }
    /// The names of `list` that the panel knows, in order.
    static QStringList keepNames(const QStringList &list, const QStringList &pool) {
        QStringList result;
        for (const QString &element : list)
            if (pool.contains(element))
                result.append(element);
        return result;
    }
    static QStringList keepKnown(const QStringList &list, const QStringList &known) {
        QStringList result;
        for (const QString &element : list)
            if (known.contains(element) && PHFSItem::isAcceptableAddress(element) &&
                !result.contains(element))
                result.append(element);
        return result;
    }
};

// Lines a person writes into an access file; none starts with a directive the
// reader owns, and several contain words it must not be fooled by.
const QStringList kCustomLines = {
    QStringLiteral("Options -Indexes"),
    QStringLiteral("# the order of these rules matters"),
    QStringLiteral("ErrorDocument 403 \"Desk #4\""),
    QStringLiteral("Header set X-Colour \"#f00\""),
    QStringLiteral("SetEnvIf Referer border.example allowed_ref"),
    // (No section lines: one drawn alone is unbalanced, which the server refuses.)
    QStringLiteral("#AddType text/plain .authtype"),
    QStringLiteral("DirectoryIndex index.html \"Require user x\""),
    QStringLiteral("RewriteRule ^old$ /new [R=301,L]"),
};

TEST_F(AccessRoundTripTest, GeneratedStatesSurviveWriteAndRead) {
    const QStringList strangers = {QStringLiteral("mallory"), QStringLiteral("172.16.9.9"),
                                   QStringLiteral("eve")};
    int written = 0;
    for (int round = 0; round < 500; ++round) {
        SCOPED_TRACE(round);
        // The panel's lists, with names that mention directives.
        context.users = {QStringLiteral("border"), QStringLiteral("Order"), QStringLiteral("authority")};
        context.groups = {QStringLiteral("AuthTypeFans"), QStringLiteral("deny")};
        for (int i = 0; i < 4; ++i) {
            context.users << name();
            context.groups << name();
        }
        context.knownAddresses = {QStringLiteral("127.0.0.1"),       QStringLiteral("10.0.0.0/8"),
                                  QStringLiteral("2001:db8::1"),     QStringLiteral("border.example.org"),
                                  QStringLiteral("host.domain.tld"), QStringLiteral(".example.com")};
        context.discover = coin();
        const QStringList knownBefore = context.knownAddresses;

        // The state: custom lines first (only the reader sets them), then the rest.
        QStringList custom;
        for (int i = below(4); i > 0; --i)
            custom << kCustomLines.at(below(kCustomLines.size()));
        const QString path = folder(QStringLiteral("r%1").arg(round));
        auto item = node(path);
        item->setStringValue(custom.join(QLatin1Char('\n')));
        ASSERT_EQ(item->customLines(), custom);

        const bool anyUser = below(5) == 0;
        const QStringList users =
            anyUser ? QStringList{PHFSItem::anyUserRealName} : pick(context.users, strangers);
        const QStringList groups = pick(context.groups, strangers);
        const QStringList allowList = pick(context.knownAddresses, strangers);
        const QStringList denyList = pick(context.knownAddresses, strangers);
        const bool allowMode = coin();
        const qint32 status = below(8);
        const bool disabled = below(3) == 0;
        if (coin())
            item->setListForKey(PHFSItem::RequireUserKey, users);
        if (coin())
            item->setListForKey(PHFSItem::RequireGroupKey, groups);
        item->setListForKey(PHFSItem::AllowFromKey, allowList);
        item->setListForKey(PHFSItem::DenyFromKey, denyList);
        item->authDict().insert(PHFSItem::AllowOrDenyKey, allowMode);
        const QStringList wantUsers = item->listForKey(PHFSItem::RequireUserKey).isEmpty()
                                          ? QStringList()
                                          : (anyUser ? users : keepNames(users, context.users));
        const QStringList wantGroups = keepNames(item->listForKey(PHFSItem::RequireGroupKey), context.groups);
        // The allow list is kept whole in deny mode too, commented out.
        QStringList wantAllow = keepKnown(allowList, knownBefore);

        item->setAuthStatusDisable(status, disabled);
        const qint32 normalised = (status & 4) && (status & 3) != 3 ? status & 3 : status;
        if (normalised == 0) {
            EXPECT_FALSE(item->hasAccessFile()) << "nothing is written for status 0";
            continue;
        }
        ++written;
        ASSERT_TRUE(item->hasAccessFile());
        EXPECT_TRUE(context.errors.isEmpty());

        EXPECT_EQ(item->isAuthenticationDisabled(), disabled);
        EXPECT_EQ(item->authStatus(), disabled ? 0 : normalised);
        EXPECT_EQ(item->modeIndex(), disabled ? 0 : (normalised > 3 ? 4 : normalised));
        EXPECT_EQ(item->isAllowSet(), allowMode);
        EXPECT_EQ(item->listForKey(PHFSItem::RequireUserKey), wantUsers);
        EXPECT_EQ(item->listForKey(PHFSItem::RequireGroupKey), wantGroups);
        EXPECT_EQ(item->listForKey(PHFSItem::AllowFromKey), wantAllow);
        // In allow mode the server is told "Deny from all"; the deny list waits.
        EXPECT_EQ(item->listForKey(PHFSItem::DenyFromKey),
                  allowMode ? QStringList() : keepKnown(denyList, knownBefore));
        EXPECT_EQ(item->customLines(), custom);
        EXPECT_EQ(context.knownAddresses, knownBefore) << "the writer writes only known addresses";
        EXPECT_FALSE(item->isHandManaged());

        const QString first = withoutDate(readFile(accessPathIn(path)));
        if (!disabled) {
            // Once unknown names have gone, the file comes out the same every
            // time (the date aside).
            EXPECT_TRUE(item->writeAccessFile());
            const QString second = withoutDate(readFile(accessPathIn(path)));
            EXPECT_TRUE(item->writeAccessFile());
            EXPECT_EQ(withoutDate(readFile(accessPathIn(path))), second);
            EXPECT_EQ(item->authStatus(), normalised);
        } else {
            // A disabled node keeps its lists in the comments: choosing the
            // mode again restores them.
            item->setModeIndex(normalised > 3 ? 4 : normalised);
            EXPECT_EQ(item->authStatus(), normalised);
            EXPECT_EQ(item->listForKey(PHFSItem::RequireUserKey), wantUsers);
            EXPECT_EQ(item->listForKey(PHFSItem::RequireGroupKey), wantGroups);
            EXPECT_EQ(item->listForKey(PHFSItem::AllowFromKey), wantAllow);
            EXPECT_EQ(item->customLines(), custom);
        }
        if (HasFailure())
            FAIL() << "file:\n" << first;
    }
    EXPECT_GT(written, 300);
}

} // namespace
