#include "support/PHRegex.h"

#include "core/Log.h"
#include "core/PHException.h"

#include <unicode/uregex.h>
#include <unicode/utypes.h>

#include <atomic>
#include <thread>

namespace PHRegex {
namespace {

constexpr int kSets = 13;
constexpr int kWays = 4;
constexpr int kSideEntries = 64;
constexpr qint64 kMaxLength = 2147483646;

const QString kSubjectType = QStringLiteral("QString");

/// One compiled pattern and what it was last applied to.
struct Line {
    QString pattern; ///< our copy; shares the caller's data when that data is reference counted
    quint32 hash = 0;
    std::uint32_t options = 0;
    URegularExpression *regex = nullptr;
    int32_t groups = 0;
    QString subject; ///< keeps the text ICU points into alive

    void clear() {
        if (regex)
            uregex_close(regex);
        regex = nullptr;
        pattern = QString();
        subject = QString();
        hash = 0;
        options = 0;
        groups = 0;
    }
};

struct Cache {
    Line lines[kSets][kWays];
    quint16 recency[kSets] = {};
    Line *side[kSideEntries] = {};
    Line *lastUsed = nullptr;
    quint64 compiles = 0;
};

Cache &cache() {
    static Cache instance;
    return instance;
}

std::atomic_flag g_lock = ATOMIC_FLAG_INIT;

/// The one process-wide lock, held from the cache lookup to the end of the match.
class SpinLocker {
public:
    SpinLocker() {
        while (g_lock.test_and_set(std::memory_order_acquire))
            std::this_thread::yield();
    }
    ~SpinLocker() { g_lock.clear(std::memory_order_release); }
    SpinLocker(const SpinLocker &) = delete;
    SpinLocker &operator=(const SpinLocker &) = delete;
};

quint32 hashOf(const QString &text) {
    quint32 hash = 2166136261u; // FNV-1a over the UTF-16 units
    for (const QChar c : text) {
        hash ^= c.unicode();
        hash *= 16777619u;
    }
    return hash;
}

int setOf(quint32 hash, std::uint32_t options) {
    return static_cast<int>((hash ^ options) % kSets);
}

int sideIndexOf(const QString &pattern, std::uint32_t options) {
    const auto address = reinterpret_cast<quintptr>(pattern.constData());
    return static_cast<int>(((options >> 4) + options + (address >> 4)) % kSideEntries);
}

// The same object: our copy shares the caller's data. A copy that shares data
// keeps it alive, so an equal address can never be a different, later text.
bool sameObject(const Line &line, const QString &pattern) {
    return line.pattern.constData() == pattern.constData() && line.pattern.size() == pattern.size();
}

bool samePattern(const Line &line, const QString &pattern, std::uint32_t options) {
    return line.regex && line.options == options && (sameObject(line, pattern) || line.pattern == pattern);
}

// Row w of the 4 x 4 matrix is the 4-bit group at bit 4w; using way w fills its
// row and clears column 3 - w everywhere; the row left all zeros is the least
// recently used way.
void markUsed(quint16 &matrix, int way) {
    matrix |= static_cast<quint16>(0xF << (4 * way));
    for (int row = 0; row < kWays; ++row)
        matrix &= static_cast<quint16>(~(1u << (4 * row + (3 - way))));
}

int leastRecentlyUsed(quint16 matrix) {
    for (int way = 0; way < kWays; ++way)
        if (((matrix >> (4 * way)) & 0xF) == 0)
            return way;
    return 0;
}

QString privateCopy(const QString &pattern) {
    // Data that is not reference counted (literals, raw data) may not outlive
    // the caller; copy it so the cache never points into someone else's buffer.
    if (!pattern.data_ptr().isMutable())
        return QString(pattern.constData(), pattern.size());
    return pattern;
}

struct CompileFailure {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parse{};
};

Line *remember(Cache &c, Line *line, int set, int way, const QString &pattern, std::uint32_t options) {
    c.lastUsed = line;
    c.side[sideIndexOf(pattern, options)] = line;
    markUsed(c.recency[set], way);
    return line;
}

Line *lookup(const QString &pattern, std::uint32_t options, CompileFailure *failure) {
    Cache &c = cache();
    if (c.lastUsed && c.lastUsed->regex && c.lastUsed->options == options && sameObject(*c.lastUsed, pattern))
        return c.lastUsed;

    const int sideIndex = sideIndexOf(pattern, options);
    if (Line *line = c.side[sideIndex]; line && samePattern(*line, pattern, options)) {
        const auto offset = line - &c.lines[0][0];
        return remember(c, line, static_cast<int>(offset / kWays), static_cast<int>(offset % kWays), pattern,
                        options);
    }

    const quint32 hash = hashOf(pattern);
    const int set = setOf(hash, options);
    for (int way = 0; way < kWays; ++way) {
        Line &line = c.lines[set][way];
        if (line.hash == hash && samePattern(line, pattern, options))
            return remember(c, &line, set, way, pattern, options);
    }

    const int way = leastRecentlyUsed(c.recency[set]);
    Line &line = c.lines[set][way];
    if (c.lastUsed == &line)
        c.lastUsed = nullptr;
    line.clear();
    line.pattern = privateCopy(pattern);
    line.hash = hash;
    line.options = options;
    ++c.compiles;
    line.regex =
        uregex_open(reinterpret_cast<const UChar *>(line.pattern.utf16()),
                    static_cast<int32_t>(line.pattern.size()), options, &failure->parse, &failure->status);
    if (U_SUCCESS(failure->status))
        line.groups = uregex_groupCount(line.regex, &failure->status);
    if (U_FAILURE(failure->status)) {
        line.clear();
        return nullptr;
    }
    return remember(c, &line, set, way, pattern, options);
}

QVariantMap rangeRecord(Range range) {
    return {{QStringLiteral("location"), QVariant::fromValue(range.location)},
            {QStringLiteral("length"), QVariant::fromValue(range.length)}};
}

/// What an operation was asked, for the detail record of its failures.
struct Call {
    const char *operation;
    const QString &subject;
    const QString &pattern;
    std::uint32_t options;
    Range range;

