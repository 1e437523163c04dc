#include "model/PHEffectiveAccess.h"

#include "model/PHAddressSyntax.h"
#include "model/PHAuthFiles.h"
#include "model/PHConfigText.h"

#include <QFile>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace {

using Rule = PHEffectiveAccess::Rule;
using Kind = PHEffectiveAccess::Rule::Kind;

using PHConfigText::words;

enum class Result { Granted, Denied, NoUser, Neutral, Error };

// A negated rule that is not met proves nothing: it is neutral, never granted.
Result negate(Result result) {
    if (result == Result::Granted)
        return Result::Denied;
    if (result == Result::Denied || result == Result::NoUser)
        return Result::Neutral;
    return result;
}

// The methods a method container may name in an access file, as the server
// spells them (HEAD is GET to it). Any other name there is an error.
bool isKnownMethod(const QString &method) {
    static const QStringList methods{QStringLiteral("GET"),
                                     QStringLiteral("HEAD"),
                                     QStringLiteral("PUT"),
                                     QStringLiteral("POST"),
                                     QStringLiteral("DELETE"),
                                     QStringLiteral("CONNECT"),
                                     QStringLiteral("OPTIONS"),
                                     QStringLiteral("TRACE"),
                                     QStringLiteral("PATCH"),
                                     QStringLiteral("PROPFIND"),
                                     QStringLiteral("PROPPATCH"),
                                     QStringLiteral("MKCOL"),
                                     QStringLiteral("COPY"),
                                     QStringLiteral("MOVE"),
                                     QStringLiteral("LOCK"),
                                     QStringLiteral("UNLOCK"),
                                     QStringLiteral("VERSION-CONTROL"),
                                     QStringLiteral("CHECKOUT"),
                                     QStringLiteral("UNCHECKOUT"),
                                     QStringLiteral("CHECKIN"),
                                     QStringLiteral("UPDATE"),
                                     QStringLiteral("LABEL"),
                                     QStringLiteral("REPORT"),
                                     QStringLiteral("MKWORKSPACE"),
                                     QStringLiteral("MKACTIVITY"),
                                     QStringLiteral("BASELINE-CONTROL"),
                                     QStringLiteral("MERGE")};
    return methods.contains(method); // the server compares them exactly
}

// The authorization providers the server's modules register, by the name a
// "Require" line gives (compared exactly).
bool isKnownProvider(const QString &name) {
    static const QStringList providers{
        QStringLiteral("user"),        QStringLiteral("valid-user"), QStringLiteral("group"),
        QStringLiteral("file-group"),  QStringLiteral("ip"),         QStringLiteral("host"),
        QStringLiteral("forward-dns"), QStringLiteral("local"),      QStringLiteral("all"),
        QStringLiteral("env"),         QStringLiteral("expr"),       QStringLiteral("method")};
    return providers.contains(name);
}

// A section of the server's configuration is named by where it is written,
// "/etc/apache2/apache2.conf:172"; a folder above the web root by its path.
bool isServerPlace(const QString &folder) {
    if (!folder.startsWith(QLatin1Char('/')))
        return false;
    const qsizetype colon = folder.lastIndexOf(QLatin1Char(':'));
    if (colon < 0 || colon + 1 == folder.size())
        return false;
    return std::all_of(folder.cbegin() + colon + 1, folder.cend(), [](QChar c) { return c.isDigit(); });
}

QString placeName(const QString &folder) {
    if (folder.isEmpty())
        return QStringLiteral("the server's configuration");
    if (isServerPlace(folder))
        return QStringLiteral("the server's configuration (%1)").arg(folder);
    if (folder.startsWith(QLatin1Char('/')))
        return QStringLiteral("%1 (above the web root)").arg(folder);
    if (folder == QLatin1String("."))
        return QStringLiteral("the web root");
    return folder;
}

bool isPlaceholder(const QString &entry) {
    return entry.compare(QLatin1String("portholded"), Qt::CaseInsensitive) == 0;
}

bool isPasswordLeaf(const Rule &rule) {
    return !rule.negated &&
           (rule.kind == Kind::User || rule.kind == Kind::Group || rule.kind == Kind::ValidUser);
}

QString render(const Rule &rule) {
    if (!rule.isContainer())
        return rule.line;
    QStringList inner;
    for (const Rule &child : rule.children)
        inner.append(render(child));
    const QString name = rule.kind == Kind::All    ? QStringLiteral("all of")
                         : rule.kind == Kind::None ? QStringLiteral("none of")
                                                   : QStringLiteral("any of");
    return QStringLiteral("%1 (%2)").arg(name, inner.join(QStringLiteral("; ")));
}

} // namespace

// ===== Reading one file =====

bool PHEffectiveAccess::isAccessDirective(const QString &name) {
    static const QStringList names{QStringLiteral("require"),       QStringLiteral("order"),
                                   QStringLiteral("allow"),         QStringLiteral("deny"),
                                   QStringLiteral("satisfy"),       QStringLiteral("authtype"),
                                   QStringLiteral("authname"),      QStringLiteral("authuserfile"),
                                   QStringLiteral("authgroupfile"), QStringLiteral("authmerging")};
    return names.contains(PHConfigText::lowerCase(name));
}

QString PHEffectiveAccess::Reading::ignoredNote() const {
    if (serverSection || readsFiles())
        return {};
    return QStringLiteral("The server ignores access files here (AllowOverride None in %1)")
        .arg(overrideOrigin.isEmpty() ? QStringLiteral("the server's default") : overrideOrigin);
}

PHEffectiveAccess::Section PHEffectiveAccess::parse(const QString &text, const QString &folder) {
    return parse(text, folder, Reading());
}

namespace {

bool sameReading(const PHEffectiveAccess::Reading &a, const PHEffectiveAccess::Reading &b) {
    return a.serverSection == b.serverSection && a.authConfig == b.authConfig && a.limit == b.limit &&
           a.otherOverrides == b.otherOverrides && a.someFilesOnly == b.someFilesOnly &&
           a.unread == b.unread && a.overrideList == b.overrideList && a.overrideOrigin == b.overrideOrigin &&
           a.missingModules == b.missingModules;
}

void nameFolder(std::vector<PHEffectiveAccess::Rule> &rules, const QString &folder) {
    for (PHEffectiveAccess::Rule &rule : rules) {
        rule.folder = folder;
        nameFolder(rule.children, folder);
    }
}

} // namespace

