// The archive reader over any bytes: listing, then reading the first files
// (and, once, an archive found inside). Nothing may crash or hang; reads
// stay under the cap; the index is in name order with clean inner paths.
#include "archives/ArchiveIndex.h"
#include "common/CodePage.h"
#include "common/NameMatch.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

constexpr qint64 kCap = qint64(1) << 20;

void Exercise(const ArchiveIndex& index, bool goDeeper)
{
    const std::vector<ArchiveEntry>& entries = index.Entries();
    QByteArray previous;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const QString& path = entries[i].path;
        Check(!path.startsWith(u'/') && !path.contains(QStringLiteral("//")), "inner paths are clean");
        const QByteArray key = ToCodePage(path);
        if (i > 0)
            Check(CompareNames(std::string_view(previous.constData(), std::size_t(previous.size())),
                               std::string_view(key.constData(), std::size_t(key.size()))) <= 0,
                  "entries in name order");
        previous = key;
    }
    for (std::size_t i = 0; i < entries.size() && i < 16; ++i) {
        const codec::Result<QByteArray> bytes = index.Read(int(i), kCap);
        if (!bytes)
            continue;
        Check(bytes->size() <= kCap, "reads stay under the cap");
        if (goDeeper) {
            const ArchiveIndex::Opened inner = index.OpenNested(int(i), kCap);
            if (inner) {
                Check((*inner)->Depth() == index.Depth() + 1, "nested one level deeper");
                Exercise(**inner, false);
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const auto cache = std::make_shared<EntryCache>(std::size_t(4) << 20);
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const ArchiveIndex::Opened index = ArchiveIndex::OpenMemory(bytes, "fuzz", 0, cache);
    if (index)
        Exercise(**index, true);
    return 0;
}
