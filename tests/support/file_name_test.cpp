#include "support/PHFileName.h"

#include <gtest/gtest.h>

namespace {

TEST(FileName, DecodesUtf8OfEveryLengthAsQtDoesAndKeepsOtherBytes) {
    // One, two, three and four bytes a character (the last outside the
    // basic plane, so two UTF-16 units).
    const QByteArray valid("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\x81z");
    EXPECT_EQ(PHFileName::decode(valid), QString::fromUtf8(valid));
    EXPECT_EQ(PHFileName::decode(valid).size(), 6);
    EXPECT_EQ(PHFileName::encode(PHFileName::decode(valid)), valid);

    // A stray byte, a cut sequence, an encoded surrogate: each byte kept.
    for (const QByteArray &odd :
         {QByteArray("caf\xe9"), QByteArray("x\xf0\x9f\x93"), QByteArray("\xed\xa0\x80")}) {
        const QString text = PHFileName::decode(odd);
        EXPECT_EQ(PHFileName::encode(text), odd) << odd.toHex().constData();
        EXPECT_TRUE(PHFileName::readable(text).contains(QChar::ReplacementCharacter));
    }
}

} // namespace
