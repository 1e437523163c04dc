// The panel controller: the web server's program, configuration and log
// folders in Options (found on first start, changed by hand or detected
// again), and the panel's line of news.

#include "pane/PortholdPref.h"

#include "model/PHSettings.h"
#include "platform/PHAction.h"
#include "platform/PHMessageLine.h"
#include "server/PHApacheController.h"
#include "server/PHServerLayout.h"
#include "support/PHUserDefaults.h"

#include <QBoxLayout>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>

namespace {

QString withSlash(const QString &folder) {
    return folder.isEmpty() || folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

} // namespace

void PortholdPref::setUpMessageLine() {
    if (!m_mainView)
        return;
    m_messageLine = new PHMessageLine(m_mainView);
    if (auto *layout = qobject_cast<QBoxLayout *>(m_mainView->layout()))
        m_messageLine->placeIn(layout, 0);
}

void PortholdPref::showMessage(PHThemeColors::Meaning meaning, const QString &text) {
    if (m_messageLine)
        m_messageLine->showMessage(meaning, text);
}

PHMessageLine *PortholdPref::messageLine() const {
    return m_messageLine.data();
}

void PortholdPref::detectServerOnFirstStart() {
    PHServerLayout::detectIfUnset(PHUserDefaults::standardUserDefaults());
}

void PortholdPref::setUpServerOptions() {
    QWidget *view = m_mainView;
    if (!view)
        return;
    m_binaryField = view->findChild<QLineEdit *>(QStringLiteral("binaryField"));
    m_confDirField = view->findChild<QLineEdit *>(QStringLiteral("confDirField"));
    m_logDirField = view->findChild<QLineEdit *>(QStringLiteral("logDirField"));
    auto *detect = view->findChild<QPushButton *>(QStringLiteral("detectServerButton"));
    readServerOptions();
    for (QLineEdit *field : {m_binaryField.data(), m_confDirField.data(), m_logDirField.data()}) {
        if (!field)
            continue;
        connect(field, &QLineEdit::editingFinished, this,
                [this, field] { PHAction::run("setServerLocation:", [&] { setServerLocation(field); }); });
    }
    if (detect)
        connect(detect, &QPushButton::clicked, this,
                [this] { PHAction::run("detectServer:", [this] { detectServer(); }); });
}

void PortholdPref::readServerOptions() {
    PHUserDefaults *defaults = PHUserDefaults::standardUserDefaults();
    if (m_binaryField)
        m_binaryField->setText(
            defaults->stringForKey(PHSettings::Key::ApacheBinaryLocation).value_or(QString()));
    if (m_confDirField) {
        // Without an override the program itself names its configuration.
        const bool override = defaults->boolForKey(PHSettings::Key::OverrideConfDirectory);
        m_confDirField->setText(
            override ? defaults->stringForKey(PHSettings::Key::ApacheConfDirectory).value_or(QString())
                     : QString());
        m_confDirField->setPlaceholderText(QStringLiteral("as the server program says"));
    }
    if (m_logDirField) {
        const bool override = defaults->boolForKey(PHSettings::Key::OverrideLogDirectory);
        m_logDirField->setText(
            override ? defaults->stringForKey(PHSettings::Key::ApacheLogDirectory).value_or(QString())
                     : QString());
        m_logDirField->setPlaceholderText(QStringLiteral("as the configuration says"));
    }
}

void PortholdPref::setServerLocation(QLineEdit *field) {
    if (!field || !field->isModified())
        return;
    field->setModified(false);
    PHUserDefaults *defaults = PHUserDefaults::standardUserDefaults();
    const QString text = field->text().trimmed();
    if (field == m_binaryField) {
        defaults->setObjectForKey(text, PHSettings::Key::ApacheBinaryLocation);
    } else if (field == m_confDirField) {
        // An empty folder hands the question back to the server program.
        defaults->setBoolForKey(!text.isEmpty(), PHSettings::Key::OverrideConfDirectory);
        if (!text.isEmpty())
            defaults->setObjectForKey(withSlash(text), PHSettings::Key::ApacheConfDirectory);
    } else if (field == m_logDirField) {
        defaults->setBoolForKey(!text.isEmpty(), PHSettings::Key::OverrideLogDirectory);
        if (!text.isEmpty())
            defaults->setObjectForKey(withSlash(text), PHSettings::Key::ApacheLogDirectory);
    }
    if (m_apache)
        m_apache->reloadServerSettings();
}

void PortholdPref::detectServer() {
    const std::optional<PHServerLayout> layout = PHServerLayout::detect();
    if (!layout) {
        showMessage(PHThemeColors::Meaning::Warning,
                    QStringLiteral("No Apache was found where Debian, Ubuntu, Red Hat or SUSE install it: "
                                   "install apache2 (or httpd), or type the server's folders here."));
        return;
    }
    layout->store(PHUserDefaults::standardUserDefaults());
    readServerOptions();
    if (m_apache)
        m_apache->reloadServerSettings();
    showMessage(PHThemeColors::Meaning::Positive,
                QStringLiteral("Found Apache: %1, configuration %2, logs in %3")
                    .arg(layout->binary, QDir(layout->confDirectory).filePath(layout->confFile),
                         layout->logDirectory));
}
