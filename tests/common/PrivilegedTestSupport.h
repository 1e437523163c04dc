#pragma once

// Tests of the root helper: temporary folders that test users can reach, test
// users with passwords, copies of programs, root's list of managed files, and
// child processes run as a given user with a given standard input.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace privileged_test {

inline bool isRoot() {
    return ::geteuid() == 0 && ::getuid() == 0;
}

#define SKIP_UNLESS_ROOT()                                                                                   \
    do {                                                                                                     \
        if (!privileged_test::isRoot())                                                                      \
            GTEST_SKIP() << "needs root: creates users and runs programs as root";                           \
    } while (0)

inline std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const std::string &path, const std::string &content, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    ::chmod(path.c_str(), mode);
}

inline struct stat lstatOf(const std::string &path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        st.st_mode = 0;
    return st;
}

/// A folder under /tmp (or the build tree when /tmp is mounted nosuid) that
/// every user may enter, removed with its content at the end.
class TemporaryFolder {
public:
    TemporaryFolder() {
        struct statvfs volume {};
        std::string base = "/tmp";
        if (::statvfs(base.c_str(), &volume) == 0 && (volume.f_flag & ST_NOSUID))
            base = PORTHOLD_BINARY_DIR;
        std::string pattern = base + "/porthold-privileged-XXXXXX";
        if (::mkdtemp(pattern.data()))
            m_path = pattern;
        ::chmod(m_path.c_str(), 0755);
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }
    const std::string &path() const { return m_path; }
    std::string operator/(const std::string &name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

/// Writes root's list of the files a test copy of the tool may replace, one a
/// line: replaced whole (never seen half written), root's, mode 0644.
inline void writeManagedFiles(const std::string &list, const std::vector<std::string> &files) {
    std::string text = "# written by the test\n";
    for (const std::string &file : files)
        text += file + "\n";
    const std::string partial = list + ".partial";
    writeFile(partial, text, 0644);
    ::chown(partial.c_str(), 0, 0);
    ::rename(partial.c_str(), list.c_str());
}

/// Whether this process may raise a hard resource limit (CAP_SYS_RESOURCE,
/// which containers often withhold even from root).
inline bool mayRaiseHardLimits() {
    const pid_t child = ::fork();
    if (child == 0) {
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit lowered{4096, 4096}, raised{8192, 8192};
        ::_exit(::setrlimit(RLIMIT_FSIZE, &lowered) == 0 && ::setrlimit(RLIMIT_FSIZE, &raised) == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

/// Runs `command` with /bin/sh, serialised against the other test programs
/// that change the account files at the same time.
inline int accountCommand(const std::string &command) {
    const int lock = ::open("/run/lock/porthold-test-accounts.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (lock >= 0)
        ::flock(lock, LOCK_EX);
    int status = -1;
    for (int attempt = 0; attempt < 5; ++attempt) {
        status = std::system(command.c_str());
        if (status == 0)
            break;
        ::usleep(200 * 1000);
    }
    if (lock >= 0)
        ::close(lock);
    return status;
}

/// A local account with a password, removed at the end.
class TestUser {
public:
    TestUser(const std::string &name, const std::string &password, bool administrator) : m_name(name) {
        accountCommand("userdel -r " + name + " >/dev/null 2>&1; true");
        if (administrator && !::getgrnam("sudo")) {
            accountCommand("groupadd -f sudo");
        }
        const std::string groups = administrator ? " -G sudo" : "";
        EXPECT_EQ(accountCommand("useradd -M -s /usr/sbin/nologin" + groups + " " + name), 0);
        EXPECT_EQ(accountCommand("echo '" + name + ":" + password + "' | chpasswd"), 0);
        if (const passwd *account = ::getpwnam(name.c_str())) {
            m_uid = account->pw_uid;
            m_gid = account->pw_gid;
        }
    }
    ~TestUser() { accountCommand("userdel " + m_name + " >/dev/null 2>&1"); }
    const std::string &name() const { return m_name; }
    uid_t uid() const { return m_uid; }
    gid_t gid() const { return m_gid; }
    bool valid() const { return m_uid != static_cast<uid_t>(-1) && m_uid != 0; }

private:
    std::string m_name;
    uid_t m_uid = static_cast<uid_t>(-1);
    gid_t m_gid = static_cast<gid_t>(-1);
};

/// Copies a program and makes it root's and set-user-ID (or, with
/// `setUserID` false, leaves it root's and plain).
inline std::string installProgram(const std::string &source, const std::string &destination,
                                  bool setUserID = true) {
    std::filesystem::copy_file(source, destination, std::filesystem::copy_options::overwrite_existing);
    ::chown(destination.c_str(), 0, 0);
    ::chmod(destination.c_str(), setUserID ? 04755 : 0755);
    return destination;
}

struct Result {
    int exitStatus = -1; ///< -1 when the child did not exit normally
    std::string output;
    std::string error;
    std::size_t inputLeft = 0; ///< bytes of standard input the child did not read
};

struct Launch {
    std::vector<std::string> arguments; ///< arguments[0] is the program
    std::string argv0;                  ///< when set, the argv[0] the program sees
    std::string input;
    std::optional<uid_t> uid; ///< run as this user (with `gid`, no supplementary groups)
    gid_t gid = 0;
    std::vector<std::string> environment{"PATH=/usr/bin:/bin", "PORTHOLD_LOG_STDERR=1"};
    bool leakDescriptor = false;                ///< hand the child an extra open descriptor (number 7)
    std::optional<mode_t> umask;                ///< the child's file mode mask, when set
    std::vector<std::pair<int, rlimit>> limits; ///< resource limits the child starts with
};

/// In a child about to run `launch`: its mask, limits and identity.
inline void becomeLaunchedUser(const Launch &launch) {
    if (launch.umask)
        ::umask(*launch.umask);
    for (const auto &[resource, limit] : launch.limits)
        if (::setrlimit(resource, &limit) != 0)
            ::_exit(119);
    if (launch.uid) {
        if (::setgroups(0, nullptr) || ::setgid(launch.gid) || ::setuid(*launch.uid))
            ::_exit(120);
    }
}

inline std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

/// Starts the program, writes the input into a pipe (then closes it), and
/// collects output, error output, exit status and the unread input.
inline Result run(const Launch &launch) {
    Result result;
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
        return result;
    // The input is in the pipe before the child starts, so an unread rest can be measured.
    if (!launch.input.empty() &&
        ::write(in[1], launch.input.data(), launch.input.size()) != static_cast<ssize_t>(launch.input.size()))
        return result;
    ::close(in[1]);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (launch.leakDescriptor) {
            const int leaked = ::open("/dev/null", O_RDONLY);
            ::dup2(leaked, 7);
        }
        becomeLaunchedUser(launch);
        std::vector<char *> argv;
        for (const std::string &argument : launch.arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
        if (!launch.argv0.empty())
            argv[0] = const_cast<char *>(launch.argv0.c_str());
        argv.push_back(nullptr);
        std::vector<char *> environment;
        for (const std::string &variable : launch.environment)
            environment.push_back(const_cast<char *>(variable.c_str()));
        environment.push_back(nullptr);
        ::execve(launch.arguments[0].c_str(), argv.data(), environment.data());
        ::_exit(121);
    }
    ::close(out[1]);
    ::close(err[1]);
    // Output and error output are small: read one after the other.
    result.output = drain(out[0]);
    result.error = drain(err[0]);
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ::fcntl(in[0], F_SETFL, O_NONBLOCK);
    result.inputLeft = drain(in[0]).size();
    ::close(in[0]);
    return result;
}

} // namespace privileged_test