PHEffectiveAccess::Section PHEffectiveAccess::parse(const QString &text, const QString &folder,
                                                    const Reading &reading) {
    // The texts read last, with what they said: a walk reads each folder's
    // text for its state and then again for its merge.
    struct Parsed {
        QString text;
        Reading reading;
        Section section;
    };
    constexpr size_t kKept = 4;
    thread_local std::vector<Parsed> kept;
    thread_local size_t next = 0;
    for (const Parsed &parsed : kept)
        if (parsed.text == text && sameReading(parsed.reading, reading)) {
            Section section = parsed.section;
            section.folder = folder;
            nameFolder(section.requires_, folder);
            return section;
        }
    Section section = parseText(text, QString(), reading);
    // A large file is not kept (nor worth keeping: its reading dwarfs a copy).
    constexpr qsizetype kLargestKept = 64 * 1024;
    if (text.size() > kLargestKept) {
        section.folder = folder;
        nameFolder(section.requires_, folder);
        return section;
    }
    Parsed parsed{text, reading, section};
    if (kept.size() < kKept)
        kept.push_back(std::move(parsed));
    else
        kept[next] = std::move(parsed);
    next = (next + 1) % kKept;
    section.folder = folder;
    nameFolder(section.requires_, folder);
    return section;
}

PHEffectiveAccess::Section PHEffectiveAccess::parseText(const QString &text, const QString &folder,
                                                        const Reading &reading) {
    Section section;
    section.folder = folder;
    if (!reading.serverSection && !reading.readsFiles()) {
        section.ignoredNote = reading.ignoredNote();
        return section;
    }
    auto refuse = [&section](int line, const QString &why) {
        section.errors.append(QStringLiteral("line %1: %2").arg(line).arg(why));
    };
    // What AllowOverride (and AllowOverrideList) let an access file set: the
    // address directives are of the Limit class, the others of AuthConfig;
    // method sections are allowed with either.
    const auto allowedHere = [&reading](const QString &name) {
        if (reading.serverSection || reading.overrideList.contains(name))
            return true;
        if (name == QLatin1String("order") || name == QLatin1String("allow") || name == QLatin1String("deny"))
            return reading.limit;
        if (name == QLatin1String("limit") || name == QLatin1String("limitexcept"))
            return reading.limit || reading.authConfig;
        return reading.authConfig;
    };
    const auto missing = [&reading](const char *module) {
        return !reading.serverSection && reading.missingModules.contains(QLatin1String(module));
    };
    const auto invalidCommand = [](const QString &name) {
        return QStringLiteral(
                   "Invalid command '%1', perhaps misspelled or defined by a module not included in "
                   "the server configuration")
            .arg(name);
    };
    // The server reads a byte-order mark as part of the first directive's name.
    if (text.startsWith(QChar(0xFEFF)))
        refuse(1, QStringLiteral("the file begins with a byte-order mark, which the server reads as part of "
                                 "the first directive"));

    struct Frame {
        QString name;
        int line = 0;
        bool appliesToGet = true;
        bool isMethodLimit = false;
        bool opaque = false;
        Rule *container = nullptr;
        bool reported = false;
    };
    std::vector<Frame> stack;

    auto currentRules = [&]() -> std::vector<Rule> & {
        // Innermost first. (std::views::reverse would do, but clang 14 cannot
        // compile GCC 12's ranges, and the checks run on clang.)
        for (auto it = stack.rbegin(); it != stack.rend(); ++it) // NOLINT(modernize-loop-convert)
            if (it->container)
                return it->container->children;
        return section.requires_;
    };
    // The logic a rule is added to: the innermost container's, or "any of"
    // for the file's own list.
    auto currentLogic = [&]() {
        for (auto it = stack.rbegin(); it != stack.rend(); ++it) // NOLINT(modernize-loop-convert)
            if (it->container)
                return it->container->kind;
        return Kind::Any;
    };
    auto insideContainer = [&]() {
        return std::any_of(stack.cbegin(), stack.cend(), [](const Frame &frame) { return frame.container; });
    };
    auto insideMethodLimit = [&]() {
        return std::any_of(stack.cbegin(), stack.cend(),
                           [](const Frame &frame) { return frame.isMethodLimit; });
    };
    // A rule added to "any of" may not be negative, nor one to "none of".
    auto checkNegation = [&](int line, bool negative, const QString &what) {
        const Kind logic = currentLogic();
        if (negative && logic == Kind::Any)
            refuse(line, QStringLiteral("%1 has no effect in <RequireAny> directive").arg(what));
        else if (negative && logic == Kind::None)
            refuse(line, QStringLiteral("%1 has no effect in <RequireNone> directive").arg(what));
    };

    for (const PHConfigText::Line &physical : PHConfigText::lines(text)) {
        if (physical.isSkipped())
            continue;
        const QString &line = physical.text;
        const int number = physical.number;
        // Values the server fills in from its environment when it reads the line.
        if (line.contains(QLatin1String("${")))
            section.unpredictable.append(line);
        // The server fails the request on such a line (no answer at all).
        if (line.endsWith(QLatin1Char('\\')))
            section.unpredictable.append(line);

        if (line.startsWith(QLatin1String("</"))) {
            if (stack.empty()) {
                refuse(number, QStringLiteral("%1 without matching section").arg(line));
                continue;
            }
            const Frame frame = stack.back();
            stack.pop_back();
            if (frame.container && frame.container->children.empty())
                refuse(frame.line,
                       QStringLiteral("<%1> directive contains no authorization directives").arg(frame.name));
            continue;
        }
        if (line.startsWith(QLatin1Char('<'))) {
            if (!line.endsWith(QLatin1Char('>')))
                refuse(number, QStringLiteral("%1 directive missing closing '>'")
                                   .arg(line.section(QLatin1Char(' '), 0, 0)));
            QString inside = line.mid(1);
            if (inside.endsWith(QLatin1Char('>')))
                inside.chop(1);
            const QStringList parts = words(inside);
            Frame frame;
            frame.line = number;
            frame.name = parts.value(0);
            const QString name = PHConfigText::lowerCase(frame.name);
            const bool isRequireContainer = name == QLatin1String("requireall") ||
                                            name == QLatin1String("requireany") ||
                                            name == QLatin1String("requirenone");
            if ((isRequireContainer || name == QLatin1String("limit") ||
                 name == QLatin1String("limitexcept")) &&
                !allowedHere(name))
                refuse(number, QStringLiteral("<%1 not allowed here").arg(frame.name));
            if (isRequireContainer) {
                Rule rule;
                rule.kind = name == QLatin1String("requireall")    ? Kind::All
                            : name == QLatin1String("requirenone") ? Kind::None
                                                                   : Kind::Any;
                rule.line = line;
                rule.folder = folder;
                if (rule.kind == Kind::None)
                    checkNegation(number, true, QStringLiteral("<RequireNone> directive"));
                // How a container and a method limit combine is not worked out here.
                if (insideMethodLimit())
                    section.unpredictable.append(line);
                section.hasRequire = true;
                std::vector<Rule> &into = currentRules();
                into.push_back(rule);
                frame.container = &into.back();
                section.handManagedReasons.append(QStringLiteral("rules grouped in %1").arg(line));
            } else if (name == QLatin1String("limit") || name == QLatin1String("limitexcept")) {
                frame.isMethodLimit = true;
                const bool except = name == QLatin1String("limitexcept");
                if (parts.size() < 2)
                    refuse(number,
                           QStringLiteral("<%1> directive requires additional arguments").arg(frame.name));
                if (insideContainer())
                    section.unpredictable.append(line);
                bool getListed = false;
                for (qsizetype i = 1; i < parts.size(); ++i) {
                    const QString &method = parts.at(i);
                    if (method == QLatin1String("TRACE") && !except)
                        refuse(number, QStringLiteral("TRACE cannot be controlled by <Limit>"));
                    else if (!isKnownMethod(method))
                        refuse(number, QStringLiteral("Could not register method '%1' for <%2 from .htaccess "
                                                      "configuration")
                                           .arg(method, frame.name));
                    // The server answers HEAD as a GET, and limits them as one.
                    getListed =
                        getListed || method == QLatin1String("GET") || method == QLatin1String("HEAD");
                }
                frame.appliesToGet = except ? !getListed : getListed;
            } else {
                frame.opaque = true;
            }
            // Containers inside the frame's parent hold pointers into vectors that
            // grow only at their own end, so earlier frames stay valid.
            stack.push_back(frame);
            continue;
        }

        const QStringList parts = words(line);
        const QString directive = PHConfigText::lowerCase(parts.value(0));
        if (!isAccessDirective(directive)) {
            // Whether the AllowOverride in force lets other directives be set
            // is not worked out here, one class at a time.
            if (!reading.serverSection && !reading.otherOverrides &&
                !reading.overrideList.contains(directive))
                section.unpredictable.append(line);
            continue;
        }
        if (!allowedHere(directive)) {
            refuse(number, QStringLiteral("%1 not allowed here").arg(parts.value(0)));
            continue;
        }
        if ((directive == QLatin1String("order") || directive == QLatin1String("allow") ||
             directive == QLatin1String("deny")) &&
            missing("access_compat")) {
            refuse(number, invalidCommand(parts.value(0)));
            continue;
        }
        if ((directive == QLatin1String("authuserfile") && missing("authn_file")) ||
            (directive == QLatin1String("authgroupfile") && missing("authz_groupfile"))) {
            refuse(number, invalidCommand(parts.value(0)));
            continue;
        }
        const QStringList arguments = parts.mid(1);
        // The panel reads and writes one line per rule.
        if (physical.continued())
            section.handManagedReasons.append(
                QStringLiteral("the rule \"%1\" goes on over several lines").arg(line));

        bool opaque = false, appliesToGet = true, limited = false;
        for (Frame &frame : stack) {
            opaque = opaque || frame.opaque;
            appliesToGet = appliesToGet && frame.appliesToGet;
            if (!frame.container) {
                limited = true;
                if (!frame.reported) {
                    frame.reported = true;
                    section.handManagedReasons.append(
                        QStringLiteral("access rules inside <%1>").arg(frame.name));
                }
            }
        }
        if (opaque) {
            section.unpredictable.append(line);
            continue;
        }

        if (directive == QLatin1String("require")) {
            section.hasRequire = true;
            Rule rule;
            rule.line = line;
            rule.folder = folder;
            rule.appliesToGet = appliesToGet;
            QStringList args = arguments;
            if (!args.isEmpty() && args.first().compare(QLatin1String("not"), Qt::CaseInsensitive) == 0) {
                rule.negated = true;
                args.removeFirst();
            }
            const QString what = args.value(0);
            rule.arguments = args.mid(1);
            if (args.isEmpty()) {
                refuse(number, QStringLiteral("Require directive requires an authorization provider"));
                continue;
            }
            const bool providerMissing =
                (what == QLatin1String("group") && missing("authz_groupfile")) ||
                ((what == QLatin1String("user") || what == QLatin1String("valid-user")) &&
                 missing("authz_user")) ||
                ((what == QLatin1String("ip") || what == QLatin1String("host") ||
                  what == QLatin1String("local")) &&
                 missing("authz_host"));
            if (!isKnownProvider(what) || providerMissing) {
                refuse(number, QStringLiteral("Unknown Authz provider: %1").arg(what));
                continue;
            }
            checkNegation(number, rule.negated, QStringLiteral("negative Require directive"));
            if (what == QLatin1String("user"))
                rule.kind = Kind::User;
            else if (what == QLatin1String("group"))
                rule.kind = Kind::Group;
            else if (what == QLatin1String("valid-user"))
                rule.kind = Kind::ValidUser;
            else if (what == QLatin1String("ip"))
                rule.kind = Kind::Ip;
            else if (what == QLatin1String("host"))
                rule.kind = Kind::Host;
            else if (what == QLatin1String("local"))
                rule.kind = Kind::Local;
            else if (what == QLatin1String("all") && rule.arguments.size() == 1 &&
                     rule.arguments.first().compare(QLatin1String("granted"), Qt::CaseInsensitive) == 0)
                rule.kind = Kind::Granted;
            else if (what == QLatin1String("all") && rule.arguments.size() == 1 &&
                     rule.arguments.first().compare(QLatin1String("denied"), Qt::CaseInsensitive) == 0)
                rule.kind = Kind::Denied;
            else if (what == QLatin1String("all")) {
                refuse(number, QStringLiteral("Require all takes one argument: granted or denied"));
                continue;
            } else
                rule.kind = Kind::Other;
            if (rule.kind == Kind::Ip) {
                if (rule.arguments.isEmpty())
                    refuse(number, QStringLiteral("'require ip' requires an argument"));
                for (const QString &entry : std::as_const(rule.arguments))
                    if (const QString why = PHAddressSyntax::requireIpRefusal(entry); !why.isEmpty())
                        refuse(number, why);
            }
            if (rule.kind == Kind::Other)
                section.unpredictable.append(line);
            if (!isPasswordLeaf(rule) && !limited && stack.empty())
                section.handManagedReasons.append(QStringLiteral("the rule \"%1\"").arg(line));
            currentRules().push_back(rule);
            continue;
        }

        if (directive == QLatin1String("order") || directive == QLatin1String("allow") ||
            directive == QLatin1String("deny") || directive == QLatin1String("satisfy")) {
            section.hasCompat = true;
            if (insideContainer())
                section.unpredictable.append(line);
            if (directive == QLatin1String("order")) {
                const QString order = arguments.value(0).toLower();
                if (arguments.size() != 1 ||
                    (order != QLatin1String("deny,allow") && order != QLatin1String("allow,deny") &&
                     order != QLatin1String("mutual-failure"))) {
                    refuse(number, QStringLiteral("order takes one argument, 'allow,deny', 'deny,allow', or "
                                                  "'mutual-failure'"));
                    continue;
                }
                // Kept per method: one limited to other methods says nothing about a GET.
                if (!appliesToGet)
                    continue;
                section.order = order;
                if (section.order != QLatin1String("deny,allow"))
                    section.handManagedReasons.append(QStringLiteral("the order \"%1\"").arg(line));
            } else if (directive == QLatin1String("satisfy")) {
                const QString policy = arguments.value(0).toLower();
                if (arguments.size() != 1) {
                    refuse(number, QStringLiteral("Satisfy takes one argument, access policy if both allow "
                                                  "and require used ('all' or 'any')"));
                    continue;
                }
                if (policy != QLatin1String("any") && policy != QLatin1String("all")) {
                    refuse(number, QStringLiteral("Satisfy either 'any' or 'all'."));
                    continue;
                }
                if (appliesToGet)
                    section.satisfyAny = policy == QLatin1String("any");
            } else {
                const bool isAllow = directive == QLatin1String("allow");
                if (arguments.size() < 2) {
                    refuse(number, QStringLiteral("%1 requires at least two arguments, 'from' followed by "
                                                  "hostnames or IP-address wildcards")
                                       .arg(directive));
                    continue;
                }
                if (arguments.first().compare(QLatin1String("from"), Qt::CaseInsensitive) != 0) {
                    refuse(number, QStringLiteral("allow and deny must be followed by 'from'"));
                    continue;
                }
                std::vector<AddressEntry> &list = isAllow ? section.allow : section.deny;
                for (qsizetype i = 1; i < arguments.size(); ++i) {
                    const QString &entry = arguments.at(i);
                    if (const QString why = PHAddressSyntax::allowDenyRefusal(entry);
                        !why.isEmpty() && !entry.startsWith(QLatin1String("env="), Qt::CaseInsensitive)) {
                        refuse(number, why);
                        continue;
                    }
                    list.push_back(AddressEntry{entry, appliesToGet});
                    if (entry.startsWith(QLatin1String("env="), Qt::CaseInsensitive)) {
                        if (appliesToGet)
                            section.unpredictable.append(line);
                        section.handManagedReasons.append(QStringLiteral("the rule \"%1\"").arg(line));
                    } else if (isAllow && entry.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0) {
                        section.handManagedReasons.append(QStringLiteral("the rule \"%1\"").arg(line));
                    }
                }
            }
            continue;
        }

        // The remaining directives are inherited one by one.
        const QString value = arguments.join(QLatin1Char(' '));
        if (directive == QLatin1String("authtype"))
            section.authType = value;
        else if (directive == QLatin1String("authname"))
            section.authName = value;
        else if (directive == QLatin1String("authuserfile"))
            section.authUserFile = value;
        else if (directive == QLatin1String("authgroupfile"))
            section.authGroupFile = value;
        else if (directive == QLatin1String("authmerging")) {
            section.merging = value.toLower();
            section.handManagedReasons.append(QStringLiteral("the rule \"%1\"").arg(line));
        }
    }
    for (const Frame &frame : stack)
        refuse(frame.line, QStringLiteral("<%1> was not closed").arg(frame.name));
    if (!section.errors.isEmpty())
        section.handManagedReasons.append(
            QStringLiteral("the server refuses it (%1)").arg(section.errors.join(QStringLiteral("; "))));
    return section;
}

