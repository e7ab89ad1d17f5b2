#include "common/CodePage.h"

#include <gtest/gtest.h>

TEST(CodePage, Utf8TextRoundTrips)
{
    const QString text = QString::fromUtf8("写真/フォルダー 2026");
    EXPECT_EQ(FromCodePage(ToCodePage(text)), text);
    EXPECT_EQ(ToCodePage(text), QByteArray("写真/フォルダー 2026"));
}

TEST(CodePage, InvalidBytesComeBackUnchanged)
{
    const QByteArray raw("bad\xff\xfe name \xc3(\xe2\x82", 16);
    const QString decoded = FromCodePage(raw);
    EXPECT_EQ(ToCodePage(decoded), raw);
    // Distinct invalid names stay distinct.
    EXPECT_NE(FromCodePage(QByteArray("\xff", 1)), FromCodePage(QByteArray("\xfe", 1)));
}

TEST(CodePage, EncodedSurrogatesAndAstralCharactersAreNotMistaken)
{
    // An encoded lone surrogate (ED B2 80) is not valid UTF-8 and must survive byte for byte.
    const QByteArray raw("\xed\xb2\x80", 3);
    EXPECT_EQ(ToCodePage(FromCodePage(raw)), raw);
    const QString astral = QString::fromUtf8("\xf0\x9f\x93\xb7 photo");
    EXPECT_EQ(FromCodePage(ToCodePage(astral)), astral);
}
