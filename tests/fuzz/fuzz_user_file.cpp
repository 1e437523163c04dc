// Reads arbitrary bytes as a user file: the reader must end, and what it
// reads must write out and read back as the same records.

#include "model/PHUsersModel.h"
#include "support/PHTextFile.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const PHTextFile file =
        PHTextFile::decode(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (!file.ok())
        return 0;
    const QVariantList records = PHUsersModel::recordsFromText(file.text);
    const std::optional<QString> text = PHUsersModel::textFromRecords(records);
    // Everything read has a name without ":" or line breaks and a one-line
    // hash; only a last line without a line end whose hash ends in a backslash
    // cannot be written back (written with a line end, the backslash would
    // join the lines), and the writer refuses it.
    if (!text) {
        const bool backslashAtEnd = std::any_of(records.cbegin(), records.cend(), [](const QVariant &record) {
            return record.toMap().value(PHUsersModel::passwordKey).toString().endsWith(QLatin1Char('\\'));
        });
        if (!backslashAtEnd)
            std::abort();
        return 0;
    }
    if (PHUsersModel::recordsFromText(*text) != records)
        std::abort();
    return 0;
}
