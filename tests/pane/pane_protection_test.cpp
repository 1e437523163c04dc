// Protection editing through the panel's own widgets: modes rewriting the
// access file, the known-address list, clearing a folder, the manual editor.

#include "PaneFixture.h"

#include "common/ApacheHarness.h"
#include "common/ViewItems.h"
#include "model/PHPasswordHash.h"
#include "views/PHAddressModel.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QScopeGuard>

#include <QMenu>
#include <QRadioButton>
#include <optional>

namespace {

class PaneProtection : public PaneFixture {
protected:
    PHTableView *addressTable() const { return child<PHTableView>("addressTable"); }
    QStringList storedAddresses() const {
        QStringList list;
        for (const QVariant &value :
             PHSettingsStore::instance()->arrayForKey("Address Array").value_or(QVariantList()))
            list << value.toString();
        return list;
    }
    void chooseMode(PHFSItem *item, int mode) {
        PHOutlineView *view = outline();
        const QModelIndex index = indexOf(view, item, view->columnForIdentifier("protect"));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
        settle();
        auto *menu = pref->mainView()->findChild<QMenu *>("directoryMenu");
        ASSERT_TRUE(menu && menu->isVisible());
        menu->actions().at(mode)->trigger();
        menu->hide();
        settle();
    }
    /// Finishes the open edit of the address cell with the text and Return.
    void typeIntoOpenAddressEditor(const QString &text) {
        auto *editor = qobject_cast<QLineEdit *>(QApplication::focusWidget());
        ASSERT_NE(editor, nullptr) << "no address cell is being edited";
        EXPECT_EQ(editor->selectedText(), editor->text()) << "the edit starts with the text selected";
        editor->setText(text);
        QTest::keyClick(editor, Qt::Key_Return);
        settle();
    }
};

TEST_F(PaneProtection, EachModeRewritesTheAccessFile) {
    start();
    PHFSItem *item = folder("private");
    clickFolder(item);
    const QString file = web + "/private/.htaccess";
    struct Expect {
        int mode;
        const char *inForce;
        const char *commented;
    };
    const Expect expectations[] = {
        {1, "\nSatisfy all", "\nSatisfy any"},  {2, "\nDeny from all\nAllow from portholded", "\nAuthType"},
        {3, "\nSatisfy any", "\n#AuthType"},    {4, "\nSatisfy all", "\n#Deny from"},
        {0, "\n#AuthType Basic", "\nAuthType"},
    };
    for (const Expect &expect : expectations) {
        chooseMode(item, expect.mode);
        const QString text = readFile(file);
        EXPECT_EQ(item->modeIndex(), expect.mode);
        EXPECT_TRUE(text.contains(expect.inForce)) << expect.mode << "\n" << qPrintable(text);
        EXPECT_FALSE(text.contains(expect.commented)) << expect.mode << "\n" << qPrintable(text);
        // The editor follows the file.
        EXPECT_EQ(child<QPlainTextEdit>("customViewText")->toPlainText(), text);
    }
    // The address matrix is usable only while addresses protect the folder.
    auto *allow = child<QRadioButton>("addressModeAllow");
    EXPECT_FALSE(allow->isEnabled());
    chooseMode(item, 2);
    EXPECT_TRUE(allow->isEnabled());
    child<QRadioButton>("addressModeDeny")->click();
    settle();
    EXPECT_FALSE(item->isAllowSet());
    EXPECT_TRUE(readFile(file).contains("\nDeny from portholded\n"));
}

TEST_F(PaneProtection, AnotherWebRootIsReadAgainstItsOwnUsers) {
    // Before: after a switch of web root, the new root's folders were read
    // against the old root's users: "Require user dave" read as nobody, and
    // the first edit wrote "Require user portholded", locking dave out.
    const std::string unavailable = apache_harness::unavailableReason();
    const QString other =
        unavailable.empty()
            ? QString::fromStdString(apache_harness::makeReadableTempFolder("porthold-pane-other").string())
            : QFileInfo(web).absolutePath() + QStringLiteral("/other");
    const auto removeOther = qScopeGuard([other] { QDir(other).removeRecursively(); });
    writeFile(other + "/.htusers",
              "dave:" + PHPasswordHash::hash("dave-pw", PHPasswordHash::Scheme::Bcrypt) + "\n");
    writeFile(other + "/club/.htaccess", "AuthType Basic\nAuthName \"club\"\nAuthUserFile \"" + other +
                                             "/.htusers\"\nRequire user dave\n");
    writeFile(other + "/club/index.html", "<p>club</p>\n");
    for (const QString &path : {other, other + "/club", other + "/club/index.html", other + "/.htusers"})
        QFile::setPermissions(
            path, QFile::permissions(path) | QFile::ReadOther | QFile::ReadGroup |
                      (QFileInfo(path).isDir() ? QFile::ExeOther | QFile::ExeGroup : QFile::Permissions()));
    std::optional<apache_harness::ApacheServer> server;
    if (unavailable.empty())
        server.emplace(other.toStdString());
    start();
    pref->folders()->webRoot()->setCustomFolder(other);
    pref->folders()->webRoot()->setStartDirectory(2);
    settle();
    PHFSItem *club = folder("club");
    ASSERT_NE(club, nullptr);
    EXPECT_EQ(club->listForKey(PHFSItem::RequireUserKey), QStringList{"dave"});
    clickFolder(club);
    chooseMode(club, 4); // the address list (deny mode) is empty: a password is what counts
    EXPECT_TRUE(readFile(other + "/club/.htaccess").contains("\nRequire user dave\n"))
        << qPrintable(readFile(other + "/club/.htaccess"));
    // The server still lets dave in after the edit (before: 401).
    if (server) {
        EXPECT_EQ(server->get("/club/index.html", {"dave", "dave-pw"}), 200);
        EXPECT_EQ(server->get("/club/index.html"), 401) << qPrintable(readFile(other + "/club/.htaccess"));
    }
}

TEST_F(PaneProtection, KnownAddressesAreCheckedTypedAndRefused) {
    start();
    EXPECT_EQ(pref->addresses(), QStringList{"127.0.0.1"});

    // A placeholder confirmed unchanged beeps and goes back into editing.
    auto *add = child<QAbstractButton>("addressAddButton");
    add->click();
    settle();
    ASSERT_EQ(pref->addresses().size(), 2);
    typeIntoOpenAddressEditor("host.domain.tld");
    EXPECT_EQ(storedAddresses(), QStringList{"127.0.0.1"});
    EXPECT_TRUE(addressTable()->isEditing()) << "re-opened for editing";
    // Capitals are lower-cased, so ALL is a reserved word too.
    typeIntoOpenAddressEditor("ALL");
    EXPECT_EQ(storedAddresses(), QStringList{"127.0.0.1"});
    // A typed address is stored lower-cased and otherwise as typed.
    typeIntoOpenAddressEditor("Office.Example.COM");
    EXPECT_EQ(pref->addresses(), (QStringList{"127.0.0.1", "office.example.com"}));
    EXPECT_EQ(storedAddresses(), (QStringList{"127.0.0.1", "office.example.com"}));
    EXPECT_FALSE(addressTable()->isEditing()) << "Return ends the edit";

    // A stored list joins lower-cased, without repeats or reserved words.
    pref->folders()->addresses()->addFromList({"A.B", "a.b", "all", "two words"});
    EXPECT_EQ(pref->addresses(), (QStringList{"127.0.0.1", "office.example.com", "a.b"}));

    // Ticking lists the address for the selected folder, only when it is address-protected.
    PHFSItem *item = folder("lan");
    clickFolder(item);
    QAbstractItemModel *model = addressTable()->model();
    const QModelIndex check = model->index(2, addressTable()->columnForIdentifier("active"));
    EXPECT_FALSE(model->flags(check) & Qt::ItemIsUserCheckable) << "not address-protected yet";
    EXPECT_FALSE(model->setData(check, Qt::Checked, Qt::CheckStateRole));
    item->setAuthStatusDisable(2, false);
    pref->folders()->protection()->select();
    EXPECT_TRUE(model->setData(check, Qt::Checked, Qt::CheckStateRole));
    EXPECT_TRUE(readFile(web + "/lan/.htaccess").contains("\nDeny from all\nAllow from a.b\n"));

    // Removing three selected rows removes exactly those; one in force on
    // the folder stays on it, and so in the list, and the panel says so.
    pref->folders()->addresses()->addFromList({"c.d", "e.f"});
    addressTable()->selectRowByExtendingSelection(0, false);
    addressTable()->selectRowByExtendingSelection(2, true);
    addressTable()->selectRowByExtendingSelection(4, true);
    QTest::keyClick(addressTable(), Qt::Key_Delete);
    settle();
    EXPECT_EQ(pref->addresses(), (QStringList{"office.example.com", "c.d", "a.b"}));
    EXPECT_EQ(storedAddresses(), (QStringList{"office.example.com", "c.d"}));
    EXPECT_TRUE(readFile(web + "/lan/.htaccess").contains("\nAllow from a.b\n"));
    // Unticked on the folder, it goes from the folder, and then from the list.
    const QModelIndex kept = model->index(2, addressTable()->columnForIdentifier("active"));
    EXPECT_TRUE(model->setData(kept, Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_TRUE(readFile(web + "/lan/.htaccess").contains("\nAllow from portholded\n"));
    addressTable()->selectRowByExtendingSelection(2, false);
    QTest::keyClick(addressTable(), Qt::Key_Delete);
    settle();
    EXPECT_EQ(pref->addresses(), (QStringList{"office.example.com", "c.d"}));
}

TEST_F(PaneProtection, ClearingWithAndWithoutConfirmation) {
    writeFile(web + "/private/.htaccess", "AuthType Basic\nRequire valid-user\nHeader set X-Team \"#f00\"\n");
    writeFile(web + "/lan/.htaccess", "Deny from 10.0.0.1\n");
    start();
    PHOutlineView *view = outline();

    // Cancel keeps the file; Delete removes it and shows the cleared state.
    clickFolder(folder("private"));
    answers = {PHAlertSheet::Other};
    emit view->buttonClicked("delete", indexOf(view, folder("private")));
    settle();
    EXPECT_TRUE(QFile::exists(web + "/private/.htaccess"));
    const auto &asked = PHAlertSheet::recorded().last();
    EXPECT_EQ(asked.title, "Delete Access File");
    EXPECT_EQ(asked.message,
              "Are you sure you want to permanently delete all access restrictions for \"private\"?"
              "\n\nThis action cannot be undone.");
    answers = {PHAlertSheet::Default};
    emit view->buttonClicked("delete", indexOf(view, folder("private")));
    settle();
    EXPECT_FALSE(QFile::exists(web + "/private/.htaccess"));
    EXPECT_EQ(folder("private")->modeIndex(), 0);
    EXPECT_EQ(child<QPlainTextEdit>("customViewText")->toPlainText(), QString());

    // Without confirmation the button on another row selects it and deletes at once.
    pref->options()->setAskBeforeClearing(false);
    const int sheets = int(PHAlertSheet::recorded().size());
    emit view->buttonClicked("delete", indexOf(view, folder("lan")));
    settle();
    EXPECT_EQ(PHAlertSheet::recorded().size(), sheets);
    EXPECT_EQ(pref->selectedItem(), folder("lan"));
    EXPECT_FALSE(QFile::exists(web + "/lan/.htaccess"));
}

TEST_F(PaneProtection, ManualEditorSavesRevertsAndKeepsUnsavedText) {
    writeFile(web + "/private/.htaccess", "AuthType Basic\nRequire valid-user\n");
    start();
    auto *editor = child<QPlainTextEdit>("customViewText");
    auto *save = child<QAbstractButton>("customSaveButton");
    auto *revert = child<QAbstractButton>("customRevertButton");

    clickFolder(folder("open"));
    EXPECT_TRUE(editor->isReadOnly()) << "no access file: nothing to edit";
    clickFolder(folder("private"));
    EXPECT_FALSE(editor->isReadOnly());
    EXPECT_FALSE(save->isEnabled());

    // Revert puts the stored text back.
    const QString stored = editor->toPlainText();
    typeIntoEditor("# scratch\n");
    EXPECT_TRUE(save->isEnabled() && revert->isEnabled());
    revert->click();
    settle();
    EXPECT_EQ(editor->toPlainText(), stored);
    EXPECT_FALSE(pref->hasUnsavedEdits());
    EXPECT_FALSE(save->isEnabled() || revert->isEnabled());

    // A re-read of the file never replaces text the user is typing.
    typeIntoEditor("# mine\n");
    folder("private")->setStringValue(readFile(web + "/private/.htaccess"));
    EXPECT_TRUE(editor->toPlainText().startsWith("# mine"));
    EXPECT_TRUE(pref->hasUnsavedEdits());

    // Save hands the whole text over and writes it; a text without any
    // directive in force is written in its disabled form.
    editor->setPlainText("#Require valid-user\nOptions -Indexes\n");
    save->click();
    settle();
    const QString written = readFile(web + "/private/.htaccess");
    EXPECT_TRUE(written.contains("\nOptions -Indexes")) << qPrintable(written);
    EXPECT_TRUE(written.contains("\n#AuthType Basic")) << qPrintable(written);
    EXPECT_EQ(editor->toPlainText(), written);
    EXPECT_FALSE(pref->hasUnsavedEdits());
}

TEST_F(PaneProtection, ThisComputerIsNamedAndAWarningSaysWhenTheRulesRefuseIt) {
    start();
    // 127.0.0.1 stands for this computer, IPv4 and IPv6 alike; typing still
    // edits the address itself.
    QAbstractItemModel *model = addressTable()->model();
    const QModelIndex address = model->index(0, addressTable()->columnForIdentifier("address"));
    EXPECT_EQ(address.data(Qt::DisplayRole).toString(), PHAddressModel::thisComputerTitle);
    EXPECT_EQ(address.data(Qt::EditRole).toString(), "127.0.0.1");
    EXPECT_TRUE(address.data(Qt::ToolTipRole).toString().contains("::1"));

    auto *warning = child<QLabel>("thisComputerWarning");
    PHFSItem *item = folder("lan");
    clickFolder(item);
    EXPECT_FALSE(warning->isVisible()) << "an open folder lets this computer in";
    // "Address" with nothing ticked refuses everyone, this computer included.
    chooseMode(item, 2);
    EXPECT_TRUE(warning->isVisible());
    EXPECT_TRUE(warning->text().startsWith("These rules refuse this computer (127.0.0.1"))
        << qPrintable(warning->text());
    // Ticking this computer lets it in again.
    const QModelIndex check = model->index(0, addressTable()->columnForIdentifier("active"));
    EXPECT_TRUE(model->setData(check, Qt::Checked, Qt::CheckStateRole));
    settle();
    EXPECT_TRUE(readFile(web + "/lan/.htaccess").contains("\nAllow from 127.0.0.1 ::1\n"));
    EXPECT_FALSE(warning->isVisible());
    // Deny mode has a list of its own: denying this computer refuses it.
    child<QRadioButton>("addressModeDeny")->click();
    settle();
    EXPECT_FALSE(warning->isVisible()) << "nobody denied yet";
    EXPECT_TRUE(model->setData(check, Qt::Checked, Qt::CheckStateRole));
    settle();
    EXPECT_TRUE(warning->isVisible());
    // "Password or Address": refused by address, this computer is asked for a password.
    chooseMode(item, 3);
    EXPECT_FALSE(warning->isVisible());

    // The manual editor says it before the text is saved.
    chooseMode(item, 1);
    EXPECT_FALSE(warning->isVisible());
    typeIntoEditor("Deny from all\n");
    EXPECT_TRUE(warning->isVisible());
    EXPECT_TRUE(warning->text().startsWith("Once saved: These rules refuse this computer"))
        << qPrintable(warning->text());
    EXPECT_FALSE(readFile(web + "/lan/.htaccess").contains("\nDeny from all\n")) << "not saved yet";
    child<QAbstractButton>("customRevertButton")->click();
    settle();
    EXPECT_FALSE(warning->isVisible());
}

TEST_F(PaneProtection, CheckAccessAsksTheRunningServerWithoutHoldingThePanel) {
    const std::string reason = apache_harness::unavailableReason();
    if (!reason.empty())
        GTEST_SKIP() << "no private Apache: " << reason;
    // A web root the server's workers can read.
    web = QString::fromStdString(apache_harness::makeReadableTempFolder("porthold-pane-web").string());
    const auto removeWeb = qScopeGuard([this] { QDir(web).removeRecursively(); });
    for (const char *name : {"open", "private"}) {
        QDir().mkpath(web + "/" + name);
        QFile::setPermissions(web + "/" + name, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                    QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                                    QFile::ExeOther);
        writeFile(web + "/" + name + "/index.html", "<p>hi</p>\n");
    }
    writeFile(web + "/private/.htaccess", "AuthType Basic\nAuthName \"private\"\nAuthUserFile \"" + web +
                                              "/.htusers\"\nRequire valid-user\n");
    std::optional<apache_harness::ApacheServer> server;
    server.emplace(web.toStdString());
    preset("Apache Site Protocol", "http");
    preset("Apache Site Address", QStringLiteral("127.0.0.1:%1").arg(server->port()));
    start();
    auto *button = child<QAbstractButton>("checkAccessButton");
    auto *progress = child<QProgressBar>("checkAccessProgress");
    EXPECT_FALSE(progress->isVisible());
    clickFolder(folder("private"));

    answers = {PHAlertSheet::Default};
    PHAlertSheet::clearRecorded();
    QTest::mouseClick(button, Qt::LeftButton);
    // The click has returned: the server is being asked on a worker, the
    // button waits and the progress shows.
    EXPECT_TRUE(pref->folders()->protection()->isCheckingAccess());
    EXPECT_FALSE(button->isEnabled());
    EXPECT_TRUE(progress->isVisible());
    EXPECT_TRUE(PHAlertSheet::recorded().isEmpty()) << "no answer before the event loop runs again";
    // A second click while it runs starts nothing.
    pref->folders()->protection()->checkAccess();
    ASSERT_TRUE(QTest::qWaitFor([] { return !PHAlertSheet::recorded().isEmpty(); }, 30000));
    settle();
    EXPECT_EQ(PHAlertSheet::recorded().size(), 1);
    const PHAlertSheet::Request sheet = PHAlertSheet::recorded().first();
    EXPECT_EQ(sheet.title, "The web server does what the panel shows") << qPrintable(sheet.message);
    EXPECT_TRUE(sheet.message.contains("From 127.0.0.1 without a password: 401 asked for a password (as "
                                       "predicted"))
        << qPrintable(sheet.message);
    EXPECT_TRUE(sheet.message.startsWith("Effective access of private:\nPassword: any valid user"))
        << qPrintable(sheet.message);
    EXPECT_FALSE(pref->folders()->protection()->isCheckingAccess());
    EXPECT_TRUE(button->isEnabled());
    EXPECT_FALSE(progress->isVisible());

    // A folder the server lets in (it has no index page to give: 404), and
    // then a server that is not running.
    clickFolder(folder("open"));
    answers = {PHAlertSheet::Default};
    PHAlertSheet::clearRecorded();
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([] { return !PHAlertSheet::recorded().isEmpty(); }, 30000));
    EXPECT_TRUE(
        PHAlertSheet::recorded().first().message.contains("From 127.0.0.1 without a password: 404 allowed"))
        << qPrintable(PHAlertSheet::recorded().first().message);
    server.reset();
    answers = {PHAlertSheet::Default};
    PHAlertSheet::clearRecorded();
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([] { return !PHAlertSheet::recorded().isEmpty(); }, 30000));
    EXPECT_EQ(PHAlertSheet::recorded().first().title, "The web server cannot be reached");
    EXPECT_TRUE(button->isEnabled());
}

TEST_F(PaneProtection, AHandManagedFolderIsShownReadOnlyWithTheReason) {
    const QString handWritten = "AuthType Basic\nAuthName \"lan\"\n<RequireAll>\n  Require valid-user\n"
                                "  Require ip 10.0.0.1\n</RequireAll>\nOrder deny,allow\nDeny from all\n";
    writeFile(web + "/lan/.htaccess", handWritten);
    start();
    clickFolder(folder("lan"));
    EXPECT_TRUE(
        child<QLabel>("effectiveAccessLabel")->text().startsWith("lan: " + PHFSItem::handManagedMessage))
        << qPrintable(child<QLabel>("effectiveAccessLabel")->text());
    // Users, groups and addresses cannot be ticked, and say why.
    auto *users = child<PHTableView>("userTable");
    const QModelIndex anyUser = users->model()->index(0, users->columnForIdentifier("active"));
    EXPECT_FALSE(users->model()->flags(anyUser) & Qt::ItemIsUserCheckable);
    EXPECT_EQ(anyUser.data(Qt::ToolTipRole).toString(), PHFSItem::handManagedMessage);
    QAbstractItemModel *addresses = addressTable()->model();
    const QModelIndex address = addresses->index(0, addressTable()->columnForIdentifier("active"));
    EXPECT_FALSE(addresses->flags(address) & Qt::ItemIsUserCheckable);
    EXPECT_FALSE(addresses->setData(address, Qt::Checked, Qt::CheckStateRole));
    EXPECT_EQ(address.data(Qt::ToolTipRole).toString(), PHFSItem::handManagedMessage);
    EXPECT_FALSE(child<QRadioButton>("addressModeDeny")->isEnabled());
    EXPECT_EQ(readFile(web + "/lan/.htaccess"), handWritten);
}

} // namespace
