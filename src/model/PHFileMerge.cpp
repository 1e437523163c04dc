#include "model/PHFileMerge.h"

#include <QHash>

#include <optional>

namespace PHFileMerge {

namespace {

QHash<QString, QString> byName(const Entries &entries) {
    QHash<QString, QString> table;
    for (const auto &[name, value] : entries)
        table.insert(name, value);
    return table;
}

std::optional<QString> lookup(const QHash<QString, QString> &table, const QString &name) {
    const auto found = table.constFind(name);
    return found == table.constEnd() ? std::nullopt : std::optional<QString>(*found);
}

} // namespace

Result threeWay(const Entries &base, const Entries &mine, const Entries &theirs,
                const ValueMerge &mergeValues) {
    const QHash<QString, QString> baseTable = byName(base);
    const QHash<QString, QString> mineTable = byName(mine);
    const QHash<QString, QString> theirsTable = byName(theirs);
    Result result;
    QStringList order;
    for (const auto &entry : theirs)
        order.append(entry.first);
    for (const auto &entry : mine)
        if (!theirsTable.contains(entry.first) && !order.contains(entry.first))
            order.append(entry.first);
    for (const QString &name : order) {
        const std::optional<QString> b = lookup(baseTable, name);
        const std::optional<QString> m = lookup(mineTable, name);
        const std::optional<QString> t = lookup(theirsTable, name);
        std::optional<QString> chosen;
        if (m == b || m == t) {
            chosen = t; // unchanged here, or both made the same change
        } else if (t == b) {
            chosen = m; // changed only here
        } else if (std::optional<QString> both =
                       m && t && mergeValues ? mergeValues(b, *m, *t) : std::nullopt) {
            chosen = both;
        } else {
            chosen = t;
            result.conflicts.append(name);
        }
        if (chosen)
            result.merged.append({name, *chosen});
    }
    return result;
}

std::optional<QString> mergeNameLists(const std::optional<QString> &base, const QString &mine,
                                      const QString &theirs) {
    const QStringList before = base ? base->split(QLatin1Char(' '), Qt::SkipEmptyParts) : QStringList();
    const QStringList mineList = mine.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QStringList merged = theirs.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &name : before)
        if (!mineList.contains(name))
            merged.removeAll(name);
    for (const QString &name : mineList)
        if (!before.contains(name) && !merged.contains(name))
            merged.append(name);
    return merged.join(QLatin1Char(' '));
}

} // namespace PHFileMerge
