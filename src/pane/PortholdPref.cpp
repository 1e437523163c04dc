// The panel controller: start-up, lifecycle, options, the unsaved-edits guard
// and the error display. Web-root handling and protection editing are in the
// neighbouring PortholdPref*.cpp files.

#include "pane/PortholdPref.h"

#include "core/Log.h"
#include "model/PHEditRules.h"
#include "model/PHErrorTexts.h"
#include "model/PHFSItem.h"
#include "model/PHGroupsDataSource.h"
#include "model/PHSettings.h"
#include "model/PHUsersDataSource.h"
#include "model/PHWebRoot.h"
#include "pane/PHAboutTab.h"
#include "pane/PHOptionsTab.h"
#include "pane/PHServerTab.h"
#include "pane/PortholdPrefSupport.h"
#include "platform/PHAction.h"
#include "platform/PHAlertSheet.h"
#include "platform/PHEnabling.h"
#include "platform/PHImage.h"
#include "platform/PHWindowKeys.h"
#include "server/PHApacheController.h"
#include "support/PHExtensions.h"
#include "support/PHUserDefaults.h"
#include "views/PHAddressDataSource.h"
#include "views/PHFSDataSource.h"
#include "views/PHOutlineView.h"
#include "views/PHTableView.h"
#include "views/PHUiLoader.h"

#include <QAbstractButton>
#include <QApplication>
#include <QBoxLayout>
#include <QButtonGroup>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QSet>
#include <QShortcut>
#include <QSplitter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTabWidget>
#include <QTextBrowser>
#include <QVBoxLayout>

#include <functional>

using namespace PortholdPrefSupport;

