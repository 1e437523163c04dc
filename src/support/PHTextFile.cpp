#include "support/PHTextFile.h"

#include "support/PHFileName.h"
#include "support/PHWebTreeFile.h"
#include "support/PHWriteJournal.h"

#include <unicode/ucnv.h>
#include <unicode/ucsdet.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QStringDecoder>

namespace {

constexpr char kLatin1[] = "ISO-8859-1";

struct ConverterCloser {
    void operator()(UConverter *converter) const { ucnv_close(converter); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

struct DetectorCloser {
    void operator()(UCharsetDetector *detector) const { ucsdet_close(detector); }
};

Converter openStrict(const char *encoding) {
    UErrorCode status = U_ZERO_ERROR;
    Converter converter(ucnv_open(encoding, &status));
    if (U_FAILURE(status))
        return nullptr;
    ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    ucnv_setFromUCallBack(converter.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    if (U_FAILURE(status))
        return nullptr;
    return converter;
}

// Decodes with no substitution: any byte sequence that is not valid in the
// encoding makes the whole text undecodable rather than silently altered.
std::optional<QString> decodeStrict(const char *encoding, const char *data, qsizetype length) {
    if (length == 0)
        return QString();
    if (length > INT32_MAX / 2)
        return std::nullopt;
    Converter converter = openStrict(encoding);
    if (!converter)
        return std::nullopt;
    QString text(length + 1, Qt::Uninitialized);
    UErrorCode status = U_ZERO_ERROR;
    int32_t produced =
        ucnv_toUChars(converter.get(), reinterpret_cast<UChar *>(text.data()),
                      static_cast<int32_t>(text.size()), data, static_cast<int32_t>(length), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        text = QString(produced + 1, Qt::Uninitialized);
        status = U_ZERO_ERROR;
        ucnv_resetToUnicode(converter.get());
        produced =
            ucnv_toUChars(converter.get(), reinterpret_cast<UChar *>(text.data()),
                          static_cast<int32_t>(text.size()), data, static_cast<int32_t>(length), &status);
    }
    if (U_FAILURE(status))
        return std::nullopt;
    text.truncate(produced);
    return text;
}

bool startsWith(const QByteArray &bytes, const char *prefix) {
    return bytes.startsWith(QByteArray::fromRawData(prefix, static_cast<qsizetype>(std::strlen(prefix))));
}

// What the detector may name. Encodings that do not keep ASCII as ASCII
// (EBCDIC, the UTF-16/32 forms) would turn every directive into garbage, so
// they are believed only when the bytes themselves demand it (zero bytes).
bool acceptedGuess(const QByteArray &name, int confidence, bool hasZeroBytes) {
    if (name.startsWith("UTF-16") || name.startsWith("UTF-32"))
        return hasZeroBytes;
    if (hasZeroBytes || name.startsWith("IBM"))
        return false;
    if (name == "ISO-8859-1")
        return false; // the fallback anyway
    return confidence >= 50;
}

} // namespace

PHTextFile PHTextFile::decode(const QByteArray &bytes) {
    PHTextFile result;
    result.status = Status::Read;

    auto decoded = [&](const char *encoding, qsizetype skip, bool mark) {
        std::optional<QString> text = decodeStrict(encoding, bytes.constData() + skip, bytes.size() - skip);
        if (!text) {
            result.status = Status::Undecodable;
            result.error = QStringLiteral("the text is not valid %1").arg(QLatin1String(encoding));
            return result;
        }
        result.text = *text;
        result.encoding = encoding;
        result.byteOrderMark = mark;
        return result;
    };

    if (startsWith(bytes, "\xEF\xBB\xBF"))
        return decoded("UTF-8", 3, true);
    if (startsWith(bytes, "\xFF\xFE"))
        return decoded("UTF-16LE", 2, true);
    if (startsWith(bytes, "\xFE\xFF"))
        return decoded("UTF-16BE", 2, true);
    // Valid UTF-8 (plain ASCII included) is taken as such before any guessing:
    // the detector is unreliable on short, mostly-ASCII files. Zero bytes are
    // valid UTF-8 but no text file holds them: they mean UTF-16 or binary data.
    // Plain ASCII without zero bytes (nearly every access file) reads the same
    // in UTF-8 as byte for byte, without a converter.
    if (std::all_of(bytes.cbegin(), bytes.cend(),
                    [](char c) { return c != '\0' && static_cast<unsigned char>(c) < 0x80; })) {
        result.text = QString::fromLatin1(bytes);
        result.encoding = "UTF-8";
        return result;
    }
    const bool hasZeroBytes = bytes.contains('\0');
    if (!hasZeroBytes) {
        if (std::optional<QString> text = decodeStrict("UTF-8", bytes.constData(), bytes.size()); text) {
            result.text = *text;
            result.encoding = "UTF-8";
            return result;
        }
    }

    if (bytes.size() <= INT32_MAX) {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<UCharsetDetector, DetectorCloser> detector(ucsdet_open(&status));
        if (U_SUCCESS(status)) {
            ucsdet_setText(detector.get(), bytes.constData(), static_cast<int32_t>(bytes.size()), &status);
            const UCharsetMatch *match = ucsdet_detect(detector.get(), &status);
            if (U_SUCCESS(status) && match) {
                const QByteArray name = ucsdet_getName(match, &status);
                const int confidence = ucsdet_getConfidence(match, &status);
                if (U_SUCCESS(status) && acceptedGuess(name, confidence, hasZeroBytes)) {
                    if (std::optional<QString> text =
                            decodeStrict(name.constData(), bytes.constData(), bytes.size())) {
                        result.text = *text;
                        result.encoding = name;
                        return result;
                    }
                }
            }
        }
    }
    if (hasZeroBytes) {
        result.status = Status::Undecodable;
        result.error = QStringLiteral("the file holds binary data, not text");
        return result;
    }
    result.text = QString::fromLatin1(bytes);
    result.encoding = kLatin1;
    return result;
}

PHTextFile PHTextFile::read(const QString &path) {
    PHTextFile result;
    const QByteArray name = PHFileName::encode(path);
    auto failed = [&](Status status, int error) {
        result.status = status;
        result.error = QString::fromLocal8Bit(std::strerror(error));
        return result;
    };
    if (path.isEmpty())
        return failed(Status::Missing, ENOENT);
    // A dry run reads back what it would have written.
    bool removed = false;
    if (const std::optional<QByteArray> pending = PHWriteJournal::pendingBytes(path, &removed))
        return decode(*pending);
    if (removed)
        return failed(Status::Missing, ENOENT);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return failed(errno == ENOENT || errno == ENOTDIR ? Status::Missing : Status::Unreadable, errno);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = S_ISDIR(info.st_mode) ? EISDIR : (errno ? errno : EINVAL);
        ::close(fd);
        return failed(Status::Unreadable, error);
    }
    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            ::close(fd);
            return failed(Status::Unreadable, error);
        }
        if (got == 0)
            break;
        bytes.append(buffer, got);
    }
    ::close(fd);
    return decode(bytes);
}

