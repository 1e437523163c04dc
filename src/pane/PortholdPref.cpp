// The settings panel: the layout, its tabs and their wiring, the host's
// lifecycle, the panel context and the error display.

#include "pane/PortholdPref.h"

#include "core/Log.h"
#include "model/PHErrorTexts.h"
#include "model/PHFSItem.h"
#include "model/PHSettings.h"
#include "pane/PHGroupFileModule.h"
#include "platform/PHAlertSheet.h"
#include "platform/PHWindowKeys.h"
#include "support/PHExtensions.h"
#include "support/PHSettingsStore.h"
#include "views/PHUiLoader.h"

#include <QAbstractButton>
#include <QApplication>
#include <QBoxLayout>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QShortcut>
#include <QSplitter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTextBrowser>

namespace {

const QString kReplyToShouldUnselect = QStringLiteral("leave the panel");

/// The controllers that widgets' signals reach: this object, the tabs and
/// their parts.
QList<QObject *> receiversOf(QObject *panel) {
    QList<QObject *> receivers{panel};
    for (QObject *tab : panel->findChildren<QObject *>(Qt::FindDirectChildrenOnly)) {
        receivers.append(tab);
        receivers += tab->findChildren<QObject *>(Qt::FindDirectChildrenOnly);
    }
    return receivers;
}

/// Buttons that may be narrower than the style's usual least width (80 px in
/// Fusion) when the window is small: as narrow as their text, which stays whole.
void letButtonsShrinkToTheirText(QWidget *root) {
    for (QPushButton *button : root->findChildren<QPushButton *>()) {
        if (button->text().isEmpty() || !button->icon().isNull())
            continue;
        QStyleOptionButton option;
        option.initFrom(button);
        const QStyle *style = button->style();
        const int text =
            button->fontMetrics().horizontalAdvance(QString(button->text()).remove(QLatin1Char('&')));
        const int chrome = 2 * (style->pixelMetric(QStyle::PM_ButtonMargin, &option, button) +
                                style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, button));
        button->setMinimumWidth(qMin(button->minimumSizeHint().width(), text + chrome));
    }
    // Not shown yet, the layouts are not told: they measure again.
    for (QLayout *layout : root->findChildren<QLayout *>())
        layout->invalidate();
}

/// The web-folder pop-up gives up its full width (it names the folders'
/// paths) before anything else: at least its first words show.
void letPopUpShrink(QComboBox *popUp) {
    const int words = popUp->fontMetrics().averageCharWidth() * 12;
    QStyleOptionComboBox option;
    option.initFrom(popUp);
    const QSize least = popUp->style()->sizeFromContents(
        QStyle::CT_ComboBox, &option,
        QSize(words + popUp->iconSize().width() + 4, popUp->fontMetrics().height()), popUp);
    popUp->setMinimumWidth(qMin(least.width(), popUp->minimumSizeHint().width()));
}

/// A scrolled page shows the page's own background, as it did unscrolled
/// (a scroll area paints its content in the window colour).
void seeThroughScrollAreas(QWidget *root) {
    for (QScrollArea *area : root->findChildren<QScrollArea *>()) {
        area->viewport()->setAutoFillBackground(false);
        if (QWidget *content = area->widget())
            content->setAutoFillBackground(false);
    }
}

/// Finds the layout's widgets by name and remembers the names it did not find.
class LayoutWidgets {
public:
    explicit LayoutWidgets(QWidget *view) : m_view(view) {}
    template <class T> T *find(const char *name) {
        T *found = m_view->findChild<T *>(QLatin1String(name));
        if (!found)
            m_missing.append(QLatin1String(name));
        return found;
    }
    template <class T> void find(QPointer<T> &member, const char *name) { member = find<T>(name); }
    const QStringList &missing() const { return m_missing; }

private:
    QWidget *m_view;
    QStringList m_missing;
};

} // namespace

// ----- Class-level state -----

QList<std::pair<QString, QVariant>> PortholdPref::settingsTable() {
    return PHSettings::defaultsTable();
}

void PortholdPref::initialize(const QString &bundleIdentifier) {
    PHSettings::registerDefaults(bundleIdentifier);
}

// ----- Creation -----

