#include "update/AbstractSocket.h"

#include <algorithm>

#include "core/PHException.h"

#include <QSslConfiguration>
#include <QSslSocket>

#include <mutex>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QString errorText(int error) {
    char scratch[256];
    // The GNU strerror_r returns either its buffer or a static text.
    return QString::fromLocal8Bit(strerror_r(error, scratch, sizeof scratch));
}

constexpr std::chrono::milliseconds PollSlice{100};
// What the TLS socket decrypts ahead of the reader: bounded, so a server that
// sends faster than the reader takes cannot fill memory.
constexpr qint64 kTLSReadAhead = 256 * 1024;

std::mutex g_authoritiesMutex;
QList<QSslCertificate> g_authorities;

/// Why the server's certificate was refused, in the TLS library's words.
QString certificateProblems(const QList<QSslError> &errors) {
    QStringList texts;
    for (const QSslError &error : errors)
        if (!texts.contains(error.errorString()))
            texts.append(error.errorString());
    return texts.join(QStringLiteral("; "));
}

} // namespace

void AbstractSocket::setTrustedAuthorities(const QList<QSslCertificate> &authorities) {
    std::lock_guard lock(g_authoritiesMutex);
    g_authorities = authorities;
}

AbstractSocket::AbstractSocket() {
    m_socketfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (m_socketfd < 0) {
        const int error = errno;
        m_socketfd = -1;
        raise("Socket: Can't create socket", error);
    }
    try {
        allocReadBuffer();
    } catch (...) {
        ::close(m_socketfd);
        m_socketfd = -1;
        throw;
    }
}

AbstractSocket::~AbstractSocket() {
    close();
}

void AbstractSocket::raise(const char *name, int error) {
    raise(name, QStringLiteral("%1: %2").arg(QString::fromLatin1(name), errorText(error)));
}

void AbstractSocket::raise(const char *name, const QString &reason) {
    throw PHException(QString::fromLatin1(name), reason);
}

void AbstractSocket::setReadBufferSize(quint32 size) {
    size = std::max<quint32>(size, 1);
    if (size != m_readBufferSize) {
        m_readBufferSize = size;
        m_readBuffer.reset();
    }
}

void AbstractSocket::allocReadBuffer() {
    if (m_readBuffer)
        return;
    m_readBuffer.reset(new (std::nothrow) char[m_readBufferSize]);
    if (!m_readBuffer)
        raise("Socket: Malloc failed", QStringLiteral("Socket: Malloc failed"));
}

void AbstractSocket::close() {
    if (m_tls) {
        // It owns the descriptor and closes it.
        m_tls->abort();
        m_tls.reset();
        m_socketfd = -1;
    }
    if (m_socketfd != -1) {
        ::close(m_socketfd);
        m_socketfd = -1;
    }
    m_remoteHostName.clear();
    m_connected = false;
    m_remotePort = 0;
}

AbstractSocket::Wait AbstractSocket::waitFor(short events) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + m_timeout;
    for (;;) {
        if (m_abort && m_abort->load())
            return Wait::Aborted;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return Wait::TimedOut;
        pollfd entry{m_socketfd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min(left, PollSlice).count()));
        if (ready > 0)
            return Wait::Ready; // errors and hang-ups show in the call that follows
        if (ready < 0 && errno != EINTR)
            return Wait::Ready;
    }
}

void AbstractSocket::connectToHostNamePort(const QString &hostName, quint16 port) {
    if (m_socketfd == -1)
        raise("Socket: Bad socket descriptor", QStringLiteral("Socket: Bad socket descriptor"));
    if (m_connected)
        raise("Socket: Already connected", QStringLiteral("Socket: Already connected"));

    // The resolver takes a C string: a name with a zero byte cannot be meant.
    const QByteArray name = hostName.toLatin1();
    if (name.isEmpty() || name.contains('\0'))
        raise("Socket: Host not found", QStringLiteral("Socket: Host not found: %1").arg(errorText(EINVAL)));
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int lookup = ::getaddrinfo(name.constData(), nullptr, &hints, &found);
    if (lookup != 0 || !found) {
        const QString why =
            lookup == EAI_SYSTEM ? errorText(errno) : QString::fromLocal8Bit(gai_strerror(lookup));
        if (found)
            ::freeaddrinfo(found);
        raise("Socket: Host not found", QStringLiteral("Socket: Host not found: %1").arg(why));
    }
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    ::freeaddrinfo(found);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);

    // Connect without blocking so that the wait can time out or be abandoned;
    // the descriptor stays non-blocking and every later call polls first.
    const int flags = ::fcntl(m_socketfd, F_GETFL);
    if (flags < 0 || ::fcntl(m_socketfd, F_SETFL, flags | O_NONBLOCK) < 0)
        raise("Socket: Connect failed", errno);
    if (::connect(m_socketfd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS && errno != EINTR)
            raise("Socket: Connect failed", errno);
        switch (waitFor(POLLOUT)) {
        case Wait::TimedOut:
            raise("Socket: Connect failed", ETIMEDOUT);
        case Wait::Aborted:
            raise("Socket: Connect failed", ECANCELED);
        case Wait::Ready:
            break;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(m_socketfd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error != 0)
            raise("Socket: Connect failed", error);
    }
    startTLS(hostName);
    m_remoteHostName = hostName;
    m_remotePort = port;
    m_connected = true;
}

