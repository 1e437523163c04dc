#pragma once

// The authorization service. Plain C++ and POSIX: the set-user-ID tool links it.
//
// An authorization is a record that the root-only helper `porthold-authority`
// keeps in a root-only folder after an administrator has authenticated: the
// user who asked, the administrator, an expiry and the granted rights. Its
// external form is 32 bytes, a 16-byte identifier and a 16-byte secret.
//
// Two sides use the same calls:
//  - the panel (an ordinary process) creates, extends and destroys
//    authorizations through the helper, makes external forms and starts a tool
//    with administrator rights (`AuthorizationExecuteWithPrivileges`);
//  - a root tool, after `AuthorizationConfigureRecordStore`, rebuilds an
//    authorization from its external form by reading the record itself, and
//    asks whether it grants a right. It never prompts and never starts the
//    helper.

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using OSStatus = std::int32_t;

enum : OSStatus {
    errAuthorizationSuccess = 0,
    errAuthorizationInvalidSet = -60001,
    errAuthorizationInvalidRef = -60002,
    errAuthorizationInvalidTag = -60003,
    errAuthorizationInvalidPointer = -60004,
    errAuthorizationDenied = -60005,
    errAuthorizationCanceled = -60006,
    errAuthorizationInteractionNotAllowed = -60007,
    errAuthorizationInternal = -60008,
    errAuthorizationExternalizeNotAllowed = -60009,
    errAuthorizationInternalizeNotAllowed = -60010,
    errAuthorizationInvalidFlags = -60011,
    errAuthorizationToolExecuteFailure = -60031,
    errAuthorizationToolEnvironmentError = -60032,
};

using AuthorizationFlags = std::uint32_t;
enum : AuthorizationFlags {
    kAuthorizationFlagDefaults = 0,
    kAuthorizationFlagInteractionAllowed = 1 << 0,
    kAuthorizationFlagExtendRights = 1 << 1,
    kAuthorizationFlagPartialRights = 1 << 2,
    kAuthorizationFlagDestroyRights = 1 << 3,
    kAuthorizationFlagPreAuthorize = 1 << 4,
};

/// Right names.
inline constexpr const char *kAuthorizationRightExecute = "system.privilege.admin";

/// Environment item names: the credentials that the authorization view collected.
inline constexpr const char *kAuthorizationEnvironmentUsername = "username";
inline constexpr const char *kAuthorizationEnvironmentPassword = "password";

/// Seconds an authorization lives after it was created.
inline constexpr int kAuthorizationLifetimeSeconds = 300;

/// One right (or, in an environment, one named value). `value` holds bytes:
/// for "system.privilege.admin" the path of the tool that may run as root,
/// without a terminating zero. An empty value is "no value".
struct AuthorizationItem {
    std::string name;
    std::string value;
    std::uint32_t flags = 0;

    bool operator==(const AuthorizationItem &) const = default;
};

using AuthorizationItemSet = std::vector<AuthorizationItem>;
using AuthorizationRights = AuthorizationItemSet;
using AuthorizationEnvironment = AuthorizationItemSet;

/// The 32 bytes that cross from the panel to a tool.
inline constexpr std::size_t kAuthorizationExternalFormLength = 32;
struct AuthorizationExternalForm {
    unsigned char bytes[kAuthorizationExternalFormLength];
};

/// A reference to an authorization. Shared: every holder sees the same state,
/// so a holder of a destroyed authorization finds it empty (its external form
/// is refused) rather than dangling.
struct AuthorizationData;
using AuthorizationRef = std::shared_ptr<AuthorizationData>;

/// Creates an authorization. With no rights, or without
/// kAuthorizationFlagExtendRights, the authorization is empty (it grants
/// nothing and has no external form until rights are added). Otherwise the
/// helper authenticates the administrator named in `environment`
/// (kAuthorizationEnvironmentUsername / kAuthorizationEnvironmentPassword; no
/// password is needed when the calling user is root) and records the rights.
/// Denied credentials give errAuthorizationDenied after the helper's delay;
/// missing credentials give errAuthorizationInteractionNotAllowed (this library
/// never shows a dialog; the authorization view does).
OSStatus AuthorizationCreate(const AuthorizationRights *rights, const AuthorizationEnvironment *environment,
                             AuthorizationFlags flags, AuthorizationRef *authorization);

