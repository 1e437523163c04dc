#include "platform/authorization/Authorization.h"

#include "platform/authorization/AuthorizationRecordStore.h"
#include "platform/authorization/PrivilegedProcess.h"
#include "support/posix/PHSpawn.h"
#include "support/posix/PHWriteAll.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

/// What a reference knows of its authorization: the rights it asked for.
struct AuthorizationData {
    bool hasRecord = false;
    AuthorizationExternalForm form{};
    AuthorizationRights rights;
    std::int64_t expires = 0;

    void clear() {
        hasRecord = false;
        ::explicit_bzero(&form, sizeof form);
        rights.clear();
        expires = 0;
    }
};

namespace {

// Helper exit statuses.
enum HelperExit { HelperDone = 0, HelperRefused = 1, HelperMalformed = 2 };

std::string helperOverride;

bool grantsAll(const AuthorizationRights &granted, const AuthorizationRights &asked) {
    for (const AuthorizationItem &right : asked) {
        bool found = false;
        for (const AuthorizationItem &have : granted)
            found = found || (have.name == right.name && (right.value.empty() || have.value == right.value));
        if (!found)
            return false;
    }
    return true;
}

const AuthorizationItem *findItem(const AuthorizationEnvironment *environment, const char *name) {
    if (!environment)
        return nullptr;
    for (const AuthorizationItem &item : *environment)
        if (item.name == name)
            return &item;
    return nullptr;
}

/// How the helper starts: its input and output on our descriptors, its error
/// output ours, this process's environment (the helper clears it itself).
PHSpawn helperSpawn(const std::string &helper, int input, int output) {
    PHSpawn spawn;
    spawn.program = helper;
    spawn.streams[0] = input;
    spawn.streams[1] = output;
    return spawn;
}

/// Runs the helper with `arguments`, sends `input` and then the end of input,
/// and collects up to `outputLimit` bytes of its output. The exit status, or
/// -1 when it could not be started or did not end normally.
int runHelper(const std::vector<std::string> &arguments, const std::string &input, std::string *output,
              std::size_t outputLimit) {
    int inputPair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, inputPair) != 0)
        return -1;
    int outputPipe[2];
    if (::pipe2(outputPipe, O_CLOEXEC) != 0) {
        ::close(inputPair[0]);
        ::close(inputPair[1]);
        return -1;
    }
    const std::string helper = AuthorizationHelperPath();
    if (!AuthorizationHelperIsTrusted(helper)) {
        ::close(inputPair[0]);
        ::close(inputPair[1]);
        ::close(outputPipe[0]);
        ::close(outputPipe[1]);
        return -1;
    }
    PHSpawn spawn = helperSpawn(helper, inputPair[1], outputPipe[1]);
    spawn.arguments = arguments;
    pid_t child = -1;
    const int spawned = spawn.start(&child);
    ::close(inputPair[1]);
    ::close(outputPipe[1]);
    if (spawned != 0) {
        ::close(inputPair[0]);
        ::close(outputPipe[0]);
        return -1;
    }

    // A helper that refuses early leaves the input unread; that is its answer.
    PHSendAll(inputPair[0], input.data(), input.size());
    ::shutdown(inputPair[0], SHUT_WR);

    char buffer[256];
    ssize_t n;
    while ((n = ::read(outputPipe[0], buffer, sizeof buffer)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (output && output->size() < outputLimit)
            output->append(buffer, std::min(static_cast<std::size_t>(n), outputLimit - output->size()));
    }
    ::close(outputPipe[0]);
    ::close(inputPair[0]);

    int status = 0;
    if (!PHWaitForChild(child, &status))
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// Asks the helper for a record granting `rights` and fills `data` with it.
OSStatus createRecord(AuthorizationData &data, const AuthorizationRights &rights,
                      const AuthorizationEnvironment *environment) {
    for (const AuthorizationItem &right : rights)
        if (!isValidRightName(right.name) || right.value.find('\0') != std::string::npos)
            return errAuthorizationInvalidSet;

    const AuthorizationItem *user = findItem(environment, kAuthorizationEnvironmentUsername);
    const AuthorizationItem *password = findItem(environment, kAuthorizationEnvironmentPassword);
    std::string name = user ? user->value : std::string();
    if (name.empty()) {
        if (const passwd *account = ::getpwuid(::getuid()))
            name = account->pw_name;
    }
    // Root needs no password, so none is ever handed to a program for it.
    if (::getuid() == 0)
        password = nullptr;
    else if (!password)
        return errAuthorizationInteractionNotAllowed;
    if (name.find('\0') != std::string::npos || (password && password->value.find('\0') != std::string::npos))
        return errAuthorizationInvalidSet;

    std::string input;
    input.append(name).push_back('\0');
    if (password)
        input.append(password->value);
    input.push_back('\0');
    for (const AuthorizationItem &right : rights) {
        input.append(right.name).push_back('\0');
        input.append(right.value).push_back('\0');
    }
    const std::int64_t asked = PrivilegedProcess::now();
    std::string output;
    const int status = runHelper({"create"}, input, &output, kAuthorizationExternalFormLength + 1);
    ::explicit_bzero(input.data(), input.size());

    if (status == HelperRefused)
        return errAuthorizationDenied;
    if (status == HelperMalformed)
        return errAuthorizationInvalidSet;
    if (status < 0)
        return errAuthorizationToolExecuteFailure;
    if (status != HelperDone || output.size() != kAuthorizationExternalFormLength)
        return errAuthorizationInternal;
    data.clear();
    data.hasRecord = true;
    std::memcpy(data.form.bytes, output.data(), kAuthorizationExternalFormLength);
    ::explicit_bzero(output.data(), output.size());
    data.rights = rights;
    // The helper counts from a moment after this one: the estimate errs early.
    data.expires = asked + kAuthorizationLifetimeSeconds;
    return errAuthorizationSuccess;
}

OSStatus destroyRecord(AuthorizationData &data) {
    if (!data.hasRecord)
        return errAuthorizationSuccess;
    OSStatus result = errAuthorizationSuccess;
    const std::string form(reinterpret_cast<const char *>(data.form.bytes), sizeof data.form.bytes);
    const int status = runHelper({"destroy"}, form, nullptr, 0);
    // Refused means there is nothing left to destroy (expired and swept, or gone).
    if (status != HelperDone && status != HelperRefused)
        result = status < 0 ? errAuthorizationToolExecuteFailure : errAuthorizationInternal;
    data.clear();
    return result;
}

} // namespace

