// Path handling of the folder list: any bytes as a folder name, below a
// small fixed tree. Names go to the file system and back unchanged, the walk
// starts where it is told, and every entry it lists lies below the start.
#include "common/CodePage.h"
#include "common/PathText.h"
#include "slideshow/FolderList.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <QByteArray>
#include <QDir>
#include <QString>

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

const QString& Root()
{
    static const QString root = [] {
        const QString base = QDir("/dev/shm").exists() ? "/dev/shm" : QDir::tempPath();
        const QString path = base + "/velmora-fuzz-paths-" + QString::number(getpid());
        QDir().mkpath(path + "/a/b c/d ");
        QDir().mkpath(path + "/a/.hidden/e");
        QDir().mkpath(path + "/f");
        return path;
    }();
    return root;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString name = FromCodePage(bytes);
    Check(ToCodePage(name) == bytes, "file names cross the code page unchanged");

    const QString withSeparator = AddPathSeparator(name);
    Check(withSeparator.endsWith(u'/'), "AddPathSeparator ends in a separator");
    Check(!TrimAtNull(name).contains(QChar(0)), "TrimAtNull cuts at the NUL");

    // Stay inside the tree: ".." could lead the walk over the whole disk.
    if (bytes.contains("..") || bytes.contains('\0'))
        return 0;
    const QString start = Root() + "/" + name;
    ClsFolderList list;
    list.SearchDirs(start);
    Check(list.ListCount() >= 1, "the start folder is always listed");
    Check(list.FindDir(0) == start, "element 0 is the start folder as given");
    for (std::int32_t i = 1; i < list.ListCount(); ++i)
        Check(list.FindDir(i).startsWith(AddPathSeparator(start).chopped(1)), "walk stays below the start");
    return 0;
}
