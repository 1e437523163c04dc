#pragma once

// Plain C++ and POSIX: the tool half of the authorization service. A root
// program rebuilds the authorization its caller hands it (the 32 bytes) by
// reading the record itself from the store fixed when the program was built.
// It never prompts and never starts another program.

#include "platform/authorization/AuthorizationRecordStore.h"

#include <string>
#include <sys/types.h>

class PresentedAuthorization {
public:
    /// Records are read from `storeFolder` and must have been asked for by
    /// `caller`, the real user the program was started with.
    PresentedAuthorization(std::string storeFolder, uid_t caller);

    /// Finds the record the external form names: the secret compared in
    /// constant time, an expired record, a missing one or one asked for by
    /// another user refused.
    AuthorizationLookup accept(const AuthorizationExternalForm &form);

    /// Whether the accepted record, read again now, still grants every right
    /// (a right with a value must match the granted value exactly).
    bool grants(const AuthorizationRights &rights) const;

private:
    std::string m_storeFolder;
    uid_t m_caller;
    bool m_accepted = false;
    AuthorizationExternalForm m_form{};
};