template <typename Step, typename Done>
AbstractSocket::Wait AbstractSocket::waitForTLS(Step step, Done done) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline = Clock::now() + m_timeout;
    for (;;) {
        if (done() || m_tls->state() != QAbstractSocket::ConnectedState)
            return Wait::Ready; // the caller tells success from failure
        if (m_abort && m_abort->load())
            return Wait::Aborted;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return Wait::TimedOut;
        // A slice that ends without progress only times out the slice.
        if (step(static_cast<int>(std::min(left, PollSlice).count())))
            deadline = Clock::now() + m_timeout;
    }
}

void AbstractSocket::startTLS(const QString &hostName) {
    if (!QSslSocket::supportsSsl())
        raise("Socket: TLS handshake failed",
              QStringLiteral("Socket: TLS handshake failed: no TLS library (OpenSSL 3) was found"));
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    {
        std::lock_guard lock(g_authoritiesMutex);
        if (!g_authorities.isEmpty())
            configuration.setCaCertificates(g_authorities);
    }
    m_tls = std::make_unique<QSslSocket>();
    m_tls->setSslConfiguration(configuration);
    m_tls->setPeerVerifyName(hostName);
    m_tls->setReadBufferSize(kTLSReadAhead);
    if (!m_tls->setSocketDescriptor(m_socketfd)) {
        const QString why = m_tls->errorString();
        m_tls.reset();
        raise("Socket: Connect failed", QStringLiteral("Socket: Connect failed: %1").arg(why));
    }
    m_tls->startClientEncryption();
    const Wait wait = waitForTLS([this](int slice) { return m_tls->waitForEncrypted(slice); },
                                 [this] { return m_tls->isEncrypted(); });
    if (wait == Wait::Ready && m_tls->isEncrypted())
        return;
    const QString refused = certificateProblems(m_tls->sslHandshakeErrors());
    QString why;
    if (wait == Wait::TimedOut)
        why = errorText(ETIMEDOUT);
    else if (wait == Wait::Aborted)
        why = errorText(ECANCELED);
    else if (!refused.isEmpty())
        why = QStringLiteral("the server's certificate was refused: %1").arg(refused);
    else
        why = QStringLiteral("the server did not answer in TLS (%1)").arg(m_tls->errorString());
    close();
    raise("Socket: TLS handshake failed", QStringLiteral("Socket: TLS handshake failed: %1").arg(why));
}

qint64 AbstractSocket::readData(QByteArray *buffer) {
    if (!buffer)
        raise("Socket: Invalid buffer", QStringLiteral("Socket: Invalid buffer"));
    if (m_socketfd == -1)
        raise("Socket: Bad socket descriptor", QStringLiteral("Socket: Bad socket descriptor"));
    if (!m_connected)
        raise("Socket: Not connected", QStringLiteral("Socket: Not connected"));
    allocReadBuffer();

    for (;;) {
        if (m_tls->bytesAvailable() > 0) {
            const qint64 received = m_tls->read(m_readBuffer.get(), m_readBufferSize);
            if (received > 0) {
                buffer->append(m_readBuffer.get(), static_cast<qsizetype>(received));
                return received;
            }
        }
        if (m_tls->state() != QAbstractSocket::ConnectedState) {
            if (m_tls->error() != QAbstractSocket::RemoteHostClosedError)
                raise("Socket: Recv failed",
                      QStringLiteral("Socket: Recv failed: %1").arg(m_tls->errorString()));
            close();
            return 0;
        }
        switch (waitForTLS([this](int slice) { return m_tls->waitForReadyRead(slice); },
                           [this] { return m_tls->bytesAvailable() > 0; })) {
        case Wait::TimedOut:
            raise("Socket: Recv failed", ETIMEDOUT);
        case Wait::Aborted:
            raise("Socket: Recv failed", ECANCELED);
        case Wait::Ready:
            break;
        }
    }
}

void AbstractSocket::writeData(const QByteArray &data) {
    if (m_socketfd == -1)
        raise("Socket: Bad socket descriptor", QStringLiteral("Socket: Bad socket descriptor"));
    if (!m_connected)
        raise("Socket: Not connected", QStringLiteral("Socket: Not connected"));

    if (data.isEmpty())
        return;
    if (m_tls->write(data) != data.size())
        raise("Socket: Send failed", QStringLiteral("Socket: Send failed: %1").arg(m_tls->errorString()));
    switch (
        waitForTLS([this](int slice) { return m_tls->waitForBytesWritten(slice); },
                   [this] { return m_tls->encryptedBytesToWrite() == 0 && m_tls->bytesToWrite() == 0; })) {
    case Wait::TimedOut:
        raise("Socket: Send failed", ETIMEDOUT);
    case Wait::Aborted:
        raise("Socket: Send failed", ECANCELED);
    case Wait::Ready:
        break;
    }
    // A peer may close once it has all it wanted; only bytes left unsent fail.
    if (m_tls->bytesToWrite() > 0 || m_tls->encryptedBytesToWrite() > 0)
        raise("Socket: Send failed", QStringLiteral("Socket: Send failed: %1").arg(m_tls->errorString()));
}

void AbstractSocket::writeString(const QString &text) {
    if (text.isEmpty())
        return;
    writeData(text.toUtf8());
}
