#include "update/Socket.h"

#include "common/TestApplication.h"
#include "core/PHException.h"
#include "update/TestHttpServer.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// Every test trusts the test authority and nothing else.
const bool kTrusted = [] {
    testApplication("porthold-socket-test"); // the TLS sockets expect one
    trustTestAuthority();
    return true;
}();

// Runs the call and answers the name of the failure it raised, or "" when none.
template <typename Call> QString failureOf(Call call) {
    try {
        call();
    } catch (const PHException &e) {
        return e.name() + QStringLiteral(" | ") + e.reason();
    }
    return {};
}

TEST(Socket, ExchangesBytesAndClosesWhenThePeerDoes) {
    ASSERT_TRUE(kTrusted);
    TestHttpServer server;
    server.setReply("/x", {"HTTP/1.0 200 OK\r\n\r\n" + QByteArray(10000, 'z')});

    auto socket = Socket::socket();
    EXPECT_FALSE(socket->isConnected());
    EXPECT_EQ(socket->readBufferSize(), 4096u);
    socket->connectToHostNamePort(QStringLiteral("127.0.0.1"), server.port());
    EXPECT_TRUE(socket->isConnected());
    EXPECT_EQ(socket->remoteHostName(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(socket->remotePort(), server.port());

    socket->writeString(QStringLiteral("GET /x HTTP/1.0\n\n"));
    QByteArray buffer("kept");
    qint64 total = 0;
    for (qint64 got; (got = socket->readData(&buffer)) > 0;) {
        EXPECT_LE(got, 4096);
        total += got;
    }
    EXPECT_EQ(total, 10000 + 19);
    EXPECT_TRUE(buffer.startsWith("keptHTTP/1.0 200 OK"));
    EXPECT_EQ(buffer.size(), 4 + total);
    // The peer's close closes the socket and forgets the peer.
    EXPECT_FALSE(socket->isConnected());
    EXPECT_EQ(socket->remotePort(), 0);
    EXPECT_TRUE(socket->remoteHostName().isEmpty());
    EXPECT_EQ(socket->socketDescriptor(), -1);
    socket->close(); // twice is harmless
    EXPECT_EQ(failureOf([&] { socket->readData(&buffer); }),
              QStringLiteral("Socket: Bad socket descriptor | Socket: Bad socket descriptor"));
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests().first(), QByteArray("GET /x HTTP/1.0\n\n"));
}

TEST(Socket, PreconditionsAreCheckedInOrder) {
    Socket socket;
    // An empty text is not sent at all, so it cannot fail even unconnected.
    EXPECT_EQ(failureOf([&] { socket.writeString(QString()); }), QString());
    EXPECT_EQ(failureOf([&] { socket.readData(nullptr); }),
              QStringLiteral("Socket: Invalid buffer | Socket: Invalid buffer"));
    QByteArray buffer;
    EXPECT_EQ(failureOf([&] { socket.readData(&buffer); }),
              QStringLiteral("Socket: Not connected | Socket: Not connected"));
    EXPECT_EQ(failureOf([&] { socket.writeData("x"); }),
              QStringLiteral("Socket: Not connected | Socket: Not connected"));

    TestHttpServer server;
    socket.connectToHostNamePort(QStringLiteral("127.0.0.1"), server.port());
    // Already connected is raised before any name lookup.
    EXPECT_EQ(failureOf([&] { socket.connectToHostNamePort(QStringLiteral("nowhere.invalid"), 80); }),
              QStringLiteral("Socket: Already connected | Socket: Already connected"));
    socket.close();
    EXPECT_EQ(failureOf([&] { socket.connectToHostNamePort(QStringLiteral("127.0.0.1"), server.port()); }),
              QStringLiteral("Socket: Bad socket descriptor | Socket: Bad socket descriptor"));
}

TEST(Socket, ConnectFailuresCarryTheSystemText) {
    {
        Socket socket;
        const QString failure =
            failureOf([&] { socket.connectToHostNamePort(QStringLiteral("porthold-test.invalid"), 80); });
        EXPECT_TRUE(failure.startsWith(QStringLiteral("Socket: Host not found | Socket: Host not found: ")))
            << failure.toStdString();
        // The object stays open and unconnected; the caller closes it.
        EXPECT_NE(socket.socketDescriptor(), -1);
        EXPECT_FALSE(socket.isConnected());
    }
    {
        Socket socket;
        EXPECT_EQ(failureOf([&] {
                      socket.connectToHostNamePort(QStringLiteral("127.0.0.1"), TestHttpServer::closedPort());
                  }),
                  QStringLiteral("Socket: Connect failed | Socket: Connect failed: Connection refused"));
        EXPECT_EQ(socket.remotePort(), 0);
    }
    {
        Socket socket;
        EXPECT_TRUE(failureOf([&] {
                        socket.connectToHostNamePort(QString(), 80);
                    }).startsWith(QStringLiteral("Socket: Host not found")));
    }
}

TEST(Socket, AStalledPeerTimesOutAndAnAbortEndsTheWait) {
    TestHttpServer server;
    server.setReply("/slow", {"HTTP/1.0 200 OK\r\n\r\nlate", 0, 0, 3000});

    Socket socket;
    socket.setTimeout(std::chrono::milliseconds(150));
    socket.connectToHostNamePort(QStringLiteral("127.0.0.1"), server.port());
    socket.writeString(QStringLiteral("GET /slow HTTP/1.0\n\n"));
    QByteArray buffer;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(failureOf([&] { socket.readData(&buffer); }),
              QStringLiteral("Socket: Recv failed | Socket: Recv failed: Connection timed out"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_TRUE(buffer.isEmpty());

    // The server serves one connection at a time: the second is another's.
    TestHttpServer other;
    other.setReply("/slow", {"HTTP/1.0 200 OK\r\n\r\nlate", 0, 0, 3000});
    auto flag = std::make_shared<std::atomic<bool>>(false);
    Socket second;
    second.setAbortFlag(flag);
    second.connectToHostNamePort(QStringLiteral("127.0.0.1"), other.port());
    second.writeString(QStringLiteral("GET /slow HTTP/1.0\n\n"));
    std::thread setter([flag] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        flag->store(true);
    });
    EXPECT_EQ(failureOf([&] { second.readData(&buffer); }),
              QStringLiteral("Socket: Recv failed | Socket: Recv failed: Operation canceled"));
    setter.join();
}

} // namespace

namespace {

/// Connects to a server and says why it was refused ("" when it was not).
QString refusalOf(TestHttpServer::Transport transport, const QString &host = QStringLiteral("127.0.0.1")) {
    TestHttpServer server(transport);
    Socket socket;
    socket.setTimeout(std::chrono::seconds(5));
    return failureOf([&] { socket.connectToHostNamePort(host, server.port()); });
}

TEST(Socket, OnlyAServerThatProvesItsNameIsTalkedTo) {
    ASSERT_TRUE(kTrusted);
    ASSERT_EQ(TestAuthority::shared().problem(), QString());
    // The good certificate names both localhost and 127.0.0.1.
    EXPECT_EQ(refusalOf(TestHttpServer::Transport::TLS), QString());
    EXPECT_EQ(refusalOf(TestHttpServer::Transport::TLS, QStringLiteral("localhost")), QString());

    const QString prefix = QStringLiteral("Socket: TLS handshake failed | Socket: TLS handshake failed: ");
    const QString wrongName = refusalOf(TestHttpServer::Transport::WrongName);
    EXPECT_TRUE(wrongName.startsWith(prefix + "the server's certificate was refused: "))
        << qPrintable(wrongName);
    EXPECT_TRUE(wrongName.contains(QStringLiteral("host name did not match"))) << qPrintable(wrongName);

    const QString expired = refusalOf(TestHttpServer::Transport::Expired);
    EXPECT_TRUE(expired.contains(QStringLiteral("certificate has expired"))) << qPrintable(expired);

    const QString unknown = refusalOf(TestHttpServer::Transport::UnknownAuthority);
    EXPECT_TRUE(unknown.startsWith(prefix + "the server's certificate was refused: ")) << qPrintable(unknown);
    EXPECT_TRUE(unknown.contains(QStringLiteral("untrusted"))) << qPrintable(unknown);

    // The system's authorities do not know the test authority either.
    AbstractSocket::setTrustedAuthorities({});
    const QString untrusted = refusalOf(TestHttpServer::Transport::TLS);
    trustTestAuthority();
    EXPECT_TRUE(untrusted.startsWith(prefix + "the server's certificate was refused: "))
        << qPrintable(untrusted);

    // A plain HTTP server is not talked to in clear instead.
    const QString plain = refusalOf(TestHttpServer::Transport::Plain);
    EXPECT_TRUE(plain.startsWith(prefix + "the server did not answer in TLS")) << qPrintable(plain);
}

TEST(Socket, NothingIsSentInClear) {
    ASSERT_TRUE(kTrusted);
    // A listener that does not speak TLS sees the handshake, never the request.
    TestHttpServer listener(TestHttpServer::Transport::Plain);
    Socket socket;
    socket.setTimeout(std::chrono::seconds(5));
    const QString failure = failureOf([&] {
        socket.connectToHostNamePort(QStringLiteral("127.0.0.1"), listener.port());
        socket.writeString(QStringLiteral("GET /secret HTTP/1.0\n\n"));
    });
    EXPECT_TRUE(failure.startsWith(QStringLiteral("Socket: TLS handshake failed"))) << qPrintable(failure);
    ASSERT_TRUE(listener.waitForServed(1));
    ASSERT_EQ(listener.requests().size(), 1);
    const QByteArray seen = listener.requests().first();
    ASSERT_GE(seen.size(), 3);
    EXPECT_EQ(seen.left(3), QByteArray("\x16\x03\x01")) << "a TLS handshake record";
    EXPECT_FALSE(seen.contains("GET "));
}

} // namespace
