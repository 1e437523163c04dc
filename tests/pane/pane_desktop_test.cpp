// The panel as a desktop program: it fits a small screen, its news does not
// move what is below it and goes with the next thing done, its windows close
// from the keyboard, the help page follows the palette, questions that delete
// default to the safe answer, and every control can be named by a screen reader.

#include "UsersUiFixture.h"

#include "model/PHServerRules.h"
#include "platform/PHMessageLine.h"
#include "server/PHLogWindow.h"

#include <QAccessible>
#include <QAccessibleInterface>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextBrowser>
#include <QVBoxLayout>

#include <sys/stat.h>

namespace {

class PaneDesktop : public UsersUiFixture {
protected:
    void TearDown() override {
        UsersUiFixture::TearDown();
        qputenv("PATH", m_path);
        // The server tab found the system's server: the next test has none.
        PHServerRules::forgetSettings();
    }
    /// The panel in a window laid out like the host's, as small as it allows.
    QWidget *startInLayout() {
        start();
        QWidget *view = pref->mainView();
        auto *layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(view);
        settle();
        return view;
    }
    /// The server tab shown too, as it is when the panel manages the server.
    void showServerTab() {
        auto *remote = child<QAbstractButton>("remoteApacheCheck");
        if (remote->isChecked())
            remote->click();
        settle();
    }
    QTabWidget *tabs() const { return child<QTabWidget>("tabs"); }
    /// Chooses "Password" in a folder's protection pop-up.
    void protectWithPassword(PHFSItem *item) {
        outline()->model()->setData(indexOf(outline(), item, 1), 1, Qt::EditRole);
        settle();
        ASSERT_EQ(item->authStatus(), 1);
    }
    /// Nothing on PATH can open a folder: opening one says so on the message line.
    void withoutFileManager() {
        m_path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(m_empty.path()));
    }
    QString message() const {
        return pref->messageLine()->isVisible() ? pref->messageLine()->text() : QString();
    }

private:
    QByteArray m_path = qgetenv("PATH");
    QTemporaryDir m_empty;
};

TEST_F(PaneDesktop, TheWindowFitsASmallScreenWithEveryTab) {
    QDir().mkpath(web + "/a-rather-long-folder-name-for-the-archive-of-2019");
    ASSERT_NE(startInLayout(), nullptr);
    showServerTab();
    ASSERT_GE(tabs()->count(), 4) << "the server tab is there";
    // Controls that are off say why.
    for (const char *name : {"toggleButton", "sentrelButton"}) {
        auto *control = window->findChild<QPushButton *>(name);
        ASSERT_NE(control, nullptr) << name;
        EXPECT_FALSE(control->isEnabled()) << name;
        EXPECT_TRUE(control->toolTip().contains("padlock")) << name << ": " << qPrintable(control->toolTip());
    }
    EXPECT_TRUE(button("userDeleteButton")->toolTip().contains("Select a user"))
        << qPrintable(button("userDeleteButton")->toolTip());
    const QSize smallest = window->minimumSizeHint().expandedTo(window->minimumSize());
    EXPECT_LE(smallest.width(), 640) << smallest.width() << "x" << smallest.height();
    EXPECT_LE(smallest.height(), 480) << smallest.width() << "x" << smallest.height();
    std::printf("smallest window: %d x %d\n", smallest.width(), smallest.height());

    // Each tab at that size shows its controls whole: what does not fit scrolls.
    window->resize(smallest);
    settle();
    for (int tab = 0; tab < tabs()->count(); ++tab) {
        tabs()->setCurrentIndex(tab);
        settle();
        for (auto *button : tabs()->currentWidget()->findChildren<QPushButton *>()) {
            if (!button->isVisibleTo(window.get()))
                continue;
            bool scrolls = false;
            for (QWidget *above = button->parentWidget(); above; above = above->parentWidget())
                scrolls = scrolls || qobject_cast<QScrollArea *>(above);
            const QString where = tabs()->tabText(tab) + ": " + button->text();
            EXPECT_GE(button->width(),
                      button->fontMetrics().horizontalAdvance(button->text().remove('&')) + 8)
                << qPrintable(where) << " is cut";
            if (!scrolls) {
                EXPECT_EQ(button->visibleRegion().boundingRect(), button->rect())
                    << qPrintable(where) << " is cut";
            }
        }
    }
    // Maximised, the status line ends where its text does, and the Help button
    // stays at the right edge.
    window->resize(1800, 1000);
    settle();
    auto *help = child<QPushButton>("helpButton");
    EXPECT_GE(help->geometry().right(), pref->mainView()->width() - 40);
    EXPECT_LE(help->width(), 2 * help->sizeHint().width());
}

