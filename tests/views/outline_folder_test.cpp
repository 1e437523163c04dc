// The folder outline and the views' own behaviour on real widgets: rows,
// modes, the delete column, expansion kept across rebuilds, the delete key,
// Return ending an edit, and the icon-and-text cell's geometry.

#include "common/ModelTester.h"
#include "common/TestApplication.h"
#include "common/TestModelContext.h"
#include "common/ViewItems.h"
#include "model/PHFSItem.h"
#include "platform/PHFolderWatcher.h"
#include "views/PHAddressModel.h"
#include "views/PHFolderModel.h"
#include "views/PHIconTextDelegate.h"
#include "views/PHOutlineView.h"
#include "views/PHTableView.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <QPointer>

#include <algorithm>

namespace {

QApplication &application() {
    return testApplication("outline_test");
}

void settle() {
    for (int i = 0; i < 4; ++i) {
        QCoreApplication::processEvents();
        QTest::qWait(5);
    }
}

void write(const QString &path, const QByteArray &text) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
}

/// The context of these tests also records the delete key's rows and the
/// mode changes of an outline.
class RecordingContext : public TestModelContext {
public:
    QList<std::pair<QObject *, qint32>> deletes;
    void follow(PHOutlineView *view, PHFolderModel *source) {
        QObject::connect(view, &PHOutlineView::deleteKeyPressed, view, [this, view](qint32 row) {
            deletes.append({view, row});
        });
        QObject::connect(source, &PHFolderModel::modeChanged, source, [this] { ++outlineClicks; });
    }
};

class OutlineFixture : public ::testing::Test {
protected:
    void SetUp() override {
        application();
        web = dir.filePath("web");
        QDir().mkpath(web + "/a/b");
        QDir().mkpath(web + "/leafy");
        write(web + "/leafy/index.html", "<p>hi</p>");
        context.webRoot = web;
        source = std::make_unique<PHFolderModel>(web);
        source->setContext(context.model());
        menuOwner = std::make_unique<QMenu>();
        viewOwner = std::make_unique<PHOutlineView>();
        menuPtr = menuOwner.get();
        viewPtr = viewOwner.get();
        menuPtr->setObjectName("directoryMenu");
        for (int mode = 0; mode <= 4; ++mode)
            menuPtr->addAction(PHFSItem::modeName(mode));
        viewPtr->setModel(source.get());
        context.follow(viewPtr, source.get());
        viewPtr->setColumns({{"dir", "Folder", PHItemModel::ColumnKind::Text},
                             {"protect", "Protection", PHItemModel::ColumnKind::PopUp},
                             {"delete", "", PHItemModel::ColumnKind::Button}});
        viewPtr->setPopUpMenu("protect", menuPtr);
        if (checkModel)
            models.watch(viewPtr->model());
        viewPtr->resize(500, 300);
        viewPtr->show();
        settle();
    }
    void TearDown() override {
        EXPECT_EQ(ModelTester::failures(), QStringList())
            << ModelTester::failures().join(QLatin1Char('\n')).toStdString();
        ModelTester::clear();
    }
    /// Picks a mode from a folder's pop-up like a user does.
    void chooseMode(PHFSItem *item, int mode) {
        const QModelIndex index = indexOf(viewPtr, item, viewPtr->columnForIdentifier("protect"));
        QTest::mouseClick(viewPtr->viewport(), Qt::LeftButton, {}, viewPtr->visualRect(index).center());
        settle();
        ASSERT_TRUE(menuPtr->isVisible());
        menuPtr->actions().at(mode)->trigger();
        menuPtr->hide();
        settle();
    }
    /// Shows the web root, read afresh, with its top level open.
    void showRoot() {
        source->setRootPath(web);
        viewPtr->reloadData();
        expandItem(viewPtr, source->rootItem());
        settle();
    }
    PHFSItem *childNamed(PHFSItem *parent, const QString &name) {
        for (PHFSItem *child : parent->children())
            if (child->name() == name)
                return child;
        return nullptr;
    }

