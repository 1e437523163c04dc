#include "pane/PHAboutTab.h"

#include "model/PHSettings.h"
#include "pane/PHBundle.h"
#include "pane/PHUpdateDisplay.h"
#include "platform/PHAction.h"
#include "platform/PHWindowKeys.h"
#include "support/PHExtensions.h"
#include "support/PHSettingsStore.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QShortcut>
#include <QTextBrowser>
#include <QVBoxLayout>

#include <functional>

namespace {

/// Runs `action` once, when `widget` is first shown (its tab chosen, its
/// window opened); gone with the widget.
class FirstShow : public QObject {
public:
    FirstShow(QWidget *widget, std::function<void()> action) : QObject(widget), m_action(std::move(action)) {
        widget->installEventFilter(this);
    }
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Show && watched == parent()) {
            watched->removeEventFilter(this);
            const std::function<void()> action = std::move(m_action);
            deleteLater();
            PHAction::run("first show", [&] { action(); });
        }
        return false;
    }

private:
    std::function<void()> m_action;
};

/// The help page's colours from the palette, so that code and headings read
/// as well in a dark theme as in a light one; a theme change recolours them.
class HelpColours : public QObject {
public:
    explicit HelpColours(QTextBrowser *page) : QObject(page), m_page(page) {
        apply();
        page->installEventFilter(this);
    }
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (watched == m_page && event->type() == QEvent::PaletteChange) {
            apply();
            if (!m_page->source().isEmpty())
                m_page->reload();
        }
        return false;
    }

private:
    void apply() {
        const QPalette palette = m_page->palette();
        m_page->document()->setDefaultStyleSheet(
            QStringLiteral("code, pre { background-color: %1; color: %2; }")
                .arg(palette.color(QPalette::AlternateBase).name(), palette.color(QPalette::Text).name()));
    }
    QTextBrowser *m_page;
};

} // namespace

PHAboutTab::PHAboutTab(const Widgets &widgets, const PHBundle &bundle, QObject *parent)
    : QObject(parent), m_bundle(bundle), m_window(widgets.window), m_credits(widgets.credits),
      m_checkAtLaunch(widgets.checkAtLaunch) {
    // The update display owns its button, spinner and last-check line.
    PHUpdateDisplay::Widgets updateWidgets;
    updateWidgets.versionCheckButton = widgets.versionCheck;
    updateWidgets.versionCheckProgress = widgets.versionCheckProgress;
    updateWidgets.launchVersionCheck = widgets.checkAtLaunch;
    updateWidgets.lastCheckText = widgets.lastCheck;
    updateWidgets.window = widgets.window;
    updateWidgets.messageLine = widgets.messageLine;
    m_updateDisplay = new PHUpdateDisplay(updateWidgets, this);
    m_updateDisplay->setBundlePath(m_bundle.bundlePath());
    m_updateDisplay->setInterfacePath(m_bundle.pathForResource(QStringLiteral("SWU"), QStringLiteral("ui")));

    // The credits are laid out when their tab first shows them, not at every start.
    if (m_credits)
        new FirstShow(m_credits, [this] { loadCredits(); }); // owned by the page
    if (widgets.nameVersion)
        widgets.nameVersion->setText(QStringLiteral("Porthold %1").arg(PHApplication::applicationVersion()));
    m_updateDisplay->setSecondsSinceCheck(
        PHSettingsStore::instance()->doubleForKey(PHSettings::Key::LastVersionCheck));

    const auto onClick = [this](QAbstractButton *button, const char *what, std::function<void()> action) {
        if (button)
            connect(button, &QAbstractButton::clicked, this,
                    [what, action = std::move(action)] { PHAction::run(what, [&] { action(); }); });
    };
    onClick(widgets.help, "help", [this] { help(); });
    onClick(widgets.website, "web site",
            [this] { openWebPage(QUrl(QStringLiteral("https://www.quillmere.com/porthold/"))); });
    onClick(widgets.donate, "donate",
            [this] { openWebPage(QUrl(QStringLiteral("https://www.quillmere.com/porthold/donate/"))); });
}

PHAboutTab::~PHAboutTab() {
    delete m_helpWindow;
}

void PHAboutTab::load() {
    if (m_checkAtLaunch)
        m_checkAtLaunch->setChecked(
            PHSettingsStore::instance()->boolForKey(PHSettings::Key::CheckForUpdates));
}

void PHAboutTab::didSelect() {
    m_updateDisplay->didSelect();
}

void PHAboutTab::didUnselect() {
    if (m_helpWindow)
        m_helpWindow->hide();
}

void PHAboutTab::help() {
    loadHelp();
    // Whole on the panel's screen, however small that is.
    QScreen *screen = m_window ? m_window->screen() : QGuiApplication::primaryScreen();
    if (screen && !m_helpWindow->isVisible()) {
        const QRect room = screen->availableGeometry().adjusted(20, 20, -20, -20);
        m_helpWindow->resize(m_helpWindow->size().boundedTo(room.size()));
        QRect frame = m_helpWindow->frameGeometry();
        frame.moveCenter(room.center());
        m_helpWindow->move(frame.topLeft());
    }
    m_helpWindow->show();
    m_helpWindow->raise();
    m_helpWindow->activateWindow();
}

void PHAboutTab::loadHelp() {
    if (m_helpWindow)
        return;
    m_helpWindow = new QWidget(nullptr, Qt::Window);
    m_helpWindow->setObjectName(QStringLiteral("helpWindow"));
    m_helpWindow->setWindowTitle(QStringLiteral("Porthold Help"));
    m_helpWindow->resize(720, 640);
    auto *layout = new QVBoxLayout(m_helpWindow);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *page = new QTextBrowser(m_helpWindow);
    page->setObjectName(QStringLiteral("helpWebView"));
    page->setOpenExternalLinks(true);
    layout->addWidget(page);
    new HelpColours(page); // owned by the page
    QList<QKeySequence> closeKeys = PHWindowKeys::closeKeys();
    closeKeys.append(QKeySequence(Qt::Key_Escape));
    connect(PHWindowKeys::add(m_helpWindow, closeKeys), &QShortcut::activated, m_helpWindow, &QWidget::close);
    QString help = m_bundle.pathForResource(QStringLiteral("help/help"), QStringLiteral("html"));
    if (help.isEmpty())
        help = m_bundle.pathForResource(QStringLiteral("help"), QStringLiteral("html"));
    if (!help.isEmpty()) {
        page->setSearchPaths({QFileInfo(help).absolutePath()});
        page->setSource(QUrl::fromLocalFile(help));
    }
}

void PHAboutTab::loadCredits() {
    const QString credits =
        m_bundle.pathForResource(QStringLiteral("Porthold Credits"), QStringLiteral("html"));
    QFile file(credits);
    if (m_credits && !credits.isEmpty() && file.open(QIODevice::ReadOnly)) {
        m_credits->setSearchPaths({QFileInfo(credits).absolutePath()});
        m_credits->setHtml(QString::fromUtf8(file.readAll()));
    }
}

void PHAboutTab::openWebPage(const QUrl &address) {
    if (!QDesktopServices::openUrl(address))
        emit messageShown(
            PHThemeColors::Meaning::Negative,
            QStringLiteral("Could not open %1: no web browser was found (xdg-open could not be started).")
                .arg(address.toString()));
}
