// Reads arbitrary bytes as a user file: the reader must end, and what it
// reads must write out and read back as the same records.

#include "model/PHUsersDataSource.h"
#include "support/PHTextFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const PHTextFile file =
        PHTextFile::decode(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (!file.ok())
        return 0;
    const QVariantList records = PHUsersDataSource::recordsFromText(file.text);
    const std::optional<QString> text = PHUsersDataSource::textFromRecords(records);
    // Everything read has a name without ":" or line breaks and a one-line hash.
    if (!text)
        std::abort();
    if (PHUsersDataSource::recordsFromText(*text) != records)
        std::abort();
    return 0;
}