PHTextFile PHTextFile::readBelow(const QString &root, const QString &path) {
    PHTextFile result;
    if (path.isEmpty()) {
        result.error = QString::fromLocal8Bit(std::strerror(ENOENT));
        return result;
    }
    // A dry run reads back what it would have written.
    bool removed = false;
    if (const std::optional<QByteArray> pending = PHWriteJournal::pendingBytes(path, &removed))
        return decode(*pending);
    if (removed) {
        result.error = QString::fromLocal8Bit(std::strerror(ENOENT));
        return result;
    }
    PHWebTreeFile::Bytes file = PHWebTreeFile::read(root, path);
    switch (file.status) {
    case PHWebTreeFile::Bytes::Status::Read:
        return decode(file.bytes);
    case PHWebTreeFile::Bytes::Status::Missing:
        result.status = Status::Missing;
        break;
    case PHWebTreeFile::Bytes::Status::Unreadable:
        result.status = Status::Unreadable;
        break;
    }
    result.error = file.error;
    return result;
}

std::optional<QByteArray> PHTextFile::encode(const QString &text, const QByteArray &encoding) {
    if (text.isEmpty())
        return QByteArray();
    if (text.size() > INT32_MAX / 4)
        return std::nullopt;
    Converter converter = openStrict(encoding.constData());
    if (!converter)
        return std::nullopt;
    const auto *source = reinterpret_cast<const UChar *>(text.utf16());
    const auto length = static_cast<int32_t>(text.size());
    UErrorCode status = U_ZERO_ERROR;
    const int32_t needed = ucnv_fromUChars(converter.get(), nullptr, 0, source, length, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return std::nullopt;
    QByteArray bytes(needed, Qt::Uninitialized);
    status = U_ZERO_ERROR;
    ucnv_resetFromUnicode(converter.get());
    ucnv_fromUChars(converter.get(), bytes.data(), needed, source, length, &status);
    if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING)
        return std::nullopt;
    return bytes;
}

// ---------------------------------------------------------------- reading in pieces

