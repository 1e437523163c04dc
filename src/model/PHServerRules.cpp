#include "model/PHServerRules.h"

#include "model/PHConfigText.h"
#include "model/PHServerConfig.h"
#include "model/PHSettings.h"
#include "support/PHSettingsStore.h"
#include "support/PHTextFile.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <fnmatch.h>
#include <pwd.h>
#include <sys/stat.h>

namespace {

using Layer = PHEffectiveAccess::Layer;
/// What aboveRootText() gives for an access file that is a link (a text no
/// file can hold: it has a NUL).
const QString kLinkText = QStringLiteral("\0link");
using Reading = PHEffectiveAccess::Reading;

/// Compiled into Debian's apache2 (`apache2 -l`).
const QStringList &builtInModules() {
    static const QStringList names{QStringLiteral("core"),       QStringLiteral("so"),
                                   QStringLiteral("watchdog"),   QStringLiteral("http_core"),
                                   QStringLiteral("log_config"), QStringLiteral("logio"),
                                   QStringLiteral("version"),    QStringLiteral("unixd")};
    return names;
}

/// The modules the directives of access files need.
const QStringList &accessModules() {
    static const QStringList names{QStringLiteral("access_compat"), QStringLiteral("authn_file"),
                                   QStringLiteral("authz_groupfile"), QStringLiteral("authz_user"),
                                   QStringLiteral("authz_host")};
    return names;
}

/// "mod_userdir.c" and "userdir_module" both name "userdir".
QString moduleName(QString name) {
    if (name.startsWith(QLatin1String("mod_")) && name.endsWith(QLatin1String(".c")))
        return name.mid(4, name.size() - 6);
    if (name.endsWith(QLatin1String("_module")))
        name.chop(7);
    return name;
}

QStringList components(const QString &path) {
    return path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

QString withoutTrailingSlash(QString path) {
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

bool isBelow(const QString &folder, const QString &base) {
    const QString b = withoutTrailingSlash(base);
    return folder == b || folder.startsWith(b == QLatin1String("/") ? b : b + QLatin1Char('/'));
}

/// The argument of a section header, "<Directory "/var/www">" -> ["/var/www"],
/// "<Files ~ "\.x$">" -> ["~", "\.x$"].
QStringList headerArguments(const QString &text) {
    QString inside = text.mid(1);
    if (inside.endsWith(QLatin1Char('>')))
        inside.chop(1);
    return PHConfigText::words(inside).mid(1);
}

/// Names a request for a page of a folder may ask for: a section that takes
/// some of them and not others applies to some files only.
const QStringList &sampleNames() {
    static const QStringList names{QStringLiteral("index.html"), QStringLiteral("index.php"),
                                   QStringLiteral("notes.txt")};
    return names;
}

bool wildcardMatches(const QString &pattern, const QString &text, int flags) {
    return ::fnmatch(QFile::encodeName(pattern).constData(), QFile::encodeName(text).constData(), flags) == 0;
}

bool regexMatches(const QString &pattern, const QString &text) {
    const QRegularExpression expression(pattern);
    return expression.isValid() && expression.match(text).hasMatch();
}

/// How a <Location> path that is not a pattern matches a request's path:
/// as a prefix that ends at a slash (or ends the path).
bool locationMatches(const QString &location, const QString &path) {
    if (!path.startsWith(location))
        return false;
    return location.endsWith(QLatin1Char('/')) || path.size() == location.size() ||
           path.at(location.size()) == QLatin1Char('/');
}

bool hasWildcard(const QString &text) {
    return text.contains(QLatin1Char('*')) || text.contains(QLatin1Char('?')) ||
           text.contains(QLatin1Char('['));
}

/// A directive, or a container's header ("<requireall"), that bears on access.
bool isAccessLine(const QString &directive) {
    static const QStringList containers{QStringLiteral("<requireall"),  QStringLiteral("<requireany"),
                                        QStringLiteral("<requirenone"), QStringLiteral("<if"),
                                        QStringLiteral("<elseif"),      QStringLiteral("<else")};
    return PHEffectiveAccess::isAccessDirective(directive) || containers.contains(directive);
}

} // namespace

bool PHServerRules::directoryApplies(const QStringList &pattern, const QStringList &folder) {
    if (pattern.size() > folder.size())
        return false;
    for (qsizetype i = 0; i < pattern.size(); ++i)
        if (!wildcardMatches(pattern.at(i), folder.at(i), FNM_PATHNAME))
            return false;
    return true;
}

std::shared_ptr<const PHServerRules> PHServerRules::read(const QString &mainFile, const QString &serverRoot,
                                                         const QHash<QString, QString> &environment) {
    const std::shared_ptr<const PHServerConfig> config =
        PHServerConfig::readKept(mainFile, serverRoot, environment);
    auto rules = std::make_shared<PHServerRules>(*config);
    rules->m_read = config->lineCount(QFileInfo(mainFile).canonicalFilePath()) > 0;
    return rules;
}

PHServerRules::PHServerRules(const PHServerConfig &config) {
    for (const QString &name : builtInModules())
        m_modules.insert(name);
    QHash<QString, bool> defines;

    struct Frame {
        QString directive; ///< "<directory"
        bool active = true;
        bool isSection = false;
    };
    std::vector<Frame> stack;
    std::optional<Section> open;
    int host = -1;
    const auto active = [&stack]() {
        return std::all_of(stack.cbegin(), stack.cend(), [](const Frame &frame) { return frame.active; });
    };
    const auto hostOf = [this, &host]() -> Host & { return host < 0 ? m_main : m_hosts[host]; };
    Section server; // the lines outside every section
    const auto addServerLine = [&server](const QString &text, const QString &origin, bool access) {
        if (server.origin.isEmpty())
            server.origin = origin;
        server.text += text + QLatin1Char('\n');
        server.hasAccessLines = server.hasAccessLines || access;
    };

    for (const PHServerConfig::Line &line : config.lines()) {
        const QString directive = line.directive();
        const QString origin = QStringLiteral("%1:%2").arg(line.file).arg(line.line.number);
        if (directive.startsWith(QLatin1String("</"))) {
            if (stack.empty())
                continue;
            const Frame frame = stack.back();
            stack.pop_back();
            const bool conditional = frame.directive == QLatin1String("<ifmodule") ||
                                     frame.directive == QLatin1String("<ifdefine");
            if (!frame.active || conditional || !active())
                continue;
            if (frame.isSection && open) {
                open->host = host;
                m_sections.append(*open);
                open.reset();
            } else if (frame.directive == QLatin1String("<virtualhost")) {
                host = -1;
            } else if (open) {
                open->text += line.text + QLatin1Char('\n');
            } else if (host < 0) {
                addServerLine(line.text, origin, false);
            }
            continue;
        }
        if (directive.startsWith(QLatin1Char('<'))) {
            Frame frame;
            frame.directive = directive;
            const QStringList arguments = headerArguments(line.text);
            if (directive == QLatin1String("<ifmodule") || directive == QLatin1String("<ifdefine")) {
                QString name = arguments.value(0);
                const bool negated = name.startsWith(QLatin1Char('!'));
                if (negated)
                    name.remove(0, 1);
                const bool holds = directive == QLatin1String("<ifmodule")
                                       ? m_modules.contains(moduleName(name))
                                       : defines.value(name);
                frame.active = holds != negated;
                stack.push_back(frame);
                continue;
            }
            if (!active()) {
                stack.push_back(frame);
                continue;
            }
            if (directive == QLatin1String("<virtualhost") && !open) {
                m_hosts.append(Host{});
                host = int(m_hosts.size()) - 1;
                stack.push_back(frame);
                continue;
            }
            if (!open) {
                Section section;
                section.origin = origin;
                section.header = line.text;
                const bool tilde = arguments.value(0) == QLatin1String("~");
                section.pattern = tilde ? arguments.value(1) : arguments.value(0);
                using Kind = Section::Kind;
                if (directive == QLatin1String("<directory"))
                    section.kind = tilde ? Kind::DirectoryMatch : Kind::Directory;
                else if (directive == QLatin1String("<directorymatch"))
                    section.kind = Kind::DirectoryMatch;
                else if (directive == QLatin1String("<files"))
                    section.kind = tilde ? Kind::FilesMatch : Kind::Files;
                else if (directive == QLatin1String("<filesmatch"))
                    section.kind = Kind::FilesMatch;
                else if (directive == QLatin1String("<location"))
                    section.kind = tilde ? Kind::LocationMatch : Kind::Location;
                else if (directive == QLatin1String("<locationmatch"))
                    section.kind = Kind::LocationMatch;
                else
                    section.kind = Kind::Other;
                if (section.kind == Kind::Directory)
                    section.components = components(section.pattern);
                // Rules of their own at the server's level (<If>, <RequireAll>...)
                // are read as part of the server's lines.
                if (isAccessLine(directive) || directive == QLatin1String("<limit") ||
                    directive == QLatin1String("<limitexcept")) {
                    if (host < 0)
                        addServerLine(line.text, origin, true);
                    stack.push_back(frame);
                    continue;
                }
                frame.isSection = true;
                open = section;
                stack.push_back(frame);
                continue;
            }
            open->text += line.text + QLatin1Char('\n');
            open->hasAccessLines = open->hasAccessLines || isAccessLine(directive);
            stack.push_back(frame);
            continue;
        }
        if (!active())
            continue;

        const QString value = line.words.value(1);
        if (directive == QLatin1String("loadmodule") && !value.isEmpty())
            m_modules.insert(moduleName(value));
        else if (directive == QLatin1String("define") && !value.isEmpty())
            defines.insert(value, true);
        else if (directive == QLatin1String("userdir") && !open && !value.isEmpty() &&
                 value.compare(QLatin1String("disabled"), Qt::CaseInsensitive) != 0 &&
                 value.compare(QLatin1String("enabled"), Qt::CaseInsensitive) != 0)
            m_userDir = value;
        else if (directive == QLatin1String("documentroot") && !open && !value.isEmpty())
            hostOf().documentRoot =
                withoutTrailingSlash(PHServerConfig::absoluteBelow(config.serverRoot(), value));
        else if (directive == QLatin1String("alias") && !open && line.words.size() >= 3)
            hostOf().aliases.append({line.words.at(1), withoutTrailingSlash(line.words.at(2))});

        if (!open) {
            // Access lines at the server's level, and what a container of
            // them at that level holds.
            const bool inContainer = std::any_of(stack.cbegin(), stack.cend(), [](const Frame &frame) {
                return isAccessLine(frame.directive) || frame.directive == QLatin1String("<limit") ||
                       frame.directive == QLatin1String("<limitexcept");
            });
            if (host < 0 && (isAccessLine(directive) || inContainer))
                addServerLine(line.text, origin, isAccessLine(directive));
            continue;
        }
        const bool isOverride = directive == QLatin1String("allowoverride");
        if ((isOverride || directive == QLatin1String("allowoverridelist")) &&
            open->kind == Section::Kind::Directory) {
            QStringList words;
            for (const QString &word : line.words.mid(1))
                words.append(word.toLower());
            (isOverride ? open->allowOverride : open->allowOverrideList) = words;
            if (isOverride)
                open->overrideOrigin = origin;
            continue;
        }
        open->text += line.text + QLatin1Char('\n');
        open->hasAccessLines = open->hasAccessLines || isAccessLine(directive);
    }
    if (server.hasAccessLines)
        m_sections.prepend(server);
}

Reading PHServerRules::readingAt(const QString &directory) const {
    // A tree asks for the same folders above its folders again and again.
    {
        const std::lock_guard<std::mutex> lock(m_cacheMutex);
        if (const auto found = m_readings.constFind(directory); found != m_readings.constEnd())
            return *found;
    }
    Reading reading = readingFromSections(directory);
    const std::lock_guard<std::mutex> lock(m_cacheMutex);
    if (m_readings.size() > 4096)
        m_readings.clear();
    m_readings.insert(directory, reading);
    return reading;
}

Reading PHServerRules::readingFromSections(const QString &directory) const {
    Reading reading;
    // The server's default is AllowOverride None, AllowOverrideList None.
    reading.authConfig = reading.limit = reading.otherOverrides = false;
    const QStringList folder = components(directory);
    const Section *overrides = nullptr, *list = nullptr;
    const auto later = [](const Section *a, const Section &b) {
        return !a || b.components.size() >= a->components.size();
    };
    for (const Section &section : m_sections) {
        if (section.kind != Section::Kind::Directory || !directoryApplies(section.components, folder))
            continue;
        if (section.allowOverride && later(overrides, section))
            overrides = &section;
        if (section.allowOverrideList && later(list, section))
            list = &section;
    }
    if (overrides) {
        reading.overrideOrigin = overrides->overrideOrigin;
        for (const QString &kind : *overrides->allowOverride) {
            const QString name = kind.section(QLatin1Char('='), 0, 0);
            if (name == QLatin1String("all")) {
                reading.authConfig = reading.limit = reading.otherOverrides = true;
            } else if (name == QLatin1String("authconfig")) {
                reading.authConfig = true;
            } else if (name == QLatin1String("limit")) {
                reading.limit = true;
            } else if (name == QLatin1String("none")) {
                reading.authConfig = reading.limit = reading.otherOverrides = false;
            } else {
                reading.otherOverrides = true;
            }
        }
    }
    if (list)
        for (const QString &name : *list->allowOverrideList)
            if (name != QLatin1String("none"))
                reading.overrideList.append(name);
    for (const QString &module : accessModules())
        if (!m_modules.contains(module))
            reading.missingModules.append(module);
    return reading;
}

QString PHServerRules::urlPathOf(const QString &folder) const {
    const auto relative = [&folder](const QString &base) {
        const QString b = withoutTrailingSlash(base);
        return folder.mid(b == QLatin1String("/") ? 1 : b.size() + 1);
    };
    QList<const Host *> hosts{&m_main};
    for (const Host &host : m_hosts)
        hosts.prepend(&host);
    for (const Host *host : hosts)
        for (const auto &[url, path] : host->aliases)
            if (isBelow(folder, path)) {
                QString result = withoutTrailingSlash(url);
                const QString rest = relative(path);
                if (!rest.isEmpty())
                    result += QLatin1Char('/') + rest;
                return result + QLatin1Char('/');
            }
    for (const Host *host : hosts)
        if (!host->documentRoot.isEmpty() && isBelow(folder, host->documentRoot)) {
            const QString rest = relative(host->documentRoot);
            return QLatin1Char('/') + rest + (rest.isEmpty() ? QString() : QStringLiteral("/"));
        }
    if (!m_userDir.isEmpty() && !m_userDir.startsWith(QLatin1Char('/'))) {
        struct stat info {};
        if (::stat(QFile::encodeName(folder).constData(), &info) == 0)
            if (const passwd *owner = ::getpwuid(info.st_uid); owner && owner->pw_dir) {
                const QString base = QFile::decodeName(owner->pw_dir) + QLatin1Char('/') + m_userDir;
                if (isBelow(folder, base)) {
                    const QString rest = relative(base);
                    return QStringLiteral("/~%1/").arg(QFile::decodeName(owner->pw_name)) + rest +
                           (rest.isEmpty() ? QString() : QStringLiteral("/"));
                }
            }
    }
    return {};
}

std::optional<bool> PHServerRules::appliesToFilesOf(const Section &section, const QString &folder) const {
    using Kind = Section::Kind;
    QStringList paths;
    if (section.kind == Kind::Location || section.kind == Kind::LocationMatch) {
        const QString url = urlPathOf(folder);
        if (url.isEmpty())
            return std::nullopt;
        for (const QString &name : sampleNames())
            paths.append(url + name);
    } else {
        paths = sampleNames();
    }
    int taken = 0;
    for (const QString &path : std::as_const(paths)) {
        bool matches = false;
        switch (section.kind) {
        case Kind::Files:
            matches = wildcardMatches(section.pattern, path, 0);
            break;
        case Kind::FilesMatch:
        case Kind::LocationMatch:
            matches = regexMatches(section.pattern, path);
            break;
        case Kind::Location:
            matches = hasWildcard(section.pattern) ? wildcardMatches(section.pattern, path, FNM_PATHNAME)
                                                   : locationMatches(section.pattern, path);
            break;
        default:
            break;
        }
        taken += matches ? 1 : 0;
    }
    if (taken == 0)
        return false;
    if (taken == paths.size())
        return true;
    return std::nullopt;
}

QString PHServerRules::aboveRootStamp(const QString &root) const {
    QString stamp;
    const QStringList parts = components(root);
    for (qsizetype depth = 0; depth < parts.size(); ++depth) {
        const QString directory = QLatin1Char('/') + parts.mid(0, depth).join(QLatin1Char('/'));
        if (!readingAt(directory).readsFiles())
            continue;
        const QString path = directory == QLatin1String("/") ? QStringLiteral("/.htaccess")
                                                             : directory + QStringLiteral("/.htaccess");
        struct stat info {};
        if (::lstat(QFile::encodeName(path).constData(), &info) == 0)
            stamp += QStringLiteral("%1:%2.%3:%4:%5;")
                         .arg(path)
                         .arg(info.st_mtim.tv_sec)
                         .arg(info.st_mtim.tv_nsec)
                         .arg(info.st_size)
                         .arg(info.st_ino);
    }
    return stamp;
}

std::optional<QString> PHServerRules::aboveRootText(const QString &directory) const {
    const QString path = directory == QLatin1String("/") ? QStringLiteral("/.htaccess")
                                                         : directory + QStringLiteral("/.htaccess");
    // Looked at each time (a stat), read again only when it changed.
    struct stat info {};
    const bool found = ::lstat(QFile::encodeName(path).constData(), &info) == 0;
    if (found && S_ISLNK(info.st_mode))
        return kLinkText;
    const bool exists = found && S_ISREG(info.st_mode);
    const QString stamp =
        exists
            ? QStringLiteral("%1.%2:%3").arg(info.st_mtim.tv_sec).arg(info.st_mtim.tv_nsec).arg(info.st_size)
            : QString();
    const std::lock_guard<std::mutex> lock(m_cacheMutex);
    if (const auto found = m_aboveRoot.constFind(directory);
        found != m_aboveRoot.constEnd() && found->first == stamp)
        return found->second;
    std::optional<QString> text;
    // Never through a link, and not larger than any access file is read:
    // as root, this reads in folders other people may write.
    if (exists)
        if (const PHTextFile file = PHTextFile::readBelow(directory, path); file.ok())
            text = file.text;
    m_aboveRoot.insert(directory, {stamp, text});
    return text;
}

int PHServerRules::hostFor(const QString &folder) const {
    // The virtual host whose sections count: the one that serves the folder.
    for (qsizetype i = 0; i < m_hosts.size(); ++i)
        if (!m_hosts.at(i).documentRoot.isEmpty() && isBelow(folder, m_hosts.at(i).documentRoot))
            return int(i);
    return m_hosts.isEmpty() ? -1 : 0;
}

namespace {
Reading serverSection() {
    Reading reading;
    reading.serverSection = true;
    return reading;
}
} // namespace

void PHServerRules::appendDirectorySections(QList<Layer> &layers, const QString &directory, int host) const {
    const QStringList here = components(directory);
    // The main server's sections first, then the virtual host's.
    for (int pass = 0; pass < 2; ++pass)
        for (const Section &section : m_sections)
            if (section.kind == Section::Kind::Directory && (pass == 0) == (section.host < 0) &&
                (section.host < 0 || section.host == host) && section.components.size() == here.size() &&
                section.hasAccessLines && directoryApplies(section.components, here))
                layers.append(Layer{section.origin, section.text, serverSection()});
}

QList<Layer> PHServerRules::layersDownTo(const QString &root) const {
    QList<Layer> layers;
    for (const Section &section : m_sections)
        if (section.kind == Section::Kind::Server && section.hasAccessLines)
            layers.append(Layer{section.origin, section.text, serverSection()});
    const int host = hostFor(root);
    const QStringList parts = components(root);
    for (qsizetype depth = 0; depth <= parts.size(); ++depth) {
        const QString directory = QLatin1Char('/') + parts.mid(0, depth).join(QLatin1Char('/'));
        appendDirectorySections(layers, directory, host);
        if (depth == parts.size())
            break;
        // Above the web root, the access files the server reads there.
        const Reading reading = readingAt(directory);
        if (reading.readsFiles())
            if (const std::optional<QString> text = aboveRootText(directory)) {
                Reading read = reading;
                // The server reads through a link; Porthold does not.
                read.unread = text == kLinkText;
                layers.append(
                    Layer{directory, read.unread ? QStringLiteral("a symbolic link") : *text, read});
            }
    }
    return layers;
}

QList<Layer> PHServerRules::directoryLayers(const QString &directory) const {
    QList<Layer> layers;
    appendDirectorySections(layers, directory, hostFor(directory));
    return layers;
}

QList<Layer> PHServerRules::finalLayers(const QString &folder) const {
    QList<Layer> layers;
    const int host = hostFor(folder);
    const auto add = [&](const Section &section) {
        layers.append(Layer{section.origin, section.text, serverSection()});
    };
    const auto unsure = [&](const Section &section) {
        Reading some = serverSection();
        some.someFilesOnly = true;
        layers.append(Layer{section.origin, section.header, some});
    };
    using Kind = Section::Kind;
    for (const Kind kind : {Kind::DirectoryMatch, Kind::Files, Kind::Location}) {
        for (int pass = 0; pass < 2; ++pass)
            for (const Section &section : m_sections) {
                if ((section.host >= 0 && section.host != host) || (pass == 0) != (section.host < 0) ||
                    !section.hasAccessLines)
                    continue;
                if (kind == Kind::DirectoryMatch && section.kind == Kind::DirectoryMatch) {
                    const bool bare = regexMatches(section.pattern, folder);
                    const bool slashed = regexMatches(section.pattern, folder + QLatin1Char('/'));
                    if (bare && slashed)
                        add(section);
                    else if (bare || slashed)
                        unsure(section);
                } else if ((kind == Kind::Files &&
                            (section.kind == Kind::Files || section.kind == Kind::FilesMatch)) ||
                           (kind == Kind::Location &&
                            (section.kind == Kind::Location || section.kind == Kind::LocationMatch))) {
                    const std::optional<bool> applies = appliesToFilesOf(section, folder);
                    if (!applies)
                        unsure(section);
                    else if (*applies)
                        add(section);
                } else if (kind == Kind::Location && section.kind == Kind::Other) {
                    unsure(section);
                }
            }
    }
    return layers;
}

namespace {
std::mutex g_settingsMutex;
QElapsedTimer g_sinceLook;
} // namespace

void PHServerRules::forgetSettings() {
    const std::lock_guard<std::mutex> lock(g_settingsMutex);
    g_sinceLook.invalidate();
}

namespace {
// The main file fromSettings() last tried, and the server program it asked
// for it, for unreadNote().
QString g_triedFile, g_triedBinary;
} // namespace

std::shared_ptr<const PHServerRules> PHServerRules::servingRoot(const QString &root) {
    std::shared_ptr<const PHServerRules> rules = fromSettings();
    if (!rules || !rules->isRead())
        return nullptr;
    const QString canonical = canonicalPath(root);
    {
        const std::lock_guard<std::mutex> lock(rules->m_cacheMutex);
        if (const auto found = rules->m_serves.constFind(canonical); found != rules->m_serves.constEnd())
            return *found ? rules : nullptr;
    }
    const bool serves = !rules->urlPathOf(canonical).isEmpty();
    const std::lock_guard<std::mutex> lock(rules->m_cacheMutex);
    rules->m_serves.insert(canonical, serves);
    return serves ? rules : nullptr;
}

QString PHServerRules::unreadNote(const QString &root) {
    const QString alone = QStringLiteral("Predicted from the access files alone: ");
    const std::shared_ptr<const PHServerRules> rules = fromSettings();
    QString file, binary;
    {
        const std::lock_guard<std::mutex> lock(g_settingsMutex);
        file = g_triedFile;
        binary = g_triedBinary;
    }
    if (rules && rules->isRead())
        return servingRoot(root)
                   ? QString()
                   : alone + QStringLiteral("the server configuration %1 does not serve %2").arg(file, root);
    if (file.isEmpty() && !binary.isEmpty())
        return alone + QStringLiteral("no server configuration was found (%1 does not name it)").arg(binary);
    return alone + (file.isEmpty()
                        ? QStringLiteral("no server configuration was found")
                        : QStringLiteral("the server configuration %1 could not be read").arg(file));
}

std::shared_ptr<const PHServerRules> PHServerRules::fromSettings() {
    static std::shared_ptr<const PHServerRules> cached;
    static QString cachedFile;
    static QDateTime cachedTime;
    QElapsedTimer &sinceLook = g_sinceLook;
    const std::lock_guard<std::mutex> lock(g_settingsMutex);
    // A tree of many folders asks once per folder: the settings and the file
    // are looked at again only every few seconds.
    if (sinceLook.isValid() && sinceLook.elapsed() < 3000)
        return cached;
    sinceLook.start();
    PHSettingsStore *defaults = PHSettingsStore::instance();
    QString file;
    g_triedBinary.clear();
    if (defaults->boolForKey(PHSettings::Key::OverrideConfDirectory)) {
        const QString folder =
            defaults->stringForKey(PHSettings::Key::ApacheConfDirectory).value_or(QString());
        const QString name = defaults->stringForKey(PHSettings::Key::ApacheConfFile).value_or(QString());
        if (!folder.isEmpty() && !name.isEmpty())
            file = withoutTrailingSlash(folder) + QLatin1Char('/') + name;
    } else {
        QString binary = defaults->stringForKey(PHSettings::Key::ApacheBinaryLocation).value_or(QString());
        // Until a server program is chosen (the panel detects one on its first
        // start), Debian's is the one this machine serves with.
        if (!defaults->hasStoredValueForKey(PHSettings::Key::ApacheBinaryLocation) &&
            !QFileInfo(binary).isExecutable() &&
            QFileInfo(QStringLiteral("/usr/sbin/apache2")).isExecutable())
            binary = QStringLiteral("/usr/sbin/apache2");
        static QString knownBinary, knownFile;
        if (binary != knownBinary) {
            knownBinary = binary;
            knownFile = PHServerConfig::compiledConfigFile(binary);
        }
        file = knownFile;
        g_triedBinary = binary;
    }
    g_triedFile = file;
    if (file.isEmpty()) {
        cached.reset();
        cachedFile.clear();
        return cached;
    }
    const QDateTime modified = QFileInfo(file).lastModified();
    if (cached && cachedFile == file && cachedTime == modified)
        return cached;
    const QString folder = QFileInfo(file).absolutePath();
    cached = read(file, folder, PHServerConfig::debianEnvironment(folder));
    cachedFile = file;
    cachedTime = modified;
    return cached;
}

QString PHServerRules::canonicalPath(const QString &path) {
    static std::mutex mutex;
    static QHash<QString, QString> known;
    const std::lock_guard<std::mutex> lock(mutex);
    if (const auto found = known.constFind(path); found != known.constEnd())
        return *found;
    QString canonical = QFileInfo(path).canonicalFilePath();
    if (canonical.isEmpty())
        canonical = path;
    if (known.size() > 64)
        known.clear();
    known.insert(path, canonical);
    return canonical;
}
