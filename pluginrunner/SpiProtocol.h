#pragma once
// The framed protocol between the bridge and velmora-spihost, the helper
// process that runs one plug-in file. Every frame starts with a fixed header:
// its type and the length of the body that follows. Integers are in the
// machine's byte order (both ends are the same build on the same machine).
//
// Requests (bridge to helper) and their bodies:
//   GetPluginInfo  i32 infono, i32 buflen, u8 hasBuffer, then buflen bytes
//   IsSupported    u8 readable, u32 name length, name, 2048-byte head
//   GetPictureInfo u32 flag, i64 len, u8 hasInfo, u64 source length, source
//   GetPicture     u32 flag, i64 len, u8 hasCallback, i64 lData,
//                  u64 source length, source
//   ProgressAnswer i32 what the host's callback returned
//   GetArchiveInfo u32 flag, i64 len, u8 present, u64 source length, source
//   GetFile        u32 flag, i64 len (the entry's position), u64 most bytes
//                  taken, u8 present, u64 source length, source
// Answers (helper to bridge):
//   Result         i32 result, then per call: GetPluginInfo the buffer
//                  (buflen bytes); GetPictureInfo the PictureInfo fields and
//                  one block descriptor; GetPicture two block descriptors;
//                  GetArchiveInfo u8 whether the plug-in gave a block, then
//                  the listing (pluginrunner/SpiArchive.h); GetFile u8 too
//                  large (the entry was past the most bytes and is not
//                  sent), one block descriptor
//   Failure        the text of what went wrong (the plug-in could not be
//                  loaded or lacks the export)
//   Progress       i32 nNum, i32 nDenom: the plug-in called its callback
//                  during GetPicture or GetFile. Answered with ProgressAnswer only when
//                  the request had a callback; otherwise it only tells that
//                  the plug-in is working (sent when nNum changed, at most
//                  every kProgressGapMs), which extends the call's time limit.
//
// A block descriptor is u8 kind (BlockKind) and u64 size; the bytes of every
// described block follow the body of the Result frame, in order, so that the
// bridge checks the sizes before it allocates anything. Large blocks of
// GetPicture cross as sealed anonymous files instead (no copy).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace SpiProtocol {

enum class Frame : std::uint32_t {
    GetPluginInfo = 0x53500001,
    IsSupported = 0x53500002,
    GetPictureInfo = 0x53500003,
    GetPicture = 0x53500004,
    ProgressAnswer = 0x53500005,
    GetArchiveInfo = 0x53500006,
    GetFile = 0x53500007,
    Result = 0x53508001,
    Failure = 0x53508002,
    Progress = 0x53508003,
};

struct Header {
    std::uint32_t type;
    std::uint32_t flags; // kEnding, else 0
    std::uint64_t length;
};
// On a Result or Failure: the helper ends after this answer, since its
// plug-in kept too much of its memory; the bridge starts a new one.
inline constexpr std::uint32_t kEnding = 1;
static_assert(sizeof(Header) == 16);

enum class BlockKind : std::uint8_t {
    Null = 0,    // the plug-in left the handle null
    Invalid = 1, // not a handle that LocalAlloc gave out
    Fixed = 2,
    Moveable = 3,
    // The bytes are in a sealed anonymous file whose descriptor came with
    // the Result frame's header (one descriptor per such block, in order).
    SharedFixed = 4,
    SharedMoveable = 5,
};
inline constexpr int kMaxFiles = 2;

inline constexpr std::size_t kHeadSize = 2048;
// Largest block that crosses back: a 1 GiB pixel array plus room for a header.
inline constexpr std::uint64_t kMaxBlock = (std::uint64_t(1) << 30) + 65536;
// Largest answer body the bridge reads (a GetPluginInfo buffer is its length).
inline constexpr std::uint64_t kMaxBody = std::uint64_t(16) << 20;
// How much memory a helper may take (RLIMIT_AS for the Linux helper,
// RLIMIT_DATA under wine, whose reservations RLIMIT_AS would break):
// VELMORA_SPI_MEMORY_MB, else 4 GiB, room for a 1 GiB picture and the
// plug-in's own buffers. A helper that holds more than half of it after a
// call ends.
inline constexpr unsigned long kDefaultMemoryMb = 4096;

// Progress without a callback is told no more often than this.
inline constexpr int kProgressGapMs = 50;
// The helper's end of the socket.
inline constexpr int kChannelFd = 3;

// Appends fixed-size values and byte runs to a body.
class Writer {
public:
    template <typename T>
    Writer& Put(T value)
    {
        mData.append(reinterpret_cast<const char*>(&value), sizeof value);
        return *this;
    }
    Writer& Bytes(const void* data, std::size_t size)
    {
        if (size)
            mData.append(static_cast<const char*>(data), size);
        return *this;
    }
    const std::string& Data() const { return mData; }

private:
    std::string mData;
};

// Reads a body that came from the other side; every read is bounds-checked,
// and a short or malformed body leaves Ok() false.
class Reader {
public:
    Reader(const char* data, std::size_t size) : mData(data), mSize(size) {}
    template <typename T>
    T Get()
    {
        T value{};
        if (mSize - mPos < sizeof value) {
            mOk = false;
            mPos = mSize;
            return value;
        }
        std::memcpy(&value, mData + mPos, sizeof value);
        mPos += sizeof value;
        return value;
    }
    const char* Bytes(std::size_t size)
    {
        if (mSize - mPos < size) {
            mOk = false;
            mPos = mSize;
            return nullptr;
        }
        const char* at = mData + mPos;
        mPos += size;
        return at;
    }
    bool Ok() const { return mOk; }
    bool AtEnd() const { return mPos == mSize; }

private:
    const char* mData;
    std::size_t mSize;
    std::size_t mPos = 0;
    bool mOk = true;
};

} // namespace SpiProtocol
