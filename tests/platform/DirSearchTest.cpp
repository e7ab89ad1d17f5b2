#include "platform/DirSearch.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Found {
    std::string name;
    std::uint32_t attributes;
    dev_t device;
    ino_t inode;
};

std::vector<Found> Search(const std::string& pattern)
{
    std::vector<Found> out;
    FindData data;
    const FindHandle h = FindFirstFileA(pattern.c_str(), &data);
    if (h == INVALID_FIND_HANDLE)
        return out;
    EXPECT_GT(h, 0);
    do
        out.push_back({data.cFileName, data.dwFileAttributes, data.folderDevice, data.folderInode});
    while (FindNextFileA(h, &data));
    FindClose(h);
    return out;
}

std::vector<std::string> Names(const std::vector<Found>& found)
{
    std::vector<std::string> names;
    for (const Found& f : found)
        names.push_back(f.name);
    return names;
}

std::vector<std::string> ReaddirOrder(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    while (const dirent* e = readdir(dir))
        names.push_back(e->d_name);
    closedir(dir);
    return names;
}

const Found* Find(const std::vector<Found>& found, const std::string& name)
{
    for (const Found& f : found)
        if (f.name == name)
            return &f;
    return nullptr;
}

// Qt cannot remove names that are not UTF-8 or paths beyond PATH_MAX;
// rm can, so such trees are cleared before their TempTree goes.
struct ClearOnExit {
    std::string path;
    ~ClearOnExit() { std::system(("rm -rf -- '" + path + "'/*").c_str()); }
};

int OpenDescriptors()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir))
        ++count;
    closedir(dir);
    return count;
}

} // namespace

TEST(DirSearch, ListsEveryEntryInTheFileSystemsOrderWithTheFolderBit)
{
    TempTree tree;
    const std::string root = tree.Path().toStdString();
    tree.MakeDir("sub");
    tree.MakeDir(".hidden");
    tree.MakeDir("...");
    tree.WriteFile("file.jpg", "x");
    tree.WriteFile("noext", "x");
    ASSERT_EQ(symlink("sub", (root + "/linkdir").c_str()), 0);
    ASSERT_EQ(symlink("file.jpg", (root + "/linkfile").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (root + "/broken").c_str()), 0);

    const auto found = Search(root + "/*");
    EXPECT_EQ(Names(found), ReaddirOrder(root));
    ASSERT_EQ(found.size(), 10u);

    for (const char* folder : {".", "..", "sub", ".hidden", "...", "linkdir"}) {
        const Found* f = Find(found, folder);
        ASSERT_NE(f, nullptr) << folder;
        EXPECT_TRUE(f->attributes & FILE_ATTRIBUTE_DIRECTORY) << folder;
        struct stat st;
        ASSERT_EQ(stat((root + "/" + folder).c_str(), &st), 0);
        EXPECT_EQ(f->device, st.st_dev) << folder;
        EXPECT_EQ(f->inode, st.st_ino) << folder;
    }
    for (const char* file : {"file.jpg", "noext", "linkfile", "broken"})
        EXPECT_FALSE(Find(found, file)->attributes & FILE_ATTRIBUTE_DIRECTORY) << file;

    // The link leads to the same folder as its target.
    EXPECT_EQ(Find(found, "linkdir")->inode, Find(found, "sub")->inode);
    EXPECT_TRUE(Find(found, ".hidden")->attributes & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(Find(found, "..")->attributes & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(Find(found, "sub")->attributes & FILE_ATTRIBUTE_HIDDEN);
}

TEST(DirSearch, MatchesTheNamePatternCaseInsensitively)
{
    TempTree tree;
    const std::string root = tree.Path().toStdString();
    for (const char* name : {"A.SPI", "b.spi", "c.Spi", "d.spix", "spi", "e.spi.bak", "x.jpg", "xy.jpg"})
        tree.WriteFile(name, "x");
    tree.MakeDir("F.SPI");

    auto spi = Names(Search(root + "/*.spi"));
    std::sort(spi.begin(), spi.end());
    EXPECT_EQ(spi, (std::vector<std::string>{"A.SPI", "F.SPI", "b.spi", "c.Spi"}));

    EXPECT_EQ(Names(Search(root + "/?.JPG")), std::vector<std::string>{"x.jpg"});
    EXPECT_EQ(Names(Search(root + "/B.SPI")), std::vector<std::string>{"b.spi"});
    // "*.*" takes names without a dot too, as "*" does.
    EXPECT_EQ(Search(root + "/*.*").size(), Search(root + "/*").size());
    EXPECT_EQ(Search(root + "/*").size(), 11u);
}

TEST(DirSearch, MatchesNonAsciiNamesAndKeepsInvalidUtf8Bytes)
{
    TempTree tree;
    const std::string root = tree.Path().toStdString();
    const ClearOnExit clear{root};
    const std::string bad = "bad\xff\xfe.spi";
    const std::string japanese = "\xe5\x86\x99\xe7\x9c\x9f.SPI"; // 写真.SPI
    for (const std::string& name : {bad, japanese})
        ASSERT_EQ(close(open((root + "/" + name).c_str(), O_CREAT | O_WRONLY, 0644)), 0);

    auto names = Names(Search(root + "/*.spi"));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{bad, japanese}));
    EXPECT_EQ(Names(Search(root + "/bad\xff?.spi")), std::vector<std::string>{bad});
    EXPECT_TRUE(Search(root + "/bad\xfe*").empty());
    EXPECT_EQ(Names(Search(root + "/\xe5\x86\x99*")), std::vector<std::string>{japanese});
}

