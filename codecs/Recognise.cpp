#include "codecs/Recognise.h"

#include <cstring>

namespace codec {

namespace {

std::uint32_t Be32(const unsigned char* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

unsigned Le16(const unsigned char* p) { return unsigned(p[0]) | unsigned(p[1]) << 8; }

HeifKind BrandKind(const unsigned char* brand)
{
    static const char* const heif[] = {"heic", "heix", "hevc", "hevx", "heim", "heis"};
    for (const char* h : heif)
        if (std::memcmp(brand, h, 4) == 0)
            return HeifKind::Heif;
    if (std::memcmp(brand, "avif", 4) == 0 || std::memcmp(brand, "avis", 4) == 0)
        return HeifKind::Avif;
    return HeifKind::None;
}

bool IsGenericBrand(const unsigned char* brand)
{
    return std::memcmp(brand, "mif1", 4) == 0 || std::memcmp(brand, "msf1", 4) == 0;
}

// The TGA 2.0 footer of a file without extension or developer area.
constexpr char kTgaFooter[26] = {0, 0, 0, 0, 0, 0, 0, 0, 'T', 'R', 'U', 'E', 'V', 'I', 'S', 'I', 'O',
                                 'N', '-', 'X', 'F', 'I', 'L', 'E', '.', 0};

} // namespace

namespace {

// The leading ftyp box's brands: major at [first, first + 4), compatible
// ones every 4 bytes from first + 8 to end. False without such a box.
bool FtypBrands(const unsigned char* head, std::size_t size, std::size_t& first, std::size_t& end)
{
    if (size < 16 || std::memcmp(head + 4, "ftyp", 4) != 0)
        return false;
    std::uint64_t boxSize = Be32(head);
    first = 8;
    if (boxSize == 1) { // a 64-bit size follows the type
        if (size < 24)
            return false;
        boxSize = std::uint64_t(Be32(head + 8)) << 32 | Be32(head + 12);
        first = 16;
    } else if (boxSize == 0) { // the box runs to the end of the file
        boxSize = size;
    }
    if (boxSize < first + 8)
        return false;
    end = boxSize < size ? std::size_t(boxSize) : size;
    return true;
}

} // namespace

HeifKind HeifKindOf(const unsigned char* head, std::size_t size)
{
    std::size_t first = 0, end = 0;
    if (!FtypBrands(head, size, first, end))
        return HeifKind::None;
    // Major brand, minor version, then compatible brands to the box's end.
    const unsigned char* major = head + first;
    if (const HeifKind kind = BrandKind(major); kind != HeifKind::None)
        return kind;
    bool generic = IsGenericBrand(major);
    for (std::size_t at = first + 8; at + 4 <= end; at += 4) {
        if (const HeifKind kind = BrandKind(head + at); kind != HeifKind::None)
            return kind;
        generic = generic || IsGenericBrand(head + at);
    }
    return generic ? HeifKind::Heif : HeifKind::None;
}

bool IsAvifSequence(const unsigned char* head, std::size_t size)
{
    std::size_t first = 0, end = 0;
    if (!FtypBrands(head, size, first, end))
        return false;
    for (std::size_t at = first; at + 4 <= end; at += at == first ? 8 : 4)
        if (std::memcmp(head + at, "avis", 4) == 0)
            return true;
    return false;
}

bool IsWebP(const unsigned char* head, std::size_t size)
{
    return size >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WEBP", 4) == 0;
}

bool IsTiff(const unsigned char* head, std::size_t size)
{
    return size >= 4 && (std::memcmp(head, "II*\0", 4) == 0 || std::memcmp(head, "MM\0*", 4) == 0);
}

bool IsPlausibleTga(const unsigned char* head, std::size_t size)
{
    if (size < 18)
        return false;
    const unsigned mapType = head[1], type = head[2], depth = head[16], descriptor = head[17];
    return mapType == 0 && type == 2 && Le16(head + 12) != 0 && Le16(head + 14) != 0 &&
           (depth == 16 || depth == 24 || depth == 32) && (descriptor & 0xC0) == 0;
}

TgaLayout TgaLayoutOf(const unsigned char* head)
{
    TgaLayout layout;
    layout.width = int(Le16(head + 12));
    layout.height = int(Le16(head + 14));
    layout.pixelsEnd = 18 + std::uint64_t(head[0]) +
                       std::uint64_t(layout.width) * std::uint64_t(layout.height) * ((head[16] + 7u) / 8u);
    return layout;
}

std::string_view MissingTgaFooter(const unsigned char* data, std::size_t size)
{
    const std::string_view footer(kTgaFooter, sizeof kTgaFooter);
    const std::string_view signature = footer.substr(8);
    if (size >= 18 + footer.size() && std::memcmp(data + size - signature.size(), signature.data(), signature.size()) == 0)
        return {};
    return footer;
}

} // namespace codec
