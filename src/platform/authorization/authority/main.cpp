// porthold-authority: the set-user-ID root helper of the authorization service.
//
//   porthold-authority create
//       Standard input: NUL-terminated fields, read to the end: the
//       administrator's name, the password, then for each right its name and
//       its value (an empty field for none). Authenticates with PAM service
//       "porthold" (no password needed when the caller's real user is root);
//       the name must be root or a member of a group listed in the
//       administrators file (fixed at build time; without it "sudo" on
//       Debian-like systems, "wheel" elsewhere). Passwords for one account are
//       checked at a growing pace (2 s, 4 s, 8 s, 16 s, then 5 minutes between
//       attempts after failures), counted before the check in the record store.
//       Writes the record and prints the 32-byte external form.
//   porthold-authority exec TOOL ARGS...
//       Standard input: the 32 bytes, then whatever the tool reads. Requires a
//       live record of the caller that grants "system.privilege.admin" with
//       exactly TOOL as its value, then becomes TOOL, as root, with argv[0]
//       TOOL.
//   porthold-authority destroy
//       Standard input: the 32 bytes. Removes the caller's record.
//
// Exit status: 0 done, 1 refused (authentication failed, after a two-second
// wait; too soon after failed attempts; no such live record of the caller;
// right not granted), 2 malformed
// input or usage, 3 internal failure (not installed set-user-ID root, record
// store unusable), 127 the tool could not be started.

#include "platform/authorization/AdministratorGroups.h"
#include "platform/authorization/AuthenticationThrottle.h"
#include "platform/authorization/AuthorizationRecordStore.h"
#include "platform/authorization/AuthorizationRequest.h"
#include "platform/authorization/PosixLog.h"
#include "platform/authorization/PrivilegedProcess.h"
#include "support/posix/PHWriteAll.h"

#include <security/pam_appl.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/random.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#ifndef PORTHOLD_AUTH_STORE
#error "PORTHOLD_AUTH_STORE must be fixed at build time"
#endif
#ifndef PORTHOLD_ADMIN_GROUPS
#error "PORTHOLD_ADMIN_GROUPS must be fixed at build time"
#endif

