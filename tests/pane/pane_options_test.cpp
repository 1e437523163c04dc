// Settings, options, the error display and the web root: registered
// defaults, option check boxes, the pop-up with its custom items, derived
// paths and the web address of a folder.

#include "PaneFixture.h"

#include "core/Log.h"
#include "views/PHIconTextDelegate.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QSplitter>
#include <QUrl>

#include <limits>

namespace {

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls.append(url); }
};

class PaneOptions : public PaneFixture {};

TEST_F(PaneOptions, FreshSettingsYieldExactlyTheRegisteredDefaults) {
    paneApplication();
    PortholdPref::initialize("com.quillmere.porthold.fresh");
    PHSettingsStore *defaults = PHSettingsStore::instance();
    const QVariantMap expected{{"Address Array", QVariantList{"127.0.0.1"}},
                               {"Check for Updates", true},
                               {"Should Discover Addresses", true},
                               {"Show Delete Dialog", true},
                               {"User Delete Dialog", true},
                               {"Group Delete Dialog", true},
                               {"Graceful Restart", true},
                               {"Sort Users", false},
                               {"Sort Groups", false},
                               {"Show Manual Editor", false},
                               {"Uses Remote Apache", false},
                               {"Allow Custom Web Dir", false},
                               {"Porthold Protected Folder", 0},
                               {"Web Dir", ""},
                               {"SU Default Folder", QDir::homePath() + "/Desktop"},
                               {"ApacheBinaryLocation", "/usr/sbin/httpd"},
                               {"ApacheCheckInterval", 2.0},
                               {"Override Conf Directory Location", false},
                               {"Apache Conf File", "httpd.conf"},
                               {"Apache Conf Directory", "/etc/httpd/"},
                               {"Apache User Conf Directory", "users"},
                               {"stripVolumesFromPortholdFolder", 0},
                               {"portholdFolderPrefix", ""},
                               {"Override Log Directory", false},
                               {"Apache Log Directory", "/var/log/httpd/"},
                               {"Apache Site Protocol", "http"},
                               {"Apache Site Address", "127.0.0.1"},
                               {"Apache Site Port", "80"},
                               {"New File Extension", ".new"},
                               {"Password Hash", "bcrypt"}};
    const auto table = PortholdPref::settingsTable();
    EXPECT_EQ(table.size(), expected.size());
    for (const auto &[key, value] : table) {
        ASSERT_TRUE(expected.contains(key)) << qPrintable(key);
        const QVariant read = defaults->objectForKey(key);
        EXPECT_EQ(read.toString(), expected.value(key).toString()) << qPrintable(key);
        EXPECT_EQ(read.toList(), expected.value(key).toList()) << qPrintable(key);
        // Booleans stay booleans, numbers numbers.
        EXPECT_EQ(read.typeId() == QMetaType::Bool, expected.value(key).typeId() == QMetaType::Bool)
            << qPrintable(key);
    }
    EXPECT_EQ(defaults->doubleForKey("Last Version Check"), 0.0);
    EXPECT_FALSE(defaults->objectForKey("Custom Web Dir").isValid());
    EXPECT_FALSE(QFile::exists(PHSettingsStore::storagePath("com.quillmere.porthold.fresh")))
        << "registering writes nothing";
}

TEST_F(PaneOptions, ErrorDisplayShowsKnownCodesAndUnknownOnes) {
    start();
    QStringList log;
    Log::setCapture(&log);
    pref->displayError(0);
    EXPECT_TRUE(PHAlertSheet::recorded().isEmpty());
    EXPECT_TRUE(log.isEmpty());

    answers = {PHAlertSheet::Default, PHAlertSheet::Default, PHAlertSheet::Default};
    pref->displayError(-1);
    pref->displayError(20);
    pref->displayError(pref->errors().size());
    settle();
    Log::setCapture(nullptr);
    ASSERT_EQ(PHAlertSheet::recorded().size(), 3);
    EXPECT_EQ(PHAlertSheet::recorded().at(0).title, "An Error Occurred");
    EXPECT_EQ(PHAlertSheet::recorded().at(0).message, "An unknown error occured");
    EXPECT_EQ(PHAlertSheet::recorded().at(1).message,
              "An error was encountered by Porthold in phase 1: " + pref->errors().at(20));
    EXPECT_TRUE(pref->errors().at(20).contains(".htaccess"));
    EXPECT_EQ(PHAlertSheet::recorded().at(2).message, "An unknown error occured");
    ASSERT_GE(log.size(), 2);
    EXPECT_EQ(log.at(1), "[Porthold] Error 20: " + pref->errors().at(20));
    // Every code the model reports has a text.
    for (int code : {1, 2, 4, 7, 9, 12, 13, 14, 15, 20, 21, 22, 23, 24, 30, 31, 32, 33})
        EXPECT_FALSE(pref->errors().value(code).isEmpty()) << code;
}

