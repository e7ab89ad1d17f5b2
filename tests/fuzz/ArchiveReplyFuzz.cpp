// What an archive plug-in and its helper answer, from hostile bytes: the
// first byte picks where the bytes enter.
//   0: a plug-in's fileInfo block (narrow or wide, 32- or 64-bit records),
//      as the helper reads it, then the whole way to the program's listing.
//   1: a helper's answer to GetArchiveInfo, as the bridge reads it.
//   2: a helper's answer to GetFile.
//   3: a listing block as the program takes it from the bridge.
// Nothing may crash or read past the bytes; what is taken is bounded, and
// a listing the program takes is in name order with clean inner paths.
#include "common/CodePage.h"
#include "common/NameMatch.h"
#include "pluginhost/ClsArchivePlugin.h"
#include "pluginrunner/SpiArchive.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

void TakeListing(const QByteArray& bytes)
{
    ClsArchivePlugin::Listing listing;
    if (!ClsArchivePlugin::ReadListing(bytes, listing))
        return;
    Check(listing.files.size() == listing.positions.size(), "a position for every file");
    QByteArray previous;
    for (std::size_t i = 0; i < listing.files.size(); ++i) {
        const ArchiveEntry& file = listing.files[i];
        Check(!file.path.isEmpty() && !file.path.startsWith(u'/') && !file.path.endsWith(u'/') &&
                  !file.path.contains(QStringLiteral("//")) && !file.path.contains(u'\\'),
              "inner paths are clean");
        Check(file.header >= 0 && std::size_t(file.header) < listing.positions.size(), "positions found again");
        Check(file.size == -1 || file.size > 0, "sizes known or unknown");
        const QByteArray key = ToCodePage(file.path);
        if (i > 0)
            Check(CompareNames(std::string_view(previous.constData(), std::size_t(previous.size())),
                               std::string_view(key.constData(), std::size_t(key.size()))) <= 0,
                  "files in name order");
        previous = key;
    }
}

QByteArray Sent(const std::vector<SpiArchive::Entry>& entries, bool ended)
{
    SpiProtocol::Writer out;
    SpiArchive::Put(out, entries, ended);
    return QByteArray(out.Data().data(), qsizetype(out.Data().size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t way = data[0];
    // An exact copy, so that a read past the bytes is caught.
    const std::vector<char> rest(data + 1, data + size);
    SpiProtocol::Reader in(rest.data(), rest.size());
    switch (way % 4) {
    case 0: {
        const SpiArchive::Layout layout{(way & 0x10) ? 4u : 8u, (way & 0x20) != 0};
        bool ended = false;
        const std::vector<SpiArchive::Entry> entries = SpiArchive::ReadBlock(rest.data(), rest.size(), layout, ended);
        Check(entries.size() * layout.RecordSize() <= rest.size(), "records within the block");
        // What the helper sends comes back the same.
        const QByteArray sent = Sent(entries, ended);
        SpiProtocol::Reader back(sent.constData(), std::size_t(sent.size()));
        std::vector<SpiArchive::Entry> again;
        bool endedAgain = false;
        const bool read = SpiArchive::Get(back, again, endedAgain);
        Check(read && back.AtEnd() && again.size() == entries.size() && endedAgain == ended, "listings cross whole");
        for (std::size_t i = 0; i < again.size(); ++i)
            Check(again[i].path == entries[i].path && again[i].filename == entries[i].filename &&
                      again[i].position == entries[i].position && again[i].filesize == entries[i].filesize,
                  "entries cross whole");
        TakeListing(sent);
        break;
    }
    case 1: {
        SpiArchive::ListingAnswer answer;
        if (SpiArchive::ReadListingAnswer(in, answer)) {
            Check(answer.gaveBlock || answer.entries.empty(), "no listing without a block");
            Check(answer.entries.size() <= SpiArchive::kMaxEntries, "listings bounded");
            TakeListing(Sent(answer.entries, answer.ended));
        }
        break;
    }
    case 2: {
        const std::uint64_t most = std::uint64_t(way) << 12;
        SpiArchive::FileAnswer answer;
        if (SpiArchive::ReadFileAnswer(in, most, answer)) {
            Check(answer.size <= most, "no block past the most asked");
            Check(answer.kind == SpiProtocol::BlockKind::Null || (answer.result == 0 && !answer.tooLarge),
                  "a block only with success");
        }
        break;
    }
    default:
        TakeListing(QByteArray(rest.data(), qsizetype(rest.size())));
    }
    return 0;
}
