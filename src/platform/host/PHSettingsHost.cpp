#include "platform/host/PHSettingsHost.h"

#include "core/Log.h"
#include "platform/PHAction.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QVBoxLayout>
#include <QXmlStreamReader>

namespace {

// The keys of the bundle's Info.plist the host needs: the plug-in's file name
// and the panel's display name.
QString infoValue(const QString &bundlePath, const QString &key) {
    QFile file(QDir(bundlePath).filePath(QStringLiteral("Info.plist")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QXmlStreamReader xml(&file);
    int depth = 0;
    bool wantValue = false;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            // Top-level keys of the root dictionary only: plist > dict > key.
            if (depth == 3 && xml.name() == QLatin1String("key")) {
                wantValue = xml.readElementText() == key;
                --depth;
            } else if (depth == 3 && wantValue) {
                return xml.readElementText();
            }
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        }
    }
    return {};
}

} // namespace

PHSettingsHost::PHSettingsHost(QWidget *parent) : QWidget(parent) {
    setWindowTitle(QStringLiteral("Porthold"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
}

PHSettingsHost::~PHSettingsHost() {
    // The panel goes before its plug-in; the loader keeps the library mapped
    // for the rest of the process (workers may still hold its code).
    m_pane.reset();
}

bool PHSettingsHost::loadBundle(const QString &bundlePath, QString *error) {
    const QFileInfo bundle(bundlePath);
    if (!bundle.isDir()) {
        *error = QStringLiteral("The panel bundle \"%1\" does not exist.").arg(bundlePath);
        return false;
    }
    QString executable = infoValue(bundle.absoluteFilePath(), QStringLiteral("CFBundleExecutable"));
    if (executable.isEmpty())
        executable = QStringLiteral("Porthold.so");
    m_loader.setFileName(QDir(bundle.absoluteFilePath()).filePath(executable));
    m_loader.setLoadHints(QLibrary::PreventUnloadHint);
    QObject *instance = m_loader.instance();
    auto *plugin = qobject_cast<PHPanelPlugin *>(instance);
    if (!plugin) {
        *error = QStringLiteral("The panel plug-in \"%1\" could not be loaded: %2")
                     .arg(m_loader.fileName(), m_loader.errorString());
        return false;
    }
    const QString name = infoValue(bundle.absoluteFilePath(), QStringLiteral("CFBundleName"));
    if (!name.isEmpty())
        setWindowTitle(name);

    PHAction::run("create panel", [&] { m_pane = plugin->createPane(bundle.absoluteFilePath()); });
    if (!m_pane) {
        *error = QStringLiteral("The panel in \"%1\" could not be created.").arg(bundlePath);
        return false;
    }
    m_pane->setShouldUnselectReply([this](bool mayUnselect) {
        if (!m_awaitingReply)
            return;
        m_awaitingReply = false;
        if (mayUnselect)
            finishUnselect();
    });
    QWidget *view = nullptr;
    PHAction::run("load panel view", [&] { view = m_pane->loadMainView(this); });
    if (!view) {
        *error = QStringLiteral("The panel's layout in \"%1\" could not be loaded.").arg(bundlePath);
        m_pane.reset();
        return false;
    }
    layout()->addWidget(view);
    resize(view->size().expandedTo(view->sizeHint()));
    return true;
}

void PHSettingsHost::select() {
    show();
    if (m_pane && !m_selected) {
        m_selected = true;
        PHAction::run("panel did select", [&] { m_pane->didSelect(); });
    }
}

void PHSettingsHost::requestClose() {
    if (!m_pane || !m_selected) {
        m_closing = true;
        close();
        return;
    }
    if (m_awaitingReply)
        return; // the panel is still asking the user
    auto reply = PHPreferencePane::UnselectNow;
    PHAction::run("panel should unselect", [&] { reply = m_pane->shouldUnselect(); });
    switch (reply) {
    case PHPreferencePane::UnselectNow:
        finishUnselect();
        break;
    case PHPreferencePane::UnselectLater:
        m_awaitingReply = true;
        break;
    case PHPreferencePane::UnselectCancel:
        break;
    }
}

void PHSettingsHost::finishUnselect() {
    if (m_selected && m_pane) {
        m_selected = false;
        PHAction::run("panel did unselect", [&] { m_pane->didUnselect(); });
    }
    m_closing = true;
    close();
}

void PHSettingsHost::closeEvent(QCloseEvent *event) {
    if (m_closing) {
        event->accept();
        return;
    }
    event->ignore();
    requestClose();
}
