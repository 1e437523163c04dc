#include "platform/authorization/PresentedAuthorization.h"

#include "platform/authorization/PrivilegedProcess.h"

#include <utility>

PresentedAuthorization::PresentedAuthorization(std::string storeFolder, uid_t caller)
    : m_storeFolder(std::move(storeFolder)), m_caller(caller) {
}

AuthorizationLookup PresentedAuthorization::accept(const AuthorizationExternalForm &form) {
    m_accepted = false;
    AuthorizationRecordStore store;
    if (!store.open(m_storeFolder, false, nullptr))
        return AuthorizationLookup::Unreadable;
    const AuthorizationLookup found = store.lookup(form, m_caller, PrivilegedProcess::now(), nullptr);
    if (found == AuthorizationLookup::Granted) {
        m_form = form;
        m_accepted = true;
    }
    return found;
}

bool PresentedAuthorization::grants(const AuthorizationRights &rights) const {
    if (!m_accepted)
        return false;
    AuthorizationRecordStore store;
    AuthorizationRecord record;
    if (!store.open(m_storeFolder, false, nullptr) ||
        store.lookup(m_form, m_caller, PrivilegedProcess::now(), &record) != AuthorizationLookup::Granted)
        return false;
    for (const AuthorizationItem &right : rights)
        if (!record.grants(right))
            return false;
    return true;
}