// ===== Merging =====

PHEffectiveAccess PHEffectiveAccess::merge(const QList<Layer> &layers) {
    // The folder asked about: the last access file's (server sections may
    // come after it).
    QString folder;
    for (auto it = layers.crbegin(); it != layers.crend(); ++it)
        if (!it->reading.serverSection) {
            folder = it->folder;
            break;
        }
    PHEffectiveAccess access = start();
    for (const Layer &layer : layers)
        access.add(layer, layer.folder == folder);
    return access.finished(folder);
}

PHEffectiveAccess PHEffectiveAccess::start() {
    PHEffectiveAccess access;
    // What the server's own configuration grants the web root.
    Rule granted;
    granted.kind = Kind::Granted;
    granted.line = QStringLiteral("Require all granted");
    access.m_require.kind = Kind::Any;
    access.m_require.children.push_back(granted);
    return access;
}

void PHEffectiveAccess::add(const Layer &layer, bool asked) {
    if (layer.reading.unread) {
        m_unpredictable.append(QStringLiteral("the access file of %1 is %2, not read here")
                                   .arg(placeName(layer.folder), layer.text));
        return;
    }
    if (layer.reading.someFilesOnly) {
        m_unpredictable.append(QStringLiteral("%1 applies to some of the folder's files only (in %2)")
                                   .arg(layer.text, placeName(layer.folder)));
        return;
    }
    const Section section = parse(layer.text, layer.folder, layer.reading);
    if (!section.ignoredNote.isEmpty() && asked && !layer.text.trimmed().isEmpty())
        m_ignoredNote = section.ignoredNote;
    if (section.hasRequire) {
        Rule mine;
        mine.kind = Kind::Any;
        mine.folder = section.folder;
        mine.children = section.requires_;
        // The file's own list applies to the methods any of its rules applies to.
        mine.appliesToGet = std::any_of(mine.children.cbegin(), mine.children.cend(),
                                        [](const Rule &rule) { return rule.appliesToGet; });
        const QString merging = section.merging.value_or(QStringLiteral("off"));
        if (merging == QLatin1String("and") || merging == QLatin1String("or")) {
            Rule combined;
            combined.kind = merging == QLatin1String("and") ? Kind::All : Kind::Any;
            combined.folder = section.folder;
            combined.children.push_back(std::move(m_require));
            combined.children.push_back(std::move(mine));
            m_require = std::move(combined);
        } else {
            m_require = std::move(mine);
        }
    }
    if (section.hasCompat)
        m_compat = section;
    if (section.authType)
        m_authType = section.authType;
    if (section.authUserFile)
        m_authUserFile = section.authUserFile;
    if (section.authGroupFile)
        m_authGroupFile = section.authGroupFile;
    if (section.authName)
        m_authName = section.authName;
    for (const QString &line : section.unpredictable)
        m_unpredictable.append(QStringLiteral("%1 (in %2)").arg(line, placeName(section.folder)));
    // The server would not start on a section it refuses: what it does
    // instead is not worked out here.
    for (const QString &error : section.errors)
        (layer.reading.serverSection ? m_unpredictable : m_errors)
            .append(QStringLiteral("%1, %2").arg(placeName(section.folder), error));
}