namespace {

constexpr qsizetype kPiece = 65536;

// Reads up to `wanted` bytes, retrying interrupted reads; -1 on failure.
qsizetype readSome(int fd, char *buffer, qsizetype wanted) {
    for (;;) {
        const ssize_t got = ::read(fd, buffer, static_cast<size_t>(wanted));
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

} // namespace

PHTextFile::Reader::Reader(const QString &path) {
    auto fail = [this](Status status, int error) {
        m_status = status;
        m_error = QString::fromLocal8Bit(std::strerror(error));
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    };
    if (path.isEmpty()) {
        fail(Status::Missing, ENOENT);
        return;
    }
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (m_fd < 0) {
        fail(errno == ENOENT || errno == ENOTDIR ? Status::Missing : Status::Unreadable, errno);
        return;
    }
    struct stat info {};
    if (::fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        fail(Status::Unreadable, S_ISDIR(info.st_mode) ? EISDIR : (errno ? errno : EINVAL));
        return;
    }

    // The beginning decides the encoding; up to one piece of it.
    m_pending.resize(kPiece);
    qsizetype filled = 0;
    while (filled < kPiece) {
        const qsizetype got = readSome(m_fd, m_pending.data() + filled, kPiece - filled);
        if (got < 0) {
            fail(Status::Unreadable, errno);
            return;
        }
        if (got == 0) {
            m_atEnd = true;
            break;
        }
        filled += got;
    }
    m_pending.truncate(filled);

    qsizetype skip = 0;
    if (m_atEnd) {
        // The whole file is here: decide exactly as a whole read would.
        const PHTextFile whole = decode(m_pending);
        if (!whole.ok()) {
            m_status = whole.status;
            m_error = whole.error;
            return;
        }
        m_encoding = whole.encoding;
        skip = whole.byteOrderMark ? (m_encoding == "UTF-8" ? 3 : 2) : 0;
    } else if (startsWith(m_pending, "\xEF\xBB\xBF")) {
        m_encoding = "UTF-8";
        skip = 3;
    } else if (startsWith(m_pending, "\xFF\xFE")) {
        m_encoding = "UTF-16LE";
        skip = 2;
    } else if (startsWith(m_pending, "\xFE\xFF")) {
        m_encoding = "UTF-16BE";
        skip = 2;
    } else {
        // Complete lines only, so a character cut at the end does not count
        // against an encoding.
        const qsizetype lastBreak = m_pending.lastIndexOf('\n');
        const QByteArray head = lastBreak > 0 ? m_pending.left(lastBreak + 1) : m_pending;
        const PHTextFile guess = decode(head);
        if (!guess.ok() || head.contains('\0')) {
            m_status = Status::Undecodable;
            m_error = guess.ok() ? QStringLiteral("the beginning of the file does not settle its encoding")
                                 : guess.error;
            return;
        }
        m_encoding = guess.encoding;
    }
    m_pending.remove(0, skip);

    UErrorCode status = U_ZERO_ERROR;
    UConverter *converter = ucnv_open(m_encoding.constData(), &status);
    if (U_FAILURE(status)) {
        m_status = Status::Undecodable;
        m_error = QStringLiteral("the encoding %1 is not available").arg(QLatin1String(m_encoding));
        return;
    }
    m_converter = converter;
    if (m_encoding == "UTF-8")
        m_utf8 = std::make_unique<QStringDecoder>(QStringDecoder::Utf8);
    m_status = Status::Read;
}

PHTextFile::Reader::~Reader() {
    if (m_converter)
        ucnv_close(static_cast<UConverter *>(m_converter));
    if (m_fd >= 0)
        ::close(m_fd);
}

bool PHTextFile::Reader::readInto(QString &text) {
    if (m_status != Status::Read)
        return false;
    QByteArray bytes;
    if (!m_pending.isEmpty()) {
        bytes = std::exchange(m_pending, QByteArray());
    } else if (!m_atEnd) {
        bytes.resize(kPiece);
        const qsizetype got = readSome(m_fd, bytes.data(), kPiece);
        if (got < 0) {
            m_status = Status::Unreadable;
            m_error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        bytes.truncate(got);
        m_atEnd = got == 0;
    } else {
        return false;
    }
    // Room for any converter: at most two UTF-16 units a byte, plus a flush.
    const qsizetype start = text.size();
    if (m_utf8) {
        // Qt's decoder is the faster for UTF-8; it too substitutes U+FFFD.
        text += m_utf8->decode(bytes);
        return !bytes.isEmpty() || !m_atEnd ? true : text.size() > start;
    }
    text.resize(start + 2 * bytes.size() + 8);
    auto *target = reinterpret_cast<UChar *>(text.data() + start);
    UChar *const targetLimit = reinterpret_cast<UChar *>(text.data() + text.size());
    const char *source = bytes.constData();
    UErrorCode status = U_ZERO_ERROR;
    ucnv_toUnicode(static_cast<UConverter *>(m_converter), &target, targetLimit, &source,
                   bytes.constData() + bytes.size(), nullptr, m_atEnd, &status);
    text.truncate(target - reinterpret_cast<UChar *>(text.data()));
    if (U_FAILURE(status)) {
        m_status = Status::Undecodable;
        m_error = QStringLiteral("the text could not be decoded from %1").arg(QLatin1String(m_encoding));
        return false;
    }
    return !bytes.isEmpty() || !m_atEnd ? true : text.size() > start;
}
