#pragma once

// Plain C++ and POSIX: the root-only store of authorization records, used by
// the helper (which writes them) and by the root tool (which reads them).

#include "platform/authorization/AuthorizationTypes.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

inline constexpr std::size_t kAuthorizationIdentifierLength = 16;
inline constexpr std::size_t kAuthorizationSecretLength = 16;
using AuthorizationIdentifier = std::array<unsigned char, kAuthorizationIdentifierLength>;
using AuthorizationSecret = std::array<unsigned char, kAuthorizationSecretLength>;

/// One authorization as the store keeps it.
struct AuthorizationRecord {
    AuthorizationIdentifier identifier{};
    AuthorizationSecret secret{};
    uid_t user = 0;            ///< real user of the process that asked for it
    std::string administrator; ///< who authenticated
    std::int64_t expires = 0;  ///< seconds since the epoch
    AuthorizationRights rights;

    /// Whether the record grants `right`: same name, and the same value when the
    /// right asks for one.
    bool grants(const AuthorizationItem &right) const;

    /// The text kept in the record file, and its strict reader (absent on any
    /// line it does not expect).
    std::string serialized() const;
    static std::optional<AuthorizationRecord> parse(const std::string &text);
};

/// Names the store accepts: a right is 1 to 128 of [A-Za-z0-9._-]; an account
/// name 1 to 64 of [A-Za-z0-9._-] (a trailing "$" allowed), not starting with "-".
bool isValidRightName(const std::string &name);
bool isValidAccountName(const std::string &name);

/// Equality of two byte ranges in a time that does not depend on where they differ.
bool constantTimeEqual(const unsigned char *a, const unsigned char *b, std::size_t length);

std::string hexEncoded(const unsigned char *bytes, std::size_t length);
bool hexDecoded(const std::string &text, std::string *bytes);

/// Why a presented external form was refused.
enum class AuthorizationLookup { Granted, Unreadable, Missing, Forged, Expired, OtherUser };
const char *describe(AuthorizationLookup lookup);

/// The folder of records: owned by root, not accessible to anyone else, never
/// reached through a symbolic link at its last component. Every operation
/// works on the folder's open descriptor.
class AuthorizationRecordStore {
public:
    AuthorizationRecordStore() = default;
    ~AuthorizationRecordStore();
    AuthorizationRecordStore(const AuthorizationRecordStore &) = delete;
    AuthorizationRecordStore &operator=(const AuthorizationRecordStore &) = delete;

    /// Opens the folder, creating it (mode 0700, missing parents 0755) when
    /// `create` is set. False, with a sentence in `error`, when the folder is
    /// missing, is not root's, or others may use it.
    bool open(const std::string &folder, bool create, std::string *error);

    bool write(const AuthorizationRecord &record, std::string *error);
    std::optional<AuthorizationRecord> read(const AuthorizationIdentifier &identifier) const;
    bool remove(const AuthorizationIdentifier &identifier);
    /// Removes every record that expired before `now` (best effort).
    void removeExpired(std::int64_t now);

    /// The record an external form names, checked: the secret (in constant
    /// time), the expiry (unless `acceptExpired`) and the user who asked for it.
    AuthorizationLookup lookup(const AuthorizationExternalForm &form, uid_t caller, std::int64_t now,
                               AuthorizationRecord *record, bool acceptExpired = false) const;

    static std::string fileName(const AuthorizationIdentifier &identifier);

    /// The open folder's descriptor (-1 when not open), for other root-only
    /// records kept beside the authorizations.
    int folder() const { return m_folder; }

private:
    int m_folder = -1;
};
