#include "support/PHSettingsStore.h"

#include "core/Log.h"
#include "core/PHException.h"
#include "support/PHPropertyList.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QPoint>
#include <QTemporaryDir>
#include <QTimeZone>

#include <cstdlib>
#include <limits>

#include <sys/stat.h>

namespace {

const QString kPanel = QStringLiteral("com.quillmere.porthold");

class UserDefaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(config.isValid());
        ::setenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()).constData(), 1);
        restart();
    }
    void TearDown() override {
        PHSettingsStore::resetInstanceForTesting();
        ::unsetenv("XDG_CONFIG_HOME");
    }
    /// A new process, as far as the store can tell: files re-read, nothing registered.
    PHSettingsStore *restart() {
        PHSettingsStore::resetInstanceForTesting();
        PHSettingsStore *defaults = PHSettingsStore::instance();
        defaults->setApplicationIdentifier(kPanel);
        return defaults;
    }
    QByteArray file(const QString &identifier = kPanel) {
        QFile f(PHSettingsStore::storagePath(identifier));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir config;
};

TEST_F(UserDefaultsTest, StoredValuesWinOverDefaultsAndPersistAcrossRuns) {
    PHSettingsStore *defaults = PHSettingsStore::instance();
    EXPECT_EQ(defaults, PHSettingsStore::instance());
    EXPECT_EQ(PHSettingsStore::storagePath(kPanel), config.path() + "/porthold/com.quillmere.porthold.plist");

    defaults->registerDefaults({{"ApacheCheckInterval", 2.0}, {"Sort Users", true}});
    EXPECT_EQ(defaults->doubleForKey("ApacheCheckInterval"), 2.0);
    defaults->setDoubleForKey(5.5, "ApacheCheckInterval");
    EXPECT_EQ(defaults->doubleForKey("ApacheCheckInterval"), 5.5);
    EXPECT_TRUE(file().startsWith("<?xml"));
    EXPECT_TRUE(file().contains("<key>ApacheCheckInterval</key>"));

    defaults = restart();
    EXPECT_EQ(defaults->doubleForKey("ApacheCheckInterval"), 5.5); // stored survives
    EXPECT_FALSE(defaults->objectForKey("Sort Users").isValid());  // registrations do not
    defaults->registerDefaults({{"ApacheCheckInterval", 2.0}});
    defaults->removeValueForKey("ApacheCheckInterval");
    EXPECT_EQ(defaults->doubleForKey("ApacheCheckInterval"), 2.0);
    EXPECT_FALSE(restart()->objectForKey("ApacheCheckInterval").isValid());
    EXPECT_EQ(restart()->doubleForKey("Missing"), 0.0);
}

TEST_F(UserDefaultsTest, RegistrationsAndValuesBelongToTheirIdentifier) {
    PHSettingsStore *defaults = PHSettingsStore::instance();
    defaults->registerDefaults({{"A", 1}, {"B", 2}});
    defaults->registerDefaults({{"B", 3}});
    EXPECT_EQ(defaults->integerForKey("A"), 1);
    EXPECT_EQ(defaults->integerForKey("B"), 3);
    defaults->setObjectForKey("panel value", "Shared");

    defaults->setApplicationIdentifier("org.example.host");
    EXPECT_EQ(defaults->applicationIdentifier(), "org.example.host");
    EXPECT_FALSE(defaults->registeredDefaultForKey("A").isValid());
    EXPECT_FALSE(defaults->objectForKey("Shared").isValid());
    defaults->setObjectForKey("host value", "Shared");

    defaults->setApplicationIdentifier(kPanel);
    EXPECT_EQ(defaults->stringForKey("Shared"), "panel value");
    EXPECT_EQ(defaults->integerForKey("A"), 1);

    // An identifier never names a file outside the settings folder.
    EXPECT_TRUE(PHSettingsStore::storagePath("../../etc/x").startsWith(config.path() + "/porthold/"));
    EXPECT_FALSE(PHSettingsStore::storagePath("../../etc/x").contains("/../"));
}

