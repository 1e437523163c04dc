#pragma once

// A small HTTPS server for the update tests: a thread of the test process that
// listens on 127.0.0.1, makes the TLS handshake with a certificate of the test
// authority (or, as a plain HTTP server, none), records every request's exact
// bytes and answers from a table of canned replies by request path. Nothing
// here leaves the loopback.

#include "common/LoopbackPort.h"
#include "update/TestAuthority.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <QByteArray>
#include <QList>
#include <QMap>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

class TestHttpServer {
public:
    struct Reply {
        QByteArray bytes;       // sent as they stand: status line, headers and body
        int chunkSize = 0;      // 0: one send; otherwise sends of this size...
        int chunkDelayMs = 0;   // ...with this pause before each
        int holdMs = 0;         // pause before the first byte (a server that stalls)
        qint64 fillerBytes = 0; // then this many bytes of filler; -1: filler until the client hangs up
    };

    /// The certificate it shows, or `Plain`: no TLS at all.
    enum class Transport { TLS, WrongName, Expired, UnknownAuthority, Plain };

    explicit TestHttpServer(Transport transport = Transport::TLS) {
        // A client that hangs up mid-reply is an error of the write, not a signal.
        std::signal(SIGPIPE, SIG_IGN);
        if (transport != Transport::Plain)
            m_context = makeContext(transport);
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof address;
        if (m_listener < 0 ||
            ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 8) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            throw std::runtime_error("test server: cannot listen on 127.0.0.1");
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }

    ~TestHttpServer() {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
        if (m_context)
            SSL_CTX_free(m_context);
    }

    quint16 port() const { return m_port; }
    QByteArray hostPort() const { return "127.0.0.1:" + QByteArray::number(m_port); }

    void setReply(const QByteArray &path, const Reply &reply) {
        std::lock_guard lock(m_mutex);
        m_replies[path] = reply;
    }
    /// A 200 reply with the body and the usual headers.
    static Reply ok(const QByteArray &body, const QByteArray &extraHeaders = {}) {
        return {"HTTP/1.0 200 OK\r\nContent-Type: application/xml\r\nContent-Length: " +
                QByteArray::number(body.size()) + "\r\n" + extraHeaders + "\r\n" + body};
    }

    QList<QByteArray> requests() const {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    /// Waits until `count` requests have been served completely.
    bool waitForServed(int count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return m_served >= count; });
    }

    /// A port on 127.0.0.1 that nothing listens on.
    static quint16 closedPort() { return loopback::freePort(); }

    /// Connections whose TLS handshake failed (the client refused the server).
    int refusedHandshakes() const { return m_refusedHandshakes.load(); }