TEST_F(PaneOptions, TheDividerLimitsTheTextCellFontAndAnyErrorCode) {
    start();
    // The divider keeps 70 points on the left and 140 on the right.
    auto *split = child<QSplitter>("splitView");
    split->setSizes({2000, 0});
    settle();
    EXPECT_GE(split->sizes().value(1), 140);
    split->setSizes({0, 2000});
    settle();
    EXPECT_GE(split->sizes().value(0), 70);

    // The folder names and user names are in the desktop's font, as the group names are.
    for (const char *name : {"webDirOutline", "userTable"}) {
        auto *view = child<QAbstractItemView>(name);
        auto *cell = qobject_cast<PHIconTextDelegate *>(view->itemDelegateForColumn(name[0] == 'w' ? 0 : 1));
        ASSERT_NE(cell, nullptr) << name;
        EXPECT_EQ(cell->font().pointSizeF(), view->font().pointSizeF()) << name;
        EXPECT_EQ(cell->font().pointSizeF(), QApplication::font().pointSizeF()) << name;
    }

    // Codes at the edges of the range are unknown errors, not arithmetic faults.
    answers = {PHAlertSheet::Default, PHAlertSheet::Default};
    pref->displayError(std::numeric_limits<qint32>::min());
    pref->displayError(std::numeric_limits<qint32>::max());
    settle();
    ASSERT_EQ(PHAlertSheet::recorded().size(), 2);
    EXPECT_EQ(PHAlertSheet::recorded().at(0).message, "An unknown error occured");
    EXPECT_EQ(PHAlertSheet::recorded().at(1).message, "An unknown error occured");
}

TEST_F(PaneOptions, OptionsFollowTheirCheckBoxesAndThePopUpIsClamped) {
    preset("Sort Users", true);
    start();
    PHSettingsStore *defaults = PHSettingsStore::instance();
    EXPECT_TRUE(child<QCheckBox>("userSortCheck")->isChecked());
    EXPECT_TRUE(child<QCheckBox>("accessFileDeleteCheck")->isChecked());

    child<QCheckBox>("groupDeleteCheck")->click();
    EXPECT_FALSE(defaults->boolForKey("Group Delete Dialog"));
    child<QCheckBox>("userSortCheck")->click();
    EXPECT_FALSE(defaults->boolForKey("Sort Users"));
    // A check box outside the panel changes nothing.
    QCheckBox stranger(pref->mainView());
    stranger.setObjectName("userSortCheck");
    stranger.click();
    EXPECT_FALSE(defaults->boolForKey("Sort Users"));
    EXPECT_FALSE(defaults->boolForKey("Group Delete Dialog"));

    // A stored index past the items selects the last one.
    auto *popup = child<QComboBox>("webDirFolder");
    const int items = popup->count();
    defaults->setIntegerForKey(items + 3, "Porthold Protected Folder");
    pref->load();
    EXPECT_EQ(popup->currentIndex(), items - 1);
}

TEST_F(PaneOptions, CustomRootsAddAndRemoveTheirItems) {
    start(false);
    auto *popup = child<QComboBox>("webDirFolder");
    PHSettingsStore *defaults = PHSettingsStore::instance();
    EXPECT_EQ(popup->count(), 2);

    // Allowed with no folder yet: only the separator and the custom entry.
    child<QCheckBox>("customDirCheck")->click();
    EXPECT_EQ(popup->count(), 4);
    EXPECT_EQ(popup->itemText(3), QString("Custom") + QChar(0x2026));
    EXPECT_TRUE(child<QCheckBox>("remoteApacheCheck")->isEnabled());

    // The chooser: cancelling restores the pop-up; choosing roots the panel there.
    popup->setCurrentIndex(3);
    pref->folders()->webRoot()->choose(popup->currentIndex());
    auto *chooser = window->findChild<QFileDialog *>("webDirChooser");
    ASSERT_NE(chooser, nullptr);
    chooser->reject();
    settle();
    EXPECT_EQ(popup->currentIndex(), 0);
    pref->folders()->webRoot()->chooserEnded(web, true);
    EXPECT_EQ(popup->count(), 5);
    EXPECT_EQ(popup->itemText(2), "web");
    EXPECT_EQ(popup->currentIndex(), 2);
    EXPECT_EQ(defaults->stringForKey("Web Dir").value_or(""), web);
    EXPECT_EQ(pref->files()->rootPath(), web);
    EXPECT_EQ(pref->location(PHWebRoot::UserFile), web + "/.htusers");
    // A second folder replaces the first custom item.
    pref->folders()->webRoot()->chooserEnded(web + "/open", true);
    EXPECT_EQ(popup->count(), 5);
    EXPECT_EQ(popup->itemText(2), "open");

    // Turning custom roots off removes the custom items and moves the root to what the pop-up shows.
    child<QCheckBox>("customDirCheck")->click();
    EXPECT_EQ(popup->count(), 2);
    EXPECT_LT(defaults->integerForKey("Porthold Protected Folder"), 2);
    EXPECT_EQ(pref->files()->rootPath(), pref->location(PHWebRoot::Root));
    EXPECT_FALSE(child<QCheckBox>("remoteApacheCheck")->isEnabled());
}