OSStatus AuthorizationCreate(const AuthorizationRights *rights, const AuthorizationEnvironment *environment,
                             AuthorizationFlags flags, AuthorizationRef *authorization) {
    if (!authorization)
        return errAuthorizationInvalidPointer;
    auto data = std::make_shared<AuthorizationData>();
    if (rights && !rights->empty() && (flags & kAuthorizationFlagExtendRights)) {
        const OSStatus status = createRecord(*data, *rights, environment);
        if (status != errAuthorizationSuccess)
            return status;
    }
    *authorization = std::move(data);
    return errAuthorizationSuccess;
}

OSStatus AuthorizationCopyRights(const AuthorizationRef &authorization, const AuthorizationRights *rights,
                                 const AuthorizationEnvironment *environment, AuthorizationFlags flags,
                                 AuthorizationRights *authorizedRights) {
    if (!authorization)
        return errAuthorizationInvalidRef;
    if (!rights)
        return errAuthorizationInvalidSet;
    AuthorizationData &data = *authorization;

    if (!AuthorizationIsLive(authorization) || !grantsAll(data.rights, *rights)) {
        if (!(flags & kAuthorizationFlagExtendRights))
            return errAuthorizationDenied;
        AuthorizationRights wanted = AuthorizationIsLive(authorization) ? data.rights : AuthorizationRights{};
        for (const AuthorizationItem &right : *rights)
            if (!grantsAll(wanted, {right}))
                wanted.push_back(right);
        AuthorizationData extended;
        const OSStatus status = createRecord(extended, wanted, environment);
        if (status != errAuthorizationSuccess)
            return status;
        destroyRecord(data);
        data = std::move(extended);
    }
    if (authorizedRights)
        *authorizedRights = *rights;
    return errAuthorizationSuccess;
}

OSStatus AuthorizationMakeExternalForm(const AuthorizationRef &authorization,
                                       AuthorizationExternalForm *extForm) {
    if (!authorization)
        return errAuthorizationInvalidRef;
    if (!extForm)
        return errAuthorizationInvalidPointer;
    if (!authorization->hasRecord)
        return errAuthorizationExternalizeNotAllowed;
    *extForm = authorization->form;
    return errAuthorizationSuccess;
}

OSStatus AuthorizationCreateFromExternalForm(const AuthorizationExternalForm *extForm,
                                             AuthorizationRef *authorization) {
    if (!extForm || !authorization)
        return errAuthorizationInvalidPointer;
    return errAuthorizationInternalizeNotAllowed;
}

OSStatus AuthorizationFree(const AuthorizationRef &authorization, AuthorizationFlags flags) {
    if (!authorization)
        return errAuthorizationInvalidRef;
    if (flags & kAuthorizationFlagDestroyRights)
        return destroyRecord(*authorization);
    return errAuthorizationSuccess;
}

OSStatus AuthorizationExecuteWithPrivileges(const AuthorizationRef &authorization, const char *pathToTool,
                                            AuthorizationFlags options, char *const *arguments,
                                            FILE **communicationsPipe) {
    return AuthorizationExecuteWithPrivilegesPid(authorization, pathToTool, options, arguments,
                                                 communicationsPipe, nullptr);
}

