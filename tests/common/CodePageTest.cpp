#include "common/CodePage.h"

#include <gtest/gtest.h>

TEST(CodePage, TextAndInvalidBytesRoundTrip)
{
    for (const char* utf8 : {"写真/フォルダー 2026", "\xf0\x9f\x93\xb7 photo"}) {
        EXPECT_EQ(ToCodePage(QString::fromUtf8(utf8)), QByteArray(utf8)) << utf8;
        EXPECT_EQ(FromCodePage(utf8), QString::fromUtf8(utf8)) << utf8;
    }
    // Bytes that are not UTF-8 (an encoded lone surrogate among them) come back byte for byte.
    for (const QByteArray& raw : {QByteArray("bad\xff\xfe name \xc3(\xe2\x82", 16), QByteArray("\xed\xb2\x80", 3)})
        EXPECT_EQ(ToCodePage(FromCodePage(raw)), raw) << raw.toHex().constData();
    EXPECT_NE(FromCodePage(QByteArray("\xff", 1)), FromCodePage(QByteArray("\xfe", 1)));
}