TEST_F(PaneDesktop, NewsReplacesNewsAndGoesWithTheNextActionWithoutMovingTheLayout) {
    writeUsers({"alice"});
    ASSERT_NE(startInLayout(), nullptr);
    const QSize smallest = window->minimumSizeHint();
    const QRect tabsBefore = tabs()->geometry();
    PHMessageLine *line = pref->messageLine();
    ASSERT_NE(line, nullptr);
    protectWithPassword(folder("private"));
    line->dismiss();

    // A long message at the smallest width: nothing below moves, the window does not grow.
    window->resize(smallest);
    settle();
    const QRect tabsSmall = tabs()->geometry();
    pref->showMessage(PHThemeColors::Meaning::Negative,
                      QStringLiteral("Apache did not restart: AH00526: Syntax error on line 3 of "
                                     "/etc/apache2/sites-enabled/000-default.conf: Invalid command "
                                     "'Lissen', perhaps misspelled or defined by a module not included"));
    settle();
    EXPECT_TRUE(line->isVisible());
    EXPECT_EQ(tabs()->geometry(), tabsSmall) << "the news pushed the content down";
    EXPECT_EQ(window->minimumSizeHint(), smallest) << "the news grew the window";
    EXPECT_GE(line->height(), line->minimumSizeHint().height()) << "the long text is cut";
    window->resize(900, 600);
    settle();
    EXPECT_EQ(tabs()->geometry(), tabsBefore);

    // The next message replaces the first: one line of news at a time.
    pref->showMessage(PHThemeColors::Meaning::Positive, QStringLiteral("Syntax OK"));
    settle();
    EXPECT_EQ(pref->mainView()->findChildren<PHMessageLine *>().size(), 1);
    EXPECT_EQ(line->text(), "Syntax OK");

    // A click that says nothing of its own clears it; one that does says its own.
    clickUserRow(1);
    EXPECT_FALSE(line->isVisible()) << "old news stays after the next action";
    clickFolder(folder("private"));
    clickCheck(userTable(), userCell(1, "active"));
    EXPECT_EQ(message(), "Saved .htaccess in private");
    // Moving about with the keyboard leaves it; changing tabs clears it.
    QTest::keyClick(userTable(), Qt::Key_Down);
    EXPECT_TRUE(line->isVisible());
    tabs()->setCurrentIndex(1);
    settle();
    EXPECT_FALSE(line->isVisible()) << "a Folders message stays on the Options tab";
    EXPECT_EQ(tabs()->geometry(), tabsBefore);
}

TEST_F(PaneDesktop, WindowsCloseFromTheKeyboardAndSpaceKeepsTheCurrentUser) {
    writeUsers({"alice", "bob", "carol"});
    ASSERT_NE(startInLayout(), nullptr);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    protectWithPassword(folder("private"));
    clickFolder(folder("private"));

    // Ticking users one after another from the keyboard.
    PHTableView *table = userTable();
    table->setFocus(Qt::TabFocusReason);
    table->setCurrentIndex(userCell(1, "active"));
    QTest::keyClick(table, Qt::Key_Space);
    settle();
    EXPECT_EQ(table->currentIndex().row(), 1) << "the current row jumped after Space";
    QTest::keyClick(table, Qt::Key_Down);
    QTest::keyClick(table, Qt::Key_Space);
    settle();
    EXPECT_EQ(table->currentIndex().row(), 2);
    const QString file = readFile(web + "/private/.htaccess");
    EXPECT_TRUE(file.contains("alice") && file.contains("bob")) << qPrintable(file);
    EXPECT_FALSE(file.contains("carol")) << qPrintable(file);

    // The log window: a Close button, Escape and Ctrl+W.
    writeFile(web + "/error.log", "[core:error] something\n");
    for (const auto &close : std::initializer_list<std::function<void(PHLogWindow *)>>{
             [](PHLogWindow *log) {
                 auto *buttons = log->findChild<QDialogButtonBox *>("logButtons");
                 ASSERT_NE(buttons, nullptr);
                 ASSERT_NE(buttons->button(QDialogButtonBox::Close), nullptr);
                 buttons->button(QDialogButtonBox::Close)->click();
             },
             [](PHLogWindow *log) { QTest::keyClick(log, Qt::Key_Escape); },
             [](PHLogWindow *log) { QTest::keyClick(log, Qt::Key_W, Qt::ControlModifier); }}) {
        QPointer<PHLogWindow> log = new PHLogWindow(web + "/error.log");
        log->show();
        log->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(log));
        close(log);
        settle();
        EXPECT_TRUE(!log || !log->isVisible()) << "the log window stayed open";
        delete log.data();
    }

    // The main window: Ctrl+W closes it.
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(table, Qt::Key_W, Qt::ControlModifier);
    settle();
    EXPECT_FALSE(window->isVisible());
}

