#pragma once

// The panel on real widgets with a user file and a group file of the test's
// own: helpers to reach the users table, the groups outline and the user sheet.

#include "PaneFixture.h"

#include "core/Log.h"
#include "model/PHGroupsModel.h"
#include "model/PHUserItem.h"
#include "model/PHUsersModel.h"
#include "pane/PHGroupFileModule.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>

#include <crypt.h>

#include <memory>

class UsersUiFixture : public PaneFixture {
protected:
    void SetUp() override {
        PaneFixture::SetUp();
        ASSERT_TRUE(m_server.isValid());
        // No Debian module folders: groups count as usable unless a test says otherwise.
        PHGroupFileModule::setServerRoot(m_server.path());
        Log::setCapture(&log);
    }
    void TearDown() override {
        PaneFixture::TearDown();
        Log::setCapture(nullptr);
        // The system log names the program on each line already.
        for (const QString &line : log)
            EXPECT_FALSE(line.startsWith(QLatin1String("Porthold: "))) << qPrintable(line);
        PHGroupFileModule::setServerRoot(QStringLiteral("/etc/apache2"));
    }

    /// A user file with each user's password "pw-<name>".
    void writeUsers(const QStringList &names) {
        QString text;
        for (const QString &name : names)
            text += name + ':' + PHUsersModel::encryptPassword("pw-" + name) + '\n';
        writeFile(usersFile(), text);
    }
    void writeGroups(const QString &text) { writeFile(groupsFile(), text); }
    /// Debian's module folders, with authz_groupfile enabled or not.
    void makeDebianLayout(bool groupModuleEnabled) {
        QDir().mkpath(m_server.filePath("mods-available"));
        QDir().mkpath(m_server.filePath("mods-enabled"));
        if (groupModuleEnabled)
            writeFile(m_server.filePath("mods-enabled/authz_groupfile.load"),
                      "LoadModule authz_groupfile_module x\n");
    }

    QString usersFile() const { return web + "/.htusers"; }
    QString groupsFile() const { return web + "/.htgroups"; }
    QStringList userLines() const { return readFile(usersFile()).split('\n', Qt::SkipEmptyParts); }

    /// Whether the user file holds exactly one line for the user, with a hash of the password.
    bool passwordMatches(const QString &name, const QString &password) const {
        QStringList hashes;
        for (const QString &line : userLines())
            if (line.startsWith(name + ':'))
                hashes << line.mid(name.size() + 1);
        if (hashes.size() != 1)
            return false;
        crypt_data data{};
        const QByteArray hash = hashes.first().toLatin1();
        const char *made = crypt_r(password.toUtf8().constData(), hash.constData(), &data);
        return made && hash == made;
    }

    PHTableView *userTable() const { return child<PHTableView>("userTable"); }
    PHOutlineView *groupOutline() const { return child<PHOutlineView>("groupOutline"); }
    QAbstractButton *button(const char *name) const { return child<QAbstractButton>(name); }

    QModelIndex userCell(int row, const char *column) const {
        PHTableView *table = userTable();
        return table->model()->index(row, table->columnForIdentifier(column));
    }
    void clickUserRow(int row) {
        PHTableView *table = userTable();
        const QModelIndex index = userCell(row, "user");
        ASSERT_TRUE(index.isValid()) << row;
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualRect(index).center());
        settle();
    }
    void clickCheck(QAbstractItemView *view, const QModelIndex &index) {
        ASSERT_TRUE(index.isValid());
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
        settle();
    }
    static void pressDelete(QWidget *view) {
        QTest::keyClick(view, Qt::Key_Delete);
        settle();
    }

    PHUserItem *group(const QString &name) const {
        for (const PHUserItem::Ptr &item : pref->groups()->rootArray())
            if (item->value() == name)
                return item.get();
        return nullptr;
    }
    QStringList members(const QString &name) const {
        QStringList list;
        if (PHUserItem *item = group(name))
            for (const PHUserItem::Ptr &member : item->children())
                list << member->value();
        return list;
    }
    QModelIndex groupCell(PHUserItem *item, const char *column) const {
        PHOutlineView *outline = groupOutline();
        return indexOf(outline, item, outline->columnForIdentifier(column));
    }

    // The user sheet.
    QWidget *sheet() const { return pref->folders()->usersAndGroups()->userSheet(); }
    QLineEdit *sheetField(const char *name) const {
        return sheet() ? sheet()->findChild<QLineEdit *>(QLatin1String(name)) : nullptr;
    }
    QString sheetMessage() const {
        auto *label = sheet() ? sheet()->findChild<QLabel *>("errorField") : nullptr;
        return label ? label->text() : QStringLiteral("<no sheet>");
    }
    /// Fills the sheet and presses its Save button; answers the message shown.
    QString fillSheet(const QString &name, const QString &password, const QString &confirmation) {
        if (QLineEdit *user = sheetField("userField"); user && user->isEnabled())
            user->setText(name);
        sheetField("passField")->setText(password);
        sheetField("confirmField")->setText(confirmation);
        sheet()->findChild<QAbstractButton *>("userSaveButton")->click();
        settle();
        return sheetMessage();
    }

    QStringList log;

private:
    QTemporaryDir m_server;
};
