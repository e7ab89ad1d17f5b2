#include "slideshow/FileList.h"

#include "common/CodePage.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {
const QString kBuiltInPattern = "*.jpeg;*.jpg;*.bmp;*.dib;*.ico;*.rle;*.gif;*.wmf;*.emf;*.png;*.cur";

QStringList Names(const FileListBox& list)
{
    QStringList names;
    for (int i = 0; i < list.ListCount(); ++i)
        names << list.List(i);
    return names;
}
} // namespace

TEST(FileListBox, ListsMatchingFilesCaseInsensitivelySortedAndPluginPatternsWidenIt)
{
    TempTree tree;
    for (const char* name : {"b.jpg", "IMG_0001.JPG", "a.Png", "notes.txt", "A.png", "c.jpeg.bak",
                             ".hidden.gif", "noext", "x.heic", "a_1.jpg", "ab.jpg"})
        tree.WriteFile(name, "x");
    tree.MakeDir("folder.jpg");

    FileListBox list;
    list.SetPath(tree.Path());
    list.SetPattern(kBuiltInPattern); // after the path: the list follows
    // Case-insensitive order by upper-cased letters ("_" after "B"); "A.png"
    // and "a.Png" tie and the exact name decides.
    const QStringList builtIn{".hidden.gif", "A.png", "a.Png", "ab.jpg", "a_1.jpg", "b.jpg", "IMG_0001.JPG"};
    EXPECT_EQ(Names(list), builtIn);
    EXPECT_EQ(list.List(7), "");
    EXPECT_EQ(list.List(-1), "");
    list.SetPattern("*.heic;*.heif;" + kBuiltInPattern);
    EXPECT_EQ(Names(list), QStringList(builtIn) << "x.heic");
}

TEST(FileListBox, MissingFolderListsNothingAndOddNamesSurvive)
{
    TempTree tree;
    FileListBox list;
    list.SetPattern("*");
    list.SetPath(tree.Path() + "/gone");
    EXPECT_EQ(list.ListCount(), 0);

    // A name that is not valid UTF-8 comes back in a form that opens the file again.
    const QByteArray raw = ToCodePage(tree.Path()) + "/bad\xff.jpg";
    const int fd = ::open(raw.constData(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    list.SetPath(tree.Path());
    ASSERT_EQ(list.ListCount(), 1);
    EXPECT_EQ(ToCodePage(tree.Path() + "/" + list.List(0)), raw);
}
