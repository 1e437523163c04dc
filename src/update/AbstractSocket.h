#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QString>

#include <atomic>
#include <chrono>
#include <memory>

class QSslSocket;

/// One TLS connection over an IPv4 TCP stream socket: connect by host name
/// and port, send bytes or text, receive into a caller's growable buffer.
/// Every call blocks; every failure raises a PHException named after the
/// failing step ("Socket: Connect failed", "Socket: TLS handshake failed",
/// ...) whose reason carries the system's or the TLS library's error text.
///
/// There is no plain mode: a connection is usable only once the server has
/// proved, with a certificate chain to one of the system's certificate
/// authorities, that it is the host that was named.
///
/// A socket belongs to one thread at a time. Connects and receives give up
/// after `timeout()` without progress (raised as a connect or receive failure
/// with the text of ETIMEDOUT); a set abort flag ends a wait the same way
/// within a tenth of a second.
class AbstractSocket {
public:
    static constexpr quint32 DefaultReadBufferSize = 4096;
    static constexpr std::chrono::milliseconds DefaultTimeout{60000};

    /// Creates the stream socket and its receive buffer.
    AbstractSocket();
    virtual ~AbstractSocket();
    AbstractSocket(const AbstractSocket &) = delete;
    AbstractSocket &operator=(const AbstractSocket &) = delete;

    /// Resolves the name to its first IPv4 address, connects on the port and
    /// makes the TLS handshake, checking the server's certificate for the name.
    void connectToHostNamePort(const QString &hostName, quint16 port);
    /// One receive of at most `readBufferSize()` bytes, appended to `buffer`.
    /// Returns the count, or 0 after the peer closed (the socket is then closed).
    qint64 readData(QByteArray *buffer);
    /// Sends every byte, repeating the send until none are left.
    void writeData(const QByteArray &data);
    /// Sends the text's UTF-8 bytes; an empty text sends nothing.
    void writeString(const QString &text);

    quint32 readBufferSize() const { return m_readBufferSize; }
    /// The most one receive takes (at least 1 byte); a new size takes effect
    /// with the next receive.
    void setReadBufferSize(quint32 size);
    void allocReadBuffer();
    /// Closes the descriptor and forgets the peer; harmless when closed.
    void close();

    bool isConnected() const { return m_connected; }
    QString remoteHostName() const { return m_remoteHostName; }
    quint16 remotePort() const { return m_remotePort; }
    int socketDescriptor() const { return m_socketfd; }

    std::chrono::milliseconds timeout() const { return m_timeout; }
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }
    /// A flag watched while the socket waits; setting it ends the wait.
    void setAbortFlag(std::shared_ptr<const std::atomic<bool>> flag) { m_abort = std::move(flag); }

    /// Test hook: the certificate authorities that every later connection
    /// trusts instead of the system's (an empty list: the system's again).
    static void setTrustedAuthorities(const QList<QSslCertificate> &authorities);

private:
    enum class Wait { Ready, TimedOut, Aborted };
    Wait waitFor(short events);
    void startTLS(const QString &hostName);
    /// Runs `step` (one bounded wait of the TLS socket) until `done`, the
    /// timeout without progress, the abort flag or the connection's end.
    template <typename Step, typename Done> Wait waitForTLS(Step step, Done done);
    [[noreturn]] static void raise(const char *name, int error);
    [[noreturn]] static void raise(const char *name, const QString &reason);

    bool m_connected = false;
    std::unique_ptr<char[]> m_readBuffer;
    quint32 m_readBufferSize = DefaultReadBufferSize;
    QString m_remoteHostName;
    quint16 m_remotePort = 0;
    int m_socketfd = -1;
    // Owns the descriptor once the handshake starts.
    std::unique_ptr<QSslSocket> m_tls;

    std::chrono::milliseconds m_timeout = DefaultTimeout;
    std::shared_ptr<const std::atomic<bool>> m_abort;
};