    bool checkModel = true; // Qt's model checker over the outline
    ModelTester models;     // first in, last out: it outlives the view
    QTemporaryDir dir;
    QString web;
    RecordingContext context;
    std::unique_ptr<PHFolderModel> source;
    std::unique_ptr<QMenu> menuOwner;
    std::unique_ptr<PHOutlineView> viewOwner;
    QMenu *menuPtr = nullptr;
    PHOutlineView *viewPtr = nullptr;
};

/// Qt's model checker reads every row, so where a test counts on rows left
/// unread it does not run.
class LazyOutlineFixture : public OutlineFixture {
protected:
    LazyOutlineFixture() { checkModel = false; }
};

TEST_F(LazyOutlineFixture, OneTopRowLazyChildrenAndLeaves) {
    QAbstractItemModel *model = viewPtr->model();
    EXPECT_EQ(model->rowCount(), 1) << "the top level is the web folder itself";
    const QModelIndex top = model->index(0, 0);
    EXPECT_EQ(top.data().toString(), "web");
    EXPECT_TRUE(model->hasChildren(top));
    EXPECT_EQ(model->rowCount(top), 2);
    PHFSItem *leafy = childNamed(source->rootItem(), "leafy");
    PHFSItem *a = childNamed(source->rootItem(), "a");
    ASSERT_TRUE(leafy && a);
    // The rows of an open folder are not listed to draw their arrows: each
    // is taken to open until it is expanded.
    EXPECT_FALSE(leafy->isListed());
    EXPECT_FALSE(a->isListed());
    EXPECT_TRUE(model->hasChildren(indexOf(viewPtr, leafy)));
    EXPECT_FALSE(leafy->isListed()) << "asking for the arrow lists nothing";

    // Expanded from the keyboard, a folder of files turns out a leaf and
    // its row is shown again, so the view drops the arrow.
    expandItem(viewPtr, source->rootItem());
    settle();
    const QModelIndex leafyRow = indexOf(viewPtr, leafy);
    viewPtr->setCurrentIndex(leafyRow);
    QSignalSpy shown(model, &QAbstractItemModel::dataChanged);
    QTest::keyClick(viewPtr, Qt::Key_Right);
    settle();
    EXPECT_TRUE(leafy->isListed());
    EXPECT_FALSE(model->hasChildren(leafyRow)) << "a folder of files is a leaf";
    EXPECT_EQ(model->rowCount(leafyRow), 0);
    const bool rowShownAgain = std::any_of(shown.cbegin(), shown.cend(), [&](const QList<QVariant> &args) {
        const QModelIndex first = args.at(0).value<QModelIndex>();
        return first == leafyRow && first.column() == 0 &&
               args.at(1).value<QModelIndex>().row() == leafyRow.row();
    });
    EXPECT_TRUE(rowShownAgain);
    EXPECT_FALSE(a->isListed()) << "its sibling stays unlisted";
    // A folder with subfolders opens from the keyboard as before.
    viewPtr->setCurrentIndex(indexOf(viewPtr, a));
    QTest::keyClick(viewPtr, Qt::Key_Right);
    settle();
    EXPECT_TRUE(isItemExpanded(viewPtr, a));
    EXPECT_TRUE(model->hasChildren(indexOf(viewPtr, a)));
    EXPECT_EQ(model->rowCount(indexOf(viewPtr, a)), 1);

    // A web folder without subfolders: one row, not expandable.
    PHFolderModel bare(dir.filePath("web/leafy"));
    PHOutlineView other;
    other.setModel(&bare);
    other.setColumns({{"dir", "Folder", PHItemModel::ColumnKind::Text}});
    EXPECT_EQ(bare.rowCount(), 1);
    EXPECT_FALSE(bare.hasChildren(bare.index(0, 0)));
}

