#pragma once

// A small HTTP server for the update tests: a thread of the test process that
// listens on 127.0.0.1, records every request's exact bytes and answers from a
// table of canned replies by request path. Nothing here leaves the loopback.

#include "common/LoopbackPort.h"

#include <QByteArray>
#include <QList>
#include <QMap>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
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

    TestHttpServer() {
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

private:
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
        // The request ends with an empty line: LF LF (what the panel sends) or CRLF CRLF.
        QByteArray request;
        char chunk[1024];
        for (int waited = 0; !request.contains("\n\n") && !request.contains("\r\n\r\n") &&
                             request.size() < 65536 && waited < 5000 && !m_stop;) {
            pollfd entry{client, POLLIN, 0};
            if (::poll(&entry, 1, 20) <= 0) {
                waited += 20;
                continue;
            }
            const ssize_t got = ::recv(client, chunk, sizeof chunk, 0);
            if (got <= 0)
                break;
            request.append(chunk, got);
        }
        Reply reply{"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"};
        {
            std::lock_guard lock(m_mutex);
            m_requests.append(request);
            const QList<QByteArray> words = request.split(' ');
            if (words.size() > 1 && m_replies.contains(words[1]))
                reply = m_replies.value(words[1]);
        }
        for (int waited = 0; waited < reply.holdMs && !m_stop; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const qsizetype step =
            reply.chunkSize > 0 ? reply.chunkSize : std::max<qsizetype>(reply.bytes.size(), 1);
        for (qsizetype at = 0; at < reply.bytes.size() && !m_stop; at += step) {
            if (reply.chunkDelayMs > 0 && reply.chunkSize > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(reply.chunkDelayMs));
            const QByteArray piece = reply.bytes.mid(at, step);
            if (::send(client, piece.constData(), piece.size(), MSG_NOSIGNAL) < 0)
                return;
        }
        const QByteArray filler(64 * 1024, 'x');
        for (qint64 left = reply.fillerBytes; (reply.fillerBytes < 0 || left > 0) && !m_stop;) {
            const qsizetype size =
                reply.fillerBytes < 0 ? filler.size() : std::min<qint64>(left, filler.size());
            pollfd entry{client, POLLOUT, 0};
            if (::poll(&entry, 1, 100) <= 0)
                continue;
            const ssize_t sent = ::send(client, filler.constData(), size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return;
            if (sent > 0) {
                left -= sent;
                m_fillerSent += sent;
            }
        }
    }

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