PortholdPref::PortholdPref(const QString &bundlePath, QObject *parent)
    : QObject(parent), m_bundle(bundlePath) {
    QString identifier = m_bundle.infoDictionary().value(QStringLiteral("CFBundleIdentifier")).toString();
    if (identifier.isEmpty())
        identifier = PHSettings::defaultIdentifier;
    initialize(identifier);
    const QVariantMap info = m_bundle.infoDictionary();
    m_previousInformation =
        PHApplication::setInformation({info.value(QStringLiteral("CFBundleName")).toString(),
                                       info.value(QStringLiteral("CFBundleVersion")).toString(),
                                       info.value(QStringLiteral("CFBundleCompany")).toString()});
    m_errors = PHErrorTexts::read(m_bundle.bundlePath());
    observeChanges();
    Log::format("Created %s", "PortholdPref");
}

void PortholdPref::observeChanges() {
    m_accessObserver = ObserverRegistration(PHFSItem::AccessFileDidChangeNotification, nullptr,
                                            [this](const Notification &) {
                                                // Nothing to show before the layout is there.
                                                if (m_folders)
                                                    m_folders->accessFileChanged();
                                            });
    m_settingsObserver = ObserverRegistration(PHSettingsStore::DidChangeNotification, nullptr,
                                              [this](const Notification &note) {
                                                  // Another front end changed the settings: show what is
                                                  // stored now.
                                                  if (!m_folders)
                                                      return;
                                                  load();
                                                  if (note.userInfo.value(QStringLiteral("keys"))
                                                          .toStringList()
                                                          .contains(PHSettings::Key::AddressArray))
                                                      m_folders->addresses()->reloadKnown();
                                              });
    // Every write of an access file is said, so a change never passes unseen.
    m_savedObserver = ObserverRegistration(
        PHFSItem::AccessFileDidSaveNotification, nullptr, [this](const Notification &notification) {
            const auto *item = static_cast<const PHFSItem *>(notification.sender);
            if (!item)
                return;
            const QString folder = item->name();
            showMessage(PHThemeColors::Meaning::Positive,
                        folder.isEmpty() ? QStringLiteral("Saved .htaccess in the web folder")
                                         : QStringLiteral("Saved .htaccess in %1").arg(folder));
        });
    // The user and group files are written after every edit; each write is said.
    const auto saidOnSave = [this](const Notification &notification) {
        const QString name =
            QFileInfo(notification.userInfo.value(QStringLiteral("path")).toString()).fileName();
        showMessage(PHThemeColors::Meaning::Positive, QStringLiteral("Saved %1").arg(name));
    };
    m_userFileObserver = ObserverRegistration(PHUsersModel::UserFileDidSaveNotification, nullptr, saidOnSave);
    m_groupFileObserver =
        ObserverRegistration(PHGroupsModel::GroupFileDidSaveNotification, nullptr, saidOnSave);
    m_refusalObserver =
        ObserverRegistration(PHActionRefusedNotification, nullptr, [this](const Notification &n) {
            showMessage(PHThemeColors::Meaning::Negative,
                        n.userInfo.value(QStringLiteral("reason")).toString());
        });
}

PortholdPref::~PortholdPref() {
    m_accessObserver.reset();
    m_settingsObserver.reset();
    m_savedObserver.reset();
    m_userFileObserver.reset();
    m_groupFileObserver.reset();
    m_refusalObserver.reset();
    // The views go first: they ask the models (kept by the tabs) until they are gone.
    // What the widgets signal while they are taken down no longer reaches the tabs, whose
    // handlers count on every widget of the layout being there.
    if (m_mainView) {
        const QList<QObject *> receivers = receiversOf(this);
        QList<QObject *> senders = m_mainView->findChildren<QObject *>();
        senders.prepend(m_mainView);
        for (QObject *sender : std::as_const(senders))
            for (QObject *receiver : receivers)
                QObject::disconnect(sender, nullptr, receiver, nullptr);
    }
    delete m_mainView;
    PHApplication::setInformation(m_previousInformation);
}