TEST_F(PaneOptions, ARefusedOrVanishedChoiceKeepsThePreviousRoot) {
    start(false);
    auto *popup = child<QComboBox>("webDirFolder");
    PHSettingsStore *defaults = PHSettingsStore::instance();
    child<QCheckBox>("customDirCheck")->click();
    ASSERT_EQ(popup->count(), 4);
    const QString before = pref->files()->rootPath();

    // A folder that vanished before the answer arrived, and one whose name
    // Apache's configuration cannot hold.
    const QString broken = web + "/two\nlines";
    ASSERT_TRUE(QDir().mkpath(broken));
    answers.push_back(PHAlertSheet::Default);
    for (const QString &chosen : {web + "/gone", broken}) {
        popup->setCurrentIndex(3);
        pref->folders()->webRoot()->chooserEnded(chosen, true);
        settle();
        EXPECT_EQ(popup->currentIndex(), 0) << qPrintable(chosen);
        EXPECT_EQ(popup->count(), 4);
        EXPECT_EQ(defaults->integerForKey("Porthold Protected Folder"), 0);
        EXPECT_EQ(pref->files()->rootPath(), before);
    }
    EXPECT_EQ(PHAlertSheet::recorded().size(), 1);

    // With no custom folder stored, the custom root names no user or group file.
    defaults->setIntegerForKey(2, "Porthold Protected Folder");
    EXPECT_EQ(pref->location(PHWebRoot::UserFile), QString());
    EXPECT_EQ(pref->location(PHWebRoot::GroupFile), QString());
    EXPECT_EQ(pref->serverLocation(PHWebRoot::UserFile), QString());
}

TEST_F(PaneOptions, PathsAndWebAddresses) {
    start();
    PHSettingsStore *defaults = PHSettingsStore::instance();
    defaults->setObjectForKey("/Volumes/Web", "Web Dir");
    EXPECT_EQ(pref->serverLocation(PHWebRoot::UserFile), "/Volumes/Web/.htusers");
    defaults->setIntegerForKey(1, "stripVolumesFromPortholdFolder");
    defaults->setObjectForKey("/srv", "portholdFolderPrefix");
    EXPECT_EQ(pref->serverLocation(PHWebRoot::UserFile), "/srv/Web/.htusers");
    EXPECT_EQ(pref->serverLocation(PHWebRoot::GroupFile), "/srv/Web/.htgroups");
    defaults->setIntegerForKey(0, "Porthold Protected Folder");
    EXPECT_EQ(pref->location(PHWebRoot::UserFile), QDir::homePath() + "/public_html/.htusers");

    // Opening a folder on the web: the address as Apache serves it, names percent-encoded.
    defaults->setObjectForKey(web, "Web Dir");
    defaults->setIntegerForKey(2, "Porthold Protected Folder");
    QDir().mkpath(web + "/open/a b");
    pref->folders()->refresh();
    settle();
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("http", &catcher, "open");
    defaults->setObjectForKey("127.0.0.1:8080", "Apache Site Address");
    PHFSItem *open = folder("open");
    expandItem(outline(), root());
    settle();
    expandItem(outline(), open);
    settle();
    PHFSItem *spaced = nullptr;
    for (PHFSItem *child : open->children())
        if (child->name() == "a b")
            spaced = child;
    ASSERT_NE(spaced, nullptr);
    ASSERT_TRUE(selectItem(outline(), spaced));
    pref->folders()->protection()->viewOnWeb();
    // The custom root is served at the site's top; the user's own folder under ~name.
    EXPECT_EQ(pref->folders()->webRoot()->webAddress(spaced).toString(QUrl::FullyEncoded),
              "http://127.0.0.1:8080/open/a%20b");
    child<QComboBox>("webDirFolder")->setCurrentIndex(0);
    EXPECT_TRUE(pref->folders()
                    ->webRoot()
                    ->webAddress(spaced)
                    .toString(QUrl::FullyEncoded)
                    .startsWith("http://127.0.0.1:8080/~"));
    EXPECT_TRUE(
        pref->folders()->webRoot()->webAddress(spaced).toString(QUrl::FullyEncoded).endsWith("/open/a%20b"));
    QDesktopServices::unsetUrlHandler("http");
    ASSERT_EQ(catcher.urls.size(), 1);
    EXPECT_EQ(catcher.urls.first().toString(QUrl::FullyEncoded), "http://127.0.0.1:8080/open/a%20b");
}

} // namespace

#include "pane_options_test.moc"
