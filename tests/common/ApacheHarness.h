#pragma once

// A private instance of the system's apache2, serving a test web root on
// 127.0.0.1 at a free port, and a small blocking HTTP client to ask it things.
// The server reads every .htaccess on every request, so one instance serves a
// whole suite. It is stopped when the harness goes away, and the kernel stops
// it when the test program dies (parent-death signal).

#include "common/LoopbackPort.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace apache_harness {

namespace fs = std::filesystem;

inline std::string base64(const std::string &in) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v =
            (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
        out += table[v >> 18 & 63];
        out += table[v >> 12 & 63];
        out += table[v >> 6 & 63];
        out += table[v & 63];
    }
    if (i + 1 == in.size()) {
        const unsigned v = (unsigned char)in[i] << 16;
        out += table[v >> 18 & 63];
        out += table[v >> 12 & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        const unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
        out += table[v >> 18 & 63];
        out += table[v >> 12 & 63];
        out += table[v >> 6 & 63];
        out += '=';
    }
    return out;
}

/// Credentials for Basic authentication; an empty user means "send none".
struct Credentials {
    std::string user;
    std::string password;
};

/// True when this machine has an IPv6 loopback to listen on.
inline bool hasIpv6Loopback() {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

/// One HTTP/1.0 GET to 127.0.0.1:port (or [::1]:port); returns the status
/// code, or -1 when no status line came back.
inline int httpStatus(int port, const std::string &path, const Credentials &credentials = {},
                      bool ipv6 = false) {
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 address6{};
    address6.sin6_family = AF_INET6;
    address6.sin6_port = htons(static_cast<uint16_t>(port));
    address6.sin6_addr = in6addr_loopback;
    const int connected = ipv6 ? ::connect(fd, reinterpret_cast<sockaddr *>(&address6), sizeof address6)
                               : ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    if (connected != 0) {
        ::close(fd);
        return -1;
    }
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: " + (ipv6 ? "[::1]:" : "127.0.0.1:") +
                          std::to_string(port) + "\r\n";
    if (!credentials.user.empty())
        request += "Authorization: Basic " + base64(credentials.user + ":" + credentials.password) + "\r\n";
    request += "Connection: close\r\n\r\n";
    size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            ::close(fd);
            return -1;
        }
        sent += static_cast<size_t>(n);
    }
    std::string reply;
    char buffer[4096];
    while (reply.find("\r\n") == std::string::npos && reply.size() < 65536) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        reply.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    // "HTTP/1.1 401 Unauthorized"
    if (reply.compare(0, 5, "HTTP/") != 0)
        return -1;
    const size_t space = reply.find(' ');
    if (space == std::string::npos || space + 4 > reply.size())
        return -1;
    return std::atoi(reply.c_str() + space + 1);
}

/// A port on 127.0.0.1 that nothing listens on right now.
inline int freeLoopbackPort() {
    const int port = loopback::freePort();
    if (port == 0)
        throw std::runtime_error("no free loopback port: " + std::string(std::strerror(errno)));
    return port;
}

