#include "model/PHAccessCheck.h"

#include "model/PHAuthFiles.h"
#include "model/PHFSItem.h"
#include "model/PHServerRules.h"

#include <QFile>
#include <QUrl>

#include <arpa/inet.h>
#include <crypt.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

QByteArray base64Credentials(const QString &user, const QString &password) {
    return (user + QLatin1Char(':') + password).toUtf8().toBase64();
}

/// One HTTP/1.0 GET over loopback; the status code, or -1 with `why` set.
int get(const QString &client, int port, const QByteArray &host, const QByteArray &path, const QString &user,
        const QString &password, QString *why) {
    const bool ipv6 = client.contains(QLatin1Char(':'));
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return -1;
    }
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    int connected = -1;
    if (ipv6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        address.sin6_addr = in6addr_loopback;
        connected = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    if (connected != 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return -1;
    }
    QByteArray request = "GET " + path + " HTTP/1.0\r\nHost: " + host + "\r\n";
    if (!user.isEmpty())
        request += "Authorization: Basic " + base64Credentials(user, password) + "\r\n";
    request += "Connection: close\r\n\r\n";
    qsizetype sent = 0;
    while (sent < request.size()) {
        const ssize_t n =
            ::send(fd, request.constData() + sent, static_cast<size_t>(request.size() - sent), MSG_NOSIGNAL);
        if (n <= 0) {
            *why = QStringLiteral("the connection closed while asking");
            ::close(fd);
            return -1;
        }
        sent += n;
    }
    QByteArray reply;
    char buffer[4096];
    while (!reply.contains("\r\n") && reply.size() < 65536) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        reply.append(buffer, n);
    }
    ::close(fd);
    const QList<QByteArray> parts = reply.left(reply.indexOf('\n')).split(' ');
    if (!reply.startsWith("HTTP/") || parts.size() < 2) {
        *why = QStringLiteral("no HTTP answer");
        return -1;
    }
    return parts.at(1).toInt();
}

/// 401, 403 and 500 stand for themselves; any other answer means the
/// request got past the access rules.
int bucket(int status) {
    return status == 401 || status == 403 || status >= 500 || status < 0 ? status : 200;
}

bool passwordMatches(const QString &userFile, const QString &user, const QString &password) {
    QFile file(userFile);
    if (userFile.isEmpty() || !file.open(QIODevice::ReadOnly))
        return false;
    // The hash as the server takes it: up to a second colon, if any.
    const std::optional<QString> stored = PHUserFile::hashOf(QString::fromUtf8(file.readAll()), user);
    if (!stored)
        return false;
    const QByteArray hash = stored->toUtf8();
    crypt_data data{};
    const char *computed = ::crypt_r(password.toUtf8().constData(), hash.constData(), &data);
    return computed && computed[0] != '*' && hash == computed;
}

qint64 sizeOf(const QString &path) {
    struct stat info {};
    return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_size : -1;
}

} // namespace

bool PHAccessCheck::Report::agrees() const {
    if (!reachable)
        return false;
    for (const Probe &probe : probes)
        if (probe.answered >= 0 && bucket(probe.answered) != probe.predicted)
            return false;
    return true;
}

QString PHAccessCheck::wordsFor(int status) {
    switch (bucket(status)) {
    case 200:
        return QStringLiteral("allowed");
    case 401:
        return QStringLiteral("asked for a password");
    case 403:
        return QStringLiteral("refused");
    case -1:
        return QStringLiteral("no answer");
    default:
        return QStringLiteral("server error");
    }
}

QStringList PHAccessCheck::Report::lines() const {
    QStringList result{QStringLiteral("Address: %1").arg(url)};
    if (!reachable) {
        result.append(QStringLiteral("The server cannot be reached: %1").arg(unreachableWhy));
        return result;
    }
    for (const Probe &probe : probes) {
        if (probe.answered < 0)
            continue;
        const QString who = probe.user.isEmpty() ? QStringLiteral("without a password")
                                                 : QStringLiteral("as %1").arg(probe.user);
        QString line = QStringLiteral("From %1 %2: %3 %4")
                           .arg(probe.client, who)
                           .arg(probe.answered)
                           .arg(wordsFor(probe.answered));
        if (probe.predicted < 0)
            line += QStringLiteral(" (not predicted: %1)").arg(probe.predictedWhy);
        else if (bucket(probe.answered) == probe.predicted)
            line += QStringLiteral(" (as predicted: %1)").arg(probe.predictedWhy);
        else
            line += QStringLiteral(" (predicted %1: %2)").arg(probe.predicted).arg(probe.predictedWhy);
        result.append(line);
    }
    result.append(agrees() ? QStringLiteral("The server agrees with the effective access.")
                           : QStringLiteral("The server does not do what the effective access predicts."));
    if (!logLines.isEmpty()) {
        result.append(QStringLiteral("Server error log:"));
        for (const QString &line : logLines)
            result.append(QStringLiteral("  ") + line);
    }
    // Causes the error log does not name.
    bool letInUnexpectedly = false, failedUnlogged = false;
    for (const Probe &probe : probes) {
        if (probe.answered < 0 || probe.predicted < 0)
            continue;
        letInUnexpectedly |= bucket(probe.answered) == 200 && probe.predicted != 200;
        failedUnlogged |= probe.answered >= 500 && logLines.isEmpty();
    }
    if (letInUnexpectedly)
        result.append(QStringLiteral(
            "The server let in a visitor the access files refuse: it may not read them here. Check that its "
            "configuration allows them for this folder (\"AllowOverride None\" ignores .htaccess files; "
            "they need at least \"AllowOverride AuthConfig Limit\")."));
    if (failedUnlogged)
        result.append(QStringLiteral(
            "The server's error log says why it failed; reading it may need membership of the group adm "
            "(/var/log/apache2/error.log on Debian)."));
    return result;
}

