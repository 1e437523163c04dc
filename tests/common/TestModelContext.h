#pragma once

#include "core/PHErrorReporter.h"
#include "model/PHModelContext.h"
#include "model/PHUsersModel.h"
#include "support/PHExtensions.h"

#include <QDir>
#include <QList>
#include <QObject>
#include <QVariantMap>

/// What the model asks of a front end, for tests: plain fields that a test
/// sets, and a record of what the model asked for. Hand `model()` to what a
/// test makes. The program is named by `info` while it exists.
class TestModelContext : public PHKnownNames,
                         public PHLocations,
                         public PHErrorReporter,
                         public PHFolderSelection,
                         public PHManualEditGuard {
public:
    TestModelContext() : m_previousInformation(PHApplication::setInformation(information())) {}
    ~TestModelContext() override { PHApplication::setInformation(m_previousInformation); }
    TestModelContext(const TestModelContext &) = delete;
    TestModelContext &operator=(const TestModelContext &) = delete;

    QStringList users;
    QStringList groups;
    QStringList knownAddresses;
    bool discover = true;
    bool manuallyEdited = false;
    PHFSItem *selected = nullptr;
    QString webRoot;       // the user and group files live here
    QString serverWebRoot; // the same folder as the server sees it (defaults to webRoot)
    QString bundle;

    QList<qint32> errors;           // every displayError code, in order
    QStringList errorDetails;       // the file and reason given with each
    QList<DeferredAction> deferred; // every action the guard was handed
    QStringList deletedUsers;       // the users `follow`ed models deleted
    int outlineClicks = 0;

    PHModelContext model() { return {this, this, this, this, this}; }

    /// The name, version and company the program names itself by.
    void setInfo(const QString &key, const QString &value) {
        m_info.insert(key, value);
        PHApplication::setInformation(information());
    }

    /// Records the users `users` deletes in `deletedUsers`.
    void follow(PHUsersModel &users) {
        QObject::connect(&users, &PHUsersModel::userDeleted, &users,
                         [this](const QString &name) { deletedUsers.append(name); });
    }

    QStringList userNames() override { return users; }
    QStringList groupNames() override { return groups; }
    QStringList &addresses() override { return knownAddresses; }
    bool discoversAddresses() override { return discover; }
    void replaceKnownAddress(qint32 index, const QString &address) override {
        if (index >= 0 && index < knownAddresses.size())
            knownAddresses[index] = address;
    }
    QString location(PHWebRoot::PathKind kind) override { return PHWebRoot::location(webRoot, kind); }
    QString serverLocation(PHWebRoot::PathKind kind) override {
        return PHWebRoot::location(serverWebRoot.isEmpty() ? webRoot : serverWebRoot, kind);
    }
    void displayError(qint32 code, const QString &detail = QString()) override {
        if (code != 0) {
            errors.append(code);
            errorDetails.append(detail);
        }
    }
    PHFSItem *selectedItem() override { return selected; }
    bool hasUnsavedEdits() const override { return manuallyEdited; }
    void askAboutUnsavedEdits(const DeferredAction &action) override { deferred.append(action); }

private:
    PHApplication::Information information() const {
        return {m_info.value("CFBundleName"), m_info.value("CFBundleVersion"),
                m_info.value("CFBundleCompany")};
    }

    QHash<QString, QString> m_info{
        {"CFBundleName", "Porthold"}, {"CFBundleVersion", "1.0"}, {"CFBundleCompany", "Quillmere Software"}};
    PHApplication::Information m_previousInformation;
};