inline bool everyAncestorSearchable(const fs::path &path) {
    for (fs::path p = path; !p.empty(); p = p.parent_path()) {
        struct stat st {};
        if (::stat(p.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0)
            return false;
        if (p == p.parent_path())
            break;
    }
    return true;
}

/// A folder that the server's worker user can read: under $TMPDIR when every
/// folder above it is searchable by others, else under /tmp.
inline fs::path makeReadableTempFolder(const std::string &stem) {
    const char *tmp = std::getenv("TMPDIR");
    fs::path base = tmp && *tmp ? fs::path(tmp) : fs::path("/tmp");
    if (!everyAncestorSearchable(base))
        base = "/tmp";
    std::string pattern = (base / (stem + ".XXXXXX")).string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    ::chmod(pattern.c_str(), 0755);
    return pattern;
}

/// The module files the access tests need; mod_dir and mod_mime are not needed
/// since the tests ask for files by name.
inline const std::vector<std::string> &requiredModules() {
    static const std::vector<std::string> modules{"mpm_event",       "authn_core", "authn_file",
                                                  "authz_core",      "authz_host", "authz_user",
                                                  "authz_groupfile", "auth_basic", "access_compat"};
    return modules;
}

inline std::string moduleFolder() {
    for (const char *candidate :
         {"/usr/lib/apache2/modules", "/usr/lib64/httpd/modules", "/usr/lib/httpd/modules"})
        if (fs::exists(fs::path(candidate) / "mod_authz_core.so"))
            return candidate;
    return {};
}

inline std::string serverBinary() {
    for (const char *candidate : {"/usr/sbin/apache2", "/usr/sbin/httpd"})
        if (::access(candidate, X_OK) == 0)
            return candidate;
    return {};
}

/// Why the harness cannot run here, or empty when it can.
inline std::string unavailableReason() {
    if (serverBinary().empty())
        return "no apache2 binary in /usr/sbin";
    const std::string modules = moduleFolder();
    if (modules.empty())
        return "no apache2 module folder";
    for (const auto &name : requiredModules())
        if (!fs::exists(fs::path(modules) / ("mod_" + name + ".so")))
            return "module mod_" + name + ".so is missing";
    return {};
}

class ApacheServer {
public:
    /// Serves `documentRoot` (which must exist and be readable by the worker
    /// user) until destroyed. Throws with the server's error log when it does
    /// not come up.
    /// `extra` is added at the end of the server's configuration, with
    /// "ROOT" standing for the document root.
    explicit ApacheServer(const fs::path &documentRoot, std::string extra = {})
        : m_documentRoot(documentRoot), m_extra(std::move(extra)) {
        const std::string reason = unavailableReason();
        if (!reason.empty())
            throw std::runtime_error(reason);
        m_serverRoot = makeReadableTempFolder("porthold-apache");
        m_ipv6 = hasIpv6Loopback();
        std::string lastError;
        for (int attempt = 0; attempt < 5; ++attempt) {
            m_port = freeLoopbackPort();
            writeConfiguration();
            if (start(lastError))
                return;
            stop();
        }
        std::error_code ignored;
        fs::remove_all(m_serverRoot, ignored);
        throw std::runtime_error("apache2 did not start: " + lastError);
    }

    ~ApacheServer() {
        stop();
        std::error_code ignored;
        fs::remove_all(m_serverRoot, ignored);
    }

    ApacheServer(const ApacheServer &) = delete;
    ApacheServer &operator=(const ApacheServer &) = delete;

    int port() const { return m_port; }
    const fs::path &serverRoot() const { return m_serverRoot; }
    fs::path errorLog() const { return m_serverRoot / "error.log"; }
    fs::path configuration() const { return m_serverRoot / "httpd.conf"; }

    int get(const std::string &path, const Credentials &credentials = {}) const {
        return httpStatus(m_port, path, credentials);
    }

    /// True when the server also listens on [::1].
    bool servesIpv6() const { return m_ipv6; }

    /// A GET from ::1 (-1 when the server does not listen there).
    int get6(const std::string &path, const Credentials &credentials = {}) const {
        return m_ipv6 ? httpStatus(m_port, path, credentials, true) : -1;
    }

    std::string errorLogText() const {
        std::ifstream in(errorLog());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    void writeConfiguration() {
        const std::string modules = moduleFolder();
        std::ofstream conf(m_serverRoot / "httpd.conf", std::ios::trunc);
        conf << "ServerRoot \"" << m_serverRoot.string() << "\"\n"
             << "ServerName 127.0.0.1\n"
             << "Listen 127.0.0.1:" << m_port << "\n"
             << (m_ipv6 ? "Listen [::1]:" + std::to_string(m_port) + "\n" : std::string()) << "PidFile \""
             << (m_serverRoot / "httpd.pid").string() << "\"\n"
             << "DefaultRuntimeDir \"" << m_serverRoot.string() << "\"\n"
             << "Mutex file:" << m_serverRoot.string() << " default\n"
             << "ErrorLog \"" << errorLog().string() << "\"\n"
             << "LogLevel warn\n";
        for (const auto &name : requiredModules())
            conf << "LoadModule " << moduleSymbol(name) << " \"" << modules << "/mod_" << name << ".so\"\n";
        if (::geteuid() == 0) {
            // Workers may not run as root; they drop to the web server's user,
            // which is why every folder of the tree is kept world-readable.
            const bool wwwData = ::getpwnam("www-data") != nullptr;
            conf << "User " << (wwwData ? "www-data" : "nobody") << "\n"
                 << "Group " << (wwwData ? "www-data" : "nogroup") << "\n";
        }
        conf << "StartServers 1\nServerLimit 1\nThreadsPerChild 8\nMaxRequestWorkers 8\n"
             << "KeepAlive Off\n"
             << "DocumentRoot \"" << m_documentRoot.string() << "\"\n"
             << "<Directory />\n  AllowOverride None\n  Require all denied\n</Directory>\n"
             << "<Directory \"" << m_documentRoot.string() << "\">\n"
             << "  AllowOverride All\n  Require all granted\n</Directory>\n"
             << "<Files \".ht*\">\n  Require all denied\n</Files>\n";
        std::string extra = m_extra;
        for (size_t at = extra.find("ROOT"); at != std::string::npos; at = extra.find("ROOT", at))
            extra.replace(at, 4, m_documentRoot.string());
        conf << extra;
    }

    static std::string moduleSymbol(const std::string &name) {
        // mpm_event -> mpm_event_module; access_compat -> access_compat_module
        return name + "_module";
    }

    bool start(std::string &error) {
        const std::string binary = serverBinary();
        const std::string conf = (m_serverRoot / "httpd.conf").string();
        const pid_t parent = ::getpid();
        m_pid = ::fork();
        if (m_pid < 0) {
            error = std::strerror(errno);
            return false;
        }
        if (m_pid == 0) {
            // Dies with the test program, whatever ends it.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent)
                ::_exit(127);
            const int null = ::open("/dev/null", O_RDWR);
            if (null >= 0) {
                ::dup2(null, STDIN_FILENO);
                ::dup2(null, STDOUT_FILENO);
            }
            const std::string log = (m_serverRoot / "startup.log").string();
            const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err >= 0)
                ::dup2(err, STDERR_FILENO);
            char *const argv[] = {const_cast<char *>(binary.c_str()), const_cast<char *>("-f"),
                                  const_cast<char *>(conf.c_str()), const_cast<char *>("-DFOREGROUND"),
                                  nullptr};
            char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
            char lang[] = "LANG=C";
            char *const envp[] = {path, lang, nullptr};
            ::execve(binary.c_str(), argv, envp);
            ::_exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                error = readFile(m_serverRoot / "startup.log") + readFile(errorLog());
                return false;
            }
            if (httpStatus(m_port, "/") > 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        error = "no answer on port " + std::to_string(m_port) + ": " +
                readFile(m_serverRoot / "startup.log") + readFile(errorLog());
        return false;
    }

    void stop() {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int status = 0;
        while (::waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        m_pid = -1;
    }

    static std::string readFile(const fs::path &path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path m_documentRoot;
    std::string m_extra;
    fs::path m_serverRoot;
    int m_port = 0;
    bool m_ipv6 = false;
    pid_t m_pid = -1;
};

} // namespace apache_harness
