#pragma once

// A system message bus and polkitd of a test's own: dbus-daemon with a
// configuration of its own on a socket of its own, polkitd on it (as root),
// the test's polkit actions and rules files, all removed again and every
// process stopped by its process identifier.
//
// pkexec is set-user-ID, and GLib ignores DBUS_SYSTEM_BUS_ADDRESS in such a
// program: it always asks the bus at /run/dbus/system_bus_socket. A test that
// goes through pkexec therefore needs its bus there (`Placement::Standard`),
// which is only possible where no system bus runs; the panel side and pkcheck
// take the address from the environment and do with a private socket.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace polkit_test {

inline const std::string kStandardSocket = "/run/dbus/system_bus_socket";
inline const std::string kPolkitd = "/usr/lib/polkit-1/polkitd";

/// Whether something answers on the socket at `path`.
inline bool socketAnswers(const std::string &path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const bool answers = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return answers;
}

/// Starts `argv` with `environment` added to this process's, its output and
/// error output into `log`; the child's process identifier.
inline pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &environment,
                   const std::string &log) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        for (const std::string &variable : environment)
            ::putenv(const_cast<char *>(variable.c_str()));
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::dup2(null, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        std::vector<char *> args;
        for (const std::string &argument : argv)
            args.push_back(const_cast<char *>(argument.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return child;
}

/// Stops a child of ours by its process identifier (TERM, then KILL) and reaps it.
inline void stop(pid_t &pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}

inline bool waitUntil(const std::function<bool()> &condition, int milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

/// The bus and polkitd. `start` says why it could not start (empty: started).
class PrivateSystemBus {
public:
    enum class Placement { Private, Standard };

    /// `folder`: where the configuration, the private socket and the logs go.
    PrivateSystemBus(const std::string &folder, Placement placement)
        : m_folder(folder), m_socket(placement == Placement::Standard ? kStandardSocket : folder + "/bus") {}
    ~PrivateSystemBus() { shutDown(); }

    std::string start() {
        if (::geteuid() != 0)
            return "needs root: polkitd runs as root";
        if (::access(kPolkitd.c_str(), X_OK) != 0 || ::access("/usr/bin/dbus-daemon", X_OK) != 0)
            return "polkitd or dbus-daemon is not installed (packages polkitd, dbus)";
        if (socketAnswers(m_socket))
            return "a system bus already runs at " + m_socket;
        if (m_socket == kStandardSocket) {
            std::filesystem::create_directories("/run/dbus");
            ::unlink(m_socket.c_str()); // a dead one's, nobody answers on it
        }
        // polkitd drops to its own user, who must reach the socket.
        ::chmod(m_folder.c_str(), 0755);
        const std::string config = m_folder + "/bus.conf";
        std::ofstream(config)
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>system</type>\n"
               "  <listen>unix:path="
            << m_socket
            << "</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow user=\"*\"/>\n"
               "    <allow own=\"*\"/>\n"
               "    <allow send_destination=\"*\"/>\n"
               "    <allow receive_sender=\"*\"/>\n"
               "  </policy>\n"
               "</busconfig>\n";
        m_bus =
            spawn({"/usr/bin/dbus-daemon", "--config-file=" + config, "--nofork"}, {}, m_folder + "/bus.log");
        if (!waitUntil([&] { return socketAnswers(m_socket); }, 10000))
            return "dbus-daemon did not start: " + log("bus.log");
        m_ownsSocket = true;
        ::chmod(m_socket.c_str(), 0666);
        m_polkitd = spawn({kPolkitd, "--no-debug"}, {"DBUS_SYSTEM_BUS_ADDRESS=" + address()},
                          m_folder + "/polkitd.log");
        // polkitd is there once it answers a question.
        // (root, which this process is, is authorized for every action).
        const std::string probe =
            "DBUS_SYSTEM_BUS_ADDRESS=" + address() +
            " pkcheck --action-id org.freedesktop.policykit.exec --process $$ >/dev/null 2>&1";
        if (!waitUntil([&] { return std::system(probe.c_str()) == 0; }, 15000))
            return "polkitd did not come up: " + log("polkitd.log");
        return {};
    }

    void stopPolkitd() { stop(m_polkitd); }

    /// Waits until polkitd knows the action (it reads new action files on notice).
    bool waitForAction(const std::string &action, int milliseconds = 10000) const {
        const std::string query =
            "DBUS_SYSTEM_BUS_ADDRESS=" + address() + " pkaction --action-id " + action + " >/dev/null 2>&1";
        return waitUntil([&] { return std::system(query.c_str()) == 0; }, milliseconds);
    }

    void shutDown() {
        stop(m_polkitd);
        stop(m_bus);
        if (m_ownsSocket)
            ::unlink(m_socket.c_str());
        m_ownsSocket = false;
    }

    std::string address() const { return "unix:path=" + m_socket; }
    pid_t polkitd() const { return m_polkitd; }
    std::string log(const std::string &name) const {
        std::ifstream in(m_folder + "/" + name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string m_folder, m_socket;
    pid_t m_bus = -1, m_polkitd = -1;
    bool m_ownsSocket = false;
};

/// A file the test puts into one of polkit's folders, removed at the end.
class PolkitFile {
public:
    PolkitFile(const std::string &path, const std::string &content) : m_path(path) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        const std::string partial = path + ".partial";
        std::ofstream(partial) << content;
        ::chmod(partial.c_str(), 0644);
        ::rename(partial.c_str(), path.c_str());
    }
    ~PolkitFile() { ::unlink(m_path.c_str()); }
    PolkitFile(const PolkitFile &) = delete;
    PolkitFile &operator=(const PolkitFile &) = delete;
    const std::string &path() const { return m_path; }

private:
    std::string m_path;
};

/// Porthold's action file with the test's own prefix and helper path.
inline std::string actionFile(const std::string &prefix, const std::string &helper,
                              const std::string &managedFiles = "/etc/porthold/managed-files") {
    QFile in(QStringLiteral(PORTHOLD_SOURCE_DIR "/resources/polkit/com.quillmere.porthold.policy.in"));
    if (!in.open(QIODevice::ReadOnly))
        return {};
    QString text = QString::fromUtf8(in.readAll());
    text.replace(QStringLiteral("@PORTHOLD_POLKIT_PREFIX@"), QString::fromStdString(prefix));
    text.replace(QStringLiteral("@PORTHOLD_SENTREL_INSTALLED@"), QString::fromStdString(helper));
    text.replace(QStringLiteral("@PORTHOLD_MANAGED_FILES@"), QString::fromStdString(managedFiles));
    return text.toStdString();
}

} // namespace polkit_test