TEST(DirSearch, FolderThatCannotBeSearchedGivesAnInvalidHandle)
{
    TempTree tree;
    const std::string root = tree.Path().toStdString();
    tree.WriteFile("file", "x");
    FindData data;
    EXPECT_EQ(FindFirstFileA((root + "/missing/*").c_str(), &data), INVALID_FIND_HANDLE);
    EXPECT_EQ(FindFirstFileA((root + "/file/*").c_str(), &data), INVALID_FIND_HANDLE);
    EXPECT_EQ(FindFirstFileA((root + "/nothing*").c_str(), &data), INVALID_FIND_HANDLE);
    if (geteuid() != 0) {
        tree.MakeDir("closed");
        ASSERT_EQ(chmod((root + "/closed").c_str(), 0), 0);
        EXPECT_EQ(FindFirstFileA((root + "/closed/*").c_str(), &data), INVALID_FIND_HANDLE);
        chmod((root + "/closed").c_str(), 0755);
    }
    // Closing any handle value is harmless, and a stale handle has no entries.
    EXPECT_EQ(FindClose(INVALID_FIND_HANDLE), 0);
    EXPECT_EQ(FindClose(0), 0);
    EXPECT_EQ(FindNextFileA(INVALID_FIND_HANDLE, &data), 0);
    const FindHandle h = FindFirstFileA((root + "/*").c_str(), &data);
    ASSERT_GT(h, 0);
    FindClose(h);
    EXPECT_EQ(FindNextFileA(h, &data), 0);
    EXPECT_EQ(FindClose(h), 0);
}

TEST(DirSearch, NextEndsAfterTheLastEntry)
{
    TempTree tree;
    const std::string root = tree.Path().toStdString();
    tree.MakeDir("only");
    FindData data;
    const FindHandle h = FindFirstFileA((root + "/only").c_str(), &data);
    ASSERT_GT(h, 0);
    EXPECT_STREQ(data.cFileName, "only");
    EXPECT_EQ(FindNextFileA(h, &data), 0);
    EXPECT_EQ(FindNextFileA(h, &data), 0);
    FindClose(h);
}

TEST(DirSearch, OpenSearchesHoldNoFileDescriptors)
{
    TempTree tree;
    const std::string root = tree.Path().toStdString();
    tree.MakeDir("a");
    const int before = OpenDescriptors();
    std::vector<FindHandle> handles;
    FindData data;
    for (int i = 0; i < 3000; ++i) {
        const FindHandle h = FindFirstFileA((root + "/*").c_str(), &data);
        // Callers may keep a handle in 32 bits and test it for > 0.
        ASSERT_GT(static_cast<std::int32_t>(h), 0) << i;
        handles.push_back(h);
    }
    EXPECT_EQ(OpenDescriptors(), before);
    // Each search keeps its own position.
    EXPECT_EQ(FindNextFileA(handles[0], &data), 1);
    const std::string second = data.cFileName;
    EXPECT_EQ(FindNextFileA(handles[1], &data), 1);
    EXPECT_EQ(data.cFileName, second);
    for (FindHandle h : handles)
        FindClose(h);
}

TEST(DirSearch, SearchesFoldersBeyondTheKernelsPathLimit)
{
    TempTree tree;
    const std::string root = tree.Path().toStdString();
    const ClearOnExit clear{root};
    // 40 levels of 200-byte names: about 8,000 bytes, twice PATH_MAX.
    const std::string part(200, 'd');
    std::string path = root;
    int at = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(mkdirat(at, part.c_str(), 0755), 0);
        const int sub = openat(at, part.c_str(), O_RDONLY | O_DIRECTORY);
        close(at);
        at = sub;
        path += "/" + part;
    }
    ASSERT_EQ(mkdirat(at, "leaf", 0755), 0);
    close(at);
    ASSERT_GT(path.size(), 4096u);
    auto names = Names(Search(path + "/*"));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "leaf"}));
}
