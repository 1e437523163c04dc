#include "server/PHRepairPlan.h"

#include "model/PHConfigText.h"
#include "model/PHServerConfig.h"
#include "model/PHServerRules.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <optional>

namespace {

/// One <Directory> section in force.
struct Section {
    QString file;
    qint32 open = 0;         ///< line of its header, from 1
    qint32 openLast = 0;     ///< the header's last line (a header may go on)
    QString header;          ///< the header as written, trimmed
    QStringList components;  ///< of its path; empty for "/"
    bool regex = false;      ///< "<Directory ~ ...>" or <DirectoryMatch>: never repaired
    qint32 overrideLine = 0; ///< its last AllowOverride line, 0 when it has none
    qint32 overrideLast = 0;
    QString overrideRaw;
    QStringList overrides;
    QString indent; ///< of the lines inside
    qsizetype order = 0;
};

QStringList components(const QString &path) {
    return path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

QString leadingBlanks(const QString &raw) {
    qsizetype i = 0;
    while (i < raw.size() && (raw.at(i) == QLatin1Char(' ') || raw.at(i) == QLatin1Char('\t')))
        ++i;
    return raw.left(i);
}

/// The path of a section header "<Directory path>" or "<Directory "path">".
std::optional<QString> headerPath(const QString &text, bool *regex) {
    const qsizetype close = text.lastIndexOf(QLatin1Char('>'));
    if (close < 0)
        return std::nullopt;
    const QStringList words = PHConfigText::words(QStringView(text).mid(1, close - 1));
    if (words.size() < 2)
        return std::nullopt;
    *regex = words.first().compare(QLatin1String("DirectoryMatch"), Qt::CaseInsensitive) == 0 ||
             words.at(1) == QLatin1String("~");
    return words.at(1);
}

/// The server merges sections from the shortest path to the longest, a later
/// one of the same length after an earlier one: the last merged wins.
bool mergedLater(const Section *a, const Section &b) {
    return !a || b.components.size() > a->components.size() ||
           (b.components.size() == a->components.size() && b.order > a->order);
}

QString quotedPath(const QString &folder) {
    QString quoted = folder;
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QStringLiteral("\"%1\"").arg(quoted);
}

} // namespace

bool PHRepairPlan::honoursAccessFiles(const QStringList &overrides) {
    QSet<QString> kinds;
    for (const QString &kind : overrides)
        kinds.insert(kind.toLower());
    if (kinds.contains(QStringLiteral("none")))
        return false;
    return kinds.contains(QStringLiteral("all")) ||
           (kinds.contains(QStringLiteral("authconfig")) && kinds.contains(QStringLiteral("limit")));
}

QList<PHRepairPlan::Edit> PHRepairPlan::editsFor(const QString &file) const {
    const QString canonical = QFileInfo(file).canonicalFilePath();
    for (const auto &[path, edits] : files)
        if (path == file || path == canonical)
            return edits;
    return {};
}

PHRepairPlan PHRepairPlan::make(const QString &mainFile, const QString &serverRoot,
                                const QHash<QString, QString> &environment, const QStringList &webFolders) {
    PHRepairPlan plan;
    QList<QStringList> folders;
    for (const QString &folder : webFolders)
        if (!folder.isEmpty() && !folders.contains(components(folder)))
            folders.append(components(folder));
    if (mainFile.isEmpty() || folders.isEmpty())
        return plan;

    PHServerConfig configuration(serverRoot, environment);
    configuration.read(mainFile);
    QList<Section> sections;
    std::optional<Section> current;
    bool userDirectories = false;
    for (const PHServerConfig::Line &line : configuration.lines()) {
        const QString directive = line.directive();
        if (directive == QLatin1String("userdir"))
            userDirectories = true;
        if (directive.startsWith(QLatin1String("<directory"))) {
            bool regex = false;
            const std::optional<QString> path = headerPath(line.text, &regex);
            current = Section{};
            current->file = line.file;
            current->open = line.line.number;
            current->openLast = line.line.lastNumber;
            current->header = line.line.text;
            current->regex = regex || !path;
            current->components = path ? components(*path) : QStringList();
            continue;
        }
        if (!current)
            continue;
        if (directive.startsWith(QLatin1String("</directory"))) {
            current->order = sections.size();
            sections.append(*current);
            current.reset();
            continue;
        }
        if (current->indent.isEmpty())
            current->indent = leadingBlanks(line.line.raw);
        if (directive == QLatin1String("allowoverride")) {
            current->overrideLine = line.line.number;
            current->overrideLast = line.line.lastNumber;
            current->overrideRaw = line.line.raw;
            current->overrides = line.words.mid(1);
        }
    }

    const auto appliesHere = [&folders](const Section &section) {
        return !section.regex &&
               std::any_of(folders.cbegin(), folders.cend(), [&](const QStringList &folder) {
                   return PHServerRules::directoryApplies(section.components, folder);
               });
    };
    const Section *governing = nullptr; // whose AllowOverride is in force
    const Section *target = nullptr;    // the most specific one but "/"
    for (const Section &section : std::as_const(sections)) {
        if (!appliesHere(section))
            continue;
        if (section.overrideLine > 0 && mergedLater(governing, section))
            governing = &section;
        if (!section.components.isEmpty() && mergedLater(target, section))
            target = &section;
    }
    plan.governing = governing ? governing->header : QString();

    const QString folder = webFolders.first();
    if (!userDirectories && folder.contains(QLatin1String("/public_html")))
        plan.note = QStringLiteral("Apache serves user web folders (~/public_html) only with its userdir "
                                   "module, which is not enabled: enable it with \"a2enmod userdir\".");

    // The server's default, with no AllowOverride in force, is None.
    if (governing && honoursAccessFiles(governing->overrides)) {
        plan.honoured = true;
        return plan;
    }
    const QString repaired = QStringLiteral("AllowOverride All");
    if (target) {
        Edit edit;
        edit.change.block = target->header;
        edit.change.after = repaired;
        const QString indent = target->indent.isEmpty() ? QStringLiteral("    ") : target->indent;
        if (target->overrideLine > 0 && target->overrideLine == target->overrideLast) {
            edit.kind = Edit::Kind::Replace;
            edit.line = edit.lastLine = target->overrideLine;
            edit.text = leadingBlanks(target->overrideRaw) + repaired;
            edit.change.line = target->overrideLine;
            edit.change.before = target->overrideRaw.trimmed();
        } else {
            // No AllowOverride of its own (or one that goes on over lines):
            // a line after it, the last one in the section, wins.
            const qint32 after = target->overrideLine > 0 ? target->overrideLast : target->openLast;
            edit.kind = Edit::Kind::InsertAfter;
            edit.line = edit.lastLine = after;
            edit.text = indent + repaired;
            edit.change.line = after + 1;
        }
        plan.files.append({target->file, {edit}});
        return plan;
    }

    // Only "<Directory />" applies: the folder gets a section of its own.
    QString path = folder;
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    const QString header = QStringLiteral("<Directory %1>").arg(quotedPath(path));
    const QString canonical = QFileInfo(mainFile).canonicalFilePath();
    QList<Edit> edits;
    for (const QString &text : {header, QStringLiteral("    ") + repaired, QStringLiteral("</Directory>")}) {
        Edit edit;
        edit.kind = Edit::Kind::Append;
        edit.text = text;
        edit.change = {0, header, QString(), text.trimmed()};
        edits.append(edit);
    }
    plan.files.append({canonical.isEmpty() ? mainFile : canonical, edits});
    return plan;
}