/// Asks whether the authorization grants every right of `rights` (a right with
/// a value must match the granted value exactly). Panel side: when it does not
/// and kAuthorizationFlagExtendRights is given with credentials in
/// `environment`, a new record holding the old and the new rights replaces the
/// old one. Tool side: the record is read again; the answer is yes only for
/// rights it grants, before it expires. `authorizedRights` (optional) receives
/// the granted items asked for.
OSStatus AuthorizationCopyRights(const AuthorizationRef &authorization, const AuthorizationRights *rights,
                                 const AuthorizationEnvironment *environment, AuthorizationFlags flags,
                                 AuthorizationRights *authorizedRights);

/// The 32 bytes of an authorization that holds a record; errAuthorizationInvalidRef
/// for no authorization, errAuthorizationExternalizeNotAllowed for an empty or
/// destroyed one.
OSStatus AuthorizationMakeExternalForm(const AuthorizationRef &authorization,
                                       AuthorizationExternalForm *extForm);

/// Tool side only (see AuthorizationConfigureRecordStore): finds the record
/// named by the identifier, compares the secret in constant time and refuses a
/// missing or expired record, or one asked for by another user than the
/// configured caller. errAuthorizationInternalizeNotAllowed when the record
/// store was not configured.
OSStatus AuthorizationCreateFromExternalForm(const AuthorizationExternalForm *extForm,
                                             AuthorizationRef *authorization);

/// Releases this reference. With kAuthorizationFlagDestroyRights the record is
/// removed (through the helper on the panel side, directly on the tool side)
/// and every holder of the authorization finds it empty.
OSStatus AuthorizationFree(const AuthorizationRef &authorization, AuthorizationFlags flags);

/// Starts `pathToTool` as root through the helper (`porthold-authority exec`).
/// The authorization must grant "system.privilege.admin" with exactly
/// `pathToTool` as its value (checked here first, and again by the helper).
/// `arguments` ends with a null pointer (may be null for none). With
/// `communicationsPipe`, the tool's standard input and output are connected to
/// the returned stream (a socket: call shutdown(fileno(pipe), SHUT_WR) when
/// there is nothing more to send); without it they are the null device. The
/// tool's standard error is the caller's. The helper becomes the tool, so the
/// child's process identifier is the tool's; the caller waits for it.
OSStatus AuthorizationExecuteWithPrivileges(const AuthorizationRef &authorization, const char *pathToTool,
                                            AuthorizationFlags options, char *const *arguments,
                                            FILE **communicationsPipe);

/// The same, also giving the child's process identifier so that the caller can
/// wait for its own child (`waitpid`).
OSStatus AuthorizationExecuteWithPrivilegesPid(const AuthorizationRef &authorization, const char *pathToTool,
                                               AuthorizationFlags options, char *const *arguments,
                                               FILE **communicationsPipe, pid_t *processIdentifier);

// ---------------------------------------------------------------------------
// Panel side: the helper.

/// The helper that this process uses: the path set with
/// AuthorizationSetHelperPath, else PORTHOLD_AUTHORITY from the environment
/// (ignored in a set-user-ID process), else the installed helper when it
/// exists, else the one in the build tree.
std::string AuthorizationHelperPath();
/// Overrides the helper path (tests and front ends); empty restores the default.
void AuthorizationSetHelperPath(const std::string &path);

/// Whether the helper can do its work for this process: the process runs as
/// root, or the helper file is owned by root, set-user-ID, and on a file system
/// not mounted nosuid. `reason` (optional) receives a sentence for the user
/// when it cannot.
bool AuthorizationHelperIsUsable(std::string *reason = nullptr);
bool AuthorizationHelperIsUsableAt(const std::string &helperPath, uid_t realUser,
                                   std::string *reason = nullptr);

/// Whether the authorization currently holds a record that has not expired by
/// this process's clock (the helper and the tool have the last word).
bool AuthorizationIsLive(const AuthorizationRef &authorization);

// ---------------------------------------------------------------------------
// Tool side.

/// Makes this process the tool side: records are read from `storeFolder` (a
/// path fixed when the program was built) and must have been asked for by
/// `callerUser`, the real user ID the program was started with (saved before
/// it became root). Until this is called, external forms are refused.
void AuthorizationConfigureRecordStore(const std::string &storeFolder, uid_t callerUser);