    QString reason(const QString &message) const {
        return QStringLiteral("*** %1[%2 %3]: %4")
            .arg(QChar(u'-'), kSubjectType, QLatin1String(operation), message);
    }
    QVariantMap details() const {
        return {{kRegex, pattern},
                {kRegexOptions, QVariant::fromValue(options)},
                {kSubjectString, subject},
                {kSubjectRange, rangeRecord(range)}};
    }
    [[noreturn]] void raise(const char *name, const QString &message, const QVariantMap &extra = {}) const {
        QVariantMap info = details();
        info.insert(extra);
        throw PHException(QLatin1String(name), reason(message), info);
    }
    [[noreturn]] void raiseICU(UErrorCode status) const {
        raise("PHICURegexException",
              QStringLiteral("ICU regular expression error #%1, %2.")
                  .arg(status)
                  .arg(QLatin1String(u_errorName(status))),
              {{kErrorCode, static_cast<int>(status)}, {kErrorName, QLatin1String(u_errorName(status))}});
    }
};

QString uchars(const UChar *text) {
    return QString::fromUtf16(reinterpret_cast<const char16_t *>(text));
}

Error compileError(const Call &call, const CompileFailure &failure) {
    Error error;
    error.domain = QStringLiteral("PHICURegexErrorDomain");
    error.code = failure.status;
    error.localizedDescription = QStringLiteral("There was an error compiling the regular expression.");
    const QString name = QLatin1String(u_errorName(failure.status));
    // ICU counts lines from 1; line 0 (what the record was set to) means it gave no position.
    if (failure.parse.offset >= 0 && failure.parse.line > 0)
        error.localizedFailureReason =
            QStringLiteral("The error %1 occurred at line %2, column %3: %4<<HERE>>%5")
                .arg(name)
                .arg(failure.parse.line)
                .arg(failure.parse.offset)
                .arg(uchars(failure.parse.preContext), uchars(failure.parse.postContext));
    else
        error.localizedFailureReason = QStringLiteral("The error %1 occurred.").arg(name);
    error.userInfo = call.details();
    error.userInfo.insert(kErrorCode, static_cast<int>(failure.status));
    error.userInfo.insert(kErrorName, name);
    error.userInfo.insert(kLine, failure.parse.line);
    error.userInfo.insert(kOffset, failure.parse.offset);
    error.userInfo.insert(kPreContext, uchars(failure.parse.preContext));
    error.userInfo.insert(kPostContext, uchars(failure.parse.postContext));
    return error;
}

/// Checks the arguments, finds the compiled pattern and points it at the
/// subject's range. Null when the pattern does not compile and `error` took
/// the record. Call with the lock held.
URegularExpression *prepare(const Call &call, Error *error, Line **found = nullptr) {
    if (call.pattern.isNull())
        call.raise("NSInvalidArgumentException", QStringLiteral("The regular expression argument is NULL."));
    if (call.subject.isNull())
        call.raise("NSInvalidArgumentException", QStringLiteral("The match string argument is NULL."));
    if (call.subject.size() > kMaxLength)
        call.raise("NSRangeException", QStringLiteral("String length exceeds INT_MAX."));
    if (call.pattern.size() > kMaxLength)
        call.raise("NSRangeException", QStringLiteral("Regex string length exceeds INT_MAX"));
    const auto length = static_cast<std::uint64_t>(call.subject.size());
    const bool toEnd = call.range.length == std::numeric_limits<std::uint64_t>::max();
    if (call.range.location > length || (!toEnd && call.range.length > length - call.range.location))
        call.raise("NSRangeException", QStringLiteral("Range or index out of bounds."));
    const std::uint64_t limit = toEnd ? length : call.range.location + call.range.length;

    CompileFailure failure;
    Line *line = lookup(call.pattern, call.options, &failure);
    if (!line) {
        const Error record = compileError(call, failure);
        if (!error)
            throw PHException(QStringLiteral("PHICURegexException"),
                              call.reason(record.localizedFailureReason), record.userInfo);
        *error = record;
        return nullptr;
    }
    line->subject = call.subject;
    UErrorCode status = U_ZERO_ERROR;
    uregex_setText(line->regex, reinterpret_cast<const UChar *>(line->subject.utf16()),
                   static_cast<int32_t>(line->subject.size()), &status);
    uregex_setRegion64(line->regex, static_cast<int64_t>(call.range.location), static_cast<int64_t>(limit),
                       &status);
    if (U_FAILURE(status))
        call.raiseICU(status);
    if (found)
        *found = line;
    return line->regex;
}

} // namespace

bool isMatchedByRegex(const QString &subject, const QString &pattern) {
    return isMatchedByRegexOptionsInRangeError(subject, pattern, NoOptions, kWholeText, nullptr);
}

bool isMatchedByRegexOptionsInRangeError(const QString &subject, const QString &pattern,
                                         std::uint32_t options, Range range, Error *error) {
    const Call call{"isMatchedByRegex:options:inRange:error:", subject, pattern, options, range};
    SpinLocker locker;
    URegularExpression *regex = prepare(call, error);
    if (!regex)
        return false;
    UErrorCode status = U_ZERO_ERROR;
    const bool matched = uregex_findNext(regex, &status);
    if (U_FAILURE(status))
        call.raiseICU(status);
    return matched;
}

QStringList captureComponentsMatchedByRegex(const QString &subject, const QString &pattern) {
    return captureComponentsMatchedByRegexOptionsRangeError(subject, pattern, NoOptions, kWholeText, nullptr);
}

QStringList captureComponentsMatchedByRegexOptionsRangeError(const QString &subject, const QString &pattern,
                                                             std::uint32_t options, Range range,
                                                             Error *error) {
    const Call call{"captureComponentsMatchedByRegex:options:range:error:", subject, pattern, options, range};
    SpinLocker locker;
    Line *line = nullptr;
    URegularExpression *regex = prepare(call, error, &line);
    if (!regex)
        return {};
    UErrorCode status = U_ZERO_ERROR;
    const bool matched = uregex_findNext(regex, &status);
    if (U_FAILURE(status))
        call.raiseICU(status);
    if (!matched)
        return {};
    QStringList components;
    for (int32_t group = 0; group <= line->groups; ++group) {
        const int32_t start = uregex_start(regex, group, &status);
        const int32_t end = uregex_end(regex, group, &status);
        if (U_FAILURE(status))
            call.raiseICU(status);
        components.append(start < 0 ? QString(u""_qs) : subject.mid(start, end - start));
    }
    return components;
}

qint64 replaceOccurrencesOfRegexWithString(QString &subject, const QString &pattern,
                                           const QString &replacement) {
    const Call call{"replaceOccurrencesOfRegex:withString:", subject, pattern, NoOptions, kWholeText};
    auto failed = [](UErrorCode status) {
        Log::write(QStringLiteral("ICU regular expression error #%1, %2.")
                       .arg(status)
                       .arg(QLatin1String(u_errorName(status))));
        return qint64(-1);
    };
    if (!pattern.isNull() && !subject.isNull() && replacement.isNull())
        call.raise("NSInvalidArgumentException", QStringLiteral("The replacement string argument is NULL."));
    QString replaced;
    {
        SpinLocker locker;
        Error error;
        URegularExpression *regex = prepare(call, &error);
        if (!regex)
            return failed(static_cast<UErrorCode>(error.code));
        UErrorCode status = U_ZERO_ERROR;
        qint64 count = 0;
        while (uregex_findNext(regex, &status))
            ++count;
        if (U_FAILURE(status))
            return failed(status);
        if (count == 0)
            return 0;
        const auto *text = reinterpret_cast<const UChar *>(replacement.utf16());
        const auto textLength = static_cast<int32_t>(replacement.size());
        const int32_t needed = uregex_replaceAll(regex, text, textLength, nullptr, 0, &status);
        if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
            return failed(status);
        replaced = QString(needed, Qt::Uninitialized);
        status = U_ZERO_ERROR;
        uregex_replaceAll(regex, text, textLength, reinterpret_cast<UChar *>(replaced.data()), needed,
                          &status);
        if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING)
            return failed(status);
        subject = replaced;
        return count;
    }
}

namespace Testing {

quint64 compileCount() {
    SpinLocker locker;
    return cache().compiles;
}

int cacheSetOf(const QString &pattern, std::uint32_t options) {
    return setOf(hashOf(pattern), options);
}

} // namespace Testing

} // namespace PHRegex