PHEffectiveAccess PHEffectiveAccess::finished(const QString &folder) const {
    PHEffectiveAccess access = *this;
    access.m_folder = folder;
    access.describe();
    return access;
}

void PHEffectiveAccess::describe() {
    // Password pieces and other rules, from the top level of the logic in force.
    std::vector<const Rule *> top;
    if (m_require.kind == Kind::Any && !m_require.negated)
        for (const Rule &child : m_require.children)
            top.push_back(&child);
    else
        top.push_back(&m_require);
    for (const Rule *rule : top) {
        if (isPasswordLeaf(*rule)) {
            m_passwordRequired = true;
            if (m_passwordFrom.isEmpty())
                m_passwordFrom = rule->folder;
            if (rule->kind == Kind::ValidUser)
                m_anyValidUser = true;
            for (const QString &name : rule->arguments) {
                QStringList &list = rule->kind == Kind::User ? m_users : m_groups;
                if (rule->kind != Kind::ValidUser && !list.contains(name) && !isPlaceholder(name))
                    list.append(name);
            }
        } else if (!(rule->kind == Kind::Granted &&
                     (rule->folder.isEmpty() || isServerPlace(rule->folder)))) {
            m_otherRules.append(QStringLiteral("%1 (in %2)").arg(render(*rule), placeName(rule->folder)));
        }
    }

    // Address pieces, for a GET.
    if (m_compat.hasCompat) {
        QStringList allow, deny;
        bool denyAll = false;
        for (const AddressEntry &entry : m_compat.allow)
            if (entry.forGet && !isPlaceholder(entry.text))
                allow.append(entry.text);
        for (const AddressEntry &entry : m_compat.deny) {
            if (!entry.forGet)
                continue;
            if (entry.text.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0)
                denyAll = true;
            else if (!isPlaceholder(entry.text))
                deny.append(entry.text);
        }
        if (m_compat.order == QLatin1String("deny,allow")) {
            if (denyAll) {
                m_addressRule = allow.isEmpty() ? QStringLiteral("none") : QStringLiteral("only");
                m_addresses = allow;
            } else if (!deny.isEmpty()) {
                m_addressRule = QStringLiteral("except");
                m_addresses = deny;
            }
        } else {
            // allow,deny and mutual-failure refuse whoever is not allowed.
            m_addressRule = allow.isEmpty() ? QStringLiteral("none") : QStringLiteral("only");
            m_addresses = allow;
        }
        if (!m_addressRule.isEmpty())
            m_addressFrom = m_compat.folder;
        if (m_compat.satisfyAny.value_or(false)) {
            m_either = true;
            m_eitherFrom = m_compat.folder;
        }
    }
}

