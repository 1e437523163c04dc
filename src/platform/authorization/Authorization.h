#pragma once

// The authorization service, client side. Plain C++ and POSIX.
//
// An authorization is a record that the root-only helper `porthold-authority`
// keeps in a root-only folder after an administrator has authenticated: the
// user who asked, the administrator, an expiry and the granted rights. Its
// external form is 32 bytes, a 16-byte identifier and a 16-byte secret.
//
// The panel (an ordinary process) creates, extends and destroys
// authorizations through the helper, makes external forms and starts a tool
// with administrator rights (`AuthorizationExecuteWithPrivileges`). A root
// tool does none of that: it links only the tool half
// (`PresentedAuthorization`), which reads the record itself and never starts
// a program.

#include "platform/authorization/AuthorizationTypes.h"

#include <cstdio>
#include <memory>
#include <string>
#include <sys/types.h>

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
/// a value must match the granted value exactly). When it does not and
/// kAuthorizationFlagExtendRights is given with credentials in `environment`,
/// a new record holding the old and the new rights replaces the old one.
/// `authorizedRights` (optional) receives the granted items asked for.
OSStatus AuthorizationCopyRights(const AuthorizationRef &authorization, const AuthorizationRights *rights,
                                 const AuthorizationEnvironment *environment, AuthorizationFlags flags,
                                 AuthorizationRights *authorizedRights);

/// The 32 bytes of an authorization that holds a record; errAuthorizationInvalidRef
/// for no authorization, errAuthorizationExternalizeNotAllowed for an empty or
/// destroyed one.
OSStatus AuthorizationMakeExternalForm(const AuthorizationRef &authorization,
                                       AuthorizationExternalForm *extForm);

/// Always errAuthorizationInternalizeNotAllowed: a client never rebuilds an
/// authorization from bytes (a root tool does, with PresentedAuthorization).
OSStatus AuthorizationCreateFromExternalForm(const AuthorizationExternalForm *extForm,
                                             AuthorizationRef *authorization);

/// Releases this reference. With kAuthorizationFlagDestroyRights the record is
/// removed through the helper and every holder of the authorization finds it
/// empty.
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
/// AuthorizationSetHelperPath, else the installed helper, whose path is fixed
/// when Porthold is built. Only a build configured with the test option
/// PORTHOLD_TEST_HELPER_PATHS (never one that is installed) also takes
/// PORTHOLD_AUTHORITY from the environment (ignored in a set-user-ID process)
/// and falls back to the helper in the build tree.
std::string AuthorizationHelperPath();
/// Overrides the helper path (tests); empty restores the default.
void AuthorizationSetHelperPath(const std::string &path);

/// Whether a helper file may be started at all: a regular file owned by root
/// that nobody else may change, in a folder owned by root that nobody else
/// may change (a sticky folder such as /tmp protects root's file). A helper
/// that fails this is never run, so it never sees a password or an
/// authorization.
bool AuthorizationHelperIsTrusted(const std::string &helperPath, std::string *reason = nullptr);

/// Whether the helper can do its work for this process: it is trusted (above),
/// and the process runs as root or the helper is set-user-ID on a file system
/// not mounted nosuid. `reason` (optional) receives a sentence for the user
/// when it cannot.
bool AuthorizationHelperIsUsable(std::string *reason = nullptr);
bool AuthorizationHelperIsUsableAt(const std::string &helperPath, uid_t realUser,
                                   std::string *reason = nullptr);

/// Whether the authorization currently holds a record that has not expired by
/// this process's clock (the helper and the tool have the last word).
bool AuthorizationIsLive(const AuthorizationRef &authorization);