private:
    static SSL_CTX *makeContext(Transport transport) {
        const TestAuthority &authority = TestAuthority::shared();
        if (!authority.problem().isEmpty())
            throw std::runtime_error("test authority: " + authority.problem().toStdString());
        const TestAuthority::Kind kind = transport == Transport::WrongName ? TestAuthority::Kind::WrongName
                                         : transport == Transport::Expired ? TestAuthority::Kind::Expired
                                         : transport == Transport::UnknownAuthority
                                             ? TestAuthority::Kind::UnknownAuthority
                                             : TestAuthority::Kind::Good;
        const TestAuthority::Identity &identity = authority.identity(kind);
        SSL_CTX *context = SSL_CTX_new(TLS_server_method());
        if (!context ||
            SSL_CTX_use_certificate_chain_file(context, identity.certificate.toLocal8Bit().constData()) !=
                1 ||
            SSL_CTX_use_PrivateKey_file(context, identity.key.toLocal8Bit().constData(), SSL_FILETYPE_PEM) !=
                1)
            throw std::runtime_error("test server: cannot load its certificate");
        SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        return context;
    }

    /// One connection's bytes in and out, through TLS when the server has it.
    /// Each call waits about 20 ms at most; 0 means "nothing yet", -1 the end.
    class Connection {
    public:
        Connection(int fd, SSL_CTX *context) : m_fd(fd) {
            if (!context)
                return;
            timeval slice{0, 20000};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof slice);
            m_ssl = SSL_new(context);
            SSL_set_fd(m_ssl, fd);
        }
        ~Connection() {
            if (m_ssl) {
                if (m_secure)
                    SSL_shutdown(m_ssl); // the close_notify that ends a reply cleanly
                SSL_free(m_ssl);
            }
        }
        /// The handshake, for up to 5 s; true at once without TLS.
        bool handshake(const std::atomic<bool> &stop) {
            if (!m_ssl)
                return true;
            for (int waited = 0; waited < 5000 && !stop; waited += 20) {
                const int done = SSL_accept(m_ssl);
                if (done == 1)
                    return m_secure = true;
                const int error = SSL_get_error(m_ssl, done);
                if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
                    break;
            }
            ERR_clear_error();
            return false;
        }
        qsizetype receive(char *data, qsizetype size) {
            if (!m_ssl) {
                pollfd entry{m_fd, POLLIN, 0};
                if (::poll(&entry, 1, 20) <= 0)
                    return 0;
                const ssize_t got = ::recv(m_fd, data, size_t(size), 0);
                return got > 0 ? got : -1;
            }
            const int got = SSL_read(m_ssl, data, int(size));
            return got > 0 ? got : wouldBlock(got) ? 0 : -1;
        }
        qsizetype send(const char *data, qsizetype size) {
            if (!m_ssl) {
                pollfd entry{m_fd, POLLOUT, 0};
                if (::poll(&entry, 1, 20) <= 0)
                    return 0;
                const ssize_t sent = ::send(m_fd, data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
                return sent >= 0 ? sent : (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
            }
            const int sent = SSL_write(m_ssl, data, int(std::min<qsizetype>(size, 1 << 20)));
            return sent > 0 ? sent : wouldBlock(sent) ? 0 : -1;
        }

    private:
        bool wouldBlock(int result) {
            const int error = SSL_get_error(m_ssl, result);
            const bool retry = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ||
                               (error == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK));
            ERR_clear_error();
            if (!retry)
                m_secure = false; // no shutdown on a broken connection
            return retry;
        }
        int m_fd;
        SSL *m_ssl = nullptr;
        bool m_secure = false;
    };

    void serve() {
        while (!m_stop) {
            pollfd entry{m_listener, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0)
                continue;
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            handle(client);
            ::close(client);
            std::lock_guard lock(m_mutex);
            ++m_served;
            m_changed.notify_all();
        }
    }

    void handle(int client) {
        Connection connection(client, m_context);
        if (!connection.handshake(m_stop)) {
            ++m_refusedHandshakes;
            return;
        }
        // The request ends with an empty line: LF LF (what the panel sends) or CRLF CRLF.
        QByteArray request;
        char chunk[1024];
        for (int waited = 0; !request.contains("\n\n") && !request.contains("\r\n\r\n") &&
                             request.size() < 65536 && waited < 5000 && !m_stop;) {
            const qsizetype got = connection.receive(chunk, sizeof chunk);
            if (got < 0)
                break;
            if (got == 0) {
                waited += 20;
                continue;
            }
            request.append(chunk, got);
            // A plain HTTP server takes a TLS handshake for a bad request at once.
            if (!m_context && request.startsWith('\x16'))
                break;
        }
        Reply reply{"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"};
        {
            std::lock_guard lock(m_mutex);
            m_requests.append(request);
            const QList<QByteArray> words = request.split(' ');
            if (!m_context && request.startsWith('\x16'))
                reply = Reply{"HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n"};
            else if (words.size() > 1 && m_replies.contains(words[1]))
                reply = m_replies.value(words[1]);
        }
        for (int waited = 0; waited < reply.holdMs && !m_stop; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const auto sendAll = [&](const char *data, qsizetype size) {
            while (size > 0 && !m_stop) {
                const qsizetype sent = connection.send(data, size);
                if (sent < 0)
                    return false;
                data += sent;
                size -= sent;
            }
            return true;
        };
        const qsizetype step =
            reply.chunkSize > 0 ? reply.chunkSize : std::max<qsizetype>(reply.bytes.size(), 1);
        for (qsizetype at = 0; at < reply.bytes.size() && !m_stop; at += step) {
            if (reply.chunkDelayMs > 0 && reply.chunkSize > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(reply.chunkDelayMs));
            const QByteArray piece = reply.bytes.mid(at, step);
            if (!sendAll(piece.constData(), piece.size()))
                return;
        }
        const QByteArray filler(64 * 1024, 'x');
        for (qint64 left = reply.fillerBytes; (reply.fillerBytes < 0 || left > 0) && !m_stop;) {
            const qsizetype size =
                reply.fillerBytes < 0 ? filler.size() : std::min<qint64>(left, filler.size());
            const qsizetype sent = connection.send(filler.constData(), size);
            if (sent < 0)
                return;
            left -= sent;
            m_fillerSent += sent;
        }
    }

    SSL_CTX *m_context = nullptr;
    std::atomic<int> m_refusedHandshakes{0};
    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    QMap<QByteArray, Reply> m_replies;
    QList<QByteArray> m_requests;
    int m_served = 0;

public:
    /// Filler bytes sent so far, over all replies.
    qint64 fillerSent() const { return m_fillerSent.load(); }

private:
    std::atomic<qint64> m_fillerSent{0};
};
