// The archive reader over real archives made in temporary folders by the
// archivers on the machine (zip, 7z, bsdtar, python3) or byte by byte
// (ArchiveBytes.h).
#include "archives/ArchiveBytes.h"
#include "archives/ArchiveIndex.h"
#include "archives/ArchiveNames.h"
#include "common/CodePage.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QFile>

#include <atomic>
#include <optional>
#include <thread>

#include <sys/stat.h>

namespace {

using Kind = codec::ErrorKind;
using archive_bytes::File;

std::shared_ptr<const ArchiveIndex> Open(const QString& path, std::shared_ptr<EntryCache> cache = EntryCache::Shared())
{
    ArchiveIndex::Opened opened = ArchiveIndex::OpenFile(path, std::move(cache));
    EXPECT_TRUE(opened) << path.toStdString() << ": " << opened.error().Describe();
    return opened ? *opened : nullptr;
}

QStringList Paths(const ArchiveIndex& index)
{
    QStringList paths;
    for (const ArchiveEntry& e : index.Entries())
        paths << e.path;
    return paths;
}

int Find(const ArchiveIndex& index, const QString& path)
{
    const QStringList paths = Paths(index);
    return int(paths.indexOf(path));
}

// The bytes read, or the error in their place (so a failure shows why).
QByteArray Bytes(const codec::Result<QByteArray>& read)
{
    return read ? *read : QByteArray("error: ") + read.error().Describe().c_str();
}

// How a read or open failed; nothing when it did not.
template <class T> std::optional<Kind> ErrorOf(const codec::Result<T>& result)
{
    return result ? std::nullopt : std::optional<Kind>(result.error().kind);
}

constexpr qint64 kCap = qint64(64) << 20;

// A folder of files whose names test the order, and a subfolder.
const QList<std::pair<QString, QByteArray>> kFiles = {
    {"B.jpg", "bee"}, {"a.jpg", "ay"}, {"a b.jpg", "ay bee"}, {"a/c.jpg", "see"}, {"10.jpg", "ten"}, {"9.jpg", QByteArray(70000, 'n')}};
// The directory search's order over the whole inner path: case folded,
// then " " < "." < "/", digits as text.
const QStringList kOrder = {"10.jpg", "9.jpg", "a b.jpg", "a.jpg", "a/c.jpg", "B.jpg"};

TEST(ArchiveIndex, ReadsEveryFormatByContentInNameOrder)
{
    TempTree tree;
    const QString src = tree.MakeDir("src");
    for (const auto& [name, data] : kFiles)
        tree.WriteFile("src/" + name, data);
    const QString out = tree.Path() + "/";
    const QStringList all = {"B.jpg", "a.jpg", "a b.jpg", "a", "10.jpg", "9.jpg"};
    RunTool(src, "zip", QStringList{"-qr", out + "zip.dat"} + all); // a ZIP by content, not by name; "a/" is a folder entry
    RunTool(src, "7z", QStringList{"a", "-bd", "-ms=on", out + "solid.7z"} + all);
    RunTool(src, "bsdtar", QStringList{"-cf", out + "plain.tar"} + all);
    RunTool(src, "bsdtar", QStringList{"-czf", out + "a.tgz"} + all);
    RunTool(src, "bsdtar", QStringList{"-cjf", out + "a.tbz2"} + all);
    RunTool(src, "bsdtar", QStringList{"-cJf", out + "a.txz"} + all);
    RunTool(src, "bsdtar", QStringList{"--zstd", "-cf", out + "a.tzst"} + all);
    RunTool(src, "bsdtar", QStringList{"--format", "iso9660", "--options", "rockridge", "-cf", out + "a.iso"} + all);
    std::vector<File> files;
    for (const auto& [name, data] : kFiles)
        files.push_back({name.toUtf8(), data});
    tree.WriteFile("a.rar", archive_bytes::Rar4(files));
    tree.WriteFile("a.lzh", archive_bytes::Lzh(files));

    for (const QString name : {"zip.dat", "solid.7z", "plain.tar", "a.tgz", "a.tbz2", "a.txz", "a.tzst", "a.iso", "a.rar", "a.lzh"}) {
        SCOPED_TRACE(name.toStdString());
        const auto index = Open(out + name);
        ASSERT_TRUE(index);
        EXPECT_TRUE(index->Complete());
        EXPECT_EQ(index->Depth(), 0);
        ASSERT_EQ(Paths(*index), kOrder) << index->Format().toStdString();
        for (int i = 0; i < int(index->Entries().size()); ++i) {
            const ArchiveEntry& entry = index->Entries()[std::size_t(i)];
            const QByteArray expected = std::find_if(kFiles.begin(), kFiles.end(), [&](const auto& f) {
                                            return f.first == entry.path;
                                        })->second;
            EXPECT_EQ(entry.size, expected.size()) << entry.path.toStdString();
            EXPECT_FALSE(entry.encrypted);
            const codec::Result<QByteArray> bytes = index->Read(i, kCap);
            ASSERT_TRUE(bytes) << entry.path.toStdString() << ": " << bytes.error().Describe();
            EXPECT_EQ(*bytes, expected) << entry.path.toStdString();
        }
    }
}

TEST(ArchiveIndex, DecodesJapaneseWindowsNamesAndKeepsOthers)
{
    TempTree tree;
    // 写真/画像.jpg and 表紙.jpg in code page 932 (表 ends in the byte of "\"),
    // beside a name flagged as UTF-8: one archive, two encodings.
    const QByteArray photo("\x8E\xCA\x90\x5E/\x89\xE6\x91\x9C.jpg");
    const QByteArray cover("\x95\x5C\x8E\x86.jpg");
    const QString zip = tree.WriteFile("cp932.zip", archive_bytes::Zip({{photo, "1"}, {cover, "2"},
                                                                        {QString("ü/日本.txt").toUtf8(), "3", true}}));
    const QString lzh = tree.WriteFile("cp932.lzh", archive_bytes::Lzh({{QByteArray("\x89\xE6\x91\x9C.jpg"), "4"}}));
    // An archive whose names are valid UTF-8 without the flag (Linux zip)
    // is UTF-8; names that are neither keep their bytes.
    const QString utf8 = tree.WriteFile("utf8.zip", archive_bytes::Zip({{QString("写真.jpg").toUtf8(), "5"}}));
    const QString odd = tree.WriteFile("odd.zip", archive_bytes::Zip({{QByteArray("\xFF\xFE/../x.jpg"), "6"},
                                                                       {QByteArray("/abs//./y.jpg"), "7"}}));

    auto index = Open(zip);
    ASSERT_TRUE(index);
    EXPECT_EQ(Paths(*index), (QStringList{"ü/日本.txt", "写真/画像.jpg", "表紙.jpg"}));
    EXPECT_EQ(Bytes(index->Read(Find(*index, "表紙.jpg"), kCap)), "2");
    index = Open(lzh);
    ASSERT_TRUE(index);
    EXPECT_EQ(Paths(*index), QStringList{"画像.jpg"});
    EXPECT_EQ(Bytes(index->Read(0, kCap)), "4");
    index = Open(utf8);
    ASSERT_TRUE(index);
    EXPECT_EQ(Paths(*index), QStringList{"写真.jpg"});
    index = Open(odd);
    ASSERT_TRUE(index);
    ASSERT_EQ(index->Entries().size(), 2u);
    EXPECT_EQ(Paths(*index).first(), "abs/y.jpg");
    const QString kept = index->Entries()[1].path;
    EXPECT_EQ(ToCodePage(kept), QByteArray("\xFF\xFE/../x.jpg"));
    EXPECT_EQ(Bytes(index->Read(1, kCap)), "6");
}

TEST(ArchiveIndex, RefusesWhatIsNotAnArchiveAndReadsAroundBadEntries)
{
    TempTree tree;
    const QString src = tree.MakeDir("src");
    tree.WriteFile("src/plain.txt", "plain");
    tree.WriteFile("src/secret.txt", "secret");
    tree.WriteFile("src/big.bin", QByteArray(1 << 20, 'z'));
    const QString out = tree.Path() + "/";
    RunTool(src, "zip", {"-q", "-P", "pw", out + "enc.zip", "secret.txt"});
    RunTool(src, "zip", {"-q", out + "enc.zip", "plain.txt", "big.bin"});

    // Not archives: a JPEG named .zip, an empty file, a folder, a FIFO (no
    // writer: an open that waited would hang here).
    tree.WriteFile("photo.zip", QByteArray("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00", 11) + QByteArray(600, '\x11'));
    tree.WriteFile("empty.zip", "");
    tree.MakeDir("folder.zip");
    ASSERT_EQ(::mkfifo((out + "fifo.zip").toUtf8().constData(), 0600), 0);
    LogLines log;
    EXPECT_EQ(ErrorOf(ArchiveIndex::OpenFile(out + "photo.zip")), Kind::NotThisFormat);
    EXPECT_EQ(ErrorOf(ArchiveIndex::OpenFile(out + "empty.zip")), Kind::NotThisFormat);
    EXPECT_EQ(ErrorOf(ArchiveIndex::OpenMemory(QByteArray(), "x", 1)), Kind::NotThisFormat);
    EXPECT_EQ(ErrorOf(ArchiveIndex::OpenFile(out + "folder.zip")), Kind::ReadFailed);
    EXPECT_EQ(ErrorOf(ArchiveIndex::OpenFile(out + "fifo.zip")), Kind::ReadFailed);
    EXPECT_EQ(ErrorOf(ArchiveIndex::OpenFile(out + "missing.zip")), Kind::ReadFailed);
    EXPECT_TRUE(Said(log.Take("velmora.archive"), {"photo.zip", "not an archive"}));

    // Encrypted and too large entries fail alone.
    const auto index = Open(out + "enc.zip");
    ASSERT_TRUE(index);
    ASSERT_EQ(Paths(*index), (QStringList{"big.bin", "plain.txt", "secret.txt"}));
    EXPECT_TRUE(index->Entries()[2].encrypted);
    EXPECT_EQ(ErrorOf(index->Read(2, kCap)), Kind::Unsupported);
    EXPECT_EQ(ErrorOf(index->Read(0, 1000)), Kind::TooLarge);
    EXPECT_TRUE(Said(log.Take("velmora.archive"), {"big.bin", "enc.zip", "too large"}));
    EXPECT_EQ(Bytes(index->Read(1, kCap)), "plain");
    EXPECT_EQ(Bytes(index->Read(0, kCap)).size(), 1 << 20);
    EXPECT_EQ(ErrorOf(index->Read(3, kCap)), Kind::Damaged);

    // A file whose size is not told (written to a pipe, as a stream, and
    // without its central directory) is stopped at the cap as it unpacks.
    RunTool(src, "bash", {"-c", "python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.stdout.buffer, 'w', "
                                "zipfile.ZIP_DEFLATED); z.write('plain.txt'); z.write('big.bin'); z.close()\" | cat > " +
                                    out + "stream.zip"});
    QFile streamFile(out + "stream.zip");
    ASSERT_TRUE(streamFile.open(QIODevice::ReadOnly));
    QByteArray stream = streamFile.readAll();
    stream.truncate(stream.indexOf("PK\x01\x02"));
    const auto streamed = ArchiveIndex::OpenMemory(stream, "stream.zip", 0);
    ASSERT_TRUE(streamed);
    ASSERT_EQ(Paths(**streamed), (QStringList{"big.bin", "plain.txt"}));
    EXPECT_EQ((*streamed)->Entries()[0].size, -1);
    EXPECT_EQ(ErrorOf((*streamed)->Read(0, 1000)), Kind::TooLarge);
    EXPECT_EQ(Bytes((*streamed)->Read(1, 1000)), "plain");

    // A file that declares more than the cap is refused before it is read,
    // even when the declaration is a lie (here 1,000,000 bytes for 10).
    QByteArray lying = archive_bytes::Zip({{"lie.bin", "0123456789"}, {"ok.txt", "ok"}});
    for (const auto& [signature, sizesAt] : {std::pair{QByteArray("PK\x03\x04"), 18}, std::pair{QByteArray("PK\x01\x02"), 20}}) {
        const qsizetype at = lying.indexOf(signature);
        for (int k = 0; k < 2; ++k)
            lying.replace(at + sizesAt + 4 * k, 4, QByteArray("\x40\x42\x0f\x00", 4));
    }
    const auto liar = ArchiveIndex::OpenMemory(lying, "lie.zip", 0);
    ASSERT_TRUE(liar);
    EXPECT_EQ((*liar)->Entries()[0].size, 1000000);
    EXPECT_EQ(ErrorOf((*liar)->Read(0, 1000)), Kind::TooLarge);

    // An archive replaced after it was listed is not read by the old index.
    const QString replaced = tree.WriteFile("replaced.zip", archive_bytes::Zip({{"a.txt", "old"}}));
    const auto before = Open(replaced);
    ASSERT_TRUE(before);
    tree.WriteFile("replaced.zip", archive_bytes::Zip({{"a.txt", "new!"}}));
    EXPECT_EQ(ErrorOf(before->Read(0, kCap)), Kind::ReadFailed);

    // Damage: one file's bytes overwritten (its CRC no longer fits) fails
    // alone; cut short, an archive lists the files before the cut.
    const std::vector<File> three = {{"1.txt", "one"}, {"2.txt", "two two two"}, {"3.txt", QByteArray(5000, '3')}};
    QByteArray zip = archive_bytes::Zip(three);
    zip.replace(zip.indexOf("two two"), 3, "owt");
    const auto overwritten = ArchiveIndex::OpenMemory(zip, "overwritten.zip", 0);
    ASSERT_TRUE(overwritten);
    EXPECT_EQ(ErrorOf((*overwritten)->Read(1, kCap)), Kind::Damaged);
    EXPECT_EQ(Bytes((*overwritten)->Read(0, kCap)), "one");
    EXPECT_EQ(Bytes((*overwritten)->Read(2, kCap)).size(), 5000);
    for (const QByteArray& cut : {archive_bytes::Zip(three).left(140), archive_bytes::Rar4(three).left(150)}) {
        const auto shortened = ArchiveIndex::OpenMemory(cut, "cut", 0);
        ASSERT_TRUE(shortened) << shortened.error().Describe();
        EXPECT_FALSE((*shortened)->Complete());
        ASSERT_GE((*shortened)->Entries().size(), 2u);
        EXPECT_EQ(Bytes((*shortened)->Read(0, kCap)), "one");
        EXPECT_EQ(Bytes((*shortened)->Read(1, kCap)), "two two two");
        if ((*shortened)->Entries().size() > 2) {
            EXPECT_EQ(ErrorOf((*shortened)->Read(2, kCap)), Kind::Damaged);
        }
    }
}

TEST(ArchiveIndex, OpensArchivesInsideArchivesFromMemory)
{
    const QByteArray inner = archive_bytes::Zip({{"pic.jpg", "picture"}});
    const QByteArray middle = archive_bytes::Zip({{"inner.zip", inner}, {"note.txt", "n"}});
    TempTree tree;
    const auto outer = Open(tree.WriteFile("outer.cbz", archive_bytes::Zip({{"middle.zip", middle}})));
    ASSERT_TRUE(outer);
    ArchiveIndex::Opened second = outer->OpenNested(0, kCap);
    ASSERT_TRUE(second);
    EXPECT_EQ((*second)->Depth(), 1);
    ArchiveIndex::Opened third = (*second)->OpenNested(Find(**second, "inner.zip"), kCap);
    ASSERT_TRUE(third);
    EXPECT_EQ((*third)->Depth(), 2);
    EXPECT_EQ(Bytes((*third)->Read(0, kCap)), "picture");
    EXPECT_EQ(ErrorOf((*second)->OpenNested(Find(**second, "note.txt"), kCap)), Kind::NotThisFormat);
    EXPECT_EQ(ErrorOf((*second)->OpenNested(Find(**second, "inner.zip"), 10)), Kind::TooLarge);
}

// Solid 7z: reaching a file unpacks those before it. They are kept (up to
// the budget, least recently used out first), so stepping back is no second
// unpack. A cached file still reads once the archive has moved away; one
// that is not cached fails then, which shows what the cache holds.
TEST(ArchiveIndex, KeepsWhatSolidArchivesUnpackOnTheWay)
{
    TempTree tree;
    const QString src = tree.MakeDir("src");
    QStringList names;
    std::vector<QByteArray> contents;
    for (int i = 0; i < 5; ++i) {
        QByteArray data(100000, char('a' + i));
        data.replace(0, 4, QByteArray::number(1000 + i));
        contents.push_back(data);
        names << QString("f%1.bin").arg(i);
        tree.WriteFile("src/" + names.last(), data);
    }
    const QString path = tree.Path() + "/solid.7z";
    RunTool(src, "7z", QStringList{"a", "-bd", "-ms=on", "-mx=1", path} + names);
    const QString away = path + ".away";
    const auto cache = std::make_shared<EntryCache>(350000); // three files
    auto index = Open(path, cache);
    ASSERT_TRUE(index);
    ASSERT_EQ(Paths(*index), (QStringList{"f0.bin", "f1.bin", "f2.bin", "f3.bin", "f4.bin"}));
    const auto readsAway = [&](int i) {
        EXPECT_TRUE(QFile::rename(path, away));
        const bool ok = index->Read(i, kCap).has_value();
        EXPECT_TRUE(QFile::rename(away, path));
        return ok;
    };

    ASSERT_EQ(Bytes(index->Read(4, kCap)), contents[4]); // unpacks 0-3 on the way
    EXPECT_LE(cache->UsedBytes(), cache->Budget());
    EXPECT_EQ(cache->UsedBytes(), 300000u);
    EXPECT_TRUE(readsAway(3));
    EXPECT_TRUE(readsAway(2)); // now the most recently used
    EXPECT_FALSE(readsAway(1));
    ASSERT_EQ(Bytes(index->Read(0, kCap)), contents[0]); // one more in: 4, the least recently used, goes
    EXPECT_TRUE(readsAway(2));
    EXPECT_TRUE(readsAway(3));
    EXPECT_FALSE(readsAway(4));
    EXPECT_EQ(Bytes(index->Read(4, kCap)), contents[4]);

    // Several threads at once.
    cache->SetBudget(0);
    EXPECT_EQ(cache->UsedBytes(), 0u);
    cache->SetBudget(150000);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < 10; ++k) {
                const int i = (t + k * 3) % 5;
                const codec::Result<QByteArray> bytes = index->Read(i, kCap);
                wrong += !bytes || *bytes != contents[std::size_t(i)];
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_LE(cache->UsedBytes(), 150000u);
    EXPECT_GT(cache->UsedBytes(), 0u);

    // A read further on goes on from where the last one stopped: what lay
    // before it is not unpacked again. The file must still be the one listed.
    const auto emptied = [&] {
        cache->SetBudget(0);
        cache->SetBudget(500000);
    };
    emptied();
    ASSERT_EQ(Bytes(index->Read(4, kCap)), contents[4]);
    emptied();
    ASSERT_EQ(Bytes(index->Read(1, kCap)), contents[1]); // from the start: 0 on the way
    EXPECT_EQ(cache->UsedBytes(), 200000u);
    emptied();
    ASSERT_EQ(Bytes(index->Read(3, kCap)), contents[3]); // on from 1: 2 on the way
    EXPECT_EQ(cache->UsedBytes(), 200000u);
    emptied();
    EXPECT_FALSE(readsAway(4));
    index.reset(); // an archive gone takes its files out of the cache
    EXPECT_EQ(cache->UsedBytes(), 0u);
}

TEST(ArchiveNames, MatchBuiltInAndAddedPatternsWithoutCase)
{
    ArchiveNames names;
    for (const char* yes : {"a.zip", "Comic.CBZ", "x.7z", "x.cb7", "x.RAR", "x.cbr", "x.tar", "x.tgz", "x.tar.gz",
                            "x.tbz2", "x.tar.bz2", "x.txz", "x.Tar.Xz", "x.tzst", "x.tar.zst", "x.lzh", "x.LHA", "x.iso"})
        EXPECT_TRUE(names.Matches(yes)) << yes;
    for (const char* no : {"x.gz", "zip", "x.zip.jpg", "x.lzx", "x.bz2"})
        EXPECT_FALSE(names.Matches(no)) << no;
    names.Add("*.lzx; *.GCA");
    EXPECT_TRUE(names.Matches("x.LZX"));
    EXPECT_TRUE(names.Matches("x.gca"));
}

} // namespace
