// phbench-outline: pages down and back up through the folder outline of every
// folder below ROOT, every row open, drawing each page as it comes into view,
// and writes the CPU seconds per page into the file PHBENCH_REPORT names.
//
//   phbench-outline ROOT           the panel's outline (its data source, cells,
//                                  modes and marks, access files read as rows
//                                  come into view)
//   phbench-outline --peer ROOT    an empty QTreeView of the same rows: the same
//                                  folder names in a QStandardItemModel of as
//                                  many columns, nothing else
//
// Building the rows and opening them all is not timed; only the paging is.

#include "model/PHFSItem.h"
#include "views/PHFolderModel.h"
#include "views/PHOutlineView.h"

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTreeView>

#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>

namespace {

double cpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

void settle() {
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

// Every page from the top to the bottom and back, each drawn before the next.
// Returns the pages drawn.
int page(QTreeView &view) {
    QScrollBar *bar = view.verticalScrollBar();
    const int step = std::max(1, bar->pageStep());
    int pages = 0;
    auto show = [&](int value) {
        bar->setValue(value);
        view.viewport()->repaint();
        settle();
        ++pages;
    };
    for (int value = 0; value < bar->maximum(); value += step)
        show(value);
    show(bar->maximum());
    for (int value = bar->maximum() - step; value > 0; value -= step)
        show(value);
    show(0);
    return pages;
}

/// The peer's rows: the same folders, named the same, in listing order.
void addFolders(QStandardItem *parent, const QString &path) {
    const QStringList names =
        QDir(path).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name | QDir::IgnoreCase);
    for (const QString &name : names) {
        QList<QStandardItem *> row{new QStandardItem(name), new QStandardItem(), new QStandardItem()};
        parent->appendRow(row);
        addFolders(row.first(), path + QLatin1Char('/') + name);
    }
}

} // namespace

int main(int argc, char **argv) {
    const bool peer = argc == 3 && QByteArray(argv[1]) == "--peer";
    if (argc != 2 && !peer) {
        std::fprintf(stderr, "usage: phbench-outline [--peer] ROOT\n");
        return 2;
    }
    QApplication application(argc, argv);
    const QString root = QString::fromLocal8Bit(argv[argc - 1]);

    std::unique_ptr<QTreeView> view;
    std::unique_ptr<PHFolderModel> source;
    QStandardItemModel model;
    QMenu menu;
    if (peer) {
        auto *top = new QStandardItem(QDir(root).dirName());
        model.appendRow({top, new QStandardItem(), new QStandardItem()});
        addFolders(top, root);
        model.setHorizontalHeaderLabels({QStringLiteral("Folder"), QStringLiteral("Protection"), QString()});
        view = std::make_unique<QTreeView>();
        view->setModel(&model);
        view->expandAll();
    } else {
        source = std::make_unique<PHFolderModel>(root);
        for (int mode = 0; mode <= 4; ++mode)
            menu.addAction(PHFSItem::modeName(mode));
        auto outline = std::make_unique<PHOutlineView>();
        outline->setModel(source.get());
        outline->setColumns({{"dir", "Folder", PHItemModel::ColumnKind::Text},
                             {"protect", "Protection", PHItemModel::ColumnKind::PopUp},
                             {"delete", "", PHItemModel::ColumnKind::Button}});
        outline->setPopUpMenu(QStringLiteral("protect"), &menu);
        // Every row open, from the top down, as a person opening each folder.
        std::function<void(PHFSItem *)> open = [&](PHFSItem *node) {
            if (node->isLeaf())
                return;
            outline->expand(source->indexForFolder(node));
            for (PHFSItem *child : node->children())
                open(child);
        };
        open(source->rootItem());
        view = std::move(outline);
    }
    view->resize(640, 480);
    view->show();
    settle();
    view->viewport()->repaint();
    settle();

    const double start = cpuSeconds();
    const int pages = page(*view);
    const double perPage = (cpuSeconds() - start) / pages;

    const int rows = view->verticalScrollBar()->maximum();
    std::fprintf(stderr, "%d pages, %d scroll positions, %.6f s per page\n", pages, rows, perPage);
    if (const char *report = std::getenv("PHBENCH_REPORT")) {
        std::FILE *out = std::fopen(report, "w");
        if (!out)
            return 1;
        std::fprintf(out, "%.9f\n", perPage);
        std::fclose(out);
    }
    return 0;
}
