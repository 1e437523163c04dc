#pragma once

#include "platform/PanelContext.h"

#include <QDir>
#include <QList>

/// A panel context for tests and headless runs: plain fields that a test sets,
/// and a record of what the model asked for. Installs itself as the shared
/// instance for its lifetime.
class TestPanelContext : public PanelContext {
public:
    TestPanelContext() : m_previous(PanelContext::sharedInstance()) { PanelContext::setSharedInstance(this); }
    ~TestPanelContext() override { PanelContext::setSharedInstance(m_previous); }

    QStringList users;
    QStringList groups;
    QStringList knownAddresses;
    bool discover = true;
    bool manuallyEdited = false;
    PHFSItem *selected = nullptr;
    QString webRoot;       // kind 4; the user and group files live here
    QString serverWebRoot; // the same folder as the server sees it (defaults to webRoot)
    QVariantMap info{{"CFBundleName", "Porthold"},
                     {"CFBundleVersion", "1.0"},
                     {"CFBundleCompany", "Quillmere Software"},
                     {"CFBundleIdentifier", "com.quillmere.porthold"}};
    QString bundle;

    QList<qint32> errors;           // every displayError code, in order
    QStringList errorDetails;       // the file and reason given with each
    QList<DeferredAction> deferred; // every action the guard was handed
    QStringList deletedUsers;       // userWasDeleted names
    int outlineClicks = 0;

    QStringList userArray() override { return users; }
    QStringList groupArray() override { return groups; }
    QStringList &addresses() override { return knownAddresses; }
    bool shouldDiscoverAddresses() override { return discover; }
    QString addressAtIndex(qint32 index) override {
        return index >= 0 && index < knownAddresses.size() ? knownAddresses.at(index) : QString();
    }
    bool hasBeenManuallyEdited() override { return manuallyEdited; }
    void presentManualEditingErrorWithInvocation(const DeferredAction &action) override {
        deferred.append(action);
    }
    void displayError(qint32 code, const QString &detail = QString()) override {
        if (code != 0) {
            errors.append(code);
            errorDetails.append(detail);
        }
    }
    PHFSItem *selectedItem() override { return selected; }
    QString portholdLocation(qint32 kind) override { return locationIn(webRoot, kind); }
    QString adjustedPortholdLocation(qint32 kind) override {
        return locationIn(serverWebRoot.isEmpty() ? webRoot : serverWebRoot, kind);
    }
    void webOutlineClick(QObject *) override { ++outlineClicks; }
    void replaceAddressAtIndexWithAddress(qint32 index, const QString &address) override {
        if (index >= 0 && index < knownAddresses.size())
            knownAddresses[index] = address;
    }
    bool tableViewDeleteRow(QObject *, qint32) override { return false; }
    void userWasDeleted(const QString &name) override { deletedUsers.append(name); }
    QVariantMap bundleInfo() override { return info; }
    QString bundlePath() override { return bundle; }

private:
    static QString locationIn(const QString &root, qint32 kind) {
        if (root.isEmpty())
            return {};
        switch (kind) {
        case 1:
            return QDir(root).filePath(".htusers");
        case 3:
            return QDir(root).filePath(".htgroups");
        case 4:
            return root;
        default:
            return {};
        }
    }
    PanelContext *m_previous;
};
