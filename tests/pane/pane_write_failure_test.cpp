// What the panel does when the web folder cannot be written: a failed save
// names the file and the system's reason and never shows as saved, and the
// controls that cannot work are disabled with the reason shown.

#include "UsersUiFixture.h"

#include "platform/PHMessageLine.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

/// While it lives, the process cannot write to the web tree: as root it acts
/// as nobody (the saved user ID keeps the way back), otherwise the folders'
/// write permission is taken away.
class WithoutWriteAccess {
public:
    explicit WithoutWriteAccess(const QStringList &folders) : m_folders(folders) {
        if (::geteuid() == 0) {
            m_wasRoot = true;
            EXPECT_EQ(::setresuid(65534, 65534, 0), 0);
            return;
        }
        for (const QString &folder : m_folders)
            ::chmod(QFile::encodeName(folder).constData(), 0555);
    }
    ~WithoutWriteAccess() {
        if (m_wasRoot) {
            EXPECT_EQ(::setresuid(0, 0, 0), 0);
            return;
        }
        for (const QString &folder : m_folders)
            ::chmod(QFile::encodeName(folder).constData(), 0755);
    }
    WithoutWriteAccess(const WithoutWriteAccess &) = delete;
    WithoutWriteAccess &operator=(const WithoutWriteAccess &) = delete;

private:
    QStringList m_folders;
    bool m_wasRoot = false;
};

class PaneWriteFailure : public UsersUiFixture {
protected:
    void SetUp() override {
        UsersUiFixture::SetUp();
        // Someone else may look in (but never write).
        for (QString folder = web; folder != QDir::tempPath() && folder.size() > 1;
             folder = QFileInfo(folder).path())
            ::chmod(QFile::encodeName(folder).constData(), 0755);
    }
    QStringList webFolders() const {
        return {web, web + "/private", web + "/open", web + "/lan", web + "/open/inner"};
    }
    /// The message of the last sheet shown.
    static QString lastSheet() {
        const QList<PHAlertSheet::Request> &shown = PHAlertSheet::recorded();
        return shown.isEmpty() ? QString() : shown.constLast().message;
    }
    void chooseMode(PHFSItem *item, int mode) {
        QAbstractItemModel *adapter = outline()->model();
        adapter->setData(indexOf(outline(), item, outline()->columnForIdentifier("protect")), mode,
                         Qt::EditRole);
        settle();
    }
    QModelIndex protectCell(PHFSItem *item) const {
        return indexOf(outline(), item, outline()->columnForIdentifier("protect"));
    }
};

TEST_F(PaneWriteFailure, AFailedSaveNamesTheFileAndTheReasonAndIsNeverSaidToBeSaved) {
    writeUsers({"alice"});
    start();
    PHFSItem *privateFolder = folder("private");
    ASSERT_NE(privateFolder, nullptr);
    clickFolder(privateFolder);

    answers.push_back(PHAlertSheet::Default);
    {
        WithoutWriteAccess denied(webFolders());
        chooseMode(privateFolder, 1);
    }
    EXPECT_TRUE(answers.empty()) << "no error was shown";
    const QString message = lastSheet();
    EXPECT_TRUE(
        message.startsWith("An error was encountered by Porthold in phase 1: The folder's access file "
                           "(.htaccess) could not be saved"))
        << qPrintable(message);
    EXPECT_TRUE(message.contains(web + "/private/.htaccess")) << qPrintable(message);
    EXPECT_TRUE(message.contains("Permission denied")) << qPrintable(message);
    EXPECT_FALSE(QFileInfo::exists(web + "/private/.htaccess"));
    EXPECT_EQ(privateFolder->authStatus(), 0) << "the panel shows what is on disk";
    EXPECT_FALSE(pref->messageLine() && pref->messageLine()->isVisible() &&
                 pref->messageLine()->text().startsWith("Saved"))
        << "a failed write was said to be saved";

    // The user file: the new user is not kept, and the sheet says which file and why.
    const QString before = readFile(usersFile());
    button("userAddButton")->click();
    settle();
    ASSERT_NE(sheet(), nullptr);
    answers.push_back(PHAlertSheet::Default);
    {
        WithoutWriteAccess denied(webFolders());
        fillSheet("bob", "secret-1", "secret-1");
    }
    const QString userMessage = lastSheet();
    EXPECT_TRUE(userMessage.contains("The user file (.htusers in the web folder) could not be saved"))
        << qPrintable(userMessage);
    EXPECT_TRUE(userMessage.contains(usersFile() + ": ")) << qPrintable(userMessage);
    EXPECT_TRUE(userMessage.contains("Permission denied")) << qPrintable(userMessage);
    EXPECT_EQ(readFile(usersFile()), before);
    EXPECT_FALSE(pref->userNames().contains("bob"));
}

TEST_F(PaneWriteFailure, ControlsThatCannotWorkAreDisabledWithTheReason) {
    writeUsers({"alice"});
    start();
    auto *status = child<QLabel>("webRootStatus");
    ASSERT_NE(status, nullptr);
    ASSERT_TRUE(button("userAddButton")->isEnabled());
    ASSERT_TRUE(protectCell(folder("private"))
                    .data(Qt::AccessibleTextRole)
                    .toString()
                    .startsWith("Protection: None"));

    {
        WithoutWriteAccess denied(webFolders());
        pref->folders()->refresh();
        settle();
    }
    const QString reason = QStringLiteral("You cannot write to %1").arg(web);
    EXPECT_TRUE(status->text().contains(reason)) << qPrintable(status->text());
    for (const char *name : {"userAddButton", "groupAddButton"}) {
        EXPECT_FALSE(button(name)->isEnabled()) << name;
        EXPECT_TRUE(button(name)->toolTip().contains(reason)) << name;
    }
    PHFSItem *privateFolder = folder("private");
    ASSERT_NE(privateFolder, nullptr);
    const QModelIndex cell = protectCell(privateFolder);
    EXPECT_EQ(cell.data(Qt::AccessibleTextRole).toString(), "Protection: None (unavailable)");
    EXPECT_TRUE(cell.data(Qt::ToolTipRole).toString().contains(reason));
    // The pop-up does not open, from the keyboard either.
    clickFolder(privateFolder);
    outline()->setFocus();
    QTest::keyClick(outline(), Qt::Key_Space);
    settle();
    auto *menu = pref->mainView()->findChild<QMenu *>("directoryMenu");
    ASSERT_NE(menu, nullptr);
    EXPECT_FALSE(menu->isVisible());

    // Writable again: Refresh gives the controls back.
    pref->folders()->refresh();
    settle();
    EXPECT_TRUE(button("userAddButton")->isEnabled());
    EXPECT_TRUE(button("groupAddButton")->isEnabled());
    EXPECT_EQ(protectCell(folder("private")).data(Qt::AccessibleTextRole).toString(), "Protection: None");

    // A web folder that is gone says so, and nothing can be added.
    const QString moved = web + "-moved";
    ASSERT_TRUE(QDir().rename(web, moved));
    pref->folders()->refresh();
    settle();
    EXPECT_TRUE(status->text().contains(QStringLiteral("%1 does not exist").arg(web)))
        << qPrintable(status->text());
    EXPECT_FALSE(button("userAddButton")->isEnabled());
    EXPECT_TRUE(button("userAddButton")->toolTip().contains("does not exist"));
    ASSERT_TRUE(QDir().rename(moved, web));
}

} // namespace