QString PHEffectiveAccess::inheritedNote() const {
    QStringList notes;
    if (m_passwordRequired && m_passwordFrom != m_folder)
        notes.append(QStringLiteral("Password required: inherited from %1").arg(placeName(m_passwordFrom)));
    if (!m_addressRule.isEmpty() && m_addressFrom != m_folder)
        notes.append(QStringLiteral("Address rules: inherited from %1").arg(placeName(m_addressFrom)));
    if (m_either && (m_passwordRequired || !m_addressRule.isEmpty()) && m_eitherFrom != m_folder)
        notes.append(QStringLiteral("Either is enough: inherited from %1").arg(placeName(m_eitherFrom)));
    for (const QString &rule : m_otherRules)
        if (!rule.endsWith(QStringLiteral("(in %1)").arg(placeName(m_folder))))
            notes.append(QStringLiteral("Rules of their own: inherited: %1").arg(rule));
    return notes.join(QStringLiteral("; "));
}

QStringList PHEffectiveAccess::lines() const {
    const auto from = [this](const QString &folder) {
        return folder == m_folder ? QStringLiteral("this folder")
                                  : QStringLiteral("from %1").arg(placeName(folder));
    };
    QStringList result;
    if (m_passwordRequired) {
        QStringList who;
        if (m_anyValidUser)
            who.append(QStringLiteral("any valid user"));
        if (!m_users.isEmpty())
            who.append(QStringLiteral("users %1").arg(m_users.join(QStringLiteral(", "))));
        if (!m_groups.isEmpty())
            who.append(QStringLiteral("groups %1").arg(m_groups.join(QStringLiteral(", "))));
        if (who.isEmpty())
            who.append(QStringLiteral("nobody listed"));
        result.append(
            QStringLiteral("Password: %1 (%2)").arg(who.join(QStringLiteral("; ")), from(m_passwordFrom)));
    }
    if (m_addressRule == QLatin1String("only"))
        result.append(QStringLiteral("Address: only from %1 (%2)")
                          .arg(m_addresses.join(QLatin1Char(' ')), from(m_addressFrom)));
    else if (m_addressRule == QLatin1String("except"))
        result.append(QStringLiteral("Address: refused from %1 (%2)")
                          .arg(m_addresses.join(QLatin1Char(' ')), from(m_addressFrom)));
    else if (m_addressRule == QLatin1String("none"))
        result.append(QStringLiteral("Address: every client refused (%1)").arg(from(m_addressFrom)));
    if (m_passwordRequired && !m_addressRule.isEmpty())
        result.append(m_either ? QStringLiteral("Either a password or an allowed address is enough (%1)")
                                     .arg(from(m_eitherFrom))
                               : QStringLiteral("Both a password and an allowed address are needed"));
    else if (m_either && m_addressRule.isEmpty() && m_passwordRequired)
        result.append(QStringLiteral("No address rule, and \"Satisfy any\": anyone gets in (%1)")
                          .arg(from(m_eitherFrom)));
    for (const QString &rule : m_otherRules)
        result.append(QStringLiteral("Rule: %1").arg(rule));
    for (const QString &line : m_unpredictable)
        result.append(QStringLiteral("Not worked out here: %1").arg(line));
    // What decides comes first: a refused file answers 500 whatever else it
    // says, and rules that cannot be worked out here make the rest no answer.
    if (cannotTell())
        result.prepend(QStringLiteral("Access: %1").arg(cannotTellText));
    for (qsizetype i = m_errors.size() - 1; i >= 0; --i)
        result.prepend(
            QStringLiteral("Refused by the server (500 Internal Server Error): %1").arg(m_errors.at(i)));
    if (result.isEmpty())
        result.append(QStringLiteral("Open: no password or address is asked for"));
    if (!m_ignoredNote.isEmpty())
        result.prepend(m_ignoredNote);
    return result;
}

