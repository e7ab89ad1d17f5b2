#include "pluginrunner/SpiArchive.h"

#include <algorithm>

namespace SpiArchive {

namespace {

constexpr std::size_t kMethodSize = 8;
constexpr std::size_t kNameUnits = 200;

std::uint64_t Field(const unsigned char* at, std::size_t size)
{
    std::uint64_t value = 0;
    for (std::size_t i = size; i-- > 0;)
        value = value << 8 | at[i]; // little-endian, as every plug-in this runs
    return value;
}

// The text of a fixed field up to its first NUL (a NUL code unit for wide ones).
std::string Text(const unsigned char* at, bool wide)
{
    const std::size_t unit = wide ? 2 : 1;
    std::size_t n = 0;
    while (n < kNameUnits && (at[n * unit] != 0 || (wide && at[n * unit + 1] != 0)))
        ++n;
    return std::string(reinterpret_cast<const char*>(at), n * unit);
}

} // namespace

std::size_t Layout::RecordSize() const
{
    const std::size_t text = 2 * kNameUnits * (wide ? 2 : 1);
    // The 64-bit layout ends in four bytes of padding; the 32-bit one does not.
    return kMethodSize + 4 * pointerSize + text + 4 + (pointerSize == 8 ? 4 : 0);
}

std::vector<Entry> ReadBlock(const void* block, std::size_t size, Layout layout, bool& ended)
{
    ended = false;
    std::vector<Entry> entries;
    if (!block || (layout.pointerSize != 4 && layout.pointerSize != 8))
        return entries;
    const auto* bytes = static_cast<const unsigned char*>(block);
    const std::size_t record = layout.RecordSize();
    const std::size_t text = kNameUnits * (layout.wide ? 2 : 1);
    for (std::size_t at = 0; at < size && entries.size() < kMaxEntries; at += record) {
        if (bytes[at] == 0) {
            ended = true;
            break;
        }
        if (size - at < record)
            break; // a record cut short by the block's end, without an ending entry
        const unsigned char* r = bytes + at;
        Entry e;
        e.method.assign(reinterpret_cast<const char*>(r), kMethodSize);
        e.method.resize(std::min(e.method.find('\0'), kMethodSize));
        r += kMethodSize;
        e.position = Field(r, layout.pointerSize);
        e.compsize = Field(r + layout.pointerSize, layout.pointerSize);
        e.filesize = Field(r + 2 * layout.pointerSize, layout.pointerSize);
        e.timestamp = Field(r + 3 * layout.pointerSize, layout.pointerSize);
        r += 4 * layout.pointerSize;
        e.path = Text(r, layout.wide);
        e.filename = Text(r + text, layout.wide);
        e.crc = std::uint32_t(Field(r + 2 * text, 4));
        entries.push_back(std::move(e));
    }
    return entries;
}

void Put(SpiProtocol::Writer& out, const std::vector<Entry>& entries, bool ended)
{
    out.Put(std::uint8_t(ended)).Put(std::uint32_t(entries.size()));
    for (const Entry& e : entries) {
        char method[kMethodSize] = {};
        std::copy_n(e.method.data(), std::min(e.method.size(), kMethodSize), method);
        out.Bytes(method, kMethodSize)
            .Put(e.position).Put(e.compsize).Put(e.filesize).Put(e.timestamp).Put(e.crc)
            .Put(std::uint32_t(e.path.size())).Bytes(e.path.data(), e.path.size())
            .Put(std::uint32_t(e.filename.size())).Bytes(e.filename.data(), e.filename.size());
    }
}

bool Get(SpiProtocol::Reader& in, std::vector<Entry>& entries, bool& ended)
{
    entries.clear();
    const std::uint8_t endedByte = in.Get<std::uint8_t>();
    const std::uint32_t count = in.Get<std::uint32_t>();
    if (!in.Ok() || endedByte > 1 || count > kMaxEntries)
        return false;
    ended = endedByte != 0;
    // Each entry takes at least 52 bytes: a count the body cannot hold is
    // refused before anything is reserved for it.
    entries.reserve(std::min<std::uint32_t>(count, 4096));
    for (std::uint32_t i = 0; i < count; ++i) {
        Entry e;
        const char* method = in.Bytes(kMethodSize);
        e.position = in.Get<std::uint64_t>();
        e.compsize = in.Get<std::uint64_t>();
        e.filesize = in.Get<std::uint64_t>();
        e.timestamp = in.Get<std::uint64_t>();
        e.crc = in.Get<std::uint32_t>();
        const std::uint32_t pathSize = in.Get<std::uint32_t>();
        const char* path = pathSize <= 4 * kNameUnits ? in.Bytes(pathSize) : nullptr;
        const std::uint32_t nameSize = in.Get<std::uint32_t>();
        const char* name = nameSize <= 4 * kNameUnits ? in.Bytes(nameSize) : nullptr;
        if (!in.Ok() || !path || !name) {
            entries.clear();
            return false;
        }
        e.method.assign(method, std::find(method, method + kMethodSize, '\0'));
        e.path.assign(path, pathSize);
        e.filename.assign(name, nameSize);
        entries.push_back(std::move(e));
    }
    return true;
}

bool ReadListingAnswer(SpiProtocol::Reader& in, ListingAnswer& answer)
{
    answer.result = in.Get<std::int32_t>();
    const auto gaveBlock = in.Get<std::uint8_t>();
    if (!in.Ok() || gaveBlock > 1 || !Get(in, answer.entries, answer.ended) || !in.AtEnd())
        return false;
    answer.gaveBlock = gaveBlock != 0;
    // Without a block there is nothing to list.
    return answer.gaveBlock || answer.entries.empty();
}

bool ReadFileAnswer(SpiProtocol::Reader& in, std::uint64_t maxBytes, FileAnswer& answer)
{
    using SpiProtocol::BlockKind;
    answer.result = in.Get<std::int32_t>();
    const auto tooLarge = in.Get<std::uint8_t>();
    answer.kind = BlockKind(in.Get<std::uint8_t>());
    answer.size = in.Get<std::uint64_t>();
    answer.tooLarge = tooLarge != 0;
    if (!in.Ok() || !in.AtEnd() || tooLarge > 1 || answer.kind > BlockKind::SharedMoveable ||
        answer.kind == BlockKind::Invalid || answer.size > maxBytes || answer.size > SpiProtocol::kMaxBlock ||
        (answer.kind == BlockKind::Null && answer.size != 0))
        return false;
    // A failure, or an entry too large, hands over no block.
    return (answer.result == 0 && !answer.tooLarge) || answer.kind == BlockKind::Null;
}

} // namespace SpiArchive