namespace {

const QString kManualEditorTitle = QStringLiteral("Do you want to save manual editor changes?");
const QString kManualEditorMessage = QStringLiteral(
    "If you do not save your manual editor changes, they will be lost when performing this action");
const QString kReplyToShouldUnselect = QStringLiteral("replyToShouldUnselect:");

/// The controllers that widgets' signals reach: this object and the tabs.
QList<QObject *> receiversOf(QObject *panel) {
    QList<QObject *> receivers{panel};
    receivers += panel->findChildren<QObject *>(Qt::FindDirectChildrenOnly);
    return receivers;
}

/// The users', groups' and addresses' columns: a check box, and the name
/// taking the rest of the width.
template <typename View>
void checkAndNameColumns(const View &view, QHeaderView *header, const QString &identifier,
                         const QString &title) {
    view->setColumns({{QStringLiteral("active"), QString(), PHItemModel::ColumnKind::Check},
                      {identifier, title, PHItemModel::ColumnKind::Text}});
    header->setSectionResizeMode(0, QHeaderView::Fixed);
    header->resizeSection(0, 28);
    header->setStretchLastSection(true);
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

/// The folder outline at its smallest: the protection pop-up as wide as its
/// longest choice and no wider, and room left for a usual name two levels
/// down. A longer name loses its middle, so its start and end stay readable.
void fitFolderColumns(PHOutlineView *outline, const QFont &nameFont) {
    const QFontMetrics metrics(outline->font());
    int widest = 0;
    for (qint32 mode = 0; mode <= 4; ++mode)
        widest = qMax(widest, metrics.horizontalAdvance(PHFSItem::modeName(mode)));
    QStyleOptionComboBox combo;
    combo.initFrom(outline);
    QStyle *style = outline->style();
    const int protection =
        style->sizeFromContents(QStyle::CT_ComboBox, &combo, QSize(widest, metrics.height()), outline)
            .width() +
        4;
    QHeaderView *header = outline->header();
    header->resizeSection(1, protection);
    const int name = 2 * outline->indentation() + 16 + 8 + QFontMetrics(nameFont).averageCharWidth() * 15;
    const int chrome =
        2 * outline->frameWidth() + style->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, outline);
    outline->setMinimumWidth(
        qMax(outline->minimumWidth(), name + protection + header->sectionSize(2) + chrome));
    outline->setTextElideMode(Qt::ElideMiddle);
}

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
    m_accessObserver = ObserverRegistration(PHFSItem::AccessFileDidChangeNotification, nullptr,
                                            [this](const Notification &) {
                                                // An edit in progress is the user's: a re-read never replaces
                                                // it. Nothing to show before the layout is there.
                                                if (!m_mainView)
                                                    return;
                                                if (!m_manuallyEdited)
                                                    showCustomEditor();
                                                else
                                                    showEffectiveAccess(); // a folder above changed
                                            });
    m_settingsObserver = ObserverRegistration(PHUserDefaults::DidChangeNotification, nullptr,
                                              [this](const Notification &note) {
                                                  // Another front end changed the settings: show what is
                                                  // stored now.
                                                  if (!m_mainView)
                                                      return;
                                                  load();
                                                  if (note.userInfo.value(QStringLiteral("keys"))
                                                          .toStringList()
                                                          .contains(PHSettings::Key::AddressArray))
                                                      reloadKnownAddresses();
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
    m_userFileObserver =
        ObserverRegistration(PHUsersDataSource::UserFileDidSaveNotification, nullptr, saidOnSave);
    m_groupFileObserver =
        ObserverRegistration(PHGroupsDataSource::GroupFileDidSaveNotification, nullptr, saidOnSave);
    m_refusalObserver =
        ObserverRegistration(PHActionRefusedNotification, nullptr, [this](const Notification &n) {
            showMessage(PHThemeColors::Meaning::Negative,
                        n.userInfo.value(QStringLiteral("reason")).toString());
        });
    Log::format("Created %s", "PortholdPref");
}

PortholdPref::~PortholdPref() {
    m_accessObserver.reset();
    m_settingsObserver.reset();
    m_savedObserver.reset();
    m_userFileObserver.reset();
    m_groupFileObserver.reset();
    m_refusalObserver.reset();
    // The views go first: they ask the data sources (children of this object) until they are gone.
    // What the widgets signal while they are taken down no longer reaches this object, whose
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
    awakeFromNib();
    return m_mainView;
}

// ----- Start-up -----

namespace {

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

bool PortholdPref::findLayoutWidgets() {
    LayoutWidgets layout(m_mainView);
    layout.find(m_tabs, "tabs");
    layout.find(m_portholdStatus, "portholdStatus");
    layout.find(m_webRootStatus, "webRootStatus");
    layout.find(m_webDirOutline, "webDirOutline");
    layout.find(m_userAddressTabs, "userAddressTabs");
    layout.find(m_userTable, "userTable");
    layout.find(m_userEditButton, "userEditButton");
    layout.find(m_userDeleteButton, "userDeleteButton");
    layout.find(m_groupOutline, "groupOutline");
    layout.find(m_groupDeleteButton, "groupDeleteButton");
    layout.find(m_addressTable, "addressTable");
    layout.find(m_addressDeleteButton, "addressDeleteButton");
    layout.find(m_addressDiscoverSwitch, "addressDiscoverSwitch");
    layout.find(m_manualEditTabViewItem, "custom");
    layout.find(m_customViewText, "customViewText");
    layout.find(m_customSaveButton, "customSaveButton");
    layout.find(m_customRevertButton, "customRevertButton");
    layout.find(m_webDirFolder, "webDirFolder");
    layout.find(m_splitView, "splitView");
    // Looked up where they are used, and required all the same.
    for (const char *name :
         {"userSortCheck", "groupSortCheck", "accessFileDeleteCheck", "userDeleteCheck", "groupDeleteCheck",
          "manualEditCheck", "customDirCheck", "remoteApacheCheck", "launchVersionCheck"})
        layout.find<QAbstractButton>(name);
    layout.find<QLabel>("nameVersionText");
    layout.find<QTextBrowser>("creditsText");
    layout.find<QRadioButton>("addressModeAllow");
    layout.find<QRadioButton>("addressModeDeny");
    layout.find<QAbstractButton>("versionCheckButton");
    layout.find<QWidget>("versionCheckProgress");
    layout.find<QWidget>("lastCheckText");
    if (layout.missing().isEmpty())
        return true;
    Log::write(QStringLiteral("An error occurred loading Porthold.ui: it has no %1")
                   .arg(layout.missing().join(QStringLiteral(", "))));
    return false;
}

void PortholdPref::awakeFromNib() {
    QWidget *view = m_mainView;
    setUpMessageLine();
    // The window fits a small screen (a 1366x768 laptop with its panels).
    letButtonsShrinkToTheirText(view);
    letPopUpShrink(m_webDirFolder);
    seeThroughScrollAreas(view);
    // The two-row address matrix: row 0 allows the listed addresses, row 1 denies them.
    m_addressMode = new QButtonGroup(view);
    m_addressMode->setObjectName(QStringLiteral("addressMode"));
    if (auto *allow = view->findChild<QRadioButton *>(QStringLiteral("addressModeAllow")))
        m_addressMode->addButton(allow, 0);
    if (auto *deny = view->findChild<QRadioButton *>(QStringLiteral("addressModeDeny")))
        m_addressMode->addButton(deny, 1);

    // The mode pop-up of the folder outline.
    m_directoryMenu = new QMenu(view);
    m_directoryMenu->setObjectName(QStringLiteral("directoryMenu"));
    for (qint32 mode = 0; mode <= 4; ++mode)
        m_directoryMenu->addAction(PHFSItem::modeName(mode));

    m_manualEditTabTitle = m_userAddressTabs->tabText(m_userAddressTabs->indexOf(m_manualEditTabViewItem));
    m_splitView->setStretchFactor(0, 3);
    m_splitView->setStretchFactor(1, 2);
    // The divider stays 70 points from the left edge and 140 from the
    // right one: each side keeps at least that much.
    if (m_splitView->count() == 2) {
        QWidget *left = m_splitView->widget(0);
        QWidget *right = m_splitView->widget(1);
        left->setMinimumWidth(qMax(left->minimumWidth(), splitViewConstrainMinCoordinate(0)));
        // And never less than its buttons need.
        right->setMinimumWidth(qMax(right->minimumSizeHint().width(), -splitViewConstrainMaxCoordinate(0)));
    }

    PHUserDefaults *defaults = PHUserDefaults::standardUserDefaults();
    setUpTabs();
    m_addressDiscoverSwitch->setChecked(defaults->boolForKey(PHSettings::Key::ShouldDiscoverAddresses));
    // The pop-up mirrors the stored root before the options act on it, so
    // that turning custom roots off cannot move a stored system root to item 0.
    const qint32 stored = defaults->integerForKey(PHSettings::Key::ProtectedFolder);
    m_webDirFolder->setCurrentIndex(stored == 1 ? 1 : 0);
    m_options->applyStored();
    load();
    fillWebDirFolderIcons();
    // The folder data source loads the delete images from the bundle;
    // setTables reads the user and group files, once.
    setTables();
    wireActions();
    userClick(nullptr);
    groupClick(nullptr);
    webOutlineClick(nullptr);
    explainWebRoot();
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
    server.status = m_portholdStatus;
    find(server.binaryField, "binaryField");
    find(server.confDirField, "confDirField");
    find(server.logDirField, "logDirField");
    find(server.detectButton, "detectServerButton");
    m_server = new PHServerTab(server, modelContext(), m_bundle.bundlePath(), this);
    connect(m_server, &PHServerTab::messageShown, this, say);

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
    m_options = new PHOptionsTab(options, this, this);
    connect(m_options, &PHOptionsTab::sortUsersChanged, this, [this](bool sorted) {
        if (sorted && m_users)
            m_users->sortByUsername(); // the view shows it at its next reload
    });
    connect(m_options, &PHOptionsTab::sortGroupsChanged, this, [this](bool sorted) {
        if (sorted && m_groups)
            m_groups->sortGroups();
    });
    connect(m_options, &PHOptionsTab::manualEditorShownChanged, this, &PortholdPref::showManualEditorTab);
    connect(m_options, &PHOptionsTab::customRootsAllowedChanged, this, &PortholdPref::allowCustomRoots);
    connect(m_options, &PHOptionsTab::remoteServerChanged, m_server, &PHServerTab::setRemote);
    connect(m_options, &PHOptionsTab::passwordHashChanged, this, &PortholdPref::showPasswordWarning);
}

void PortholdPref::load() {
    m_options->load();
    m_about->load();
    if (m_webDirFolder->count() > 0) {
        qint32 index =
            PHUserDefaults::standardUserDefaults()->integerForKey(PHSettings::Key::ProtectedFolder);
        const qint32 last = qint32(m_webDirFolder->count()) - 1;
        if (index >= last)
            index = last;
        m_webDirFolder->setCurrentIndex(qMax(0, index));
    }
}

void PortholdPref::fillWebDirFolderIcons() {
    if (m_webDirFolder->count() < 2)
        return;
    const auto folderIcon = [](const QString &path) {
        QIcon icon(PHImage::imageForFileWidthHeight(path, 16, 16));
        return icon.isNull() ? PHImage::folderImage() : icon;
    };
    m_webDirFolder->setItemIcon(0, folderIcon(PHWebRoot::userWebFolder()));
    m_webDirFolder->setItemIcon(1, folderIcon(PHWebRoot::systemWebFolder()));
}

void PortholdPref::reloadKnownAddresses() {
    // Start empty, then the stored list.
    m_addresses.clear();
    const auto stored = PHUserDefaults::standardUserDefaults()->arrayForKey(PHSettings::Key::AddressArray);
    QStringList storedAddresses;
    for (const QVariant &address : stored.value_or(QVariantList()))
        storedAddresses.append(address.toString());
    addAddressesFromArray(storedAddresses);
    m_addressTable->reloadData();
}

void PortholdPref::setTables() {
    // Folders are read against the users, groups and known addresses, so
    // those are loaded first: read against empty lists, the first edit of a
    // folder would drop entries that are in force.
    reloadUsersAndGroups();
    reloadKnownAddresses();
    // The folder outline.
    delete m_files;
    m_files = new PHFSDataSource(location(PHWebRoot::Root), this);
    m_files->setContext(modelContext());
    m_files->setBundlePath(m_bundle.bundlePath());
    // A mode chosen from a folder's pop-up: the views beside it follow.
    connect(m_files, &PHFSDataSource::modeChanged, this, [this] { webOutlineClick(nullptr); });
    connect(m_files, &PHFSDataSource::accessFileChangedOnDisk, this, [this](PHFSItem *item) {
        // Another program edited a folder's access file: show what it says now.
        m_files->refreshFolder(item);
        if (item == m_fsItem)
            webOutlineClick(nullptr);
    });
    m_webDirOutline->setModel(m_files);
    m_webDirOutline->setColumns(
        {{QStringLiteral("dir"), QStringLiteral("Folder"), PHItemModel::ColumnKind::Text},
         {QStringLiteral("protect"), QStringLiteral("Protection"), PHItemModel::ColumnKind::PopUp},
         {QStringLiteral("delete"), QString(), PHItemModel::ColumnKind::Button}});
    m_webDirOutline->setPopUpMenu(QStringLiteral("protect"), m_directoryMenu);
    m_webDirOutline->setOutlineColumn(QStringLiteral("dir"));
    QHeaderView *header = m_webDirOutline->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    header->setSectionResizeMode(1, QHeaderView::Interactive);
    header->resizeSection(1, 190);
    header->setSectionResizeMode(2, QHeaderView::Fixed);
    header->resizeSection(2, 28);
    m_webDirOutline->setStyleSheet(
        QStringLiteral("PHOutlineView::item { padding-top: 2px; padding-bottom: 2px; }"));
    m_webDirOutline->expandToDepth(0);
    // The user table and the group outline get their columns here and their
    // data sources from reloadUsersAndGroups.
    checkAndNameColumns(m_userTable, m_userTable->horizontalHeader(), QStringLiteral("user"),
                        QStringLiteral("User"));
    m_userTable->setSelectionMode(QAbstractItemView::SingleSelection);
    m_userTable->setDragEnabled(true);
    checkAndNameColumns(m_groupOutline, m_groupOutline->header(), QStringLiteral("group"),
                        QStringLiteral("Group"));
    m_groupOutline->setOutlineColumn(QStringLiteral("group"));
    m_groupOutline->setAcceptDrops(true);
    m_groupOutline->setDropIndicatorShown(true);
    // Folder and user names are in the views' own font, the desktop's, like
    // the group names beside them.
    // A step per level as wide as the folder icon: deep names keep their room.
    m_webDirOutline->setIndentation(16);
    fitFolderColumns(m_webDirOutline, m_webDirOutline->font());
    delete m_addressSource;
    m_addressSource = new PHAddressDataSource(modelContext(), this);
    m_addressTable->setModel(m_addressSource);
    checkAndNameColumns(m_addressTable, m_addressTable->horizontalHeader(), QStringLiteral("address"),
                        QStringLiteral("Address"));
    m_addressTable->setSelectionMode(QAbstractItemView::ExtendedSelection);
}

void PortholdPref::reloadUsersAndGroups() {
    delete m_users;
    m_users = new PHUsersDataSource(modelContext(), this);
    // A deleted user leaves every group.
    connect(m_users, &PHUsersDataSource::userDeleted, this, [this](const QString &name) {
        if (m_groups)
            m_groups->removeUserFromGroups(name);
    });
    m_userTable->setBundlePath(m_bundle.bundlePath());
    m_userTable->setModel(m_users);
    m_userTable->reloadData();
    delete m_groups;
    m_groups = new PHGroupsDataSource(modelContext(), userNames(), this);
    m_groups->setUserFileLoadFailed(m_users->loadFailed());
    m_groupOutline->setModel(m_groups);
    m_groupOutline->reloadData();
    wireGroupsDataSource();
}

void PortholdPref::wireActions() {
    auto wire = [this](QAbstractButton *button, const char *what, auto action) {
        if (!button)
            return;
        connect(button, &QAbstractButton::clicked, this,
                [this, button, what, action] { PHAction::run(what, [&] { (this->*action)(button); }); });
    };
    QWidget *view = m_mainView;
    auto button = [view](const char *name) {
        return view->findChild<QAbstractButton *>(QLatin1String(name));
    };

    wire(m_addressDiscoverSwitch, "toggleAddressDiscovery:", &PortholdPref::toggleAddressDiscovery);
    wire(m_customSaveButton, "saveCustomEdit:", &PortholdPref::saveCustomEdit);
    wire(m_customRevertButton, "revertCustomEdit:", &PortholdPref::revertCustomEdit);
    wire(button("addressAddButton"), "addAddress:", &PortholdPref::addAddress);
    wire(m_addressDeleteButton, "removeAddress:", &PortholdPref::removeAddress);
    wire(button("webRefreshButton"), "webRefresh:", &PortholdPref::webRefresh);
    wire(button("revealWebDirButton"), "revealWebDir:", &PortholdPref::revealWebDir);
    wire(button("viewOnWebButton"), "viewSelectionOnWeb:", &PortholdPref::viewSelectionOnWeb);
    wire(button("checkAccessButton"), "checkSelectionAccess:", &PortholdPref::checkSelectionAccess);

    connect(m_addressMode, &QButtonGroup::idClicked, this,
            [this] { PHAction::run("changeAddressMode:", [&] { changeAddressMode(m_addressMode); }); });
    connect(m_webDirFolder, &QComboBox::activated, this,
            [this] { PHAction::run("setWebDirRoot:", [&] { setWebDirRoot(m_webDirFolder); }); });
    connect(m_customViewText, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_customViewText->property("settingText").toBool())
            PHAction::run("textDidChange:", [&] { textDidChange(); });
    });
    connect(m_webDirOutline, &PHOutlineView::action, this,
            [this] { PHAction::run("webOutlineClick:", [&] { webOutlineClick(m_webDirOutline); }); });
    connect(m_webDirOutline, &PHOutlineView::doubleAction, this,
            [this] { PHAction::run("viewSelectionOnWeb:", [&] { viewSelectionOnWeb(m_webDirOutline); }); });
    connect(m_webDirOutline, &PHOutlineView::buttonClicked, this,
            [this](const QString &, const QModelIndex &index) {
                PHAction::run("clearAccessPrompt:", [&] {
                    // The button acts on its own row; when the guard keeps the
                    // selection elsewhere, it does nothing.
                    if (m_webDirOutline->selectIndex(index, false) &&
                        m_webDirOutline->selectedIndex() == index)
                        clearAccessPrompt(m_webDirOutline);
                });
            });
    connect(m_addressTable, &PHTableView::action, this,
            [this] { PHAction::run("addressClick:", [&] { addressClick(m_addressTable); }); });
    // The delete key works on each view's own selection.
    connect(m_userTable, &PHTableView::deleteKeyPressed, this, [this] { deleteUser(m_userTable); });
    connect(m_groupOutline, &PHOutlineView::deleteKeyPressed, this, [this] { deleteGroup(m_groupOutline); });
    connect(m_addressTable, &PHTableView::deleteKeyPressed, this, [this] { removeAddress(m_addressTable); });
    connect(m_webDirOutline, &PHOutlineView::deleteKeyPressed, this, [this] {
        PHFSItem *item = selectedFolder();
        if (item && item->hasAccessFile())
            clearAccessPrompt(m_webDirOutline);
    });
    // A reload forgets the selection: the buttons that act on it follow.
    connect(m_addressTable, &PHTableView::rowsReloaded, this, [this] { addressClick(m_addressTable); });
    connect(m_userTable, &PHTableView::rowsReloaded, this, [this] { userClick(m_userTable); });
    connect(m_groupOutline, &PHOutlineView::rowsReloaded, this, [this] { groupClick(m_groupOutline); });
    connect(m_userTable, &PHTableView::action, this,
            [this] { PHAction::run("userClick:", [&] { userClick(m_userTable); }); });
    connect(m_groupOutline, &PHOutlineView::action, this,
            [this] { PHAction::run("groupClick:", [&] { groupClick(m_groupOutline); }); });
    wireUsersAndGroups();
    setUpContextMenus();

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

// ----- The line of news -----

void PortholdPref::setUpMessageLine() {
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

// ----- Lifecycle -----

void PortholdPref::didSelect() {
    if (!m_mainView)
        return;
    m_about->didSelect();
    m_server->didSelect();
    showCustomEditor();
}

PHPreferencePane::UnselectReply PortholdPref::shouldUnselect() {
    if (!m_manuallyEdited)
        return UnselectNow;
    if (m_promptOpen)
        return UnselectCancel; // the prompt on screen must be answered first
    holdBackForManualEdits(kReplyToShouldUnselect, this, [this] { replyToShouldUnselect(true); });
    return UnselectLater;
}

void PortholdPref::replyToShouldUnselect(bool mayUnselect) {
    if (m_unselectReply)
        m_unselectReply(mayUnselect);
}

void PortholdPref::didUnselect() {
    if (m_about)
        m_about->didUnselect();
    // Leaving writes the lists back, but never creates files for empty lists.
    if (m_users)
        m_users->writeUserfileUnlessEmptyAndMissing();
    if (m_groups)
        m_groups->writeGroupfileUnlessEmptyAndMissing();
    if (m_server)
        m_server->didUnselect();
}

// ----- Guard for unsaved manual edits -----

bool PortholdPref::holdBack(const QString &name, const QObject *owner, const std::function<void()> &retry,
                            const std::function<void()> &putBack) {
    return holdBackForManualEdits(name, owner, retry, putBack);
}

void PortholdPref::presentManualEditingErrorWithInvocation(const DeferredAction &action) {
    if (m_promptOpen) {
        // One question at a time: the prompt on screen already holds an action.
        Log::write(QStringLiteral("%1 held back while the manual editor prompt is open").arg(action.name));
        return;
    }
    m_promptOpen = true;
    QPointer<PortholdPref> self(this);
    PHAlertSheet::Request request;
    request.title = kManualEditorTitle;
    request.message = kManualEditorMessage;
    request.defaultButton = QStringLiteral("Save");
    request.alternateButton = QStringLiteral("Don't Save");
    request.otherButton = QStringLiteral("Cancel");
    request.context = action.name;
    PHAlertSheet::begin(m_window, request, [self, action](int returnCode) {
        if (!self)
            return;
        self->m_promptOpen = false;
        self->manualEditorSheetDidEnd(returnCode, action);
    });
}

void PortholdPref::manualEditorSheetDidEnd(int returnCode, const DeferredAction &action) {
    const bool hostReply = action.name == kReplyToShouldUnselect;
    switch (returnCode) {
    case PHAlertSheet::Default:
        if (saveCustomEdit(nullptr)) {
            action.perform();
            return;
        }
        break; // not saved: stay, as if Cancel had been chosen
    case PHAlertSheet::Alternate:
        m_manuallyEdited = false;
        action.perform();
        return;
    case PHAlertSheet::Other:
        break;
    case PHAlertSheet::Error:
        Log::write(QStringLiteral("An error occurred in 'manualEditorSheetDidEnd:returnCode:contextInfo:'"));
        break;
    default:
        break;
    }
    // The host waits for an answer whatever ended the prompt.
    if (hostReply)
        replyToShouldUnselect(false);
}

// ----- Queries -----

PHModelContext PortholdPref::modelContext() {
    return {this, this, this, this, this};
}

QStringList PortholdPref::userNames() {
    return m_users ? m_users->userNames() : QStringList();
}

QStringList PortholdPref::groupNames() {
    return m_groups ? m_groups->list() : QStringList();
}

bool PortholdPref::discoversAddresses() {
    return PHUserDefaults::standardUserDefaults()->boolForKey(PHSettings::Key::ShouldDiscoverAddresses);
}

QString PortholdPref::addressAtIndex(qint32 index) {
    return index >= 0 && index < m_addresses.size() ? m_addresses.at(index) : QString();
}

qint32 PortholdPref::indexOfAddress(const QString &address) const {
    return qint32(m_addresses.indexOf(address));
}

bool PortholdPref::shouldShowDeleteDialog() const {
    return PHUserDefaults::standardUserDefaults()->boolForKey(PHSettings::Key::ShowDeleteDialog);
}

PHFSItem *PortholdPref::selectedFolder() const {
    return m_files ? m_files->folderForIndex(m_webDirOutline->selectedIndex()) : nullptr;
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
    request.context = QStringLiteral("displayError:");
    request.message = PHErrorTexts::message(m_errors, code);
    // Which file, and what the system said: without them the text above
    // cannot tell a full disk from a missing permission.
    if (!detail.isEmpty())
        request.message += QStringLiteral("\n\n") + detail;
    PHAlertSheet::begin(m_window, request, [](int) {});
}

// ----- Options -----

void PortholdPref::setShouldDiscoverAddresses(bool value) {
    PHUserDefaults::standardUserDefaults()->setBoolForKey(value, PHSettings::Key::ShouldDiscoverAddresses);
}

void PortholdPref::toggleAddressDiscovery(QObject *sender) {
    setShouldDiscoverAddresses(stateOf(sender) != 0);
}

// ----- Users and groups: button state -----

void PortholdPref::userClick(QObject *) {
    const qint32 row = m_userTable->selectedRow();
    const QString whyNot = row == 0
                               ? QStringLiteral("\"Any Valid User\" stands for every user: select one user")
                               : QStringLiteral("Select a user first");
    PHEnabling::setEnabled(m_userEditButton, row > 0, whyNot);
    PHEnabling::setEnabled(m_userDeleteButton, row > 0, whyNot);
}

void PortholdPref::groupClick(QObject *) {
    PHUserItem *item = m_groups ? m_groups->nodeForIndex(m_groupOutline->selectedIndex()) : nullptr;
    if (!item) {
        m_groupDeleteButton->setEnabled(false);
        m_groupDeleteButton->setToolTip(QString());
        m_groupDeleteButton->setAccessibleDescription(QStringLiteral("Select a group or a member first"));
        return;
    }
    m_groupDeleteButton->setEnabled(true);
    m_groupDeleteButton->setAccessibleDescription(QString());
    if (item->hasChildren() || !item->parent())
        m_groupDeleteButton->setToolTip(QStringLiteral("Delete \"%1\"").arg(item->value()));
    else
        m_groupDeleteButton->setToolTip(
            QStringLiteral("Remove \"%1\" from \"%2\"").arg(item->value(), item->parent()->value()));
}
