#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

class QStringDecoder;

/// A text file read whole with its encoding detected: UTF-8 with or without a
/// byte-order mark, UTF-16 (little or big endian) with a mark, other encodings
/// that the detector names with confidence, and Latin-1 for any other 8-bit
/// text.
struct PHTextFile {
    enum class Status {
        Read,        ///< `text` holds the contents
        Missing,     ///< nothing at the path (or a folder of it is missing)
        Unreadable,  ///< it exists but cannot be opened or read (permissions, a folder, I/O error)
        Undecodable, ///< read, but not text in any encoding we accept (binary data, broken UTF-16)
    };

    Status status = Status::Missing;
    QString text;
    /// The encoding's ICU name ("UTF-8", "UTF-16LE", "UTF-16BE", "ISO-8859-1",
    /// "windows-1252", ...); empty unless `status` is Read.
    QByteArray encoding;
    /// Whether the bytes began with a byte-order mark (which `text` does not hold).
    bool byteOrderMark = false;
    /// Why the file could not be read or decoded, for logs.
    QString error;

    bool ok() const { return status == Status::Read; }

    /// Reads and decodes the file at `path` (symbolic links followed).
    static PHTextFile read(const QString &path);
    /// Reads and decodes the file at `path` below the web root `root` as
    /// PHWebTreeFile reads it: no link followed on the way or at the file
    /// (a link is Unreadable, saying so), nothing larger than its limit.
    static PHTextFile readBelow(const QString &root, const QString &path);
    /// Decodes bytes already in memory; never Missing or Unreadable.
    static PHTextFile decode(const QByteArray &bytes);
    /// The text in the named encoding, without a byte-order mark; absent when a
    /// character cannot be represented in it or the encoding is unknown.
    static std::optional<QByteArray> encode(const QString &text, const QByteArray &encoding);

    class Reader;
};

/// A text file read piece by piece, for files too large to hold whole. The
/// encoding is detected from the file's beginning as `read` would from the
/// whole file; a later byte sequence that is not valid in it becomes U+FFFD
/// instead of failing the file. A file whose beginning does not settle the
/// encoding (binary data, or text the detector cannot name from its first
/// part) is Undecodable here; `read` may still decode it whole.
class PHTextFile::Reader {
public:
    explicit Reader(const QString &path);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    /// Read when the file opened and its encoding is known.
    Status status() const { return m_status; }
    QByteArray encoding() const { return m_encoding; }
    QString error() const { return m_error; }

    /// Appends the next decoded piece (at most about 64 KiB of the file) to
    /// `text`. False once the file is exhausted or a read failed (then
    /// `status()` is Unreadable and `error()` says why).
    bool readInto(QString &text);

private:
    int m_fd = -1;
    Status m_status = Status::Missing;
    QByteArray m_encoding;
    QString m_error;
    QByteArray m_pending; ///< bytes read while detecting, not yet decoded
    void *m_converter = nullptr;
    std::unique_ptr<QStringDecoder> m_utf8;
    bool m_atEnd = false;
};