QWidget *PortholdPref::loadMainView(QWidget *window) {
    m_window = window;
    const QString layout = m_bundle.pathForResource(QStringLiteral("Porthold"), QStringLiteral("ui"));
    QFile file(layout);
    if (layout.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        Log::write(
            QStringLiteral("An error occurred loading Porthold.ui from %1").arg(m_bundle.resourcePath()));
        return nullptr;
    }
    PHUiLoader loader;
    loader.setWorkingDirectory(QDir(m_bundle.resourcePath()));
    m_mainView = loader.load(&file, window);
    if (!m_mainView) {
        Log::write(QStringLiteral("An error occurred loading Porthold.ui: %1").arg(loader.errorString()));
        return nullptr;
    }
    // Every widget the panel works with is there, or the panel does not load:
    // the code below relies on them.
    if (!findLayoutWidgets()) {
        delete m_mainView;
        return nullptr;
    }
    setUpLayout();
    setUpTabs();
    wireTabs();
    return m_mainView;
}

// ----- Start-up -----

bool PortholdPref::findLayoutWidgets() {
    LayoutWidgets layout(m_mainView);
    layout.find(m_tabs, "tabs");
    // Looked up by the tabs, and required all the same: the code relies on them.
    for (const char *name : {"portholdStatus", "webRootStatus", "userAddressTabs", "custom", "splitView",
                             "versionCheckProgress", "lastCheckText"})
        layout.find<QWidget>(name);
    layout.find<PHOutlineView>("webDirOutline");
    layout.find<PHOutlineView>("groupOutline");
    layout.find<PHTableView>("userTable");
    layout.find<PHTableView>("addressTable");
    layout.find<QPlainTextEdit>("customViewText");
    layout.find<QComboBox>("webDirFolder");
    for (const char *name :
         {"userEditButton", "userDeleteButton", "groupDeleteButton", "addressDeleteButton",
          "addressDiscoverSwitch", "customSaveButton", "customRevertButton", "userSortCheck",
          "groupSortCheck", "accessFileDeleteCheck", "userDeleteCheck", "groupDeleteCheck", "manualEditCheck",
          "customDirCheck", "remoteApacheCheck", "launchVersionCheck", "versionCheckButton"})
        layout.find<QAbstractButton>(name);
    layout.find<QLabel>("nameVersionText");
    layout.find<QTextBrowser>("creditsText");
    layout.find<QRadioButton>("addressModeAllow");
    layout.find<QRadioButton>("addressModeDeny");
    if (layout.missing().isEmpty())
        return true;
    Log::write(QStringLiteral("An error occurred loading Porthold.ui: it has no %1")
                   .arg(layout.missing().join(QStringLiteral(", "))));
    return false;
}

void PortholdPref::setUpLayout() {
    QWidget *view = m_mainView;
    m_messageLine = new PHMessageLine(view);
    if (auto *layout = qobject_cast<QBoxLayout *>(view->layout()))
        m_messageLine->placeIn(layout, 0);
    // The window fits a small screen (a 1366x768 laptop with its panels).
    letButtonsShrinkToTheirText(view);
    letPopUpShrink(view->findChild<QComboBox *>(QStringLiteral("webDirFolder")));
    seeThroughScrollAreas(view);
    auto *split = view->findChild<QSplitter *>(QStringLiteral("splitView"));
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    // The divider stays 70 points from the left edge and 140 from the
    // right one: each side keeps at least that much.
    if (split->count() == 2) {
        QWidget *left = split->widget(0);
        QWidget *right = split->widget(1);
        left->setMinimumWidth(qMax(left->minimumWidth(), 70));
        // And never less than its buttons need.
        right->setMinimumWidth(qMax(right->minimumSizeHint().width(), 140));
    }
}

