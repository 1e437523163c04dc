#include "platform/authorization/AuthenticationThrottle.h"

#include "platform/authorization/PrivilegedProcess.h"
#include "support/posix/PHWriteAll.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *kLockName = ".failures.lock";
constexpr const char *kMagic = "porthold-failures 1";

/// The store's lock for failure records, held while this object lives.
class StoreLock {
public:
    explicit StoreLock(int folder)
        : m_fd(::openat(folder, kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)) {
        if (m_fd >= 0)
            while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~StoreLock() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;
    bool held() const { return m_fd >= 0; }

private:
    int m_fd;
};

} // namespace

std::int64_t authenticationWait(std::int64_t failures) {
    if (failures <= 0)
        return 0;
    if (failures >= 5)
        return 300;
    return std::int64_t{1} << failures;
}

AuthenticationThrottle::AuthenticationThrottle(int storeFolder, std::string account)
    : m_folder(storeFolder), m_name("failures-" + std::move(account)) {
}

bool AuthenticationThrottle::load() {
    m_failures = 0;
    m_last = 0;
    const int fd = ::openat(m_folder, m_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    char text[256] = {};
    struct stat st {};
    const bool ours =
        ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 && (st.st_mode & 077) == 0;
    const ssize_t n = ours ? ::read(fd, text, sizeof text - 1) : -1;
    ::close(fd);
    long long failures = 0, last = 0;
    char magic[32] = {};
    // A record that cannot be read counts as the longest wait, never as none.
    if (n <= 0 || std::sscanf(text, "%31[^\n]\ncount %lld\nlast %lld\n", magic, &failures, &last) != 3 ||
        std::string(magic) != kMagic || failures < 0 || last < 0) {
        m_failures = 5;
        m_last = PrivilegedProcess::now();
        return false;
    }
    m_failures = failures;
    m_last = last;
    return true;
}

bool AuthenticationThrottle::save() const {
    const std::string temporary = "." + m_name + ".new";
    const int fd =
        ::openat(m_folder, temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    char text[128];
    const int length = std::snprintf(text, sizeof text, "%s\ncount %lld\nlast %lld\n", kMagic,
                                     static_cast<long long>(m_failures), static_cast<long long>(m_last));
    const bool written = PHWriteAll(fd, text, static_cast<std::size_t>(length)) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (written && closed && ::renameat(m_folder, temporary.c_str(), m_folder, m_name.c_str()) == 0)
        return true;
    ::unlinkat(m_folder, temporary.c_str(), 0);
    return false;
}

std::int64_t AuthenticationThrottle::begin(std::int64_t now) {
    StoreLock lock(m_folder);
    if (!lock.held())
        return authenticationWait(5);
    load();
    const std::int64_t wait = authenticationWait(m_failures);
    // A clock set back never stretches the wait beyond its length.
    const std::int64_t since = now < m_last ? 0 : now - m_last;
    if (since < wait)
        return wait - since;
    ++m_failures;
    m_last = now;
    // Not counted, not checked.
    if (!save())
        return authenticationWait(5);
    return 0;
}

void AuthenticationThrottle::succeeded() {
    StoreLock lock(m_folder);
    ::unlinkat(m_folder, m_name.c_str(), 0);
    m_failures = 0;
    m_last = 0;
}
