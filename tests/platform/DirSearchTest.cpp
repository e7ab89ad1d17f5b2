#include "platform/DirSearch.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Names = std::vector<std::string>;

// Every entry of a search, in the order found.
std::vector<FindData> Search(const std::string& pattern)
{
    std::vector<FindData> out;
    FindData data;
    const FindHandle h = FindFirstFileA(pattern.c_str(), &data);
    if (h == INVALID_FIND_HANDLE)
        return out;
    EXPECT_GT(h, 0);
    do
        out.push_back(data);
    while (FindNextFileA(h, &data));
    FindClose(h);
    return out;
}

Names NamesOf(const std::vector<FindData>& found, bool sorted = true)
{
    Names names;
    for (const FindData& f : found)
        names.push_back(f.cFileName);
    if (sorted)
        std::sort(names.begin(), names.end());
    return names;
}

int CountEntries(const char* folder, Names* names = nullptr)
{
    int count = 0;
    DIR* dir = opendir(folder);
    for (; const dirent* e = readdir(dir); ++count)
        if (names)
            names->push_back(e->d_name);
    closedir(dir);
    return count;
}

// Qt cannot remove names that are not UTF-8 or paths beyond PATH_MAX;
// rm can, so such trees are cleared before their TempTree goes.
struct ClearOnExit {
    std::string path;
    ~ClearOnExit() { std::system(("rm -rf -- '" + path + "'/*").c_str()); }
};

} // namespace

TEST(DirSearch, ListsEveryEntryInTheFileSystemsOrderWithFolderAndHiddenBits)
{
    TempTree tree;
    const std::string root = tree.Path().toStdString();
    for (const char* folder : {"sub", ".hidden", "..."})
        tree.MakeDir(folder);
    tree.WriteFile("file.jpg", "x");
    tree.WriteFile("noext", "x");
    for (auto [link, target] : {std::pair{"linkdir", "sub"}, {"linkfile", "file.jpg"}, {"broken", "nowhere"}})
        ASSERT_EQ(symlink(target, (root + "/" + link).c_str()), 0);

    const auto found = Search(root + "/*");
    Names order;
    CountEntries(root.c_str(), &order);
    EXPECT_EQ(NamesOf(found, false), order);
    ASSERT_EQ(found.size(), 10u);
    std::map<std::string, FindData> byName;
    for (const FindData& f : found)
        byName[f.cFileName] = f;
    for (const char* folder : {".", "..", "sub", ".hidden", "...", "linkdir"}) {
        struct stat st;
        ASSERT_EQ(stat((root + "/" + folder).c_str(), &st), 0);
        EXPECT_TRUE(byName[folder].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) << folder;
        EXPECT_EQ(byName[folder].folderDevice, st.st_dev) << folder;
        EXPECT_EQ(byName[folder].folderInode, st.st_ino) << folder; // a link leads to its target's inode
    }
    for (const char* file : {"file.jpg", "noext", "linkfile", "broken"})
        EXPECT_FALSE(byName[file].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) << file;
    for (auto [name, hidden] : {std::pair{".hidden", true}, {"...", true}, {".", false}, {"..", false}, {"sub", false}})
        EXPECT_EQ(bool(byName[name].dwFileAttributes & FILE_ATTRIBUTE_HIDDEN), hidden) << name;
}