TEST_F(UserDefaultsTest, TypedReadsConvertTextAndNumbers) {
    PHSettingsStore *defaults = PHSettingsStore::instance();
    defaults->setObjectForKey("YES", "yes");
    defaults->setObjectForKey("no", "no");
    defaults->setObjectForKey("  42abc", "number text");
    defaults->setObjectForKey(" -3.5e2x", "real text");
    defaults->setObjectForKey(QVariantList{1, 2}, "list");
    defaults->setIntegerForKey(7, "seven");
    defaults->setBoolForKey(true, "flag");
    defaults->setObjectForKey("true", "true text");
    defaults->setObjectForKey("0", "zero text");
    defaults->setObjectForKey(QByteArray("\x01\x02"), "data");
    defaults->setObjectForKey(1e12, "huge");

    EXPECT_TRUE(defaults->boolForKey("yes"));
    EXPECT_FALSE(defaults->boolForKey("no"));
    EXPECT_TRUE(defaults->boolForKey("true text"));
    EXPECT_FALSE(defaults->boolForKey("zero text"));
    EXPECT_TRUE(defaults->boolForKey("number text"));
    EXPECT_EQ(defaults->integerForKey("number text"), 42);
    EXPECT_EQ(defaults->doubleForKey("real text"), -350.0);
    EXPECT_EQ(defaults->floatForKey("real text"), -350.0f);
    EXPECT_EQ(defaults->integerForKey("real text"), -3);
    EXPECT_EQ(defaults->integerForKey("list"), 0);
    EXPECT_EQ(defaults->integerForKey("flag"), 1);
    EXPECT_EQ(defaults->integerForKey("huge"), 2147483647);
    EXPECT_TRUE(defaults->boolForKey("seven"));
    EXPECT_FALSE(defaults->boolForKey("data"));
    EXPECT_EQ(defaults->stringForKey("seven"), std::nullopt);
    EXPECT_EQ(defaults->stringForKey("yes"), "YES");
    EXPECT_EQ(defaults->arrayForKey("list"), QVariantList({1, 2}));
    EXPECT_EQ(defaults->arrayForKey("yes"), std::nullopt);
}

TEST_F(UserDefaultsTest, EveryKindOfValueSurvivesARoundTrip) {
    const QDateTime checked(QDate(2024, 3, 3), QTime(14, 5, 9), QTimeZone::utc());
    const QVariantMap values{
        {"text", QString::fromUtf8("Caf\xC3\xA9 <&>")},
        {"empty text", QString("")},
        {"data", QByteArray("\x00\xFF\x10", 3)},
        {"integer", -12},
        {"large", qlonglong(1) << 40},
        {"real", 0.25},
        {"bool", true},
        {"date", checked},
        {"list", QVariantList{"a", 2, false}},
        {"table", QVariantMap{{"inner", QVariantList{QVariantMap{{"x", 1}}}}}},
    };
    PHSettingsStore *defaults = PHSettingsStore::instance();
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        defaults->setObjectForKey(it.value(), it.key());
    defaults->setObjectForKey(QStringList{"x", "y"}, "string list");

    defaults = restart();
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        const QVariant read = defaults->objectForKey(it.key());
        EXPECT_EQ(read, it.value()) << it.key().toStdString();
        if (it.key() != "large" && it.key() != "date") {
            EXPECT_EQ(read.typeId(), it.value().typeId()) << it.key().toStdString();
        }
    }
    EXPECT_EQ(defaults->objectForKey("date").toDateTime(), checked);
    EXPECT_EQ(defaults->objectForKey("large").toLongLong(), qlonglong(1) << 40);
    EXPECT_EQ(defaults->arrayForKey("string list"), QVariantList({"x", "y"}));
}