TEST_F(PaneDesktop, TheHelpPageIsReadableInADarkPalette) {
    start();
    QPalette dark;
    dark.setColor(QPalette::Base, QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::AlternateBase, QColor(0x30, 0x30, 0x30));
    dark.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Window, QColor(0x28, 0x28, 0x28));
    dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    // The help page, where the installed bundle has it.
    const QString resources = pref->bundle().bundlePath() + "/Resources/help";
    QDir().mkpath(resources);
    ASSERT_TRUE(QFile::copy(PORTHOLD_SOURCE_DIR "/resources/help/help.html", resources + "/help.html"));
    pref->about()->help();
    settle();
    auto *page = pref->about()->helpWindow()->findChild<QTextBrowser *>("helpWebView");
    ASSERT_NE(page, nullptr);
    page->setPalette(dark);
    settle();
    // Every piece of inline code, against what it is drawn on.
    int pieces = 0;
    for (QTextBlock block = page->document()->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (!format.fontFamilies().toStringList().contains("monospace"))
                continue;
            ++pieces;
            const QColor back = format.background().style() == Qt::NoBrush ? dark.color(QPalette::Base)
                                                                           : format.background().color();
            const QColor text = format.foreground().style() == Qt::NoBrush ? dark.color(QPalette::Text)
                                                                           : format.foreground().color();
            EXPECT_GT(qAbs(text.lightness() - back.lightness()), 120)
                << qPrintable(it.fragment().text()) << ": " << qPrintable(text.name()) << " on "
                << qPrintable(back.name());
        }
    }
    EXPECT_GT(pieces, 10) << "the page has inline code";
    EXPECT_FALSE(page->toPlainText().contains("red button")) << "the delete button is grey";
    pref->about()->helpWindow()->close();
}

