#include "common/PathText.h"

#include <gtest/gtest.h>

TEST(AddPathSeparator, TrimsTrailingBlanksAndEndsInOneSeparator)
{
    EXPECT_EQ(AddPathSeparator("/home/a "), "/home/a/");
    EXPECT_EQ(AddPathSeparator("/home/a"), "/home/a/");
    EXPECT_EQ(AddPathSeparator("/home/a/"), "/home/a/");
    EXPECT_EQ(AddPathSeparator("/home/a/  "), "/home/a/");
    EXPECT_EQ(AddPathSeparator("/"), "/");
    EXPECT_EQ(AddPathSeparator(""), "/");
    EXPECT_EQ(AddPathSeparator("   "), "/");
    // Only spaces are blanks; a tab stays part of the name.
    EXPECT_EQ(AddPathSeparator("/a\t"), "/a\t/");
    // A doubled separator is not collapsed.
    EXPECT_EQ(AddPathSeparator("/a//"), "/a//");
}

TEST(TrimAtNull, CutsAtTheFirstNul)
{
    EXPECT_EQ(TrimAtNull(QString::fromUtf16(u"abc\0def", 7)), "abc");
    EXPECT_EQ(TrimAtNull(QString::fromUtf16(u"\0x", 2)), "");
    EXPECT_EQ(TrimAtNull("whole"), "whole");
    EXPECT_EQ(TrimAtNull(""), "");
}

TEST(FileNameOfPath, TakesTheTextAfterTheLastSeparator)
{
    EXPECT_EQ(FileNameOfPath("/opt/velmora/Plugin/ifheif.spi"), "ifheif.spi");
    EXPECT_EQ(FileNameOfPath("/opt/velmora/Plugin/"), "");
    EXPECT_EQ(FileNameOfPath("noslash.spi"), "");
}
