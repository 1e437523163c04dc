#pragma once

#include "model/PHWebRoot.h"

#include <QString>
#include <QStringList>

#include <functional>

class PHErrorReporter;
class PHFSItem;
class QObject;

/// The names an access file is read against, and the known-address list.
class PHKnownNames {
public:
    virtual ~PHKnownNames() = default;
    virtual QStringList userNames() = 0;
    virtual QStringList groupNames() = 0;
    /// The known-address list; the access-file reader appends the addresses
    /// it discovers to it.
    virtual QStringList &addresses() = 0;
    virtual bool discoversAddresses() = 0;
    /// Puts `address` in place of the known address at `index` (in range) and
    /// stores the list when the address is acceptable.
    virtual void replaceKnownAddress(qint32 index, const QString &address) = 0;
};

/// Where the web root and its user and group files are.
class PHLocations {
public:
    virtual ~PHLocations() = default;
    /// The path on this computer; empty while no web root is chosen.
    virtual QString location(PHWebRoot::PathKind kind) = 0;
    /// The same path as the server names it (what access files say).
    virtual QString serverLocation(PHWebRoot::PathKind kind) = 0;
};

/// The folder the users, groups and addresses are shown for.
class PHFolderSelection {
public:
    virtual ~PHFolderSelection() = default;
    virtual PHFSItem *selectedItem() = 0;
};

/// An operation held back behind the unsaved-manual-edits prompt and run
/// again after "Save" or "Don't Save".
struct DeferredAction {
    QString name;                  // the operation, for logs and tests
    std::function<void()> perform; // runs the operation again
};

/// The manual editor's unsaved text, which no other operation may lose.
class PHManualEditGuard {
public:
    virtual ~PHManualEditGuard() = default;
    virtual bool hasUnsavedEdits() const = 0;
    /// Asks Save / Don't Save / Cancel and runs `action` after Save or Don't Save.
    virtual void askAboutUnsavedEdits(const DeferredAction &action) = 0;
    /// The one guard in front of every operation that would lose the unsaved
    /// text. Without unsaved text it returns false and the caller goes on.
    /// Otherwise it runs `putBack` (a control shows its old value again), asks,
    /// runs `retry` after Save or Don't Save while `owner` (when given) still
    /// exists, and returns true: the caller stops here.
    bool holdBackForUnsavedEdits(const QString &name, const QObject *owner,
                                 const std::function<void()> &retry,
                                 const std::function<void()> &putBack = {});
};

/// What the model and the views ask of the front end they run in, handed in
/// by the front end. A missing part answers "nothing there": no names, no
/// paths, no selection, errors unreported, nothing held back.
struct PHModelContext {
    PHKnownNames *names = nullptr;
    PHLocations *locations = nullptr;
    PHErrorReporter *errors = nullptr;
    PHFolderSelection *selection = nullptr;
    PHManualEditGuard *manualEdits = nullptr;

    QStringList userNames() const;
    QStringList groupNames() const;
    QString location(PHWebRoot::PathKind kind) const;
    QString serverLocation(PHWebRoot::PathKind kind) const;
    void displayError(qint32 code, const QString &detail = QString()) const;
    PHFSItem *selectedItem() const;
    bool hasUnsavedEdits() const;
    /// PHManualEditGuard::holdBackForUnsavedEdits; false without a guard.
    bool holdBackForUnsavedEdits(const QString &name, const QObject *owner,
                                 const std::function<void()> &retry,
                                 const std::function<void()> &putBack = {}) const;
};
