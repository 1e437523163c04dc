#include "pane/PHServerTab.h"

#include "model/PHSettings.h"
#include "platform/PHAction.h"
#include "platform/PHMessageLine.h"
#include "server/PHApacheController.h"
#include "server/PHServerLayout.h"
#include "support/PHSettingsStore.h"

#include <QAbstractButton>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>

namespace {

PHSettingsStore *defaults() {
    return PHSettingsStore::instance();
}

QString withSlash(const QString &folder) {
    return folder.isEmpty() || folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

/// A field's text once the user has finished changing it; nothing when the
/// text is as it was.
bool takeEdit(QLineEdit *field, QString &text) {
    if (!field || !field->isModified())
        return false;
    field->setModified(false);
    text = field->text().trimmed();
    return true;
}

} // namespace

PHServerTab::PHServerTab(const Widgets &widgets, const PHModelContext &context, const QString &bundlePath,
                         QObject *parent)
    : QObject(parent), m_context(context), m_bundlePath(bundlePath), m_window(widgets.window),
      m_tabs(widgets.tabs), m_status(widgets.status), m_binaryField(widgets.binaryField),
      m_confDirField(widgets.confDirField), m_logDirField(widgets.logDirField) {
    startController(!defaults()->boolForKey(PHSettings::Key::UsesRemoteApache));
    load();
    const auto onEdit = [this](QLineEdit *field, void (PHServerTab::*save)()) {
        if (field)
            connect(field, &QLineEdit::editingFinished, this,
                    [this, save] { PHAction::run("server location", [&] { (this->*save)(); }); });
    };
    onEdit(m_binaryField, &PHServerTab::saveBinary);
    onEdit(m_confDirField, &PHServerTab::saveConfDirectory);
    onEdit(m_logDirField, &PHServerTab::saveLogDirectory);
    if (widgets.detectButton)
        connect(widgets.detectButton, &QAbstractButton::clicked, this,
                [this] { PHAction::run("detect server", [this] { detect(); }); });
}

PHServerTab::~PHServerTab() {
    if (m_apache)
        m_apache->disable();
}

void PHServerTab::startController(bool create) {
    if (!m_apache && create) {
        PHServerLayout::detectIfUnset(defaults());
        m_apache = new PHApacheController(m_window, m_context, m_bundlePath, this);
        m_apacheTab = m_apache->tabViewItem();
        m_apache->setStatusDisplay(m_status);
    }
    if (m_apache && !defaults()->boolForKey(PHSettings::Key::UsesRemoteApache)) {
        m_apache->enable();
        return;
    }
    if (m_apache)
        m_apache->disable();
    if (m_status) {
        PHThemeColors::setTextMeaning(m_status, PHThemeColors::Meaning::Inactive);
        m_status->setText(QStringLiteral("Apache status not available"));
    }
}

void PHServerTab::setRemote(bool remote) {
    if (!m_tabs)
        return;
    const bool present = m_apacheTab && m_tabs->indexOf(m_apacheTab) >= 0;
    if (!remote && !present) {
        startController(true);
        if (m_apacheTab)
            m_tabs->insertTab(qMin(2, m_tabs->count()), m_apacheTab, QStringLiteral("Apache"));
    } else if (remote && present) {
        startController(false);
        m_tabs->removeTab(m_tabs->indexOf(m_apacheTab));
    }
}

void PHServerTab::didSelect() {
    if (m_apache)
        m_apache->enable();
}

void PHServerTab::didUnselect() {
    if (m_apache)
        m_apache->disable();
}

void PHServerTab::dismissMessages() {
    if (m_apache && m_apache->messageLine())
        m_apache->messageLine()->dismiss();
}

void PHServerTab::load() {
    if (m_binaryField)
        m_binaryField->setText(
            defaults()->stringForKey(PHSettings::Key::ApacheBinaryLocation).value_or(QString()));
    if (m_confDirField) {
        // Without an override the program itself names its configuration.
        const bool override = defaults()->boolForKey(PHSettings::Key::OverrideConfDirectory);
        m_confDirField->setText(
            override ? defaults()->stringForKey(PHSettings::Key::ApacheConfDirectory).value_or(QString())
                     : QString());
        m_confDirField->setPlaceholderText(QStringLiteral("as the server program says"));
    }
    if (m_logDirField) {
        const bool override = defaults()->boolForKey(PHSettings::Key::OverrideLogDirectory);
        m_logDirField->setText(
            override ? defaults()->stringForKey(PHSettings::Key::ApacheLogDirectory).value_or(QString())
                     : QString());
        m_logDirField->setPlaceholderText(QStringLiteral("as the configuration says"));
    }
}

void PHServerTab::saveBinary() {
    QString text;
    if (!takeEdit(m_binaryField, text))
        return;
    defaults()->setObjectForKey(text, PHSettings::Key::ApacheBinaryLocation);
    serverSettingsChanged();
}

void PHServerTab::saveConfDirectory() {
    QString text;
    if (!takeEdit(m_confDirField, text))
        return;
    // An empty folder hands the question back to the server program.
    defaults()->setBoolForKey(!text.isEmpty(), PHSettings::Key::OverrideConfDirectory);
    if (!text.isEmpty())
        defaults()->setObjectForKey(withSlash(text), PHSettings::Key::ApacheConfDirectory);
    serverSettingsChanged();
}

void PHServerTab::saveLogDirectory() {
    QString text;
    if (!takeEdit(m_logDirField, text))
        return;
    defaults()->setBoolForKey(!text.isEmpty(), PHSettings::Key::OverrideLogDirectory);
    if (!text.isEmpty())
        defaults()->setObjectForKey(withSlash(text), PHSettings::Key::ApacheLogDirectory);
    serverSettingsChanged();
}

void PHServerTab::serverSettingsChanged() {
    if (m_apache)
        m_apache->reloadServerSettings();
}

void PHServerTab::detect() {
    const std::optional<PHServerLayout> layout = PHServerLayout::detect();
    if (!layout) {
        emit messageShown(
            PHThemeColors::Meaning::Warning,
            QStringLiteral("No Apache was found where Debian, Ubuntu, Red Hat or SUSE install it: "
                           "install apache2 (or httpd), or type the server's folders here."));
        return;
    }
    layout->store(defaults());
    load();
    serverSettingsChanged();
    emit messageShown(PHThemeColors::Meaning::Positive,
                      QStringLiteral("Found Apache: %1, configuration %2, logs in %3")
                          .arg(layout->binary, QDir(layout->confDirectory).filePath(layout->confFile),
                               layout->logDirectory));
}

QString PHServerTab::errorLog() const {
    QStringList candidates;
    if (m_apache)
        for (const QString &log : m_apache->logList()->logs())
            if (QFileInfo(log).fileName().contains(QStringLiteral("error")))
                candidates << log;
    const QString folder = defaults()->stringForKey(PHSettings::Key::ApacheLogDirectory).value_or(QString());
    if (!folder.isEmpty())
        candidates << QDir(folder).filePath(QStringLiteral("error.log"))
                   << QDir(folder).filePath(QStringLiteral("error_log"));
    candidates << QStringLiteral("/var/log/apache2/error.log") << QStringLiteral("/var/log/httpd/error_log");
    for (const QString &candidate : candidates)
        if (QFileInfo(candidate).isReadable())
            return candidate;
    return {};
}