TEST_F(OutlineFixture, InheritedProtectionIsMarkedAndHandManagedFoldersRefuseModes) {
    // "a" asks for a password; its subfolder "b" has no file of its own.
    write(web + "/a/.htaccess", "AuthType Basic\nAuthName \"a\"\nRequire valid-user\n");
    const QByteArray handWritten =
        "<RequireAll>\n  Require valid-user\n  Require ip 10.0.0.1\n</RequireAll>\n";
    write(web + "/leafy/.htaccess", handWritten);
    showRoot();
    PHFSItem *a = childNamed(source->rootItem(), "a");
    ASSERT_NE(a, nullptr);
    expandItem(viewPtr, a);
    settle();
    PHFSItem *b = childNamed(a, "b");
    PHFSItem *leafy = childNamed(source->rootItem(), "leafy");
    ASSERT_TRUE(b && leafy);
    const int protect = viewPtr->columnForIdentifier("protect");

    const QModelIndex bCell = indexOf(viewPtr, b, protect);
    EXPECT_EQ(bCell.data(PHItemModel::MarkRole).toString(), PHFolderModel::inheritedMark);
    EXPECT_EQ(bCell.data(Qt::ToolTipRole).toString(), "Password required: inherited from a");
    const QModelIndex aCell = indexOf(viewPtr, a, protect);
    EXPECT_TRUE(aCell.data(PHItemModel::MarkRole).toString().isEmpty()) << "its own protection is not marked";
    EXPECT_FALSE(aCell.data(Qt::ToolTipRole).isValid());
    // A hand-managed folder: the pop-up's choice is refused with error 22
    // and the file stays byte for byte.
    EXPECT_TRUE(leafy->isHandManaged());
    EXPECT_EQ(indexOf(viewPtr, leafy, protect).data(Qt::ToolTipRole).toString(),
              PHFSItem::handManagedMessage);
    chooseMode(leafy, 3);
    EXPECT_EQ(context.errors, QList<qint32>{PHFSItem::ErrorAccessFileHandManaged});
    QFile file(web + "/leafy/.htaccess");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), handWritten);
    EXPECT_TRUE(leafy->isHandManaged()) << "the state is read back from the file";
}

TEST_F(OutlineFixture, ModesDeleteButtonsAndEditAnswers) {
    write(web + "/a/.htaccess",
          "AuthType Basic\nRequire valid-user\nDeny from all\nAllow from 127.0.0.1\nSatisfy all\n");
    write(web + "/leafy/.htaccess", "#AuthType Basic\n#Require valid-user\n");
    context.knownAddresses = {"127.0.0.1"};
    showRoot();
    QAbstractItemModel *model = viewPtr->model();
    PHFSItem *a = childNamed(source->rootItem(), "a");
    PHFSItem *leafy = childNamed(source->rootItem(), "leafy");
    ASSERT_TRUE(a && leafy);
    const int protect = viewPtr->columnForIdentifier("protect");
    const int del = viewPtr->columnForIdentifier("delete");
    EXPECT_EQ(indexOf(viewPtr, a, protect).data(Qt::EditRole).toInt(), 4)
        << "Password and Address: fifth item";
    EXPECT_EQ(indexOf(viewPtr, a, protect).data(Qt::EditRole).toInt(), 4);
    // Every directive commented out: mode None, but the file exists so it can be deleted.
    EXPECT_EQ(indexOf(viewPtr, leafy, protect).data(Qt::EditRole).toInt(), 0);
    EXPECT_TRUE(PHItemModel::isEnabled(indexOf(viewPtr, leafy, del)));
    EXPECT_FALSE(PHItemModel::isEnabled(indexOf(viewPtr, source->rootItem(), del)));
    EXPECT_FALSE(model->flags(indexOf(viewPtr, a, 0)) & Qt::ItemIsEditable) << "names are not typed into";

    // The pop-up changes a protected folder's mode and rewrites its file.
    const QRect cell = viewPtr->visualRect(indexOf(viewPtr, a, protect));
    chooseMode(a, 1);
    EXPECT_EQ(a->modeIndex(), 1);
    QFile file(web + "/a/.htaccess");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    EXPECT_TRUE(text.contains("\nAuthType Basic\n"));
    EXPECT_TRUE(text.contains("\nSatisfy all\n")) << "no parent can weaken it";
    EXPECT_EQ(context.outlineClicks, 1) << "the panel refreshes after a mode change";

    // With unsaved manual edits the choice is handed to the panel's prompt instead.
    context.manuallyEdited = true;
    QTest::mouseClick(viewPtr->viewport(), Qt::LeftButton, {}, cell.center());
    settle();
    menuPtr->actions().at(2)->trigger();
    menuPtr->hide();
    settle();
    EXPECT_EQ(a->modeIndex(), 1);
    ASSERT_EQ(context.deferred.size(), 1);
    context.manuallyEdited = false;
    context.deferred.first().perform();
    EXPECT_EQ(a->modeIndex(), 2) << "the same choice, applied once confirmed";

    // Off and on again: the mode the folder had before None is taken again,
    // and the pop-up shows what the file says.
    chooseMode(a, 0);
    EXPECT_EQ(a->modeIndex(), 0);
    EXPECT_EQ(indexOf(viewPtr, a, protect).data(Qt::EditRole).toInt(), 0);
    chooseMode(a, 2);
    EXPECT_EQ(a->modeIndex(), 2);
    EXPECT_EQ(indexOf(viewPtr, a, protect).data(Qt::EditRole).toInt(), 2);
    QFile again(web + "/a/.htaccess");
    ASSERT_TRUE(again.open(QIODevice::ReadOnly));
    EXPECT_TRUE(again.readAll().contains("\nAllow from 127.0.0.1\n")) << "the directives are on again";
}

