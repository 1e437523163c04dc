#include "model/PHAuthFiles.h"

namespace PHUserFile {

QList<Record> read(const QString &text) {
    QList<Record> records;
    forEachRecord<QStringView, QString>(QStringView(text), [&](const Split<QStringView> &record) {
        records.append(
            Record{record.name.toString(), record.hash.toString(), record.rest.toString(), record.hasColon});
        return true;
    });
    return records;
}

std::optional<QString> hashOf(const QString &text, const QString &user) {
    std::optional<QString> found;
    forEachRecord<QStringView, QString>(QStringView(text), [&](const Split<QStringView> &record) {
        if (record.name != user)
            return true;
        found = record.hash.toString();
        return false;
    });
    return found;
}

} // namespace PHUserFile

namespace PHGroupFile {

QList<Group> read(const QString &text) {
    QList<Group> groups;
    for (const PHConfigText::Line &line : PHConfigText::lines(text)) {
        if (line.isSkipped())
            continue;
        // A line without a colon names a group without members: it lets no one in.
        const qsizetype colon = line.text.indexOf(QLatin1Char(':'));
        if (colon < 0)
            continue;
        QStringView name = QStringView(line.text).first(colon);
        while (!name.isEmpty() && PHConfigText::isSpace(name.back()))
            name.chop(1);
        Group group;
        group.name = name.toString();
        group.members = PHConfigText::words(QStringView(line.text).sliced(colon + 1));
        groups.append(group);
    }
    return groups;
}

QStringList groupsOf(const QString &text, const QString &user) {
    QStringList names;
    for (const Group &group : read(text))
        if (group.members.contains(user))
            names.append(group.name);
    return names;
}

bool sameGroup(const QString &a, const QString &b) {
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        char16_t x = a.at(i).unicode(), y = b.at(i).unicode();
        if (x >= u'A' && x <= u'Z')
            x = char16_t(x - u'A' + u'a');
        if (y >= u'A' && y <= u'Z')
            y = char16_t(y - u'A' + u'a');
        if (x != y)
            return false;
    }
    return true;
}

} // namespace PHGroupFile
