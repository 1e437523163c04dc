#pragma once

// A real panel on real widgets (offscreen) over a web tree in a temporary
// folder, with its own settings folder and sheets answered by the test.

#include "common/ModelTester.h"
#include "common/TestApplication.h"
#include "common/ViewItems.h"
#include "model/PHFSItem.h"
#include "pane/PortholdPref.h"
#include "platform/PHAlertSheet.h"
#include "support/PHSettingsStore.h"
#include "views/PHOutlineView.h"
#include "views/PHTableView.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <gtest/gtest.h>

#include <deque>
#include <memory>

inline QApplication &paneApplication() {
    return testApplication("pane_test");
}

inline void writeFile(const QString &path, const QString &text) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << qPrintable(path);
    file.write(text.toUtf8());
}

inline QString readFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

/// Builds a bundle folder from the source resources.
inline QString makeBundle(const QString &parent) {
    const QString bundle = QDir(parent).filePath(QStringLiteral("Porthold.panel"));
    const QDir source(QStringLiteral(PORTHOLD_SOURCE_DIR "/resources"));
    QDir().mkpath(bundle + QStringLiteral("/Resources"));
    for (const QString &name : source.entryList({"*.ui", "*.plist", "*.html"}, QDir::Files))
        QFile::copy(source.filePath(name), bundle + QStringLiteral("/Resources/") + name);
    for (const QString &name : QDir(source.filePath("images")).entryList({"*.png"}, QDir::Files))
        QFile::copy(source.filePath("images/" + name), bundle + QStringLiteral("/Resources/") + name);
    QFile info(bundle + QStringLiteral("/Info.plist"));
    if (info.open(QIODevice::WriteOnly))
        info.write(R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleName</key><string>Porthold</string>
<key>CFBundleVersion</key><string>1.0.0</string>
<key>CFBundleCompany</key><string>Quillmere Software</string>
<key>CFBundleIdentifier</key><string>com.quillmere.porthold.test</string>
</dict></plist>
)");
    return bundle;
}

class PaneFixture : public ::testing::Test {
protected:
    void SetUp() override {
        paneApplication();
        ASSERT_TRUE(m_temp.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_temp.filePath("config")));
        PHSettingsStore::resetInstanceForTesting();
        m_bundle = makeBundle(m_temp.path());
        web = m_temp.filePath("web");
        QDir().mkpath(web + "/open/inner");
        QDir().mkpath(web + "/private");
        QDir().mkpath(web + "/lan");
        PHAlertSheet::clearRecorded();
        PHAlertSheet::setAnswerer([this](const PHAlertSheet::Request &request) {
            if (!answers.empty()) {
                const int code = answers.front();
                answers.pop_front();
                return code;
            }
            ADD_FAILURE() << "unexpected sheet: " << qPrintable(request.title);
            return int(PHAlertSheet::Other);
        });
    }

    void TearDown() override {
        pref.reset();
        window.reset();
        models.reset();
        EXPECT_EQ(ModelTester::failures(), QStringList()) << "the views' models broke a rule";
        ModelTester::clear();
        PHAlertSheet::setAnswerer({});
        PHSettingsStore::resetInstanceForTesting();
    }

    /// Settings written before the panel starts, under the bundle's identifier.
    void preset(const QString &key, const QVariant &value) {
        PHSettingsStore *defaults = PHSettingsStore::instance();
        defaults->setApplicationIdentifier(QStringLiteral("com.quillmere.porthold.test"));
        defaults->setObjectForKey(value, key);
    }

    /// Starts the panel on `web` as its custom root, with no managed server.
    void start(bool customRoot = true) {
        if (customRoot) {
            preset("Allow Custom Web Dir", true);
            preset("Porthold Protected Folder", 2);
            preset("Web Dir", web);
        }
        preset("Uses Remote Apache", true);
        preset("Check for Updates", false);
        preset("Show Manual Editor", true);
        window = std::make_unique<QWidget>();
        pref = std::make_unique<PortholdPref>(m_bundle);
        QWidget *view = pref->loadMainView(window.get());
        ASSERT_NE(view, nullptr);
        // Every table and outline of the panel under Qt's model checker.
        models = std::make_unique<ModelTester>();
        for (QAbstractItemView *list : view->findChildren<QAbstractItemView *>())
            if (qobject_cast<PHItemModel *>(list->model()))
                models->watch(list->model());
        window->resize(900, 600);
        view->resize(900, 600);
        window->show();
        pref->didSelect();
        settle();
    }

    /// Lets queued work (re-edit timers, sheet answers, expansions) run.
    static void settle() {
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
        QTest::qWait(10);
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
    }

    template <class T> T *child(const char *name) const {
        T *found = pref->mainView()->findChild<T *>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    PHOutlineView *outline() const { return child<PHOutlineView>("webDirOutline"); }
    PHFSItem *root() const { return pref->files()->rootItem(); }
    PHFSItem *folder(const QString &name) const {
        for (PHFSItem *item : root()->children())
            if (item->name() == name)
                return item;
        return nullptr;
    }
    /// Clicks a folder's row in the outline like a user does.
    void clickFolder(PHFSItem *item) {
        PHOutlineView *view = outline();
        expandItem(view, root());
        settle();
        const QModelIndex index = indexOf(view, item, 0);
        ASSERT_TRUE(index.isValid());
        const QRect rect = view->visualRect(index);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rect.center());
        settle();
    }
    /// Types into the manual editor, leaving unsaved edits.
    void typeIntoEditor(const QString &text) {
        auto *editor = child<QPlainTextEdit>("customViewText");
        editor->setFocus();
        editor->moveCursor(QTextCursor::Start);
        const QStringList lines = text.split(QLatin1Char('\n'));
        for (int i = 0; i < lines.size(); ++i) {
            QTest::keyClicks(editor, lines.at(i));
            if (i + 1 < lines.size())
                QTest::keyClick(editor, Qt::Key_Return);
        }
        settle();
        ASSERT_TRUE(pref->hasUnsavedEdits());
    }

    QString web;
    std::deque<int> answers;
    std::unique_ptr<QWidget> window;
    std::unique_ptr<PortholdPref> pref;
    std::unique_ptr<ModelTester> models;

private:
    QTemporaryDir m_temp;
    QString m_bundle;
};