TEST_F(UserDefaultsTest, DatesOnEitherSideOf2001AndFarOffSurvive) {
    const auto utc = [](int year, int month, int day, int msecOfDay) {
        return QDateTime(QDate(year, month, day), QTime::fromMSecsSinceStartOfDay(msecOfDay),
                         QTimeZone::utc());
    };
    // In memory, to the millisecond.
    for (const QDateTime &date :
         {utc(1999, 6, 1, 43200900), utc(1960, 3, 3, 36000250), utc(2000, 12, 31, 86398100),
          utc(2024, 3, 3, 50709750), utc(2001, 1, 1, 0)}) {
        const PHPropertyList::Node node(PHPropertyList::fromVariant(date));
        ASSERT_TRUE(node) << date.toString(Qt::ISODateWithMs).toStdString();
        EXPECT_EQ(PHPropertyList::toVariant(node.get()).toDateTime(), date)
            << date.toString(Qt::ISODateWithMs).toStdString();
    }
    // Beyond 32-bit seconds from 2001, to the second, in memory and in the file.
    PHSettingsStore *defaults = PHSettingsStore::instance();
    const QList<QDateTime> far{utc(2069, 6, 1, 28800000), utc(2150, 1, 1, 1000), utc(1901, 1, 1, 0)};
    for (const QDateTime &date : far) {
        const PHPropertyList::Node node(PHPropertyList::fromVariant(date));
        ASSERT_TRUE(node) << date.toString(Qt::ISODate).toStdString();
        EXPECT_EQ(PHPropertyList::toVariant(node.get()).toDateTime(), date)
            << date.toString(Qt::ISODate).toStdString();
        defaults->setObjectForKey(date, date.toString(Qt::ISODate));
    }
    defaults = restart();
    for (const QDateTime &date : far)
        EXPECT_EQ(defaults->objectForKey(date.toString(Qt::ISODate)).toDateTime(), date)
            << date.toString(Qt::ISODate).toStdString();
}

TEST_F(UserDefaultsTest, UnsignedNumbersBeyondTheSignedRangeAreRefusedNotTurnedNegative) {
    PHSettingsStore *defaults = PHSettingsStore::instance();
    const quint64 largest = quint64(std::numeric_limits<qint64>::max());
    defaults->setObjectForKey(QVariant::fromValue(largest), "largest");
    EXPECT_THROW(defaults->setObjectForKey(QVariant::fromValue(largest + 1), "beyond"), PHException);
    EXPECT_THROW(
        defaults->setObjectForKey(QVariant::fromValue(std::numeric_limits<quint64>::max()), "beyond"),
        PHException);
    defaults = restart();
    EXPECT_EQ(defaults->objectForKey("largest").toULongLong(), largest);
    EXPECT_FALSE(defaults->objectForKey("beyond").isValid());
}

TEST_F(UserDefaultsTest, UnsupportedValuesAreRefusedAndNothingIsWritten) {
    PHSettingsStore *defaults = PHSettingsStore::instance();
    defaults->setObjectForKey("kept", "key");
    const QByteArray before = file();
    for (const QVariant &bad :
         {QVariant(), QVariant(QPoint(1, 2)), QVariant(QVariantList{1, QPoint()}), QVariant(QDateTime())}) {
        try {
            defaults->setObjectForKey(bad, "key");
            ADD_FAILURE() << "accepted a " << bad.typeName();
        } catch (const PHException &exception) {
            EXPECT_EQ(exception.reason(), "Invalid parameter not satisfying: isPropertyListValue(value)");
        }
    }
    EXPECT_EQ(defaults->stringForKey("key"), "kept");
    EXPECT_EQ(file(), before);
}

TEST_F(UserDefaultsTest, AnUnparseableFileIsMovedAsideNotOverwritten) {
    const QString path = PHSettingsStore::storagePath(kPanel);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
    const QByteArray garbage = "<?xml version=\"1.0\"?><plist><dict><key>Sort Users</key><tru";
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(garbage);
    }
    QStringList log;
    Log::setCapture(&log);
    PHSettingsStore *defaults = restart();
    defaults->registerDefaults({{"Sort Users", false}});
    EXPECT_FALSE(defaults->boolForKey("Sort Users"));
    defaults->setBoolForKey(true, "Sort Users");
    Log::setCapture(nullptr);

    const QStringList aside = QDir(QFileInfo(path).absolutePath())
                                  .entryList({"com.quillmere.porthold.plist.unreadable-*"}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    QFile moved(QFileInfo(path).absolutePath() + "/" + aside.first());
    ASSERT_TRUE(moved.open(QIODevice::ReadOnly));
    EXPECT_EQ(moved.readAll(), garbage);
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log.first().contains("could not be parsed")) << log.first().toStdString();
    EXPECT_TRUE(restart()->boolForKey("Sort Users"));
}

} // namespace