void PortholdPref::setUpTabs() {
    QWidget *view = m_mainView;
    const auto find = [view](auto *&widget, const char *name) {
        widget = view->findChild<std::remove_reference_t<decltype(*widget)> *>(QLatin1String(name));
    };
    const auto say = [this](PHThemeColors::Meaning meaning, const QString &text) {
        showMessage(meaning, text);
    };

    PHAboutTab::Widgets about;
    about.window = m_window;
    about.messageLine = m_messageLine;
    find(about.nameVersion, "nameVersionText");
    find(about.credits, "creditsText");
    find(about.website, "websiteButton");
    find(about.donate, "donateButton");
    find(about.help, "helpButton");
    find(about.versionCheck, "versionCheckButton");
    find(about.versionCheckProgress, "versionCheckProgress");
    find(about.checkAtLaunch, "launchVersionCheck");
    find(about.lastCheck, "lastCheckText");
    m_about = new PHAboutTab(about, m_bundle, this);
    connect(m_about, &PHAboutTab::messageShown, this, say);

    // The window keeps the layout's size. The server tab's controller first.
    PHServerTab::Widgets server;
    server.window = m_window;
    server.tabs = m_tabs;
    find(server.status, "portholdStatus");
    find(server.binaryField, "binaryField");
    find(server.confDirField, "confDirField");
    find(server.logDirField, "logDirField");
    find(server.detectButton, "detectServerButton");
    m_server = new PHServerTab(server, modelContext(), m_bundle.bundlePath(), this);
    connect(m_server, &PHServerTab::messageShown, this, say);

    PHFoldersTab::Services folders;
    folders.window = m_window;
    folders.messageLine = m_messageLine;
    folders.serverErrorLog = [this] { return m_server->errorLog(); };
    folders.context = modelContext();
    folders.groupModuleLoaded = [this]() -> std::optional<bool> {
        PHApacheController *apache = m_server->apache();
        if (!apache)
            return std::nullopt;
        const QString binary = PHSettingsStore::instance()
                                   ->stringForKey(PHSettings::Key::ApacheBinaryLocation)
                                   .value_or(QString());
        return PHGroupFileModule::loadedByServer(binary, apache->httpdConfFile());
    };
    m_folders = new PHFoldersTab(m_mainView, m_bundle, folders, this);
    connect(m_folders, &PHFoldersTab::messageShown, this, say);
    connect(m_folders, &PHFoldersTab::errorShown, this, [this](qint32 code) { displayError(code); });

    PHOptionsTab::Widgets options;
    find(options.sortUsers, "userSortCheck");
    find(options.sortGroups, "groupSortCheck");
    find(options.askBeforeClearing, "accessFileDeleteCheck");
    find(options.askBeforeDeletingUsers, "userDeleteCheck");
    find(options.askBeforeDeletingGroups, "groupDeleteCheck");
    find(options.manualEditor, "manualEditCheck");
    find(options.customRoots, "customDirCheck");
    find(options.remoteServer, "remoteApacheCheck");
    find(options.passwordHash, "passwordHashMenu");
    m_options = new PHOptionsTab(options, m_folders->editor(), this);
    connect(m_options, &PHOptionsTab::remoteServerChanged, m_server, &PHServerTab::setRemote);
    PHUsersAndGroups *usersAndGroups = m_folders->usersAndGroups();
    connect(m_options, &PHOptionsTab::sortUsersChanged, usersAndGroups, [usersAndGroups](bool sorted) {
        if (sorted)
            usersAndGroups->sortUsers();
    });
    connect(m_options, &PHOptionsTab::sortGroupsChanged, usersAndGroups, [usersAndGroups](bool sorted) {
        if (sorted)
            usersAndGroups->sortGroups();
    });
    connect(m_options, &PHOptionsTab::passwordHashChanged, usersAndGroups,
            &PHUsersAndGroups::showPasswordWarning);
    connect(m_options, &PHOptionsTab::manualEditorShownChanged, m_folders->editor(),
            &PHManualEditor::setShown);
    connect(m_options, &PHOptionsTab::customRootsAllowedChanged, m_folders->webRoot(),
            &PHWebRootPart::allowCustomRoots);
    connect(usersAndGroups, &PHUsersAndGroups::stopAskingBeforeDeletingUsers, m_options,
            [this] { m_options->setAskBeforeDeletingUsers(false); });
    connect(usersAndGroups, &PHUsersAndGroups::stopAskingBeforeDeletingGroups, m_options,
            [this] { m_options->setAskBeforeDeletingGroups(false); });
    connect(m_folders->protection(), &PHFolderProtection::stopAskingBeforeClearing, m_options,
            [this] { m_options->setAskBeforeClearing(false); });

    // Start-up: the stored settings shape the tabs, then the Folders tab reads
    // the web folder's files, once.
    m_options->applyStored();
    load();
    m_folders->setUp();
}

void PortholdPref::load() {
    m_options->load();
    m_about->load();
    m_folders->load();
}

