#include "model/PHEffectiveAccess.h"

#include <QFile>
#include <QRegularExpression>

#include <arpa/inet.h>

#include <cstring>

namespace {

using Rule = PHEffectiveAccess::Rule;
using Kind = PHEffectiveAccess::Rule::Kind;

/// The server's words: blanks or tabs between them, double or single quotes
/// around one that holds blanks.
QStringList words(const QString &text) {
    QStringList result;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        while (i < n && text.at(i).isSpace())
            ++i;
        if (i >= n)
            break;
        const QChar quote = text.at(i);
        QString word;
        if (quote == QLatin1Char('"') || quote == QLatin1Char('\'')) {
            ++i;
            while (i < n && text.at(i) != quote) {
                if (text.at(i) == QLatin1Char('\\') && i + 1 < n && text.at(i + 1) == quote)
                    ++i;
                word += text.at(i++);
            }
            ++i;
        } else {
            while (i < n && !text.at(i).isSpace())
                word += text.at(i++);
        }
        result.append(word);
    }
    return result;
}

bool isAccessDirective(const QString &name) {
    static const QStringList names{QStringLiteral("require"),       QStringLiteral("order"),
                                   QStringLiteral("allow"),         QStringLiteral("deny"),
                                   QStringLiteral("satisfy"),       QStringLiteral("authtype"),
                                   QStringLiteral("authname"),      QStringLiteral("authuserfile"),
                                   QStringLiteral("authgroupfile"), QStringLiteral("authmerging")};
    return names.contains(name.toLower());
}

enum class Result { Granted, Denied, NoUser, Neutral, Error };

Result negate(Result result) {
    if (result == Result::Granted)
        return Result::Denied;
    if (result == Result::Denied)
        return Result::Granted;
    return result;
}

