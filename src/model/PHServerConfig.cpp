#include "model/PHServerConfig.h"

#include "core/PHProcess.h"
#include "support/PHExtensions.h"
#include "support/PHTextFile.h"

#include <QDir>
#include <QFileInfo>

namespace {

/// Files read for one configuration at most, and how deep Includes nest
/// (the server's own limit is 128).
constexpr int kMaxFiles = 512;
constexpr int kMaxIncludeDepth = 128;

} // namespace

PHServerConfig::PHServerConfig(const QString &serverRoot, const QHash<QString, QString> &environment)
    : m_serverRoot(serverRoot), m_environment(environment) {
}

QString PHServerConfig::absoluteBelow(const QString &base, const QString &path) {
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || base.isEmpty())
        return path;
    QString folder = base;
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return QDir::cleanPath(folder + path);
}

QString PHServerConfig::compiledSetting(const QString &output, const QString &name) {
    const QString key = QStringLiteral("-D %1=\"").arg(name);
    const qsizetype start = output.indexOf(key);
    if (start < 0)
        return {};
    const qsizetype from = start + key.size();
    const qsizetype end = output.indexOf(QLatin1Char('"'), from);
    return end < 0 ? QString() : output.mid(from, end - from);
}

QString PHServerConfig::compiledConfigFile(const QString &binary) {
    if (binary.isEmpty() || !QFileInfo(binary).isExecutable())
        return {};
    const PHProcess::Result result =
        PHProcess::run(binary, {QStringLiteral("-V")}, PHProcess::Stream::Pipe, PHProcess::Stream::Null);
    // Debian's apache2 run without its control script's environment prints
    // its settings and then fails on the configuration: the settings count.
    if (!result.launched)
        return {};
    const QString output = QString::fromUtf8(result.output);
    const QString path = compiledSetting(output, QStringLiteral("SERVER_CONFIG_FILE"));
    // Debian's server names its configuration relative to its root folder.
    return path.isEmpty() ? path : absoluteBelow(compiledSetting(output, QStringLiteral("HTTPD_ROOT")), path);
}

QHash<QString, QString> PHServerConfig::debianEnvironment(const QString &confDirectory) {
    QHash<QString, QString> environment;
    QString folder = confDirectory;
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    if (folder.isEmpty() || !QFileInfo(folder + QStringLiteral("/envvars")).isFile())
        return environment;
    environment.insert(QStringLiteral("APACHE_CONFDIR"), folder);
    const PHProcess::Result result = PHProcess::run(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral(". \"$1/envvars\" </dev/null >/dev/null 2>&1; exec env -0"),
         QStringLiteral("sh"), folder},
        PHProcess::Stream::Pipe, PHProcess::Stream::Null,
        {QStringLiteral("PATH=/usr/sbin:/usr/bin:/sbin:/bin"), QStringLiteral("LANG=C"),
         QStringLiteral("APACHE_CONFDIR=") + folder});
    if (!result.launched || result.status != 0)
        return environment;
    for (const QByteArray &entry : result.output.split('\0')) {
        const qsizetype equals = entry.indexOf('=');
        if (equals > 0)
            environment.insert(QString::fromUtf8(entry.left(equals)),
                               QString::fromUtf8(entry.mid(equals + 1)));
    }
    return environment;
}

void PHServerConfig::read(const QString &confFile) {
    readFile(confFile, 0);
}

void PHServerConfig::readFile(const QString &path, int depth) {
    if (depth > kMaxIncludeDepth || m_files >= kMaxFiles)
        return;
    ++m_files;
    const QString canonical = QFileInfo(path).canonicalFilePath();
    const QString file = canonical.isEmpty() ? path : canonical;
    const PHTextFile text = PHTextFile::read(file);
    if (!text.ok())
        return;
    const std::vector<PHConfigText::Line> lines = PHConfigText::lines(text.text);
    m_lineCounts.insert(file, lines.empty() ? 0 : lines.back().lastNumber);
    for (const PHConfigText::Line &line : lines) {
        if (line.isSkipped())
            continue;
        Line entry{file, line, expanded(line.text), {}};
        entry.words = PHConfigText::words(entry.text);
        const QString directive = entry.directive();
        const QString value = entry.words.value(1);
        m_lines.append(entry);
        if (directive == QLatin1String("serverroot") && !value.isEmpty())
            m_serverRoot = value;
        else if (directive == QLatin1String("define") && !value.isEmpty())
            m_defines.insert(value, entry.words.value(2));
        else if ((directive == QLatin1String("include") || directive == QLatin1String("includeoptional")) &&
                 !value.isEmpty())
            include(value, depth);
    }
}

void PHServerConfig::include(const QString &value, int depth) {
    QString pattern = absoluteBelow(m_serverRoot, value);
    if (QFileInfo(pattern).isDir())
        pattern += QStringLiteral("/*");
    QStringList matches = PHString::glob(pattern).value_or(QStringList());
    matches.sort(); // the server reads them in this order
    for (const QString &match : std::as_const(matches))
        if (QFileInfo(match).isFile())
            readFile(match, depth + 1);
}

QString PHServerConfig::expanded(const QString &text) const {
    QString result;
    qsizetype position = 0;
    while (true) {
        const qsizetype start = text.indexOf(QStringLiteral("${"), position);
        const qsizetype end = start < 0 ? -1 : text.indexOf(QLatin1Char('}'), start + 2);
        if (end < 0) {
            result += text.mid(position);
            return result;
        }
        const QString name = text.mid(start + 2, end - start - 2);
        result += text.mid(position, start - position);
        if (m_defines.contains(name))
            result += m_defines.value(name);
        else if (m_environment.contains(name))
            result += m_environment.value(name);
        else
            result += text.mid(start, end - start + 1);
        position = end + 1;
    }
}
