#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

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
    /// Decodes bytes already in memory; never Missing or Unreadable.
    static PHTextFile decode(const QByteArray &bytes);
    /// The text in the named encoding, without a byte-order mark; absent when a
    /// character cannot be represented in it or the encoding is unknown.
    static std::optional<QByteArray> encode(const QString &text, const QByteArray &encoding);
};