void PortholdPref::wireTabs() {
    connect(m_folders->editor(), &PHManualEditor::questionCancelled, this, [this](const QString &action) {
        // The host waits for an answer whatever ended the question.
        if (action == kReplyToShouldUnselect && m_unselectReply)
            m_unselectReply(false);
    });
    // News is about the tab it was made on.
    connect(m_tabs, &QTabWidget::currentChanged, this, [this] {
        if (m_messageLine)
            m_messageLine->dismiss();
        m_server->dismissMessages();
    });
    // The window's keys: closing asks about unsaved edits as the title bar's
    // button does; quitting closes every window of the program.
    connect(PHWindowKeys::add(m_mainView, PHWindowKeys::closeKeys()), &QShortcut::activated, this, [this] {
        if (m_window)
            m_window->close();
    });
    connect(PHWindowKeys::add(m_mainView, PHWindowKeys::quitKeys()), &QShortcut::activated, this,
            [] { QApplication::closeAllWindows(); });
}

void PortholdPref::showMessage(PHThemeColors::Meaning meaning, const QString &text) {
    if (m_messageLine)
        m_messageLine->showMessage(meaning, text);
}

// ----- Lifecycle -----

void PortholdPref::didSelect() {
    if (!m_mainView)
        return;
    m_about->didSelect();
    m_server->didSelect();
    m_folders->didSelect();
}

PHPreferencePane::UnselectReply PortholdPref::shouldUnselect() {
    PHManualEditor *editor = m_folders ? m_folders->editor() : nullptr;
    if (!editor || !editor->hasUnsavedEdits())
        return UnselectNow;
    if (editor->isAsking())
        return UnselectCancel; // the question on screen must be answered first
    editor->holdBackForUnsavedEdits(kReplyToShouldUnselect, this, [this] {
        if (m_unselectReply)
            m_unselectReply(true);
    });
    return UnselectLater;
}

void PortholdPref::didUnselect() {
    if (m_about)
        m_about->didUnselect();
    if (m_folders)
        m_folders->didUnselect();
    if (m_server)
        m_server->didUnselect();
}

// ----- What the model and the views ask -----

PHModelContext PortholdPref::modelContext() {
    return {this, this, this, this, this};
}

QStringList PortholdPref::userNames() {
    return m_folders ? m_folders->usersAndGroups()->userNames() : QStringList();
}

QStringList PortholdPref::groupNames() {
    return m_folders ? m_folders->usersAndGroups()->groupNames() : QStringList();
}

QStringList &PortholdPref::addresses() {
    return m_folders ? m_folders->addresses()->addresses() : m_noAddresses;
}

bool PortholdPref::discoversAddresses() {
    return PHSettingsStore::instance()->boolForKey(PHSettings::Key::ShouldDiscoverAddresses);
}

void PortholdPref::replaceKnownAddress(qint32 index, const QString &address) {
    if (m_folders)
        m_folders->addresses()->replace(index, address);
}

bool PortholdPref::hasUnsavedEdits() const {
    return m_folders && m_folders->editor()->hasUnsavedEdits();
}

void PortholdPref::askAboutUnsavedEdits(const DeferredAction &action) {
    if (m_folders)
        m_folders->editor()->askAboutUnsavedEdits(action);
}

PHFSItem *PortholdPref::selectedItem() {
    return m_folders ? m_folders->protection()->selectedFolder() : nullptr;
}

QString PortholdPref::location(PHWebRoot::PathKind kind) {
    return PHWebRootPart::location(kind);
}

QString PortholdPref::serverLocation(PHWebRoot::PathKind kind) {
    return PHWebRootPart::serverLocation(kind);
}

// ----- Error display -----

void PortholdPref::displayError(qint32 code, const QString &detail) {
    if (code == 0)
        return;
    // Widened first: the negative of the smallest code does not fit in 32 bits.
    const qint64 magnitude = qAbs(qint64(code));
    const QString text = magnitude < m_errors.size() ? m_errors.at(magnitude) : QString();
    Log::write(QStringLiteral("[Porthold] Error %1: %2")
                   .arg(code)
                   .arg(text.isNull() ? QStringLiteral("(null)") : text));
    PHAlertSheet::Request request;
    request.title = QStringLiteral("An Error Occurred");
    request.defaultButton = QStringLiteral("OK");
    request.context = QStringLiteral("error");
    request.message = PHErrorTexts::message(m_errors, code);
    // Which file, and what the system said: without them the text above
    // cannot tell a full disk from a missing permission.
    if (!detail.isEmpty())
        request.message += QStringLiteral("\n\n") + detail;
    PHAlertSheet::begin(m_window, request, [](int) {});
}
