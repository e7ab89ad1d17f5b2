#pragma once
// HEIF/HEIC and AVIF through libheif: the primary image's header with what
// the file says about its colours, and decoding with the stored rotation,
// mirroring and cropping applied.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "codecs/CodecResult.h"
#include "codecs/Decoding.h"

namespace codec {

// Colour code points of ITU-T H.273, as an nclx box holds them.
namespace h273 {
constexpr int kPrimariesBt709 = 1, kPrimariesUnspecified = 2, kPrimariesDisplayP3 = 12;
constexpr int kTransferBt470M = 4, kTransferBt470BG = 5, kTransferLinear = 8;
} // namespace h273

// An nclx box: primaries and transfer curve, with the primaries' chromaticities.
struct Nclx {
    int primaries = h273::kPrimariesUnspecified;
    int transfer = 2;
    float whiteX = 0, whiteY = 0, redX = 0, redY = 0, greenX = 0, greenY = 0, blueX = 0, blueY = 0;
};

struct HeifHeader {
    int width = 0, height = 0; // upright, as libheif hands the picture out
    bool alpha = false;
    bool premultiplied = false;      // the colours are premultiplied by alpha
    std::vector<unsigned char> icc;  // the ICC profile, when there is one
    std::optional<Nclx> nclx;        // else the nclx numbers, when there are
};

// libheif's version, e.g. "1.15.1".
const char* HeifLibraryVersion();

class HeifPicture {
public:
    // Reads the file's structure and its primary image's header; no pixels
    // are decoded. A file source is read through pread, so that libheif never
    // holds a copy of the file. options.threads: libheif's tile threads.
    static Result<HeifPicture> Open(const Source& source, DecodeOptions options = {});

    HeifPicture(HeifPicture&&) noexcept;
    HeifPicture& operator=(HeifPicture&&) noexcept;
    ~HeifPicture();

    const HeifHeader& Header() const;

    // Decodes the primary image as RGB (3 channels) or RGBA (4), 8 bits each.
    Result<Pixels> Decode(int channels);

private:
    struct State;
    explicit HeifPicture(std::unique_ptr<State> state);
    std::unique_ptr<State> mState;
};

} // namespace codec