TEST_F(OutlineFixture, OnlyADoubleClickOnTheNameIsTheDoubleAction) {
    expandItem(viewPtr, source->rootItem());
    settle();
    int doubles = 0;
    QObject::connect(viewPtr, &PHOutlineView::doubleAction, [&doubles] { ++doubles; });
    PHFSItem *a = childNamed(source->rootItem(), "a");
    ASSERT_NE(a, nullptr);
    for (const char *column : {"protect", "delete"}) {
        const QRect cell = viewPtr->visualRect(indexOf(viewPtr, a, viewPtr->columnForIdentifier(column)));
        ASSERT_TRUE(cell.isValid()) << column;
        QTest::mouseDClick(viewPtr->viewport(), Qt::LeftButton, {}, cell.center());
        menuPtr->hide();
        settle();
        EXPECT_EQ(doubles, 0) << column;
    }
    const QRect name = viewPtr->visualRect(indexOf(viewPtr, a, 0));
    QTest::mouseDClick(viewPtr->viewport(), Qt::LeftButton, {}, name.center());
    settle();
    EXPECT_EQ(doubles, 1);
}

TEST_F(OutlineFixture, SelectionHeldBackAndExpansionKeptAcrossRebuilds) {
    expandItem(viewPtr, source->rootItem());
    settle();
    PHFSItem *a = childNamed(source->rootItem(), "a");
    PHFSItem *leafy = childNamed(source->rootItem(), "leafy");
    ASSERT_TRUE(selectItem(viewPtr, a));
    context.manuallyEdited = true;
    EXPECT_FALSE(selectItem(viewPtr, leafy));
    EXPECT_EQ(selectedFolder(viewPtr), a);
    ASSERT_EQ(context.deferred.size(), 1);
    context.manuallyEdited = false;
    context.deferred.first().perform();
    EXPECT_EQ(selectedFolder(viewPtr), leafy);

    // Expanded folders reopen after the tree is rebuilt; collapsed ones stay shut.
    expandItem(viewPtr, a);
    settle();
    // Whether the old node went, not its address: a new node may be given
    // the address of the one deleted.
    const PHFSItemPointer old = a;
    source->setRootPath(web);
    viewPtr->reloadData();
    settle();
    expandItem(viewPtr, source->rootItem());
    for (int i = 0; i < 5; ++i) {
        viewPtr->viewport()->repaint();
        settle();
    }
    PHFSItem *again = childNamed(source->rootItem(), "a");
    ASSERT_TRUE(old.isNull()) << "the tree was rebuilt";
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(isItemExpanded(viewPtr, again));
    viewPtr->collapse(indexOf(viewPtr, again));
    settle();
    source->setRootPath(web);
    viewPtr->reloadData();
    expandItem(viewPtr, source->rootItem());
    for (int i = 0; i < 3; ++i) {
        viewPtr->viewport()->repaint();
        settle();
    }
    EXPECT_FALSE(isItemExpanded(viewPtr, childNamed(source->rootItem(), "a")));
}

