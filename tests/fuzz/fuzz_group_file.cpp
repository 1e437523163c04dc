// Reads arbitrary bytes as a group file: the reader must end, and a tree it
// reads must write out and read back the same.

#include "model/PHGroupsModel.h"
#include "support/PHTextFile.h"

#include <cstdint>
#include <cstdlib>

namespace {
QStringList shape(const PHUserItem &root) {
    QStringList lines;
    for (const PHUserItem::Ptr &group : root.children()) {
        lines.append(group->value());
        for (const PHUserItem::Ptr &member : group->children())
            lines.append(QStringLiteral(" - ") + member->value());
    }
    return lines;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const PHTextFile file =
        PHTextFile::decode(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (!file.ok())
        return 0;
    // Users drawn from the input itself, so members are found as well as
    // dropped; like names read from a user file they hold no ":" or line feed
    // and do not begin with whitespace.
    QStringList users = file.text.left(200).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    users.removeIf([](const QString &name) {
        return name.front().isSpace() || name.contains(QLatin1Char(':')) || name.contains(QLatin1Char('\n'));
    });
    users << QStringLiteral("ann") << QStringLiteral("bob");
    const PHUserItem::Ptr root = PHGroupsModel::rootFromText(file.text, users);
    const std::optional<QString> text = PHGroupsModel::textFromRoot(*root);
    if (!text)
        std::abort();
    if (shape(*PHGroupsModel::rootFromText(*text, users)) != shape(*root))
        std::abort();
    return 0;
}
