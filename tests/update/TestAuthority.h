#pragma once

// A private certificate authority for the update tests, made once per test
// process with the `openssl` command in a temporary folder: the authority
// itself, and server certificates for localhost / 127.0.0.1 that are good,
// name another host, have expired, or come from an authority nobody trusts.

#include "update/AbstractSocket.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class TestAuthority {
public:
    struct Identity {
        QString certificate; // PEM: the server's certificate, then its issuer's
        QString key;         // PEM private key
    };
    enum class Kind { Good, WrongName, Expired, UnknownAuthority };

    /// The one authority of this process; `problem()` says why it could not be made.
    static const TestAuthority &shared() {
        static const TestAuthority authority;
        return authority;
    }

    QString problem() const { return m_problem; }
    /// The authority's certificate, the one the tests trust.
    QList<QSslCertificate> authorities() const { return QSslCertificate::fromPath(m_caPath); }
    const Identity &identity(Kind kind) const { return m_identities[static_cast<int>(kind)]; }

private:
    TestAuthority() {
        if (!m_folder.isValid()) {
            m_problem = QStringLiteral("no temporary folder");
            return;
        }
        m_caPath = path("ca.pem");
        // Two authorities: the trusted one and a stranger.
        if (!makeAuthority("ca", "Porthold Test Authority") ||
            !makeAuthority("stranger", "Someone Else's Authority"))
            return;
        const QString names = QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1");
        m_identities[0] = makeServer("good", "ca", names, "1");
        m_identities[1] = makeServer("wrong", "ca", QStringLiteral("subjectAltName=DNS:elsewhere.test"), "1");
        // A validity that ended the day before it began: expired today.
        m_identities[2] = makeServer("expired", "ca", names, "-1");
        m_identities[3] = makeServer("unknown", "stranger", names, "1");
    }

    QString path(const char *name) const { return QDir(m_folder.path()).filePath(QLatin1String(name)); }
    QString path(const QString &name) const { return QDir(m_folder.path()).filePath(name); }

    bool run(const QStringList &arguments) {
        if (!m_problem.isEmpty())
            return false;
        QProcess openssl;
        openssl.setWorkingDirectory(m_folder.path());
        openssl.start(QStringLiteral("openssl"), arguments);
        if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit ||
            openssl.exitCode() != 0) {
            m_problem = QStringLiteral("openssl %1 failed: %2%3")
                            .arg(arguments.join(QLatin1Char(' ')), openssl.errorString(),
                                 QString::fromLocal8Bit(openssl.readAllStandardError()));
            return false;
        }
        return true;
    }

    bool makeAuthority(const char *stem, const char *name) {
        const QString s = QLatin1String(stem);
        return run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-keyout", s + ".key", "-out", s + ".pem", "-days", "30", "-subj",
                    QStringLiteral("/CN=%1").arg(name), "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
    }

    Identity makeServer(const char *stem, const char *issuer, const QString &names, const char *days) {
        const QString s = QLatin1String(stem);
        const QString i = QLatin1String(issuer);
        QFile extensions(path(s + ".ext"));
        if (!extensions.open(QIODevice::WriteOnly) ||
            extensions.write((names + "\nextendedKeyUsage=serverAuth\n").toUtf8()) < 0)
            m_problem = QStringLiteral("cannot write %1").arg(extensions.fileName());
        extensions.close();
        if (!run({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                  s + ".key", "-out", s + ".csr", "-subj", "/CN=localhost"}) ||
            !run({"x509", "-req", "-in", s + ".csr", "-CA", i + ".pem", "-CAkey", i + ".key", "-set_serial",
                  QString::number(++m_serial), "-out", s + ".crt", "-days", days, "-extfile", s + ".ext"}))
            return {};
        // The chain the server sends: its certificate, then the issuer's.
        QFile chain(path(s + ".chain.pem"));
        QFile leaf(path(s + ".crt"));
        QFile authority(path(i + ".pem"));
        if (!chain.open(QIODevice::WriteOnly) || !leaf.open(QIODevice::ReadOnly) ||
            !authority.open(QIODevice::ReadOnly) || chain.write(leaf.readAll() + authority.readAll()) < 0) {
            m_problem = QStringLiteral("cannot write %1").arg(chain.fileName());
            return {};
        }
        return {chain.fileName(), path(s + ".key")};
    }

    QTemporaryDir m_folder;
    QString m_problem;
    QString m_caPath;
    Identity m_identities[4];
    int m_serial = 1000;
};

/// Every later connection of this process trusts the test authority only.
inline void trustTestAuthority() {
    AbstractSocket::setTrustedAuthorities(TestAuthority::shared().authorities());
}
