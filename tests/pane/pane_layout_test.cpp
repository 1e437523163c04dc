// The panel at its smallest and with long explanations: folder names stay
// readable, and the web folder's explanations wrap at the panel's width
// instead of widening or lengthening the window.

#include "PaneFixture.h"

#include <QHeaderView>
#include <QLabel>
#include <QStyleOptionViewItem>
#include <QVBoxLayout>

namespace {

class PaneLayout : public PaneFixture {
protected:
    /// The panel in a window laid out like the host's, so the window is
    /// exactly as small as the panel's layout allows.
    QWidget *startInLayout(bool customRoot = true) {
        start(customRoot);
        QWidget *view = window->findChild<QWidget *>(QStringLiteral("PortholdMainView"));
        if (!view)
            return nullptr;
        auto *layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(view);
        settle();
        return view;
    }
    void resizeWindow(const QSize &size) {
        window->resize(size);
        settle();
    }
    void saveScreenshot(const char *name) const {
        if (const QByteArray folder = qgetenv("PORTHOLD_TEST_SCREENSHOTS"); !folder.isEmpty())
            window->grab().save(QString::fromLocal8Bit(folder) + '/' + name + ".png");
    }

    /// Whether the outline gives a folder's name, beside its icon, the room
    /// its cell asks for (the text whole, not elided).
    bool nameFits(const QModelIndex &index) const {
        PHOutlineView *view = outline();
        QStyleOptionViewItem option;
        option.initFrom(view->viewport());
        option.widget = view;
        option.rect = view->visualRect(index);
        const QSize wanted = view->itemDelegateForColumn(index.column())->sizeHint(option, index);
        return wanted.width() <= option.rect.width();
    }
};

TEST_F(PaneLayout, FolderNamesStayReadableAtTheSmallestSize) {
    // Names as people give them, two levels down.
    QDir().mkpath(web + "/photographs/holiday-2026");
    QDir().mkpath(web + "/downloads");
    QDir().mkpath(web + "/a-rather-long-folder-name-for-the-archive-of-2019");
    QWidget *view = startInLayout();
    ASSERT_NE(view, nullptr);
    PHOutlineView *tree = outline();
    tree->expandAll();
    resizeWindow(window->minimumSizeHint());
    saveScreenshot("minimum-size");
    ASSERT_LE(window->width(), 900);
    EXPECT_FALSE(child<QLabel>("webRootStatus")->isVisible()) << "an empty row for nothing to explain";

    const auto index = [&](const QString &path) {
        PHFSItem *item = root();
        for (const QString &name : path.split('/')) {
            PHFSItem *next = nullptr;
            for (PHFSItem *child : item->children())
                if (QFileInfo(child->name()).fileName() == name)
                    next = child;
            if (!next)
                return QModelIndex();
            item = next;
        }
        return indexOf(tree, item, 0);
    };
    for (const QString path :
         {"photographs", "photographs/holiday-2026", "downloads", "open/inner", "private"}) {
        const QModelIndex cell = index(path);
        ASSERT_TRUE(cell.isValid()) << qPrintable(path);
        EXPECT_TRUE(nameFits(cell)) << qPrintable(path) << ": " << tree->visualRect(cell).width()
                                    << " px for the name";
    }
    // A name too long for any sensible width keeps its start and its end.
    EXPECT_EQ(tree->textElideMode(), Qt::ElideMiddle);
    // The protection pop-up keeps room for its longest choice.
    const QFontMetrics metrics(tree->font());
    EXPECT_GE(tree->header()->sectionSize(1), metrics.horizontalAdvance("Password and Address"));
}

TEST_F(PaneLayout, WebFolderExplanationsWrapAtThePanelsWidth) {
    // A web folder that does not exist: the longest explanations there are.
    preset("Allow Custom Web Dir", true);
    preset("Porthold Protected Folder", 2);
    preset("Web Dir", web + "/missing");
    QWidget *view = startInLayout(false);
    ASSERT_NE(view, nullptr);
    auto *label = child<QLabel>("webRootStatus");
    ASSERT_FALSE(label->text().isEmpty());
    const QSize smallest = window->minimumSizeHint();
    resizeWindow(QSize(900, 600));
    saveScreenshot("explanations");
    // The explanations use the panel's whole width (less its margins) ...
    EXPECT_GE(label->width(), view->width() - 40) << label->width() << " of " << view->width();
    // ... so they take a line or two, not a column of words ...
    const int lineHeight = label->fontMetrics().lineSpacing();
    EXPECT_LE(label->height(), 3 * lineHeight) << label->height() << " px for " << qPrintable(label->text());
    // ... and the window's smallest size is the panel's, not the text's.
    // As the panel has it with nothing to explain.
    label->clear();
    label->hide();
    settle();
    const QSize without = window->minimumSizeHint();
    EXPECT_LE(smallest.width(), without.width()) << "the explanations widened the window";
    EXPECT_LE(smallest.height() - without.height(), 4 * lineHeight)
        << smallest.height() << " against " << without.height();
}

} // namespace
