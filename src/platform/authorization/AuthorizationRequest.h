#pragma once

// Plain C++: the request that `porthold-authority create` reads on its
// standard input, from a caller it does not trust.

#include "platform/authorization/AuthorizationTypes.h"

#include <cstddef>
#include <optional>
#include <string>

inline constexpr std::size_t kAuthorizationRequestMaximumLength = 64 * 1024;
inline constexpr std::size_t kAuthorizationRequestMaximumPassword = 1024;
inline constexpr std::size_t kAuthorizationRequestMaximumValue = 4096;
inline constexpr std::size_t kAuthorizationRequestMaximumRights = 32;

/// NUL-terminated fields: the administrator's name, the password, then for each
/// right its name and its value (empty for none). The password is not copied:
/// it stays in the caller's buffer (which the caller wipes), at
/// `passwordOffset`, terminated by its NUL.
struct AuthorizationCreationRequest {
    std::string name;
    std::size_t passwordOffset = 0;
    AuthorizationRights rights;
};

/// Absent unless every field is terminated, the name is a valid account name,
/// at least one right is asked for, every right name is valid and every size
/// within its limit.
std::optional<AuthorizationCreationRequest> parseAuthorizationCreationRequest(const char *input,
                                                                              std::size_t length);
