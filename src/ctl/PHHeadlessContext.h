#pragma once

#include "core/PHErrorReporter.h"
#include "model/PHModelContext.h"
#include "support/PHExtensions.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class PHFSItem;
class PHUsersModel;
class PHGroupsModel;

/// What the model asks of a front end without a window: the panel's settings
/// store, web root, known-address list, users and groups; no folder is ever
/// selected. Questions are answered as the panel answers them; errors the model
/// reports are collected for the caller to print. The program names itself
/// as the panel does while it exists.
class PHHeadlessContext : public PHKnownNames, public PHLocations, public PHErrorReporter {
public:
    /// Points the settings store at the panel's identifier and registers the
    /// panel's defaults for every key this front end reads.
    static void registerDefaults();
    /// The web root the panel is configured for ("Porthold Protected Folder").
    static QString configuredWebRoot();

    /// `webRoot` empty: the configured one.
    explicit PHHeadlessContext(const QString &webRoot);
    ~PHHeadlessContext() override;
    PHHeadlessContext(const PHHeadlessContext &) = delete;
    PHHeadlessContext &operator=(const PHHeadlessContext &) = delete;

    const QString &webRoot() const { return m_webRoot; }

    /// Reads the user and group files and the stored known addresses, as the
    /// panel does at start-up.
    void load();
    /// The same with the user file left to the caller, which works on it in
    /// pieces (users() stays null). `listedUsers` are the users the caller
    /// found in the file among the names it asked about, every member the
    /// group file names among them (groupFileMembers()): the group members
    /// are checked against them, and userNames() answers with them. Without
    /// them the members are not checked and the group file is not written.
    void loadWithoutUserRecords(std::optional<QStringList> listedUsers = std::nullopt);
    /// Users the caller found in the file since, among further names.
    void addListedUsers(const QStringList &names);
    /// A listed user that is gone from the file.
    void removeListedUser(const QString &name);
    /// Every name the group file lists as a member, each once; none when the
    /// file is missing or cannot be read (loading then says why).
    QStringList groupFileMembers();

    /// What the model and its item models are handed: this context, without
    /// a selected folder or a manual editor to guard.
    PHModelContext modelContext() { return {this, this, this, nullptr, nullptr}; }

    PHUsersModel *users() const { return m_users.get(); }
    PHGroupsModel *groups() const { return m_groups.get(); }

    /// Appends the lower-cased address unless it is already known, and stores
    /// the list. The caller has checked it with `PHEditRules::addressRefusal`.
    void addKnownAddress(const QString &address);
    /// Stores the known-address list under "Address Array".
    void storeAddresses();

    /// Error codes the model reported through `displayError`, in order.
    const QList<qint32> &reportedErrors() const { return m_errors; }
    /// The panel's wording of an error code.
    QString errorMessage(qint32 code) const;
    /// The error reported `index`th, as "FILE: the panel's wording", with the
    /// reason the model gave (a link refused, a file too large) after it.
    QString reportedMessage(qsizetype index, const QString &file) const;

    QStringList userNames() override;
    QStringList groupNames() override;
    QStringList &addresses() override { return m_addresses; }
    bool discoversAddresses() override;
    void replaceKnownAddress(qint32 index, const QString &address) override;
    QString location(PHWebRoot::PathKind kind) override;
    QString serverLocation(PHWebRoot::PathKind kind) override;
    void displayError(qint32 code, const QString &detail = QString()) override;

    /// The panel's information record: name, version, company, identifier.
    static QVariantMap bundleInfo();
    /// The panel's bundle beside this program, or empty when there is none.
    const QString &bundlePath() const { return m_bundlePath; }

private:
    void loadGroupsAndAddresses();

    QString m_webRoot;
    QString m_bundlePath;
    QStringList m_addresses;
    // Read once a command, as the known addresses are: every access file
    // parsed asks for it.
    std::optional<bool> m_discoversAddresses;
    std::unique_ptr<PHUsersModel> m_users;
    std::unique_ptr<PHGroupsModel> m_groups;
    std::optional<QStringList> m_listedUsers;
    QList<qint32> m_errors;
    QStringList m_errorDetails;
    QStringList m_errorTexts;
    PHApplication::Information m_previousInformation;
};
