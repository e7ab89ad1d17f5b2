#include <gtest/gtest.h>

#include <QString>

#include "common/NameMatch.h"

TEST(NameMatch, TextAndBytesFoldAlikeBeyondTheBasicPlane)
{
    // DESERET SMALL LETTER LONG I (U+10428, a surrogate pair in UTF-16)
    // upper-cases to U+10400; an unpaired surrogate stands for itself.
    const QString text = QString::fromUtf8("a\xF0\x90\x90\xA8.jpg");
    EXPECT_EQ(FoldName(QStringView(text)), std::u32string(U"A\U00010400.JPG"));
    EXPECT_EQ(FoldName(QStringView(text)), FoldName(std::string_view("a\xF0\x90\x90\xA8.jpg")));
    const QString lone = QString(QChar(0xD801)) + QStringLiteral("x");
    EXPECT_EQ(FoldName(QStringView(lone)), (std::u32string{char32_t(0xD801), U'X'}));
    // A pattern with such a letter matches the name in either case.
    EXPECT_TRUE(WildcardMatch(FoldName(QStringView(QString::fromUtf8("*\xF0\x90\x90\x80*"))),
                              FoldName(std::string_view("x\xF0\x90\x90\xA8y.png"))));
}