TEST(DirSearch, MatchesPatternsCaseInsensitivelyAndKeepsInvalidUtf8Bytes)
{
    TempTree tree;
    const std::string root = tree.Path().toStdString();
    const ClearOnExit clear{root};
    const std::string bad = "bad\xff\xfe.spi", japanese = "\xe5\x86\x99\xe7\x9c\x9f.SPI"; // 写真.SPI
    for (const char* name : {"A.SPI", "b.spi", "c.Spi", "d.spix", "spi", "e.spi.bak", "x.jpg", "xy.jpg"})
        tree.WriteFile(name, "x");
    for (const std::string& name : {bad, japanese})
        ASSERT_EQ(close(open((root + "/" + name).c_str(), O_CREAT | O_WRONLY, 0644)), 0);
    tree.MakeDir("F.SPI");

    const struct { const char* pattern; Names want; } rows[] = {
        {"*.spi", {"A.SPI", "F.SPI", "b.spi", bad, "c.Spi", japanese}},
        {"?.JPG", {"x.jpg"}},
        {"B.SPI", {"b.spi"}},
        {"bad\xff?.spi", {bad}},
        {"bad\xfe*", {}},
        {"\xe5\x86\x99*", {japanese}},
    };
    for (const auto& r : rows) {
        Names want = r.want;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(NamesOf(Search(root + "/" + r.pattern)), want) << r.pattern;
    }
    // "*.*" takes names without a dot too, as "*" does.
    EXPECT_EQ(NamesOf(Search(root + "/*.*")).size(), 13u);
    EXPECT_EQ(NamesOf(Search(root + "/*")).size(), 13u);
}

TEST(DirSearch, UnsearchableFoldersAndStaleHandles)
{
    TempTree tree;
    const std::string root = tree.Path().toStdString();
    tree.WriteFile("file", "x");
    tree.MakeDir("only");
    FindData data;
    for (const char* bad : {"/missing/*", "/file/*", "/nothing*"})
        EXPECT_EQ(FindFirstFileA((root + bad).c_str(), &data), INVALID_FIND_HANDLE) << bad;
    if (geteuid() != 0) {
        tree.MakeDir("closed");
        ASSERT_EQ(chmod((root + "/closed").c_str(), 0), 0);
        EXPECT_EQ(FindFirstFileA((root + "/closed/*").c_str(), &data), INVALID_FIND_HANDLE);
        chmod((root + "/closed").c_str(), 0755);
    }
    EXPECT_EQ(FindClose(INVALID_FIND_HANDLE), 0);
    EXPECT_EQ(FindClose(0), 0);
    EXPECT_EQ(FindNextFileA(INVALID_FIND_HANDLE, &data), 0);
    const FindHandle h = FindFirstFileA((root + "/only").c_str(), &data);
    ASSERT_GT(h, 0);
    EXPECT_STREQ(data.cFileName, "only");
    EXPECT_EQ(FindNextFileA(h, &data), 0);
    EXPECT_EQ(FindNextFileA(h, &data), 0);
    EXPECT_EQ(FindClose(h), 1);
    EXPECT_EQ(FindNextFileA(h, &data), 0);
    EXPECT_EQ(FindClose(h), 0);
}

TEST(DirSearch, OpenSearchesHoldNoFileDescriptorsAndKeepTheirOwnPosition)
{
    TempTree tree;
    const std::string root = tree.Path().toStdString();
    tree.MakeDir("a");
    const int before = CountEntries("/proc/self/fd");
    std::vector<FindHandle> handles;
    FindData data;
    for (int i = 0; i < 3000; ++i) {
        handles.push_back(FindFirstFileA((root + "/*").c_str(), &data));
        // Callers may keep a handle in 32 bits and test it for > 0.
        ASSERT_GT(static_cast<std::int32_t>(handles.back()), 0) << i;
    }
    EXPECT_EQ(CountEntries("/proc/self/fd"), before);
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
    for (int i = 0; i < 40; ++i, path += "/" + part) {
        ASSERT_EQ(mkdirat(at, part.c_str(), 0755), 0);
        const int sub = openat(at, part.c_str(), O_RDONLY | O_DIRECTORY);
        close(at);
        at = sub;
    }
    ASSERT_EQ(mkdirat(at, "leaf", 0755), 0);
    close(at);
    ASSERT_GT(path.size(), 4096u);
    EXPECT_EQ(NamesOf(Search(path + "/*")), (Names{".", "..", "leaf"}));
}