QString placeName(const QString &folder) {
    if (folder.isEmpty())
        return QStringLiteral("the server's configuration");
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

PHEffectiveAccess::Section PHEffectiveAccess::parse(const QString &text, const QString &folder) {
    Section section;
    section.folder = folder;

    // Lines ending in a backslash go on with the next one, as the server reads them.
    QStringList lines;
    QList<bool> continued;
    QString pending;
    for (QString line : text.split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.endsWith(QLatin1Char('\\'))) {
            pending += line.left(line.size() - 1);
            continue;
        }
        continued.append(!pending.isEmpty());
        lines.append(pending + line);
        pending.clear();
    }
    if (!pending.isEmpty()) {
        continued.append(true);
        lines.append(pending);
    }

    struct Frame {
        QString name;
        bool appliesToGet = true;
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

    for (qsizetype index = 0; index < lines.size(); ++index) {
        const QString line = lines.at(index).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;

        if (line.startsWith(QLatin1String("</"))) {
            if (!stack.empty())
                stack.pop_back();
            continue;
        }
        if (line.startsWith(QLatin1Char('<'))) {
            QString inside = line.mid(1);
            if (inside.endsWith(QLatin1Char('>')))
                inside.chop(1);
            const QStringList parts = words(inside);
            Frame frame;
            frame.name = parts.value(0);
            const QString name = frame.name.toLower();
            bool getListed = false;
            for (qsizetype i = 1; i < parts.size(); ++i)
                if (parts.at(i).compare(QLatin1String("GET"), Qt::CaseInsensitive) == 0)
                    getListed = true;
            if (name == QLatin1String("requireall") || name == QLatin1String("requireany") ||
                name == QLatin1String("requirenone")) {
                Rule rule;
                rule.kind = name == QLatin1String("requireall")    ? Kind::All
                            : name == QLatin1String("requirenone") ? Kind::None
                                                                   : Kind::Any;
                rule.line = line;
                rule.folder = folder;
                section.hasRequire = true;
                std::vector<Rule> &into = currentRules();
                into.push_back(rule);
                frame.container = &into.back();
                section.handManagedReasons.append(QStringLiteral("rules grouped in %1").arg(line));
            } else if (name == QLatin1String("limit")) {
                frame.appliesToGet = getListed;
            } else if (name == QLatin1String("limitexcept")) {
                frame.appliesToGet = !getListed;
            } else {
                frame.opaque = true;
            }
            // Containers inside the frame's parent hold pointers into vectors that
            // grow only at their own end, so earlier frames stay valid.
            stack.push_back(frame);
            continue;
        }

        const QStringList parts = words(line);
        const QString directive = parts.value(0).toLower();
        if (!isAccessDirective(directive))
            continue;
        const QStringList arguments = parts.mid(1);
        // The panel reads and writes one line per rule.
        if (continued.at(index) && !line.startsWith(QLatin1Char('#')))
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
            if (!appliesToGet) {
                // Rules for other methods leave a GET to the rest of the section;
                // how that combines is not worked out here.
                section.unpredictable.append(line);
                continue;
            }
            Rule rule;
            rule.line = line;
            rule.folder = folder;
            QStringList args = arguments;
            if (!args.isEmpty() && args.first().compare(QLatin1String("not"), Qt::CaseInsensitive) == 0) {
                rule.negated = true;
                args.removeFirst();
            }
            const QString what = args.value(0).toLower();
            rule.arguments = args.mid(1);
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
            else if (what == QLatin1String("all") &&
                     args.value(1).compare(QLatin1String("granted"), Qt::CaseInsensitive) == 0)
                rule.kind = Kind::Granted;
            else if (what == QLatin1String("all") &&
                     args.value(1).compare(QLatin1String("denied"), Qt::CaseInsensitive) == 0)
                rule.kind = Kind::Denied;
            else
                rule.kind = Kind::Other;
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
            // These rules are kept per method: one limited to other methods
            // still starts the section afresh, but says nothing about a GET.
            if (!appliesToGet && directive != QLatin1String("allow") && directive != QLatin1String("deny"))
                continue;
            if (directive == QLatin1String("order")) {
                section.order = arguments.join(QString()).toLower();
                if (section.order != QLatin1String("deny,allow"))
                    section.handManagedReasons.append(QStringLiteral("the order \"%1\"").arg(line));
            } else if (directive == QLatin1String("satisfy")) {
                section.satisfyAny =
                    arguments.value(0).compare(QLatin1String("any"), Qt::CaseInsensitive) == 0;
            } else {
                const bool isAllow = directive == QLatin1String("allow");
                std::vector<AddressEntry> &list = isAllow ? section.allow : section.deny;
                const qsizetype first =
                    arguments.value(0).compare(QLatin1String("from"), Qt::CaseInsensitive) == 0 ? 1 : 0;
                for (qsizetype i = first; i < arguments.size(); ++i) {
                    const QString &entry = arguments.at(i);
                    list.push_back(AddressEntry{entry, appliesToGet});
                    if (entry.startsWith(QLatin1String("env="), Qt::CaseInsensitive) ||
                        entry.startsWith(QLatin1String("env!"), Qt::CaseInsensitive)) {
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
    return section;
}

// ===== Merging =====

PHEffectiveAccess PHEffectiveAccess::merge(const QList<Layer> &layers) {
    PHEffectiveAccess access;
    access.m_folder = layers.isEmpty() ? QString() : layers.last().folder;

    // What the server's own configuration grants the web root.
    Rule granted;
    granted.kind = Kind::Granted;
    granted.line = QStringLiteral("Require all granted");
    access.m_require.kind = Kind::Any;
    access.m_require.children.push_back(granted);

    for (const Layer &layer : layers) {
        const Section section = parse(layer.text, layer.folder);
        if (section.hasRequire) {
            Rule mine;
            mine.kind = Kind::Any;
            mine.folder = section.folder;
            mine.children = section.requires_;
            const QString merging = section.merging.value_or(QStringLiteral("off"));
            if (merging == QLatin1String("and") || merging == QLatin1String("or")) {
                Rule combined;
                combined.kind = merging == QLatin1String("and") ? Kind::All : Kind::Any;
                combined.folder = section.folder;
                combined.children.push_back(access.m_require);
                combined.children.push_back(mine);
                access.m_require = combined;
            } else {
                access.m_require = mine;
            }
        }
        if (section.hasCompat)
            access.m_compat = section;
        if (section.authType)
            access.m_authType = section.authType;
        if (section.authUserFile)
            access.m_authUserFile = section.authUserFile;
        if (section.authGroupFile)
            access.m_authGroupFile = section.authGroupFile;
        if (section.authName)
            access.m_authName = section.authName;
        for (const QString &line : section.unpredictable)
            access.m_unpredictable.append(QStringLiteral("%1 (in %2)").arg(line, placeName(section.folder)));
    }
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
        } else if (!(rule->kind == Kind::Granted && rule->folder.isEmpty())) {
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

bool PHEffectiveAccess::isInherited() const {
    return !inheritedNote().isEmpty();
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
    if (result.isEmpty())
        result.append(QStringLiteral("Open: no password or address is asked for"));
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
    if (!m_unpredictable.isEmpty())
        return answer(-1, QStringLiteral("rules in force cannot be worked out here: %1")
                              .arg(m_unpredictable.join(QStringLiteral("; "))));

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
    std::function<Result(const Rule &, const QString *)> evaluate = [&](const Rule &rule,
                                                                        const QString *user) -> Result {
        Result result = Result::Neutral;
        switch (rule.kind) {
        case Kind::Any:
        case Kind::All:
        case Kind::None: {
            const bool conjunction = rule.kind != Kind::Any;
            for (const Rule &child : rule.children) {
                Result childResult = evaluate(child, user);
                if (childResult == Result::Error)
                    return Result::Error;
                if (rule.kind == Kind::None)
                    childResult = negate(childResult);
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
                if (groups.contains(group))
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
        return rule.negated ? negate(result) : result;
    };

    const Result userless = evaluate(m_require, nullptr);
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
    const Result withUser = evaluate(m_require, &credentials.user);
    if (withUser == Result::Granted)
        return answer(200, QStringLiteral("allowed as %1").arg(credentials.user));
    if (withUser == Result::Error)
        return answer(500, QStringLiteral("a rule the server cannot apply"));
    return answer(401, QStringLiteral("%1 is not among those allowed").arg(credentials.user));
}

QStringList PHEffectiveAccess::refusedLoopbackClients() const {
    QStringList refused;
    for (const QString &address : {QStringLiteral("127.0.0.1"), QStringLiteral("::1")})
        if (predict(Client{address, QStringLiteral("localhost")}, Credentials{}, Directory{}) == 403)
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

PHEffectiveAccess::Directory PHEffectiveAccess::filesOnDisk() {
    const auto lines = [](const QString &path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QStringList();
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    };
    Directory directory;
    directory.hasUser = [lines](const QString &userFile, const QString &user) {
        for (const QString &line : lines(userFile))
            if (line.section(QLatin1Char(':'), 0, 0) == user && line.contains(QLatin1Char(':')))
                return true;
        return false;
    };
    directory.groupsOf = [lines](const QString &groupFile, const QString &user) {
        QStringList groups;
        static const QRegularExpression blanks(QStringLiteral("[ \\t]+"));
        for (QString line : lines(groupFile)) {
            line.remove(QLatin1Char('\r'));
            const qsizetype colon = line.indexOf(QLatin1Char(':'));
            if (colon <= 0)
                continue;
            const QStringList members = line.mid(colon + 1).split(blanks, Qt::SkipEmptyParts);
            if (members.contains(user))
                groups.append(line.left(colon).trimmed());
        }
        return groups;
    };
    return directory;
}
