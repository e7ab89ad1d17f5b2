#include "platform/DirSearch.h"
#include "common/CodePage.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Names = std::vector<std::string>;

std::vector<FindData> Search(const std::string& pattern)
{
    std::vector<FindData> out(1);
    const FindHandle h = FindFirstFileA(pattern.c_str(), &out[0]);
    if (h == INVALID_FIND_HANDLE)
        return {};
    EXPECT_GT(h, 0);
    for (FindData d; FindNextFileA(h, &d);)
        out.push_back(d);
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

// The folder's names by readdir, put in name order: upper-cased, ties by bytes.
Names ReadDirInNameOrder(const char* folder)
{
    Names names;
    DIR* dir = opendir(folder);
    while (const dirent* e = readdir(dir))
        names.push_back(e->d_name);
    closedir(dir);
    const auto key = [](const std::string& n) { return FromCodePage(QByteArrayView(n.data(), qsizetype(n.size()))).toUpper(); };
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        return key(a) != key(b) ? key(a) < key(b) : a < b;
    });
    return names;
}

// Qt cannot remove names that are not UTF-8 or paths beyond PATH_MAX; rm can.
struct ClearOnExit {
    std::string path;
    ~ClearOnExit() { std::system(("rm -rf -- '" + path + "'/*").c_str()); }
};

} // namespace

TEST(DirSearch, ListsEntriesInNameOrderWithoutRegardToCase)
{
    TempTree tree;
    // Created out of order; readdir gives them in hash order.
    for (const char* name : {"2023-05", "2023-01", "2023-12", "b", "2023-07", "B", "a", "2023-10", "C", "2023-02"})
        tree.MakeDir(name);
    tree.WriteFile("A.jpg", "x");
    tree.WriteFile("a.JPG", "x");
    EXPECT_EQ(NamesOf(Search(tree.Path().toStdString() + "/*"), false),
              Names({".", "..", "2023-01", "2023-02", "2023-05", "2023-07", "2023-10", "2023-12", "a", "A.jpg",
                     "a.JPG", "B", "b", "C"}));
}

TEST(DirSearch, ListsEntriesInNameOrderAndMatchesPatterns)
{
    TempTree tree;
    const std::string root = tree.Path().toStdString();
    const ClearOnExit clear{root};
    const std::string bad = "bad\xff\xfe.spi", japanese = "\xe5\x86\x99\xe7\x9c\x9f.SPI"; // 写真.SPI
    for (const char* folder : {"sub", ".hidden", "...", "F.SPI"})
        tree.MakeDir(folder);
    for (const char* name : {"A.SPI", "b.spi", "c.Spi", "d.spix", "spi", "e.spi.bak", "x.jpg", "xy.jpg", "noext"})
        tree.WriteFile(name, "x");
    for (const std::string& name : {bad, japanese})
        ASSERT_EQ(close(open((root + "/" + name).c_str(), O_CREAT | O_WRONLY, 0644)), 0);
    for (auto [link, target] : {std::pair{"linkdir", "sub"}, {"linkfile", "x.jpg"}, {"broken", "nowhere"}})
        ASSERT_EQ(symlink(target, (root + "/" + link).c_str()), 0);

    const auto found = Search(root + "/*");
    EXPECT_EQ(NamesOf(found, false), ReadDirInNameOrder(root.c_str()));
    ASSERT_EQ(found.size(), 20u);
    EXPECT_EQ(Search(root + "/*.*").size(), 20u); // also the names without a dot
    std::map<std::string, FindData> byName;
    for (const FindData& f : found)
        byName[f.cFileName] = f;
    for (const char* folder : {".", "..", "sub", ".hidden", "...", "linkdir"})
        EXPECT_TRUE(byName[folder].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) << folder;
    // Identities: of "." and of links (which lead to their target's inode);
    // a folder's own is given by the search of that folder.
    for (const char* folder : {".", "linkdir"}) {
        struct stat st;
        ASSERT_EQ(stat((root + "/" + folder).c_str(), &st), 0);
        EXPECT_EQ(byName[folder].folderDevice, st.st_dev) << folder;
        EXPECT_EQ(byName[folder].folderInode, st.st_ino) << folder;
    }
    {
        struct stat st;
        ASSERT_EQ(stat((root + "/linkdir").c_str(), &st), 0);
        FindData data{};
        const FindHandle h = FindFirstFileA((root + "/linkdir/*").c_str(), &data);
        dev_t device = 0;
        ino_t inode = 0;
        ASSERT_NE(FindFolderIdentity(h, &device, &inode), 0);
        EXPECT_EQ(device, st.st_dev);
        EXPECT_EQ(inode, st.st_ino);
        FindClose(h);
        EXPECT_EQ(FindFolderIdentity(h, &device, &inode), 0) << "a closed search";
    }
    for (const char* file : {"x.jpg", "noext", "linkfile", "broken"})
        EXPECT_FALSE(byName[file].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) << file;
    for (auto [name, hidden] : {std::pair{".hidden", true}, {"...", true}, {".", false}, {"..", false}, {"sub", false}})
        EXPECT_EQ(bool(byName[name].dwFileAttributes & FILE_ATTRIBUTE_HIDDEN), hidden) << name;

    const struct { const char* pattern; Names want; } rows[] = {
        {"*.spi", {"A.SPI", "F.SPI", "b.spi", bad, "c.Spi", japanese}}, {"?.JPG", {"x.jpg"}}, {"B.SPI", {"b.spi"}},
        {"bad\xff?.spi", {bad}}, {"bad\xfe*", {}}, {"\xe5\x86\x99*", {japanese}},
    };
    for (auto r : rows) {
        std::sort(r.want.begin(), r.want.end());
        EXPECT_EQ(NamesOf(Search(root + "/" + r.pattern)), r.want) << r.pattern;
    }
}

