#pragma once
// Which format a file is, from its first bytes; the one place both the
// built-in loader and the shipped plug-ins decide it. JPEG XL's signature is
// libjxl's and lives with its decoder (Jxl.h).
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace codec {

enum class HeifKind { None, Heif, Avif };

// HEIF or AVIF by the brands of the leading ftyp box: the major brand decides
// when it is specific, then the first specific compatible brand; a file that
// names only the generic image brands (mif1, msf1) counts as HEIF.
HeifKind HeifKindOf(const unsigned char* head, std::size_t size);
inline bool IsHeif(const unsigned char* head, std::size_t size) { return HeifKindOf(head, size) != HeifKind::None; }
// An AVIF image sequence (an animation) by its brand, major or compatible.
bool IsAvifSequence(const unsigned char* head, std::size_t size);

bool IsWebP(const unsigned char* head, std::size_t size);
bool IsTiff(const unsigned char* head, std::size_t size);

// TGA has no signature: this checks that the 18-byte header holds values a
// TGA writer produces, limited to what Qt's reader decodes: uncompressed true
// colour of 16, 24 or 32 bits without a colour map, a non-empty size and no
// reserved descriptor bits.
bool IsPlausibleTga(const unsigned char* head, std::size_t size);

struct TgaLayout {
    int width = 0, height = 0;
    std::uint64_t pixelsEnd = 0; // header, identifier and pixels: the least a whole file holds
};
// What a plausible TGA header (18 bytes) says about the file's size.
TgaLayout TgaLayoutOf(const unsigned char* head);

// Qt reads only TGA 2.0 files, which end in a footer; older files lack it and
// get an empty one (no extension or developer area) appended: the bytes to
// append to a file that ends in data, empty when the footer is there.
std::string_view MissingTgaFooter(const unsigned char* data, std::size_t size);

} // namespace codec