// ===== Prediction =====

namespace {

// A dotted IPv4 network, whole or partial ("10.1" is 10.1.0.0/16), with an
// optional "/bits" or "/netmask".
bool ipv4Network(const QString &entry, quint32 *network, quint32 *mask) {
    const qsizetype slash = entry.indexOf(QLatin1Char('/'));
    const QString ip = slash < 0 ? entry : entry.left(slash);
    QStringList octets = ip.split(QLatin1Char('.'));
    if (!octets.isEmpty() && octets.last().isEmpty() && slash < 0)
        octets.removeLast();
    if (octets.isEmpty() || octets.size() > 4)
        return false;
    quint32 value = 0;
    for (qsizetype i = 0; i < 4; ++i) {
        quint32 octet = 0;
        if (i < octets.size()) {
            bool ok = false;
            const QString &text = octets.at(i);
            if (text.isEmpty() || text.size() > 3)
                return false;
            for (const QChar c : text)
                if (!c.isDigit())
                    return false;
            octet = text.toUInt(&ok);
            if (!ok || octet > 255)
                return false;
        }
        value = value << 8 | octet;
    }
    quint32 bits = 0;
    if (slash < 0) {
        bits = octets.size() == 4 ? 0xffffffffu : ~(0xffffffffu >> (8 * octets.size()));
    } else {
        if (octets.size() != 4)
            return false;
        const QString maskText = entry.mid(slash + 1);
        if (maskText.contains(QLatin1Char('.'))) {
            quint32 maskNetwork = 0, maskMask = 0;
            if (!ipv4Network(maskText, &maskNetwork, &maskMask) || maskMask != 0xffffffffu)
                return false;
            bits = maskNetwork;
        } else {
            bool ok = false;
            const uint length = maskText.toUInt(&ok);
            if (!ok || length > 32)
                return false;
            bits = length == 0 ? 0 : ~(0xffffffffu >> length);
        }
    }
    *network = value & bits;
    *mask = bits;
    return true;
}

// The server's domain match: the whole name, or a whole trailing part of it.
bool inDomain(const QString &domain, const QString &host) {
    if (host.isEmpty() || domain.size() > host.size())
        return false;
    if (host.right(domain.size()).compare(domain, Qt::CaseInsensitive) != 0)
        return false;
    if (host.size() == domain.size())
        return true;
    return domain.startsWith(QLatin1Char('.')) ||
           host.at(host.size() - domain.size() - 1) == QLatin1Char('.');
}

bool looksNumeric(const QString &entry) {
    for (const QChar c : entry)
        if (!(c.isDigit() || c == QLatin1Char('.') || c == QLatin1Char('/')))
            return false;
    return true;
}

} // namespace

bool PHEffectiveAccess::addressCovers(const QString &entry, const Client &client) {
    const QByteArray clientText = client.address.toLatin1();
    if (entry.contains(QLatin1Char(':'))) {
        const qsizetype slash = entry.indexOf(QLatin1Char('/'));
        const QByteArray ip = (slash < 0 ? entry : entry.left(slash)).toLatin1();
        int bits = 128;
        if (slash >= 0) {
            bool ok = false;
            bits = entry.mid(slash + 1).toInt(&ok);
            if (!ok || bits < 0 || bits > 128)
                return false;
        }
        in6_addr network{}, address{};
        if (::inet_pton(AF_INET6, ip.constData(), &network) != 1 ||
            ::inet_pton(AF_INET6, clientText.constData(), &address) != 1)
            return false;
        for (int i = 0; i < 16; ++i) {
            const int left = bits - 8 * i;
            const unsigned mask = left >= 8 ? 0xffu : left <= 0 ? 0u : (0xffu << (8 - left)) & 0xffu;
            if ((network.s6_addr[i] & mask) != (address.s6_addr[i] & mask))
                return false;
        }
        return true;
    }
    if (looksNumeric(entry)) {
        quint32 network = 0, mask = 0;
        in_addr address{};
        if (!ipv4Network(entry, &network, &mask) ||
            ::inet_pton(AF_INET, clientText.constData(), &address) != 1)
            return false;
        return (ntohl(address.s_addr) & mask) == network;
    }
    return inDomain(entry, client.hostName);
}