TEST_F(PaneDesktop, SmallThingsSayWhatTheyDo) {
    writeUsers({"alice"});
    withoutFileManager();
    start();
    PHFSItem *privateFolder = folder("private");
    ASSERT_NE(privateFolder, nullptr);

    // Open Folder opens the folder selected, and the web folder with none.
    button("revealWebDirButton")->click();
    settle();
    EXPECT_TRUE(message().startsWith(QStringLiteral("Could not open %1: ").arg(web)))
        << qPrintable(message());
    clickFolder(privateFolder);
    button("revealWebDirButton")->click();
    settle();
    EXPECT_TRUE(message().startsWith(QStringLiteral("Could not open %1/private: ").arg(web)))
        << qPrintable(message());

    // Choosing the mode a folder has already leaves its file alone.
    QAbstractItemModel *adapter = outline()->model();
    const QModelIndex protection = indexOf(outline(), privateFolder, 1);
    ASSERT_TRUE(adapter->setData(protection, 1, Qt::EditRole));
    settle();
    ASSERT_EQ(privateFolder->authStatus(), 1);
    const QString path = web + "/private/.htaccess";
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
    pref->messageLine()->dismiss();
    adapter->setData(protection, 1, Qt::EditRole);
    settle();
    struct stat after {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the file was written again";
    EXPECT_FALSE(pref->messageLine()->isVisible()) << qPrintable(pref->messageLine()->text());

    // Deleting a user asks with No as the answer Return gives.
    clickUserRow(1);
    answers = {PHAlertSheet::Other};
    button("userDeleteButton")->click();
    settle();
    ASSERT_EQ(PHAlertSheet::recorded().size(), 1);
    const PHAlertSheet::Request asked = PHAlertSheet::recorded().first();
    EXPECT_TRUE(asked.otherIsSafe);
    std::unique_ptr<QMessageBox> box(PHAlertSheet::makeBox(nullptr, asked));
    ASSERT_NE(box->defaultButton(), nullptr);
    EXPECT_EQ(box->defaultButton()->text(), "No");
    EXPECT_TRUE(userLines().first().startsWith("alice:")) << "No deleted the user";

    // The reserved name says why it is refused.
    button("userAddButton")->click();
    settle();
    EXPECT_EQ(fillSheet("PORTHOLDED", "x", "x"), "Invalid username. Please choose another");
    auto *reason = sheet()->findChild<QLabel *>("errorReasonField");
    ASSERT_NE(reason, nullptr);
    EXPECT_TRUE(reason->isVisible());
    EXPECT_TRUE(reason->text().contains("reserved")) << qPrintable(reason->text());
    EXPECT_FALSE(fillSheet("bo b", "x", "x").isEmpty());
    EXPECT_FALSE(reason->isVisible()) << "the reason stays beside another refusal";
    sheet()->findChild<QAbstractButton *>("userCancelButton")->click();
    settle();
}

QStringList g_warnings;
void keepWarnings(QtMsgType type, const QMessageLogContext &, const QString &text) {
    if (type == QtWarningMsg)
        g_warnings << text;
}

TEST_F(PaneDesktop, NamingAGroupInPlaceWarnsOfNothing) {
    writeUsers({"alice"});
    writeGroups("staff: alice \n");
    preset("Sort Groups", true);
    start();
    button("groupAddButton")->click();
    settle();
    auto *editor = qobject_cast<QLineEdit *>(QApplication::focusWidget());
    ASSERT_NE(editor, nullptr) << "the new group's name is open for typing";
    g_warnings.clear();
    const QtMessageHandler before = qInstallMessageHandler(keepWarnings);
    // The name sorts first: the outline is laid out again under the editor.
    editor->setText("admins");
    QTest::keyClick(editor, Qt::Key_Return);
    settle();
    qInstallMessageHandler(before);
    ASSERT_NE(group("admins"), nullptr);
    EXPECT_EQ(pref->groups()->list(), QStringList({"admins", "staff"}));
    EXPECT_TRUE(g_warnings.isEmpty()) << qPrintable(g_warnings.join("\n"));
    EXPECT_EQ(QApplication::focusWidget(), groupOutline()) << "the keyboard is back in the outline";
}

/// Every interface below `root` that the user operates, with what it is called.
void collectControls(QAccessibleInterface *root, QList<QAccessibleInterface *> &controls, int depth = 0) {
    if (!root || depth > 40)
        return;
    static const QSet<QAccessible::Role> operated = {
        QAccessible::PushButton, QAccessible::CheckBox,     QAccessible::RadioButton,
        QAccessible::ComboBox,   QAccessible::EditableText, QAccessible::Table,
        QAccessible::Tree,       QAccessible::List,         QAccessible::ProgressBar,
        QAccessible::PageTab,    QAccessible::ButtonMenu,   QAccessible::ButtonDropDown,
        QAccessible::SpinBox,    QAccessible::Slider};
    if (root->state().invisible)
        return;
    if (operated.contains(root->role()))
        controls.append(root);
    // A table's cells are named by their contents: its rows are not walked.
    if (root->role() == QAccessible::Table || root->role() == QAccessible::Tree)
        return;
    for (int i = 0; i < root->childCount(); ++i)
        collectControls(root->child(i), controls, depth + 1);
}

TEST_F(PaneDesktop, EveryControlOfEveryTabHasAName) {
    writeUsers({"alice"});
    ASSERT_NE(startInLayout(), nullptr);
    showServerTab();
    QAccessible::setActive(true);
    QStringList unnamed;
    int seen = 0;
    const auto walk = [&](QWidget *top, const QString &where) {
        QList<QAccessibleInterface *> controls;
        collectControls(QAccessible::queryAccessibleInterface(top), controls);
        for (QAccessibleInterface *control : controls) {
            ++seen;
            const QString name = control->text(QAccessible::Name).trimmed();
            QObject *object = control->object();
            const QString what =
                QStringLiteral("%1: %2 %3")
                    .arg(where, object ? QString::fromLatin1(object->metaObject()->className()) : QString(),
                         object ? object->objectName() : QString());
            if (name.isEmpty())
                unnamed << what;
        }
    };
    for (int tab = 0; tab < tabs()->count(); ++tab) {
        tabs()->setCurrentIndex(tab);
        settle();
        auto *inner = tabs()->currentWidget()->findChild<QTabWidget *>();
        for (int page = 0; page < (inner ? inner->count() : 1); ++page) {
            if (inner) {
                inner->setCurrentIndex(page);
                settle();
            }
            walk(window.get(), tabs()->tabText(tab) + (inner ? "/" + inner->tabText(page) : QString()));
        }
    }
    // The user sheet too.
    button("userAddButton")->click();
    settle();
    walk(sheet(), "user sheet");
    sheet()->findChild<QAbstractButton *>("userCancelButton")->click();
    settle();
    EXPECT_GT(seen, 40) << "the walk found the controls";
    EXPECT_TRUE(unnamed.isEmpty()) << "without a name: " << qPrintable(unnamed.join(", "));
}

} // namespace