PHAccessCheck::Plan PHAccessCheck::prepare(const PHFSItem *folder, const QString &base, const QString &user,
                                           const QString &password, const QString &errorLog) {
    Plan plan;
    const QUrl url(base);
    QString basePath = url.path(QUrl::FullyEncoded);
    if (!basePath.endsWith(QLatin1Char('/')))
        basePath += QLatin1Char('/');
    QStringList names;
    for (const PHFSItem *node = folder; node && node->parent(); node = node->parent())
        names.prepend(QString::fromLatin1(QUrl::toPercentEncoding(node->name())));
    plan.path = (basePath + names.join(QLatin1Char('/')) + (names.isEmpty() ? "" : "/")).toUtf8();
    plan.port = url.port(80);
    plan.host = url.host().toUtf8() + (url.port() > 0 ? ":" + QByteArray::number(plan.port) : QByteArray());
    plan.url = QStringLiteral("%1://%2%3")
                   .arg(url.scheme(), QString::fromUtf8(plan.host), QString::fromUtf8(plan.path));
    if (url.scheme() != QLatin1String("http") || url.host().isEmpty())
        plan.refusedWhy = QStringLiteral("only http:// addresses of this computer can be checked");
    if (folder) {
        plan.access = folder->effectiveAccess();
        plan.folderPath = folder->fullPath();
    }
    plan.user = user;
    plan.password = password;
    plan.errorLog = errorLog;
    return plan;
}

PHAccessCheck::Report PHAccessCheck::execute(const Plan &plan) {
    Report report;
    report.url = plan.url;
    if (!plan.refusedWhy.isEmpty()) {
        report.unreachableWhy = plan.refusedWhy;
        return report;
    }
    const PHEffectiveAccess::Directory directory = PHEffectiveAccess::filesOnDisk();
    const bool rightPassword =
        !plan.user.isEmpty() && passwordMatches(plan.access.authUserFile(), plan.user, plan.password);
    const qint64 logStart = sizeOf(plan.errorLog);

    for (const QString &client : {QStringLiteral("127.0.0.1"), QStringLiteral("::1")}) {
        for (const bool withUser : {false, true}) {
            if (withUser && plan.user.isEmpty())
                continue;
            Probe probe;
            probe.client = client;
            probe.user = withUser ? plan.user : QString();
            QString why;
            probe.answered = get(client, plan.port, plan.host, plan.path, probe.user, plan.password, &why);
            if (probe.answered < 0) {
                if (report.unreachableWhy.isEmpty())
                    report.unreachableWhy =
                        QStringLiteral("%1 port %2: %3").arg(client).arg(plan.port).arg(why);
                continue;
            }
            report.reachable = true;
            probe.predicted = plan.access.predict(PHEffectiveAccess::clientAt(client),
                                                  PHEffectiveAccess::Credentials{probe.user, rightPassword},
                                                  directory, &probe.predictedWhy);
            report.probes.append(probe);
        }
    }

    // What the server wrote down meanwhile about this folder.
    QFile log(plan.errorLog);
    if (logStart >= 0 && log.open(QIODevice::ReadOnly) && log.seek(logStart)) {
        for (const QByteArray &raw : log.readAll().split('\n')) {
            const QString line = QString::fromUtf8(raw).trimmed();
            if (!line.isEmpty() && ((!plan.folderPath.isEmpty() && line.contains(plan.folderPath)) ||
                                    line.contains(QString::fromUtf8(plan.path))))
                report.logLines.append(line);
        }
    }
    return report;
}

QString PHAccessCheck::serverAddress(const QString &siteBase, const QString &webRoot) {
    const std::shared_ptr<const PHServerRules> rules = PHServerRules::servingRoot(webRoot);
    if (!rules)
        return siteBase;
    const QString path = rules->urlPathOf(PHServerRules::canonicalPath(webRoot));
    if (path.isEmpty())
        return siteBase;
    QUrl url(siteBase);
    url.setPath(path);
    return url.toString(QUrl::FullyEncoded);
}

PHAccessCheck::Report PHAccessCheck::run(const PHFSItem *folder, const QString &base, const QString &user,
                                         const QString &password, const QString &errorLog) {
    return execute(prepare(folder, base, user, password, errorLog));
}
