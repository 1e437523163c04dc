#pragma once

// Plain C++ and POSIX: how often a password may be tried for one account.
// The count of failed attempts lives in the root-only record store, where the
// caller cannot reset it, and each attempt is counted before the password is
// checked, so killing the helper while it checks undoes nothing.

#include <cstdint>
#include <string>

/// Seconds to wait after `failures` failed attempts in a row before the next
/// password is checked: 0, 2, 4, 8, 16, then five minutes.
std::int64_t authenticationWait(std::int64_t failures);

class AuthenticationThrottle {
public:
    /// The record of `account` in the record store open at `storeFolder` (a
    /// descriptor this object does not own).
    AuthenticationThrottle(int storeFolder, std::string account);

    /// Seconds until the next attempt may be checked (0: now). When 0, the
    /// attempt is counted as failed already, under the store's lock, so that
    /// attempts made at the same time wait for each other.
    std::int64_t begin(std::int64_t now);
    /// The password was right: the count starts again.
    void succeeded();

    /// The failed attempts counted so far and when the last one began.
    std::int64_t failures() const { return m_failures; }
    std::int64_t lastAttempt() const { return m_last; }

private:
    bool load();
    bool save() const;

    int m_folder;
    std::string m_name;
    std::int64_t m_failures = 0;
    std::int64_t m_last = 0;
};