namespace {

/// What another process's store does: a whole new file renamed into place.
void writeAsAnotherProcess(const QString &path, const QByteArray &dict) {
    const QString temporary = path + ".other";
    QFile f(temporary);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + dict +
            "</dict></plist>\n");
    f.close();
    ASSERT_TRUE(QFile::remove(path) || !QFile::exists(path));
    ASSERT_TRUE(QFile::rename(temporary, path));
}

TEST_F(UserDefaultsTest, AnotherProcessesKeysSurviveAChangeAndItsChangesAreRead) {
    PHSettingsStore *defaults = restart();
    defaults->setBoolForKey(true, "Sort Users");
    const QString path = PHSettingsStore::storagePath(kPanel);

    writeAsAnotherProcess(path, "<key>Sort Users</key><true/>"
                                "<key>Address Array</key><array><string>10.0.0.1</string></array>");
    // Read again without a restart.
    EXPECT_EQ(defaults->arrayForKey("Address Array").value_or(QVariantList()), QVariantList{"10.0.0.1"});

    writeAsAnotherProcess(path, "<key>Sort Users</key><true/><key>Sort Groups</key><true/>"
                                "<key>Address Array</key><array><string>10.0.0.2</string></array>");
    // This process changes one key: the others stay as the other process left them.
    defaults->setBoolForKey(false, "Sort Users");
    PHSettingsStore *fresh = restart();
    EXPECT_FALSE(fresh->boolForKey("Sort Users"));
    EXPECT_TRUE(fresh->boolForKey("Sort Groups"));
    EXPECT_EQ(fresh->arrayForKey("Address Array").value_or(QVariantList()), QVariantList{"10.0.0.2"});
}

/// The settings file's inode: every write replaces the file, so a new inode
/// means it was written.
ino_t inodeOf(const QString &path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

TEST_F(UserDefaultsTest, SettingTheValueAKeyHoldsWritesNothing) {
    PHSettingsStore *defaults = restart();
    const QString path = PHSettingsStore::storagePath(kPanel);
    const QVariantList addresses{"10.0.0.1", "lan.example"};
    const QVariantMap record{{"a", 1}, {"b", QVariantList{"x"}}};
    defaults->setBoolForKey(true, "Sort Users");
    defaults->setIntegerForKey(2, "Porthold Protected Folder");
    defaults->setDoubleForKey(2.5, "ApacheCheckInterval");
    defaults->setObjectForKey(QStringLiteral("/srv/www"), "Web Dir");
    defaults->setObjectForKey(QStringList{"10.0.0.1", "lan.example"}, "Address Array");
    defaults->setObjectForKey(record, "Record");
    const ino_t written = inodeOf(path);
    ASSERT_NE(written, ino_t(0));

    // The same values again, in this process and in the next, and removing a
    // key that holds nothing: the file stays as it is.
    const auto setAgain = [&](PHSettingsStore *store) {
        store->setBoolForKey(true, "Sort Users");
        store->setIntegerForKey(2, "Porthold Protected Folder");
        store->setDoubleForKey(2.5, "ApacheCheckInterval");
        store->setObjectForKey(QStringLiteral("/srv/www"), "Web Dir");
        store->setObjectForKey(addresses, "Address Array");
        store->setObjectForKey(record, "Record");
        store->removeValueForKey("Never Set");
    };
    setAgain(defaults);
    EXPECT_EQ(inodeOf(path), written);
    setAgain(restart());
    EXPECT_EQ(inodeOf(path), written);

    // A different value, or the same number as another type, is written.
    defaults = restart();
    defaults->setObjectForKey(QVariantList{"10.0.0.1"}, "Address Array");
    const ino_t shorter = inodeOf(path);
    EXPECT_NE(shorter, written);
    defaults->setIntegerForKey(1, "Sort Users");
    EXPECT_NE(inodeOf(path), shorter);
    EXPECT_EQ(restart()->objectForKey("Sort Users").typeId(), QMetaType::Int);

    // A file that went away is written again, with every value, even by a set
    // of a value it held.
    ASSERT_TRUE(QFile::remove(path));
    defaults = PHSettingsStore::instance();
    defaults->setDoubleForKey(2.5, "ApacheCheckInterval");
    ASSERT_TRUE(QFile::exists(path));
    EXPECT_EQ(restart()->stringForKey("Web Dir").value_or(QString()), "/srv/www");
}

} // namespace