PHEffectiveAccess::Client PHEffectiveAccess::clientAt(const QString &address) {
    Client client{address, QString()};
    const QByteArray text = address.toLatin1();
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (auto *six = reinterpret_cast<sockaddr_in6 *>(&storage);
        ::inet_pton(AF_INET6, text.constData(), &six->sin6_addr) == 1) {
        six->sin6_family = AF_INET6;
        length = sizeof(sockaddr_in6);
    } else if (auto *four = reinterpret_cast<sockaddr_in *>(&storage);
               ::inet_pton(AF_INET, text.constData(), &four->sin_addr) == 1) {
        four->sin_family = AF_INET;
        length = sizeof(sockaddr_in);
    } else {
        return client;
    }
    char host[NI_MAXHOST] = {};
    const int named = ::getnameinfo(reinterpret_cast<sockaddr *>(&storage), length, host, sizeof host,
                                    nullptr, 0, NI_NAMEREQD);
    if (named == EAI_NONAME)
        return client;
    if (named != 0) {
        client.resolverFailed = true;
        return client;
    }
    // The name counts only when it leads back to the address.
    addrinfo hints{};
    hints.ai_family = storage.ss_family;
    addrinfo *found = nullptr;
    const int forward = ::getaddrinfo(host, nullptr, &hints, &found);
    if (forward == EAI_AGAIN || forward == EAI_FAIL) {
        client.resolverFailed = true;
        return client;
    }
    for (const addrinfo *entry = found; forward == 0 && entry; entry = entry->ai_next) {
        char back[NI_MAXHOST] = {};
        if (::getnameinfo(entry->ai_addr, entry->ai_addrlen, back, sizeof back, nullptr, 0, NI_NUMERICHOST) ==
            0) {
            in6_addr a{}, b{};
            const bool same = storage.ss_family == AF_INET6
                                  ? ::inet_pton(AF_INET6, back, &a) == 1 &&
                                        ::inet_pton(AF_INET6, text.constData(), &b) == 1 &&
                                        std::memcmp(&a, &b, sizeof a) == 0
                                  : QLatin1String(back) == address;
            if (same) {
                client.hostName = QString::fromLatin1(host);
                break;
            }
        }
    }
    if (found)
        ::freeaddrinfo(found);
    return client;
}

bool PHEffectiveAccess::isLoopback(const QString &address) {
    return address == QLatin1String("::1") || address.startsWith(QLatin1String("127."));
}

int PHEffectiveAccess::predict(const Client &client, const Credentials &credentials,
                               const Directory &directory, QString *reason) const {
    auto answer = [reason](int status, const QString &why) {
        if (reason)
            *reason = why;
        return status;
    };
    if (!m_errors.isEmpty())
        return answer(500, QStringLiteral("the server refuses the access file: %1")
                               .arg(m_errors.join(QStringLiteral("; "))));
    if (!m_unpredictable.isEmpty())
        return answer(-1, QStringLiteral("rules in force cannot be worked out here: %1")
                              .arg(m_unpredictable.join(QStringLiteral("; "))));

    if (client.resolverFailed && usesHostNames())
        return answer(-1, QStringLiteral("rules in force name hosts, and the resolver does not answer for %1")
                              .arg(client.address));

    // The address rules (mod_access_compat).
    bool addressPasses = true;
    if (m_compat.hasCompat) {
        auto matches = [&client](const std::vector<AddressEntry> &list) {
            for (const AddressEntry &entry : list)
                if (entry.forGet && (entry.text.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0 ||
                                     addressCovers(entry.text, client)))
                    return true;
            return false;
        };
        const bool allowed = matches(m_compat.allow);
        const bool denied = matches(m_compat.deny);
        // "allow,deny", and any other order, as before.
        addressPasses =
            m_compat.order == QLatin1String("deny,allow") ? allowed || !denied : allowed && !denied;
    }
    const bool satisfyAny = m_compat.hasCompat && m_compat.satisfyAny.value_or(false);
    if (satisfyAny && addressPasses)
        return answer(200, QStringLiteral("allowed by address"));
    if (!satisfyAny && !addressPasses)
        return answer(403, QStringLiteral("refused by address"));

    // The authorization logic (mod_authz_core and its providers).
    // `within` is the logic of the container the rule is in.
    std::function<Result(const Rule &, const QString *, Kind)> evaluate =
        [&](const Rule &rule, const QString *user, Kind within) -> Result {
        // A rule for other methods only: no objection within "all of", no say within "any of".
        if (!rule.appliesToGet)
            return within == Kind::Any ? Result::Neutral : Result::Granted;
        Result result = Result::Neutral;
        switch (rule.kind) {
        case Kind::Any:
        case Kind::All:
        case Kind::None: {
            // "None of" is "any of", negated as a whole.
            const bool conjunction = rule.kind == Kind::All;
            for (const Rule &child : rule.children) {
                const Result childResult = evaluate(child, user, conjunction ? Kind::All : Kind::Any);
                if (childResult == Result::Error)
                    return Result::Error;
                if (childResult == Result::Neutral)
                    continue;
                if (conjunction) {
                    if (childResult == Result::Denied) {
                        result = childResult;
                        break;
                    }
                    if ((childResult == Result::NoUser && result != Result::Denied) ||
                        result == Result::Neutral)
                        result = childResult;
                } else {
                    if (childResult == Result::Granted) {
                        result = childResult;
                        break;
                    }
                    if ((childResult == Result::NoUser && result == Result::Denied) ||
                        result == Result::Neutral)
                        result = childResult;
                }
            }
            break;
        }
        case Kind::User:
            result = !user                            ? Result::NoUser
                     : rule.arguments.contains(*user) ? Result::Granted
                                                      : Result::Denied;
            break;
        case Kind::ValidUser:
            result = !user ? Result::NoUser : Result::Granted;
            break;
        case Kind::Group: {
            if (!user) {
                result = Result::NoUser;
                break;
            }
            if (!m_authGroupFile) {
                result = Result::Denied;
                break;
            }
            const QStringList groups =
                directory.groupsOf ? directory.groupsOf(*m_authGroupFile, *user) : QStringList();
            result = Result::Denied;
            for (const QString &group : rule.arguments)
                for (const QString &held : groups)
                    if (PHGroupFile::sameGroup(group, held))
                        result = Result::Granted;
            break;
        }
        case Kind::Ip:
            result = Result::Denied;
            for (const QString &entry : rule.arguments)
                if (addressCovers(entry, client))
                    result = Result::Granted;
            break;
        case Kind::Host:
            result = Result::Denied;
            for (const QString &entry : rule.arguments)
                if (inDomain(entry, client.hostName))
                    result = Result::Granted;
            break;
        case Kind::Local: {
            result = isLoopback(client.address) ? Result::Granted : Result::Denied;
            break;
        }
        case Kind::Granted:
            result = Result::Granted;
            break;
        case Kind::Denied:
            result = Result::Denied;
            break;
        case Kind::Other:
            result = Result::Error;
            break;
        }
        return rule.negated || rule.kind == Kind::None ? negate(result) : result;
    };

    const Result userless = evaluate(m_require, nullptr, Kind::All);
    if (userless == Result::Granted)
        return answer(200,
                      satisfyAny ? QStringLiteral("allowed without a password") : QStringLiteral("allowed"));
    if (userless == Result::Error)
        return answer(500, QStringLiteral("a rule the server cannot apply"));
    if (userless != Result::NoUser)
        return answer(403, QStringLiteral("refused by the folder's rules"));

    // Authentication (mod_auth_basic, mod_authn_file).
    if (!m_authType || m_authType->compare(QLatin1String("Basic"), Qt::CaseInsensitive) != 0)
        return answer(500, QStringLiteral("a password is required but no AuthType Basic is in force"));
    if (!m_authName)
        return answer(500, QStringLiteral("a password is required but no AuthName is in force"));
    if (credentials.user.isEmpty())
        return answer(401, QStringLiteral("asked for a password"));
    if (!m_authUserFile)
        return answer(500, QStringLiteral("no AuthUserFile is in force"));
    if (!directory.hasUser || !directory.hasUser(*m_authUserFile, credentials.user))
        return answer(401, QStringLiteral("%1 is not in the user file").arg(credentials.user));
    if (!credentials.passwordRight)
        return answer(401, QStringLiteral("wrong password for %1").arg(credentials.user));
    const Result withUser = evaluate(m_require, &credentials.user, Kind::All);
    if (withUser == Result::Granted)
        return answer(200, QStringLiteral("allowed as %1").arg(credentials.user));
    if (withUser == Result::Error)
        return answer(500, QStringLiteral("a rule the server cannot apply"));
    return answer(401, QStringLiteral("%1 is not among those allowed").arg(credentials.user));
}