namespace {

enum Exit { Done = 0, Refused = 1, Malformed = 2, Internal = 3, NotStarted = 127 };

uid_t caller = static_cast<uid_t>(-1);

// ---------------------------------------------------------------------------
// PAM

struct Credentials {
    const char *name;
    const char *password;
};

int converse(int count, const pam_message **messages, pam_response **responses, void *data) {
    if (count <= 0 || count > PAM_MAX_NUM_MSG)
        return PAM_CONV_ERR;
    const auto *credentials = static_cast<const Credentials *>(data);
    auto *replies =
        static_cast<pam_response *>(std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
    if (!replies)
        return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        const char *answer = nullptr;
        switch (messages[i]->msg_style) {
        case PAM_PROMPT_ECHO_OFF:
            answer = credentials->password;
            break;
        case PAM_PROMPT_ECHO_ON:
            answer = credentials->name;
            break;
        case PAM_ERROR_MSG:
        case PAM_TEXT_INFO:
            continue;
        default:
            break;
        }
        if (!answer || !(replies[i].resp = ::strdup(answer))) {
            for (int j = 0; j < i; ++j) {
                if (replies[j].resp) {
                    ::explicit_bzero(replies[j].resp, std::strlen(replies[j].resp));
                    std::free(replies[j].resp);
                }
            }
            std::free(replies);
            return PAM_CONV_ERR;
        }
    }
    *responses = replies;
    return PAM_SUCCESS;
}

// PAM modules would otherwise each add their own delay; the helper keeps one.
void noDelay(int, unsigned, void *) {
}

/// Authenticates `name`; on success `authenticated` holds the account PAM settled on.
bool authenticate(const std::string &name, const char *password, std::string *authenticated) {
    Credentials credentials{name.c_str(), password};
    const pam_conv conversation{converse, &credentials};
    pam_handle_t *pam = nullptr;
    if (pam_start("porthold", name.c_str(), &conversation, &pam) != PAM_SUCCESS)
        return false;
    if (const passwd *asking = ::getpwuid(caller))
        pam_set_item(pam, PAM_RUSER, asking->pw_name);
    pam_set_item(pam, PAM_FAIL_DELAY, reinterpret_cast<const void *>(&noDelay));
    int status = pam_authenticate(pam, PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS)
        status = pam_acct_mgmt(pam, PAM_DISALLOW_NULL_AUTHTOK);
    const void *user = nullptr;
    if (status == PAM_SUCCESS && pam_get_item(pam, PAM_USER, &user) == PAM_SUCCESS && user)
        *authenticated = static_cast<const char *>(user);
    else
        status = PAM_AUTH_ERR;
    pam_end(pam, status);
    return status == PAM_SUCCESS;
}

bool isListedAdministrator(const std::string &name) {
    std::string problem;
    const std::vector<std::string> groups = administratorGroups(PORTHOLD_ADMIN_GROUPS, &problem);
    if (!problem.empty())
        PosixLog::write("porthold-authority: only root is an administrator: %s", problem.c_str());
    return isAdministrator(name, groups);
}

/// Waits out a short pause the throttle asks for (an honest retry after a
/// wrong password); a long one refuses the attempt at once. Each wake-up asks
/// again, so attempts started together are checked one at a time.
bool mayCheckPassword(AuthenticationThrottle &throttle, const std::string &name) {
    constexpr std::int64_t kLongestPause = 16;
    for (;;) {
        const std::int64_t wait = throttle.begin(PrivilegedProcess::now());
        if (wait == 0)
            return true;
        if (wait > kLongestPause) {
            PosixLog::write(
                "porthold-authority: %lld failed attempts for %s; the next password is checked in %lld s",
                static_cast<long long>(throttle.failures()), name.c_str(), static_cast<long long>(wait));
            return false;
        }
        timespec pause{static_cast<time_t>(wait), 0};
        while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
}

void failedAuthenticationDelay() {
    timespec remaining{2, 0};
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

// ---------------------------------------------------------------------------

bool openStore(AuthorizationRecordStore &store, bool create) {
    std::string error;
    if (store.open(PORTHOLD_AUTH_STORE, create, &error))
        return true;
    PosixLog::write("porthold-authority: %s", error.c_str());
    return false;
}

bool readExternalForm(AuthorizationExternalForm *form) {
    return PrivilegedProcess::readUpTo(0, form->bytes, sizeof form->bytes) == sizeof form->bytes;
}

int create() {
    // Read to the end, refusing more than any honest request holds.
    std::vector<char> input(kAuthorizationRequestMaximumLength + 1);
    const std::size_t length = PrivilegedProcess::readUpTo(0, input.data(), input.size());
    auto wipe = [&] { ::explicit_bzero(input.data(), input.size()); };
    std::optional<AuthorizationCreationRequest> request =
        parseAuthorizationCreationRequest(input.data(), length);
    if (!request) {
        wipe();
        return Malformed;
    }
    const std::string &name = request->name;
    const char *password = input.data() + request->passwordOffset;
    AuthorizationRecord record;
    record.rights = std::move(request->rights);

    AuthorizationRecordStore store;
    if (!openStore(store, true)) {
        wipe();
        return Internal;
    }
    if (caller == 0) {
        record.administrator = "root";
    } else {
        // Counted before the check: a caller that kills the helper while it
        // checks has spent the attempt all the same.
        AuthenticationThrottle throttle(store.folder(), name);
        if (!mayCheckPassword(throttle, name)) {
            wipe();
            failedAuthenticationDelay();
            return Refused;
        }
        std::string authenticated;
        const bool accepted = authenticate(name, password, &authenticated) &&
                              isValidAccountName(authenticated) && isListedAdministrator(authenticated);
        wipe();
        if (!accepted) {
            PosixLog::write("porthold-authority: authentication of %s for user %u failed", name.c_str(),
                            static_cast<unsigned>(caller));
            failedAuthenticationDelay();
            return Refused;
        }
        throttle.succeeded();
        record.administrator = authenticated;
    }
    wipe();

    const std::int64_t now = PrivilegedProcess::now();
    store.removeExpired(now);
    if (::getrandom(record.identifier.data(), record.identifier.size(), 0) !=
            static_cast<ssize_t>(record.identifier.size()) ||
        ::getrandom(record.secret.data(), record.secret.size(), 0) !=
            static_cast<ssize_t>(record.secret.size()))
        return Internal;
    record.user = caller;
    record.expires = now + kAuthorizationLifetimeSeconds;
    std::string error;
    if (!store.write(record, &error)) {
        PosixLog::write("porthold-authority: %s", error.c_str());
        return Internal;
    }
    AuthorizationExternalForm form;
    std::memcpy(form.bytes, record.identifier.data(), record.identifier.size());
    std::memcpy(form.bytes + record.identifier.size(), record.secret.data(), record.secret.size());
    if (!PHWriteAll(1, form.bytes, sizeof form.bytes)) {
        store.remove(record.identifier);
        return Internal;
    }
    ::explicit_bzero(&form, sizeof form);
    PosixLog::write("porthold-authority: %s authorized user %u", record.administrator.c_str(),
                    static_cast<unsigned>(caller));
    return Done;
}

// Reads the 32 bytes on standard input and finds the record they name for
// this caller. Answers Done with the record, or the exit status of the refusal.
int findPresentedRecord(const char *action, bool acceptExpired, AuthorizationRecordStore &store,
                        AuthorizationRecord *record) {
    AuthorizationExternalForm form;
    if (!readExternalForm(&form))
        return Malformed;
    if (!openStore(store, false))
        return Refused;
    const AuthorizationLookup found =
        store.lookup(form, caller, PrivilegedProcess::now(), record, acceptExpired);
    if (found != AuthorizationLookup::Granted) {
        PosixLog::write("porthold-authority: %s refused: %s", action, describe(found));
        return Refused;
    }
    return Done;
}

int destroy() {
    AuthorizationRecordStore store;
    AuthorizationRecord record;
    if (const int refused = findPresentedRecord("destroy", true, store, &record); refused != Done)
        return refused;
    return store.remove(record.identifier) ? Done : Internal;
}

int execute(int argc, char **argv) {
    if (argc < 3 || argv[2][0] != '/')
        return Malformed;
    const std::string tool = argv[2];
    AuthorizationRecordStore store;
    AuthorizationRecord record;
    if (const int refused = findPresentedRecord("exec", false, store, &record); refused != Done)
        return refused;
    if (!record.grants({kAuthorizationRightExecute, tool, 0})) {
        PosixLog::write("porthold-authority: exec refused: %s is not granted", tool.c_str());
        return Refused;
    }
    if (!PrivilegedProcess::becomeRootEntirely())
        return Internal;
    PosixLog::write("porthold-authority: running %s as root for user %u", tool.c_str(),
                    static_cast<unsigned>(caller));

    std::vector<char *> arguments;
    arguments.push_back(const_cast<char *>(tool.c_str()));
    for (int i = 3; i < argc; ++i)
        arguments.push_back(argv[i]);
    arguments.push_back(nullptr);
    // execve reads these and never writes them.
    char *const environment[] = {const_cast<char *>(PrivilegedProcess::kCleanPath),
                                 const_cast<char *>(PrivilegedProcess::kCleanLanguage), nullptr};
    ::closelog();
    ::execve(tool.c_str(), arguments.data(), environment);
    PosixLog::write("porthold-authority: cannot run %s: %s", tool.c_str(), std::strerror(errno));
    return NotStarted;
}

} // namespace

int main(int argc, char **argv) {
    caller = ::getuid();
    PosixLog::open("porthold-authority");
    PrivilegedProcess::sanitize();
    if (::geteuid() != 0) {
        PosixLog::write("porthold-authority must be installed set-user-ID root");
        return Internal;
    }
    if (argc < 2)
        return Malformed;
    const std::string command = argv[1];
    if (command == "create" && argc == 2)
        return create();
    if (command == "destroy" && argc == 2)
        return destroy();
    if (command == "exec")
        return execute(argc, argv);
    return Malformed;
}
