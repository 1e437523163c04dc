#include "server/PHServerLogs.h"

#include "model/PHSettings.h"
#include "platform/PHImage.h"
#include "server/PHLogWindow.h"
#include "server/PHServerLayout.h"
#include "support/PHExtensions.h"
#include "support/PHPath.h"
#include "support/PHRegex.h"
#include "support/PHSettingsStore.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>

#include <optional>

namespace {

const QStringList kLogTokens = {QStringLiteral("CustomLog"), QStringLiteral("ErrorLog"),
                                QStringLiteral("Include")};

/// The last double-quoted argument of a directive line, within the stretch of
/// words and quoted words at its start.
const QString kArgumentPattern = QStringLiteral(R"re(((([-.*/\w]+)|"([-.*/\w\s]+)")\s*)*)re");

} // namespace

PHServerLogs::PHServerLogs(const Widgets &widgets, QObject *parent)
    : QObject(parent), m_window(widgets.window), m_picker(widgets.picker), m_show(widgets.show),
      m_problem(widgets.problem) {
    if (m_show)
        connect(m_show, &QAbstractButton::clicked, this,
                [this] { open(m_picker ? m_picker->currentIndex() : -1); });
}

PHServerLogs::~PHServerLogs() {
    for (const QPointer<PHLogWindow> &window : m_windows)
        if (window)
            window->close();
}

void PHServerLogs::showProblem(const QString &problem) {
    if (!m_problem)
        return;
    m_problem->setText(problem);
    m_problem->setVisible(!problem.isEmpty());
}

void PHServerLogs::add(const QString &path, const QString &title) {
    m_logs.append(path);
    if (m_picker) {
        m_picker->setEnabled(true);
        m_picker->addItem(QIcon(PHImage::imageForFileWidthHeight(path, 16, 16)), title);
    }
    if (m_show)
        m_show->setEnabled(true);
}

void PHServerLogs::relist(const QString &configurationFile) {
    m_logs.clear();
    if (m_picker) {
        m_picker->clear();
        m_picker->setEnabled(false);
    }
    if (m_show)
        m_show->setEnabled(false);
    find(configurationFile);
}

void PHServerLogs::find(const QString &configurationFile) {
    PHSettingsStore *settings = PHSettingsStore::instance();
    showProblem(QString());
    if (settings->boolForKey(PHSettings::Key::OverrideLogDirectory)) {
        const QString folder =
            settings->stringForKey(PHSettings::Key::ApacheLogDirectory).value_or(QString());
        // An empty list says why, where the logs would be.
        if (const QString problem = PHServerLayout::logFolderProblem(folder); !problem.isEmpty()) {
            showProblem(problem);
            return;
        }
        // Listed by name, as people read a log folder.
        const QStringList entries = QDir(folder).entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString &name : entries) {
            const QString path = PHPath::joinPath(folder, name);
            if (name.endsWith(QLatin1String("gz")) || !QFileInfo::exists(path))
                continue;
            add(path, name);
        }
        if (m_logs.isEmpty())
            showProblem(QStringLiteral("The log folder %1 holds no logs yet.").arg(folder));
        return;
    }
    m_parsedFiles.clear();
    m_parser = PHConfParser::initWithFile(configurationFile);
    if (!m_parser) {
        showProblem(
            configurationFile.isEmpty()
                ? QStringLiteral("The server's configuration is not known: choose Detect in Options.")
                : QStringLiteral("The logs are named in %1, which cannot be read.").arg(configurationFile));
        return;
    }
    const QString canonical = QFileInfo(configurationFile).canonicalFilePath();
    m_parsedFiles.insert(canonical.isEmpty() ? configurationFile : canonical);
    m_parser->setDelegate(this);
    m_parser->setTokens(kLogTokens);
    m_parser->parse();
}

void PHServerLogs::followInclude(const QString &pattern) {
    const std::optional<QStringList> matches = PHString::glob(pattern);
    if (!matches)
        return;
    for (const QString &path : *matches) {
        // Each file once per discovery: an Include that matches itself, or two
        // files that include each other, would otherwise never end.
        const QString canonical = QFileInfo(path).canonicalFilePath();
        const QString key = canonical.isEmpty() ? path : canonical;
        if (m_parsedFiles.contains(key))
            continue;
        m_parsedFiles.insert(key);
        std::shared_ptr<PHConfParser> parser = PHConfParser::initWithFile(path);
        if (!parser)
            continue;
        parser->setDelegate(this);
        parser->setTokens(kLogTokens);
        parser->parse();
    }
}

void PHServerLogs::parserParsedTokenInLineAtLineNumberOfFile(PHConfParser *, const QString &token,
                                                             const QString &line, qint32, const QString &) {
    const QStringList components = PHRegex::captureComponentsMatchedByRegex(line, kArgumentPattern);
    const QString argument = components.size() > 4 ? components.at(4) : QString();
    if (token == QLatin1String("Include")) {
        followInclude(argument);
        return;
    }
    if (argument.isEmpty())
        return;
    // exists() follows links: a link to a log that is gone is no log.
    if (!QFileInfo::exists(argument))
        return;
    add(argument, PHPath::lastPathComponent(argument));
}

QList<PHLogWindow *> PHServerLogs::windows() const {
    QList<PHLogWindow *> windows;
    for (const QPointer<PHLogWindow> &window : m_windows)
        if (window)
            windows.append(window.data());
    return windows;
}

void PHServerLogs::open(qint32 index) {
    if (index < 0 || index >= m_logs.size())
        return;
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    auto *window = new PHLogWindow(m_logs.at(index), m_window);
    m_windows.removeAll(nullptr);
    m_windows.append(window);
    window->show();
    window->raise();
}