TEST_F(OutlineFixture, DeleteKeyReachesThePanelWithTheSelectedRow) {
    viewPtr->setFocus();
    QTest::keyClick(viewPtr, Qt::Key_Backspace);
    ASSERT_EQ(context.deletes.size(), 1);
    EXPECT_EQ(context.deletes.last().first, viewPtr);
    EXPECT_EQ(context.deletes.last().second, -1) << "no selection: row -1";
    expandItem(viewPtr, source->rootItem());
    settle();
    selectItem(viewPtr, childNamed(source->rootItem(), "leafy"));
    QTest::keyClick(viewPtr, Qt::Key_Delete);
    ASSERT_EQ(context.deletes.size(), 2);
    EXPECT_EQ(context.deletes.last().second, 2);
}

TEST_F(LazyOutlineFixture, FoldersShownFollowChangesOnDiskAndHiddenOnesAreReadWhenShownAgain) {
    showRoot();
    PHFSItem *a = childNamed(source->rootItem(), "a");
    ASSERT_NE(a, nullptr);
    expandItem(viewPtr, a);
    settle();
    PHFSItem *b = childNamed(a, "b");
    ASSERT_NE(b, nullptr);
    PHFolderWatcher *watcher = source->watcher();
    ASSERT_TRUE(watcher->isWatched(web + "/a/b"));
    const int deleteColumn = viewPtr->columnForIdentifier("delete");
    const auto deletable = [&](PHFSItem *folder) {
        return indexOf(viewPtr, folder, deleteColumn).data(PHItemModel::EnabledRole).toBool();
    };
    EXPECT_FALSE(deletable(b));

    // Rewritten in place by another program (no new name in the folder).
    QSignalSpy changed(source.get(), &PHFolderModel::accessFileChangedOnDisk);
    const QByteArray text = "AuthType Basic\nAuthName \"b\"\nRequire valid-user\n";
    write(web + "/a/b/.htaccess", text);
    ASSERT_TRUE(QTest::qWaitFor([&] { return b->stringValue() == QString::fromUtf8(text); }, 3000));
    EXPECT_EQ(changed.count(), 1);
    EXPECT_TRUE(deletable(b));
    // An empty one made beside: nothing to read, but the row's delete button shows.
    write(web + "/a/.htaccess", "");
    EXPECT_TRUE(QTest::qWaitFor([&] { return deletable(a); }, 3000));

    // Closed, its rows are no longer followed; what changed meanwhile shows
    // once they are in view again.
    viewPtr->collapse(indexOf(viewPtr, a));
    settle();
    EXPECT_FALSE(watcher->isWatched(web + "/a/b"));
    EXPECT_TRUE(watcher->isWatched(web + "/a"));
    const QByteArray later = "AuthType Basic\nAuthName \"later\"\nRequire valid-user\n";
    write(web + "/a/b/.htaccess", later);
    settle();
    expandItem(viewPtr, a);
    EXPECT_TRUE(QTest::qWaitFor([&] { return b->stringValue() == QString::fromUtf8(later); }, 3000));
    EXPECT_TRUE(watcher->isWatched(web + "/a/b"));

    // A folder removed is no longer watched; made again, it is once its row shows.
    ASSERT_TRUE(QDir(web + "/a/b").removeRecursively());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !watcher->isWatched(web + "/a/b"); }, 3000));
    QDir().mkpath(web + "/a/b");
    b->setFollowed(false); // as a relisted node would be
    viewPtr->viewport()->repaint();
    settle();
    EXPECT_TRUE(watcher->isWatched(web + "/a/b"));
}

TEST_F(LazyOutlineFixture, FoldersBeyondTheWatchesAreReadWhenThePanelIsActiveAgain) {
    // As if the user's inotify watches were used up after the web folder's.
    source->watcher()->setWatchLimit(1);
    showRoot();
    PHFSItem *a = childNamed(source->rootItem(), "a");
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(source->watcher()->isWatched(web));
    EXPECT_FALSE(source->watcher()->isWatched(web + "/a"));
    EXPECT_TRUE(source->watcher()->isUnwatched(web + "/a"));

    const QByteArray text = "AuthType Basic\nAuthName \"a\"\nRequire valid-user\n";
    write(web + "/a/.htaccess", text);
    settle();
    EXPECT_EQ(a->stringValue(), QString()) << "not followed: nothing is noticed yet";
    // The user comes back from another program (the offscreen platform has
    // no other program's windows: the application says so itself).
    emit qApp->applicationStateChanged(Qt::ApplicationInactive);
    settle();
    EXPECT_EQ(a->stringValue(), QString());
    emit qApp->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_TRUE(QTest::qWaitFor([&] { return a->stringValue() == QString::fromUtf8(text); }, 3000));
}

