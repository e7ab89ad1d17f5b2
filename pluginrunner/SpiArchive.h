#pragma once
// Archive listings on their way from an archive plug-in to the program.
//
// In the helper, ReadBlock takes the fileInfo array a plug-in's
// GetArchiveInfo handed out, never reading past the block's size: records
// up to the ending entry (method[0] 0, of which only the first byte need be
// there), or up to the last whole record when the plug-in left the ending
// entry out. The helper turns the names into UTF-8 and sends the listing;
// the bridge reads it back with Get, which refuses anything malformed or
// past the limits, and hands it to the program as a local-memory block in
// the same form (Get reads that too).
//
// The form: u8 ended, u32 count, then per entry: 8 bytes method, u64
// position, u64 compsize, u64 filesize, u64 timestamp, u32 crc, u32 path
// length, the path, u32 file name length, the file name (UTF-8, as the
// plug-in gave them: folders inside either, "\" or "/" between parts).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pluginrunner/SpiProtocol.h"

namespace SpiArchive {

// How a plug-in lays out its fileInfo records.
struct Layout {
    std::size_t pointerSize = sizeof(void*); // 4 in a 32-bit Windows plug-in
    bool wide = false;                      // WCHAR path[200], filename[200]
    // 448 bytes (64-bit), 428 (32-bit); wide 848 and 828.
    std::size_t RecordSize() const;
};

struct Entry {
    std::string method; // up to 8 characters
    std::uint64_t position = 0;
    std::uint64_t compsize = 0;
    std::uint64_t filesize = 0;
    std::uint64_t timestamp = 0;
    std::uint32_t crc = 0;
    // As the plug-in wrote them (narrow bytes, or UTF-16 code units in
    // little-endian order for a wide layout) until the helper recodes them.
    std::string path;
    std::string filename;
};

// A listing is cut at this many entries and at this many bytes in its sent form.
inline constexpr std::uint32_t kMaxEntries = 1'000'000;
inline constexpr std::uint64_t kMaxListingBytes = std::uint64_t(256) << 20;

// ended: whether the ending entry was there.
std::vector<Entry> ReadBlock(const void* block, std::size_t size, Layout layout, bool& ended);

void Put(SpiProtocol::Writer& out, const std::vector<Entry>& entries, bool ended);
// False when the listing is malformed or past the limits.
bool Get(SpiProtocol::Reader& in, std::vector<Entry>& entries, bool& ended);

// The helper's answers, as the bridge reads them; false for an answer that
// is not understood (the helper is then stopped).
struct ListingAnswer {
    std::int32_t result = 0;
    bool gaveBlock = false; // the plug-in handed out a block at all
    bool ended = false;
    std::vector<Entry> entries;
};
bool ReadListingAnswer(SpiProtocol::Reader& in, ListingAnswer& answer);

struct FileAnswer {
    std::int32_t result = 0;
    bool tooLarge = false; // refused in the helper: past the most bytes asked
    SpiProtocol::BlockKind kind = SpiProtocol::BlockKind::Null;
    std::uint64_t size = 0; // of the block whose bytes follow
};
bool ReadFileAnswer(SpiProtocol::Reader& in, std::uint64_t maxBytes, FileAnswer& answer);

} // namespace SpiArchive
