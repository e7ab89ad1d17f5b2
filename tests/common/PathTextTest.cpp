#include "common/PathText.h"

#include <gtest/gtest.h>

TEST(PathText, SeparatorNulAndFileName)
{
    // Only spaces are blanks (a tab stays part of the name); a doubled separator is kept.
    const struct { QString in, separated; } rows[] = {
        {"/home/a ", "/home/a/"}, {"/home/a", "/home/a/"}, {"/home/a/", "/home/a/"}, {"/home/a/  ", "/home/a/"},
        {"/", "/"}, {"", "/"}, {"   ", "/"}, {"/a\t", "/a\t/"}, {"/a//", "/a//"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(AddPathSeparator(r.in), r.separated) << r.in.toStdString();
    EXPECT_EQ(TrimAtNull(QString::fromUtf16(u"abc\0def", 7)), "abc");
    EXPECT_EQ(TrimAtNull(QString::fromUtf16(u"\0x", 2)), "");
    EXPECT_EQ(TrimAtNull("whole"), "whole");
    EXPECT_EQ(FileNameOfPath("/opt/velmora/Plugin/ifheif.spi"), "ifheif.spi");
    EXPECT_EQ(FileNameOfPath("/opt/velmora/Plugin/"), "");
    EXPECT_EQ(FileNameOfPath("noslash.spi"), "");
}