bool PHEffectiveAccess::usesHostNames() const {
    const auto isHost = [](const QString &entry) {
        return entry.compare(QLatin1String("all"), Qt::CaseInsensitive) != 0 &&
               !entry.startsWith(QLatin1String("env="), Qt::CaseInsensitive) &&
               PHAddressSyntax::isHostName(entry);
    };
    for (const auto *list : {&m_compat.allow, &m_compat.deny})
        for (const AddressEntry &entry : *list)
            if (entry.forGet && isHost(entry.text))
                return true;
    std::function<bool(const Rule &)> hostRule = [&](const Rule &rule) {
        if (rule.kind == Kind::Host)
            return true;
        return std::any_of(rule.children.cbegin(), rule.children.cend(), hostRule);
    };
    return hostRule(m_require);
}

QStringList PHEffectiveAccess::refusedLoopbackClients() const {
    QStringList refused;
    for (const QString &address : {QStringLiteral("127.0.0.1"), QStringLiteral("::1")})
        if (predict(clientAt(address), Credentials{}, Directory{}) == 403)
            refused.append(address);
    return refused;
}

QString PHEffectiveAccess::thisComputerWarning() const {
    const QStringList refused = refusedLoopbackClients();
    if (refused.isEmpty())
        return {};
    return QStringLiteral(
               "These rules refuse this computer (%1): a browser here, View on Web and Check Access "
               "get 403 Forbidden for %2.")
        .arg(refused.join(QStringLiteral(" and ")), placeName(m_folder));
}

QString PHEffectiveAccess::shownModeNote(bool passwordShown) const {
    if (!m_ignoredNote.isEmpty())
        return m_ignoredNote;
    if (!m_errors.isEmpty())
        return QStringLiteral("refused by the server (500): %1").arg(m_errors.first());
    if (cannotTell())
        return cannotTellText;
    if (!passwordShown)
        return {};
    // A mode that asks for a password, where a visitor here without one gets
    // in: the mode shown is not what the server does. No names are looked up
    // (a rule that needs them gives no prediction, and no note).
    const Directory nobody{[](const QString &, const QString &) { return false; },
                           [](const QString &, const QString &) { return QStringList(); }};
    for (const QString &address : {QStringLiteral("127.0.0.1"), QStringLiteral("::1")}) {
        QString why;
        if (predict(Client{address, QString(), false}, Credentials{}, nobody, &why) == 200)
            return QStringLiteral("open to everyone: the server asks no password here (%1)").arg(why);
    }
    return {};
}

PHEffectiveAccess::Directory PHEffectiveAccess::filesOnDisk() {
    const auto text = [](const QString &path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromUtf8(file.readAll());
    };
    Directory directory;
    directory.hasUser = [text](const QString &userFile, const QString &user) {
        return PHUserFile::hashOf(text(userFile), user).has_value();
    };
    directory.groupsOf = [text](const QString &groupFile, const QString &user) {
        return PHGroupFile::groupsOf(text(groupFile), user);
    };
    return directory;
}