TEST(DirSearch, HandlesFailuresEndsAndOpenSearches)
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

    // Open searches hold few file descriptors however many there are, each
    // keeps its own position, and each can search its subfolders, also
    // those that no longer hold their folder open.
    tree.WriteFile("only/inside.jpg", "x");
    const auto descriptors = ReadDirInNameOrder("/proc/self/fd").size();
    std::vector<FindHandle> handles;
    for (int i = 0; i < 3000; ++i) {
        handles.push_back(FindFirstFileA((root + "/*").c_str(), &data));
        ASSERT_GT(static_cast<std::int32_t>(handles.back()), 0) << i; // callers may keep 32 bits
    }
    EXPECT_LE(ReadDirInNameOrder("/proc/self/fd").size(), descriptors + 64);
    EXPECT_EQ(FindNextFileA(handles[0], &data), 1);
    const std::string second = data.cFileName;
    EXPECT_EQ(FindNextFileA(handles[1], &data), 1);
    EXPECT_EQ(data.cFileName, second);
    for (const FindHandle parent : {handles.front(), handles.back()}) {
        const FindHandle sub = FindFirstFileInA(parent, "only/*.JPG", &data);
        ASSERT_GT(sub, 0);
        EXPECT_STREQ(data.cFileName, "inside.jpg");
        EXPECT_EQ(FindNextFileA(sub, &data), 0);
        FindClose(sub);
    }
    for (const char* bad : {"missing/*", "file/*", "/only/*"})
        EXPECT_EQ(FindFirstFileInA(handles.front(), bad, &data), INVALID_FIND_HANDLE) << bad;
    for (FindHandle each : handles)
        FindClose(each);
    EXPECT_EQ(FindFirstFileInA(handles.front(), "only/*", &data), INVALID_FIND_HANDLE) << "a closed search";
    EXPECT_EQ(ReadDirInNameOrder("/proc/self/fd").size(), descriptors);
}

TEST(DirSearch, SearchesFoldersBeyondTheKernelsPathLimit)
{
    TempTree tree;
    const std::string root = tree.Path().toStdString();
    const ClearOnExit clear{root};
    const std::string part(200, 'd'); // 40 levels: about 8,000 bytes, twice PATH_MAX
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
