#pragma once

// Plain C++: what both sides of the authorization service share, the panel's
// client library and the root programs: status codes, flags, rights and the
// 32-byte external form.

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
