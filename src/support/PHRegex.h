#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <cstdint>
#include <limits>

/// Matching, capturing and replacing with ICU regular expressions on QString
/// (UTF-16, so positions count UTF-16 units). Compiled patterns stay in a small
/// process-wide cache (13 sets of 4 ways, least recently used replaced), so a
/// constant pattern applied line after line is compiled once.
///
/// Programming errors (a null pattern, subject or replacement, a range outside the subject, a text too
/// long for ICU) and ICU failures while matching raise PHException. The names
/// are "NSInvalidArgumentException", "NSRangeException" and
/// "PHICURegexException"; the detail record carries the keys below.
namespace PHRegex {

/// Option bits, with ICU's values; passed through unchanged.
enum Option : std::uint32_t {
    NoOptions = 0,
    CaseInsensitive = 2,
    Comments = 4,
    MultiLine = 8,
    DotAll = 32,
    UnicodeWordBoundaries = 256,
};

/// The part of the subject to search. A length of all ones means "to the end".
struct Range {
    std::uint64_t location = 0;
    std::uint64_t length = std::numeric_limits<std::uint64_t>::max();
};
inline constexpr Range kWholeText{};

/// An error record, filled when a pattern does not compile and the caller
/// passed one. Domain "PHICURegexErrorDomain", code the ICU status.
struct Error {
    QString domain;
    qint64 code = 0;
    QString localizedDescription;
    QString localizedFailureReason;
    QVariantMap userInfo;
};

// Keys of the detail record of raised errors and error records.
inline const QString kRegex = QStringLiteral("PHICURegexRegex");
inline const QString kRegexOptions = QStringLiteral("PHICURegexRegexOptions");
inline const QString kErrorCode = QStringLiteral("PHICURegexErrorCode");
inline const QString kErrorName = QStringLiteral("PHICURegexErrorName");
inline const QString kSubjectString = QStringLiteral("PHICURegexSubjectString");
inline const QString kSubjectRange = QStringLiteral("PHICURegexSubjectRange");
inline const QString kReplacementString = QStringLiteral("PHICURegexReplacementString");
inline const QString kReplacedString = QStringLiteral("PHICURegexReplacedString");
inline const QString kReplacedCount = QStringLiteral("PHICURegexReplacedCount");
inline const QString kLine = QStringLiteral("PHICURegexLine");
inline const QString kOffset = QStringLiteral("PHICURegexOffset");
inline const QString kPreContext = QStringLiteral("PHICURegexPreContext");
inline const QString kPostContext = QStringLiteral("PHICURegexPostContext");

/// True when `pattern` matches anywhere in `subject` (a search: anchor the
/// pattern to cover the whole text).
bool isMatchedByRegex(const QString &subject, const QString &pattern);
/// The same with options inside `range`. A pattern that does not compile gives
/// false and fills `error` when given; without `error` it raises
/// PHICURegexException.
bool isMatchedByRegexOptionsInRangeError(const QString &subject, const QString &pattern,
                                         std::uint32_t options, Range range, Error *error);

/// For the first match: the whole match then each group's text (a group that
/// took no part gives ""). No match gives an empty list.
QStringList captureComponentsMatchedByRegex(const QString &subject, const QString &pattern);
QStringList captureComponentsMatchedByRegexOptionsRangeError(const QString &subject, const QString &pattern,
                                                             std::uint32_t options, Range range,
                                                             Error *error);

/// Replaces every match, left to right without overlap, by `replacement` in
/// ICU's syntax ("$1" inserts group 1, "\" takes the next character literally).
/// Returns the number of replacements: 0 when nothing matched, -1 when the
/// pattern or the replacement failed (logged); in both cases `subject` is
/// unchanged.
qint64 replaceOccurrencesOfRegexWithString(QString &subject, const QString &pattern,
                                           const QString &replacement);

namespace Testing {
/// How many patterns the cache has compiled since the process started.
quint64 compileCount();
/// The cache set (0-12) that a pattern falls into with these options.
int cacheSetOf(const QString &pattern, std::uint32_t options);
} // namespace Testing

} // namespace PHRegex
