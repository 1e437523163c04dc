#include "support/PHTextFile.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kSample =
    QStringLiteral("AuthName \"Zugang f\u00fcr Caf\u00e9 \u00e0 la carte\"\nRequire valid-user\n");

QString save(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes) {
    QFile file(dir.filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return file.fileName();
}

QByteArray utf16(const QString &text, bool bigEndian) {
    QByteArray bytes;
    for (QChar c : text) {
        const char high = static_cast<char>(c.unicode() >> 8), low = static_cast<char>(c.unicode() & 0xff);
        bytes.append(bigEndian ? high : low).append(bigEndian ? low : high);
    }
    return bytes;
}

TEST(TextFile, EveryAcceptedEncodingReadsTheSameText) {
    QTemporaryDir dir;
    struct Case {
        const char *name;
        QByteArray bytes;
        QByteArray encoding;
        bool mark;
    };
    const Case cases[] = {
        {"utf8", kSample.toUtf8(), "UTF-8", false},
        {"utf8-bom", "\xEF\xBB\xBF" + kSample.toUtf8(), "UTF-8", true},
        {"utf16le", "\xFF\xFE" + utf16(kSample, false), "UTF-16LE", true},
        {"utf16be", "\xFE\xFF" + utf16(kSample, true), "UTF-16BE", true},
        {"latin1", kSample.toLatin1(), "ISO-8859-1", false},
        {"ascii", QByteArray("Order deny,allow\n"), "UTF-8", false},
    };
    for (const Case &c : cases) {
        const PHTextFile file = PHTextFile::read(save(dir, c.name, c.bytes));
        ASSERT_EQ(file.status, PHTextFile::Status::Read) << c.name << ": " << file.error.toStdString();
        EXPECT_EQ(file.text, c.name == std::string("ascii") ? QString("Order deny,allow\n") : kSample)
            << c.name;
        EXPECT_EQ(file.encoding, c.encoding) << c.name;
        EXPECT_EQ(file.byteOrderMark, c.mark) << c.name;
        // What the writer re-encodes in the detected encoding reads back the same.
        const std::optional<QByteArray> again = PHTextFile::encode(file.text, file.encoding);
        ASSERT_TRUE(again) << c.name;
        EXPECT_EQ(*again, c.mark ? c.bytes.mid(c.encoding == "UTF-8" ? 3 : 2) : c.bytes) << c.name;
    }
    // A short Latin-1 text with a single accented letter is still Latin-1.
    EXPECT_EQ(PHTextFile::decode("# Caf\xE9\n").text, QString("# Caf\u00e9\n"));
    EXPECT_EQ(PHTextFile::decode(QByteArray()).status, PHTextFile::Status::Read);
    // UTF-16 without a mark is recognised by its zero bytes.
    const PHTextFile unmarked =
        PHTextFile::decode(utf16(QStringLiteral("Options +Indexes\nAllowOverride All\n"), false));
    EXPECT_EQ(unmarked.encoding, "UTF-16LE");
    EXPECT_EQ(unmarked.text, QStringLiteral("Options +Indexes\nAllowOverride All\n"));
}

TEST(TextFile, MissingUnreadableAndUndecodableAreTold) {
    QTemporaryDir dir;
    EXPECT_EQ(PHTextFile::read(dir.filePath("absent")).status, PHTextFile::Status::Missing);
    EXPECT_EQ(PHTextFile::read(dir.filePath("absent/below")).status, PHTextFile::Status::Missing);
    EXPECT_EQ(PHTextFile::read(QString()).status, PHTextFile::Status::Missing);
    EXPECT_EQ(PHTextFile::read(dir.path()).status, PHTextFile::Status::Unreadable);
    if (::geteuid() != 0) {
        const QString locked = save(dir, "locked", "secret");
        ::chmod(QFile::encodeName(locked).constData(), 0);
        EXPECT_EQ(PHTextFile::read(locked).status, PHTextFile::Status::Unreadable);
    }
    // Binary data, a UTF-16 text cut in the middle of a unit, and a false
    // UTF-8 mark are not text: a reader must not guess and rewrite them.
    const QByteArray binary("\x7F"
                            "ELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x03\x00>\x00",
                            20);
    EXPECT_EQ(PHTextFile::decode(binary).status, PHTextFile::Status::Undecodable);
    EXPECT_EQ(PHTextFile::decode("\xFF\xFE"
                                 "A\x00"
                                 "B")
                  .status,
              PHTextFile::Status::Undecodable);
    EXPECT_EQ(PHTextFile::decode("\xEF\xBB\xBF"
                                 "caf\xE9")
                  .status,
              PHTextFile::Status::Undecodable);
}

TEST(TextFile, EncodingRefusesWhatTheTargetCannotHold) {
    EXPECT_EQ(PHTextFile::encode(QString("caf\u00e9"), "ISO-8859-1"), QByteArray("caf\xE9"));
    EXPECT_FALSE(PHTextFile::encode(QString("\u20ac"), "ISO-8859-1"));
    EXPECT_FALSE(PHTextFile::encode(QString("x"), "no-such-encoding"));
    EXPECT_EQ(PHTextFile::encode(QString("A"), "UTF-16BE"), QByteArray("\x00"
                                                                       "A",
                                                                       2));
}

} // namespace