TEST(TableViews, ReturnEndsAnEditWhereItIsAndTabMovesOn) {
    application();
    TestModelContext context;
    context.knownAddresses = {"a.example", "b.example", "c.example"};
    PHAddressModel source(context.model());
    PHTableView table;
    table.setModel(&source);
    table.setColumns({{"active", "", PHItemModel::ColumnKind::Check},
                      {"address", "Address", PHItemModel::ColumnKind::Text}});
    table.resize(300, 200);
    table.show();
    settle();
    EXPECT_FALSE(source.flags(source.index(0, 0)) & Qt::ItemIsUserCheckable)
        << "no folder selected: check boxes are disabled";

    table.editColumnRow("address", 0);
    settle();
    auto *editor = qobject_cast<QLineEdit *>(QApplication::focusWidget());
    ASSERT_NE(editor, nullptr);
    editor->setText("Z.Example");
    QTest::keyClick(editor, Qt::Key_Return);
    settle();
    EXPECT_EQ(context.knownAddresses.at(0), "z.example") << "typed text arrives lower-cased";
    EXPECT_FALSE(table.isEditing()) << "Return does not open the next row";
    EXPECT_EQ(QApplication::focusWidget(), &table);

    table.editColumnRow("address", 1);
    settle();
    editor = qobject_cast<QLineEdit *>(QApplication::focusWidget());
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(editor, Qt::Key_Tab);
    settle();
    EXPECT_TRUE(table.isEditing()) << "Tab moves on to the next editable cell";
}

TEST(ImageAndTextCell, IconSitsThreeFromTheLeftAndCentredVertically) {
    application();
    EXPECT_EQ(PHIconTextDelegate::imageFrameForCellFrame(QRect(10, 40, 200, 20), QSize(16, 16)),
              QRect(13, 42, 16, 16));
    EXPECT_EQ(PHIconTextDelegate::imageFrameForCellFrame(QRect(0, 0, 100, 21), QSize(16, 16)).top(), 3)
        << "odd space rounds up";
    EXPECT_TRUE(PHIconTextDelegate::imageFrameForCellFrame(QRect(0, 0, 100, 20), QSize()).isEmpty());
    EXPECT_EQ(PHIconTextDelegate::textFrameForCellFrame(QRect(0, 0, 100, 20), QSize(16, 16)).left(), 19);

    // Drawn where the geometry says: a red icon in a 20-point row.
    QStandardItemModel model(1, 1);
    QPixmap red(16, 16);
    red.fill(Qt::red);
    model.setData(model.index(0, 0), "name");
    model.setData(model.index(0, 0), QIcon(red), Qt::DecorationRole);
    PHIconTextDelegate cell;
    QImage canvas(120, 20, QImage::Format_ARGB32);
    canvas.fill(Qt::white);
    QPainter painter(&canvas);
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, 120, 20);
    option.state = QStyle::State_Enabled;
    cell.paint(&painter, option, model.index(0, 0));
    painter.end();
    EXPECT_EQ(canvas.pixelColor(3, 2), QColor(Qt::red));
    EXPECT_EQ(canvas.pixelColor(18, 17), QColor(Qt::red));
    EXPECT_NE(canvas.pixelColor(2, 2), QColor(Qt::red));
    EXPECT_NE(canvas.pixelColor(3, 1), QColor(Qt::red));
    EXPECT_NE(canvas.pixelColor(3, 18), QColor(Qt::red));
    // Wider than the text alone by the margin and the icon.
    const QSize withIcon = cell.sizeHint(option, model.index(0, 0));
    model.setData(model.index(0, 0), QVariant(), Qt::DecorationRole);
    const QSize without = cell.sizeHint(option, model.index(0, 0));
    EXPECT_EQ(withIcon.width() - without.width(), 16);
}

} // namespace