OSStatus AuthorizationExecuteWithPrivilegesPid(const AuthorizationRef &authorization, const char *pathToTool,
                                               AuthorizationFlags options, char *const *arguments,
                                               FILE **communicationsPipe, pid_t *processIdentifier) {
    if (!authorization)
        return errAuthorizationInvalidRef;
    if (!pathToTool || pathToTool[0] != '/')
        return errAuthorizationInvalidPointer;
    if (options != kAuthorizationFlagDefaults)
        return errAuthorizationInvalidFlags;
    if (!AuthorizationIsLive(authorization) ||
        !grantsAll(authorization->rights, {{kAuthorizationRightExecute, pathToTool, 0}}))
        return errAuthorizationDenied;

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return errAuthorizationInternal;
    const std::string helper = AuthorizationHelperPath();
    if (!AuthorizationHelperIsTrusted(helper)) {
        ::close(pair[0]);
        ::close(pair[1]);
        return errAuthorizationToolExecuteFailure;
    }
    PHSpawn spawn = helperSpawn(helper, pair[1], pair[1]);
    spawn.arguments = {"exec", pathToTool};
    for (char *const *argument = arguments; argument && *argument; ++argument)
        spawn.arguments.emplace_back(*argument);
    pid_t child = -1;
    const int spawned = spawn.start(&child);
    ::close(pair[1]);
    if (spawned != 0) {
        ::close(pair[0]);
        return errAuthorizationToolExecuteFailure;
    }
    const AuthorizationExternalForm &form = authorization->form;
    if (!PHSendAll(pair[0], form.bytes, sizeof form.bytes)) {
        ::close(pair[0]);
        PHWaitForChild(child, nullptr);
        return errAuthorizationToolExecuteFailure;
    }
    if (communicationsPipe) {
        *communicationsPipe = ::fdopen(pair[0], "r+");
        if (!*communicationsPipe)
            ::close(pair[0]);
    } else {
        ::close(pair[0]);
    }
    if (processIdentifier)
        *processIdentifier = child;
    return errAuthorizationSuccess;
}

std::string AuthorizationHelperPath() {
    if (!helperOverride.empty())
        return helperOverride;
#ifdef PORTHOLD_TEST_HELPER_PATHS
    if (const char *fromEnvironment = ::secure_getenv("PORTHOLD_AUTHORITY");
        fromEnvironment && *fromEnvironment)
        return fromEnvironment;
    if (::access(PORTHOLD_AUTHORITY_INSTALLED, X_OK) != 0)
        return PORTHOLD_AUTHORITY_BUILT;
#endif
    return PORTHOLD_AUTHORITY_INSTALLED;
}

bool AuthorizationHelperIsTrusted(const std::string &helperPath, std::string *reason) {
    auto refuse = [&](const std::string &why) {
        if (reason)
            *reason = why;
        return false;
    };
    auto othersMayChange = [](const struct stat &st) {
        return st.st_uid != 0 || (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0);
    };
    struct stat st {};
    if (helperPath.empty() || helperPath[0] != '/' || ::stat(helperPath.c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode))
        return refuse("The authorization helper " + helperPath +
                      " is missing. Install Porthold to make changes.");
    const std::string folder = helperPath.substr(0, std::max<std::size_t>(helperPath.rfind('/'), 1));
    struct stat folderStat {};
    if (othersMayChange(st) || ::stat(folder.c_str(), &folderStat) != 0 ||
        (othersMayChange(folderStat) && !(folderStat.st_uid == 0 && (folderStat.st_mode & S_ISVTX))))
        return refuse("The authorization helper " + helperPath +
                      " may be changed by someone other than root, so Porthold will not run it. Reinstall "
                      "Porthold as root (\"sudo cmake --install\").");
    return true;
}

void AuthorizationSetHelperPath(const std::string &path) {
    helperOverride = path;
}

bool AuthorizationHelperIsUsable(std::string *reason) {
    return AuthorizationHelperIsUsableAt(AuthorizationHelperPath(), ::getuid(), reason);
}

bool AuthorizationHelperIsUsableAt(const std::string &helperPath, uid_t realUser, std::string *reason) {
    auto refuse = [&](const std::string &why) {
        if (reason)
            *reason = why;
        return false;
    };
    if (!AuthorizationHelperIsTrusted(helperPath, reason))
        return false;
    struct stat st {};
    if (::stat(helperPath.c_str(), &st) != 0)
        return refuse("The authorization helper " + helperPath +
                      " is missing. Install Porthold to make changes.");
    if (realUser == 0)
        return true;
    if (st.st_uid != 0 || !(st.st_mode & S_ISUID))
        return refuse(
            "The authorization helper " + helperPath +
            " is not installed set-user-ID root, so changes cannot be authorized. Install Porthold as "
            "root (\"sudo cmake --install\"), or run the panel as root.");
    struct statvfs volume {};
    if (::statvfs(helperPath.c_str(), &volume) == 0 && (volume.f_flag & ST_NOSUID))
        return refuse("The authorization helper " + helperPath +
                      " is on a file system mounted \"nosuid\", where it cannot gain administrator rights. "
                      "Install Porthold on another file system.");
    return true;
}

bool AuthorizationIsLive(const AuthorizationRef &authorization) {
    return authorization && authorization->hasRecord && authorization->expires > PrivilegedProcess::now();
}
