#pragma once
// JPEG XL through libjxl: the header with the colour profile of the decoded
// pixels, and decoding of the first frame with the stored orientation applied.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "codecs/CodecResult.h"
#include "codecs/Decoding.h"

namespace codec {

// Whether a file's first bytes are a JPEG XL codestream or container.
bool IsJxl(const unsigned char* head, std::size_t size);

// libjxl's version, e.g. "0.7.0".
std::string JxlLibraryVersion();

struct JxlHeader {
    int width = 0, height = 0;      // upright: the stored orientation applied
    bool alpha = false;
    std::vector<unsigned char> icc; // the decoded pixels' profile; empty for sRGB
};

class JxlPicture {
public:
    // Reads the file from its start until the header and colour profile are
    // known (a file source in pieces, so that little more than the header is
    // read). Lossy pictures are asked for in sRGB. options.threads and
    // options.lender: who decodes the groups of rows; options.stop is asked
    // between them.
    static Result<JxlPicture> Open(const Source& source, DecodeOptions options = {});

    JxlPicture(JxlPicture&&) noexcept;
    JxlPicture& operator=(JxlPicture&&) noexcept;
    ~JxlPicture();

    const JxlHeader& Header() const;

    // Decodes the first frame as RGB (3 channels) or RGBA (4) with straight
    // alpha, 8 bits each.
    Result<Pixels> Decode(int channels);

private:
    struct State;
    explicit JxlPicture(std::unique_ptr<State> state);
    std::unique_ptr<State> mState;
};

} // namespace codec
