#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>

class PHFSItem;
class QObject;

/// An operation of the panel held back behind the unsaved-manual-edits prompt
/// and run again after "Save" or "Don't Save".
struct DeferredAction {
    QString name;                  // the operation, for logs and tests
    std::function<void()> perform; // runs the operation with its sender value
};

/// Everything the model, the data sources, the views and the server controller
/// ask of the panel controller. `PortholdPref` implements it; tests and headless
/// front ends install their own, so the model runs without a window.
class PanelContext {
public:
    virtual ~PanelContext() = default;

    /// The installed context, or nullptr when none is installed. Callers treat a
    /// missing context as "nothing there" (empty lists, false, no path).
    static PanelContext *sharedInstance();
    static void setSharedInstance(PanelContext *context);

    // Lists the access-file reader filters against.
    virtual QStringList userArray() = 0;
    virtual QStringList groupArray() = 0;
    /// The known-address list; the reader appends discovered addresses to it.
    virtual QStringList &addresses() = 0;
    virtual bool shouldDiscoverAddresses() = 0;
    virtual QString addressAtIndex(qint32 index) = 0;

    // Manual-edit guard.
    virtual bool hasBeenManuallyEdited() = 0;
    virtual void presentManualEditingErrorWithInvocation(const DeferredAction &action) = 0;
    /// The one guard in front of every operation that would lose the manual
    /// editor's unsaved text. Without unsaved text it returns false and the
    /// caller goes on. Otherwise it runs `putBack` (a control shows its old
    /// value again), asks Save / Don't Save / Cancel, runs `retry` after Save
    /// or Don't Save while `owner` (when given) still exists, and returns true:
    /// the caller stops here.
    bool holdBackForManualEdits(const QString &name, const QObject *owner, const std::function<void()> &retry,
                                const std::function<void()> &putBack = {});

    /// Shows the text of an error code (0 shows nothing); `detail` names the
    /// file and the system's reason ("/var/www/html/.htusers: Permission
    /// denied") and is shown after the text.
    virtual void displayError(qint32 code, const QString &detail = QString()) = 0;

    // Web root and selection.
    virtual PHFSItem *selectedItem() = 0;
    /// Kinds: 1 user file, 3 group file, 4 web root (the others as the panel defines them).
    virtual QString portholdLocation(qint32 kind) = 0;
    virtual QString adjustedPortholdLocation(qint32 kind) = 0;
    virtual void webOutlineClick(QObject *sender) = 0;

    // Addresses and users.
    virtual void replaceAddressAtIndexWithAddress(qint32 index, const QString &address) = 0;
    virtual bool tableViewDeleteRow(QObject *tableView, qint32 row) = 0;
    virtual void userWasDeleted(const QString &name) = 0;

    /// The bundle's information record ("CFBundleName", "CFBundleVersion",
    /// "CFBundleCompany", "CFBundleIdentifier", ...).
    virtual QVariantMap bundleInfo() = 0;
    /// The bundle's folder (resources, the tool), or empty when there is none.
    virtual QString bundlePath() { return {}; }
};
