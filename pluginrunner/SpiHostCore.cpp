#include "pluginrunner/SpiHostCore.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <system_error>

#include "pluginrunner/SpiArchive.h"

using namespace SpiProtocol;

namespace SpiHost {
namespace {

HostPlatform* gPlatform = nullptr;

// Set when the answer being sent is the helper's last.
bool gEnding = false;

void Send(Frame type, const std::string& body, const std::vector<int>& files = {})
{
    if (type == Frame::Result || type == Frame::Failure)
        gEnding = gPlatform->Exhausted();
    gPlatform->WriteHeader(Header{std::uint32_t(type), gEnding ? kEnding : 0, body.size()}, files);
    gPlatform->Write(body.data(), body.size());
}

void Fail(const std::string& message) { Send(Frame::Failure, message); }

void PutBlock(Writer& body, const Outgoing& block)
{
    body.Put(std::uint8_t(block.kind)).Put(block.size);
}

void SendBlockBytes(const Outgoing& block)
{
    if (block.data)
        gPlatform->Write(block.data, std::size_t(block.size));
}

// The copy has crossed; a handle that is no block is refused by the
// platform's LocalFree itself.
void Release(void* handle)
{
    if (handle)
        gPlatform->Free(handle);
}

// What a source handed to a plug-in points into.
struct Kept {
    std::string narrow;
    std::u16string wide;
    std::string bytes;
};

// The file's bytes from offset on.
bool ReadFrom(const std::string& name, std::int64_t offset, std::string& bytes)
{
    std::ifstream file(gPlatform->LocalPath(name), std::ios::binary);
    if (!file || offset < 0 || !file.seekg(0, std::ios::end))
        return false;
    const std::streamoff end = file.tellg();
    if (end < offset || !file.seekg(offset))
        return false;
    bytes.assign(std::size_t(end - offset), '\0');
    return file.read(bytes.data(), std::streamsize(bytes.size())) && file.gcount() == std::streamsize(bytes.size());
}

// The source of the picture and archive functions: a file name (flag 0),
// in UTF-16 for a plug-in's wide functions, or the file's bytes (flag 1).
// The bytes are handed to the plug-in where they lie in the request: a
// picture of tens of MiB is not copied once more. A file whose name the
// plug-in's code page cannot spell, not even as its short name, goes as its
// bytes where the caller allows (flag and len turn to memory).
const char* Source(Reader& in, unsigned int& flag, std::int64_t& len, bool wide, Kept& keep, bool mayRead)
{
    const std::uint8_t present = in.Get<std::uint8_t>();
    const std::uint64_t size = in.Get<std::uint64_t>();
    const char* bytes = in.Bytes(std::size_t(size));
    if (!present || !bytes)
        return nullptr;
    if ((flag & 7) != 0)
        return bytes;
    const std::string name(bytes, std::size_t(size));
    if (wide) {
        keep.wide = gPlatform->WideFileName(name);
        return reinterpret_cast<const char*>(keep.wide.c_str());
    }
    bool whole = true;
    keep.narrow = gPlatform->FileName(name, &whole);
    if (!whole && mayRead && ReadFrom(name, len, keep.bytes)) {
        flag = (flag & ~7u) | 1;
        len = std::int64_t(keep.bytes.size());
        return keep.bytes.data();
    }
    return keep.narrow.c_str();
}

template <typename Fn>
Fn Function(const char* name, std::string& error)
{
    return reinterpret_cast<Fn>(gPlatform->Export(name, error));
}

template <typename Fn>
Fn WideFunction(const char* name)
{
    return reinterpret_cast<Fn>(gPlatform->WideExport(name));
}

// A text of UTF-16 code units (little-endian bytes, as a fileInfoW holds
// them) as UTF-8.
std::string FromUnits(const std::string& bytes)
{
    std::u16string units(bytes.size() / 2, u'\0');
    std::memcpy(units.data(), bytes.data(), units.size() * 2);
    return gPlatform->FromWide(units);
}

void DoGetPluginInfo(Reader& in)
{
    const std::int32_t infono = in.Get<std::int32_t>();
    const std::int32_t buflen = in.Get<std::int32_t>();
    const std::uint8_t hasBuffer = in.Get<std::uint8_t>();
    const std::size_t size = buflen > 0 ? std::size_t(buflen) : 0;
    const char* was = in.Bytes(size);
    if (!in.Ok())
        gPlatform->Quit(2);
    std::string error;
    const auto wide = WideFunction<GetPluginInfoWFn>("GetPluginInfo");
    const auto fn = wide ? nullptr : Function<GetPluginInfoFn>("GetPluginInfo", error);
    if (!wide && !fn)
        return Fail(error);
    // One byte beyond what the plug-in is told, as the host keeps it.
    std::vector<char> buffer(size + 1, '\0');
    if (size)
        std::memcpy(buffer.data(), was, size);
    int r = 0;
    if (wide) {
        // buflen counts characters; the answer goes back in as many bytes.
        std::u16string text(size + 1, u'\0');
        const std::u16string given = gPlatform->ToWide(buffer.data());
        std::copy_n(given.begin(), std::min(given.size(), size), text.begin());
        r = wide(infono, hasBuffer ? text.data() : nullptr, buflen);
        text[size] = u'\0';
        std::string answer = gPlatform->FromWide(text.c_str());
        CutUtf8(answer, size ? size - 1 : 0);
        std::fill(buffer.begin(), buffer.end(), '\0');
        std::copy(answer.begin(), answer.end(), buffer.begin());
    } else {
        gPlatform->BufferToPlugin(buffer);
        r = fn(infono, hasBuffer ? buffer.data() : nullptr, buflen);
        buffer[size] = '\0';
        gPlatform->BufferFromPlugin(buffer);
    }
    Writer body;
    body.Put(std::int32_t(r)).Bytes(buffer.data(), size);
    Send(Frame::Result, body.Data());
}

void DoIsSupported(Reader& in)
{
    const std::uint8_t readable = in.Get<std::uint8_t>();
    const std::uint32_t nameSize = in.Get<std::uint32_t>();
    const char* name = in.Bytes(nameSize);
    const char* head = in.Bytes(kHeadSize);
    if (!in.Ok())
        gPlatform->Quit(2);
    std::string error;
    const auto wide = WideFunction<IsSupportedWFn>("IsSupported");
    const auto fn = wide ? nullptr : Function<IsSupportedFn>("IsSupported", error);
    if (!wide && !fn)
        return Fail(error);
    int r = 0;
    if (readable) {
        const std::string given(name, nameSize);
        std::vector<char> copy(head, head + kHeadSize);
        // A name the code page cannot spell goes as well as it can: the
        // head decides.
        r = wide ? wide(gPlatform->WideFileName(given).c_str(), copy.data())
                 : fn(gPlatform->FileName(given).c_str(), copy.data());
    }
    Send(Frame::Result, Writer().Put(std::int32_t(r)).Data());
}

void DoGetPictureInfo(Reader& in)
{
    std::uint32_t flag = in.Get<std::uint32_t>();
    std::int64_t len = in.Get<std::int64_t>();
    const std::uint8_t hasInfo = in.Get<std::uint8_t>();
    const auto wide = WideFunction<GetPictureInfoWFn>("GetPictureInfo");
    Kept keep;
    const char* source = Source(in, flag, len, wide != nullptr, keep, true);
    if (!in.Ok())
        gPlatform->Quit(2);
    std::string error;
    const auto fn = wide ? nullptr : Function<GetPictureInfoFn>("GetPictureInfo", error);
    if (!wide && !fn)
        return Fail(error);
    PictureInfo info{};
    PictureInfo* const out = hasInfo ? &info : nullptr;
    const int r = wide ? wide(reinterpret_cast<const char16_t*>(source), std::intptr_t(len), flag, out)
                       : fn(source, std::intptr_t(len), flag, out);
    const Outgoing text = gPlatform->Describe(info.hInfo);
    Writer body;
    body.Put(std::int32_t(r))
        .Put(info.left).Put(info.top).Put(info.width).Put(info.height)
        .Put(info.x_density).Put(info.y_density).Put(info.colorDepth);
    PutBlock(body, text);
    Send(Frame::Result, body.Data());
    SendBlockBytes(text);
    Release(info.hInfo);
}

using Clock = std::chrono::steady_clock;

// Whether the host of the current GetPicture gave a callback; without one,
// the progress last told and when.
bool gHostProgress = false;
std::optional<int> gTold;
Clock::time_point gToldAt;

// Reports progress to the bridge, which extends the call's time limit while
// it moves; passes the host's answer back to the plug-in when it has a
// callback. Without one, only changes go, and not more often than needed.
int SPI_CALL Progress(int nNum, int nDenom, std::intptr_t)
{
    if (!gHostProgress) {
        const Clock::time_point now = Clock::now();
        if (gTold == nNum || (gTold && now - gToldAt < std::chrono::milliseconds(kProgressGapMs)))
            return 0;
        gTold = nNum;
        gToldAt = now;
    }
    Send(Frame::Progress, Writer().Put(std::int32_t(nNum)).Put(std::int32_t(nDenom)).Data());
    if (!gHostProgress)
        return 0;
    Header header;
    gPlatform->Read(&header, sizeof header);
    if (header.type != std::uint32_t(Frame::ProgressAnswer) || header.length != 4)
        gPlatform->Quit(2);
    std::int32_t answer;
    gPlatform->Read(&answer, sizeof answer);
    return answer;
}

void DoGetPicture(Reader& in)
{
    std::uint32_t flag = in.Get<std::uint32_t>();
    std::int64_t len = in.Get<std::int64_t>();
    const std::uint8_t hasCallback = in.Get<std::uint8_t>();
    const std::int64_t lData = in.Get<std::int64_t>();
    const auto wide = WideFunction<GetPictureWFn>("GetPicture");
    Kept keep;
    const char* source = Source(in, flag, len, wide != nullptr, keep, true);
    if (!in.Ok())
        gPlatform->Quit(2);
    std::string error;
    const auto fn = wide ? nullptr : Function<GetPictureFn>("GetPicture", error);
    if (!wide && !fn)
        return Fail(error);
    void* hInfo = nullptr;
    void* hBits = nullptr;
    // Plug-ins get a callback even when the host gave none: some call it
    // without looking, and it tells the bridge that they are working.
    gHostProgress = hasCallback != 0;
    gTold.reset();
    const int r = wide ? wide(reinterpret_cast<const char16_t*>(source), std::intptr_t(len), flag, &hInfo,
                              &hBits, Progress, std::intptr_t(lData))
                       : fn(source, std::intptr_t(len), flag, &hInfo, &hBits, Progress, std::intptr_t(lData));
    Writer body;
    body.Put(std::int32_t(r));
    if (r != 0) {
        // A failed call hands over nothing the host would release: the
        // plug-in's leftovers are dropped here and only their presence told.
        PutBlock(body, {hInfo ? BlockKind::Invalid : BlockKind::Null});
        PutBlock(body, {hBits ? BlockKind::Invalid : BlockKind::Null});
        Send(Frame::Result, body.Data());
    } else {
        std::vector<int> files;
        const Outgoing info = gPlatform->Share(hInfo, files);
        const Outgoing bits = gPlatform->Share(hBits, files);
        PutBlock(body, info);
        PutBlock(body, bits);
        Send(Frame::Result, body.Data(), files);
        SendBlockBytes(info);
        SendBlockBytes(bits);
    }
    Release(hInfo);
    if (hBits != hInfo)
        Release(hBits);
}

// Archive plug-ins: the scratch folder is entered before their first call.
// Their current folder and the folder they write files into lie this deep
// inside it.
bool gInScratch = false;
const char kWork[] = "/1/2/3/4";

std::string WorkFolder()
{
    return gPlatform->scratch + kWork;
}

void EnterScratch()
{
    if (!gInScratch && !gPlatform->scratch.empty())
        gPlatform->EnterScratch(WorkFolder());
    gInScratch = true;
}

// Removes what a plug-in left in the scratch folder, keeping the folder
// and the work folder inside it.
void EmptyScratch()
{
    if (gPlatform->scratch.empty())
        return;
    std::error_code error;
    const std::filesystem::path folder = gPlatform->LocalPath(gPlatform->scratch);
    const std::filesystem::path work = gPlatform->LocalPath(WorkFolder());
    // Everything but the folders on the way to the work folder, which is
    // the current folder and cannot go (on Windows).
    for (std::filesystem::path at = work;; at = at.parent_path()) {
        for (std::filesystem::directory_iterator it(at, error), end; !error && it != end; it.increment(error))
            if (!work.native().starts_with(it->path().native()))
                std::filesystem::remove_all(it->path(), error);
        error.clear();
        if (at == folder || !at.has_relative_path())
            break;
    }
    std::filesystem::create_directories(work, error);
}

// The one file a plug-in wrote into the scratch folder (under folders of
// its entry's path, perhaps), read whole when it is no larger than most.
bool TakeWrittenFile(std::uint64_t most, std::string& bytes, bool& tooLarge)
{
    std::error_code error;
    const std::filesystem::path folder = gPlatform->LocalPath(gPlatform->scratch);
    for (std::filesystem::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_symlink(error) || !it->is_regular_file(error))
            continue;
        const std::uintmax_t size = it->file_size(error);
        if (error)
            return false;
        if (size > most) {
            tooLarge = true;
            return false;
        }
        std::ifstream file(it->path(), std::ios::binary);
        bytes.assign(std::size_t(size), '\0');
        return file.read(bytes.data(), std::streamsize(size)) && file.gcount() == std::streamsize(size);
    }
    return false;
}

// GetArchiveInfoW goes with GetFileW: a plug-in's wide archive functions
// are used when it has both.
bool WideArchives()
{
    return gPlatform->WideExport("GetArchiveInfo") && gPlatform->WideExport("GetFile");
}

void DoGetArchiveInfo(Reader& in)
{
    std::uint32_t flag = in.Get<std::uint32_t>();
    std::int64_t len = in.Get<std::int64_t>();
    const bool wideArchives = WideArchives();
    Kept keep;
    const char* source = Source(in, flag, len, wideArchives, keep, false);
    if (!in.Ok())
        gPlatform->Quit(2);
    std::string error;
    const auto wide = wideArchives ? WideFunction<GetArchiveInfoWFn>("GetArchiveInfo") : nullptr;
    const auto fn = wide ? nullptr : Function<GetArchiveInfoFn>("GetArchiveInfo", error);
    if (!wide && !fn)
        return Fail(error);
    EnterScratch();
    void* hInf = nullptr;
    const int r = wide ? wide(reinterpret_cast<const char16_t*>(source), std::intptr_t(len), flag, &hInf)
                       : fn(source, std::intptr_t(len), flag, &hInf);
    EmptyScratch();
    // Some plug-ins return an error code with a valid block: the block counts.
    bool ended = false;
    std::vector<SpiArchive::Entry> entries;
    if (void* data = hInf ? gPlatform->Lock(hInf) : nullptr) {
        entries = SpiArchive::ReadBlock(data, gPlatform->Size(hInf), SpiArchive::Layout{sizeof(void*), wide != nullptr},
                                        ended);
        gPlatform->Unlock(hInf);
    }
    for (SpiArchive::Entry& e : entries) {
        e.path = wide ? FromUnits(e.path) : gPlatform->TextFromPlugin(e.path);
        e.filename = wide ? FromUnits(e.filename) : gPlatform->TextFromPlugin(e.filename);
    }
    Release(hInf);
    Writer body;
    body.Put(std::int32_t(r)).Put(std::uint8_t(hInf != nullptr));
    SpiArchive::Put(body, entries, ended);
    Send(Frame::Result, body.Data());
}

// Whether this plug-in gave an entry in memory, or wrote one to a folder,
// when it was asked for memory before.
bool gGivesMemory = false;
bool gWritesFiles = false;

void DoGetFile(Reader& in)
{
    std::uint32_t flag = in.Get<std::uint32_t>();
    std::int64_t len = in.Get<std::int64_t>();
    const std::uint64_t most = in.Get<std::uint64_t>();
    const bool wideArchives = WideArchives();
    Kept keep;
    const char* source = Source(in, flag, len, wideArchives, keep, false);
    if (!in.Ok())
        gPlatform->Quit(2);
    std::string error;
    const auto wide = wideArchives ? WideFunction<GetFileWFn>("GetFile") : nullptr;
    const auto narrow = wide ? nullptr : Function<GetFileFn>("GetFile", error);
    if (!wide && !narrow)
        return Fail(error);
    // dest is a folder's name, or where the block's handle goes.
    const auto fn = [&](void* dest, unsigned int how) {
        return wide ? wide(reinterpret_cast<const char16_t*>(source), std::intptr_t(len), static_cast<char16_t*>(dest),
                           how, Progress, 0)
                    : narrow(source, std::intptr_t(len), static_cast<char*>(dest), how, Progress, 0);
    };
    EnterScratch();
    gHostProgress = false;
    gTold.reset();
    constexpr unsigned int kDestination = 0x700, kToMemory = 0x100;
    int r = -1;
    void* handle = nullptr;
    if (!gWritesFiles) {
        r = fn(&handle, (flag & ~kDestination) | kToMemory);
        if (r != 0 && handle) {
            Release(handle); // leftovers of a failed call
            handle = nullptr;
        }
        gGivesMemory = gGivesMemory || (r == 0 && handle);
    }
    std::string written;
    bool tooLarge = false;
    // A plug-in that cannot give memory writes the entry into the scratch
    // folder, which is emptied after every call.
    if (!handle && !gGivesMemory && r != 1 && !gPlatform->scratch.empty()) {
        EmptyScratch();
        std::string dest = gPlatform->FileName(WorkFolder());
        std::u16string wideDest = wide ? gPlatform->WideFileName(WorkFolder()) : std::u16string();
        r = fn(wide ? static_cast<void*>(wideDest.data()) : dest.data(), flag & ~kDestination);
        if (r == 0 && !TakeWrittenFile(most, written, tooLarge) && !tooLarge)
            r = 6; // it said it wrote the file, but there is none
        gWritesFiles = gWritesFiles || (r == 0 && !tooLarge);
    }
    EmptyScratch();
    Writer body;
    Outgoing block;
    std::vector<int> files;
    bool shared = false;
    if (handle) {
        const Outgoing described = gPlatform->Describe(handle);
        if (described.kind == BlockKind::Invalid) {
            r = 5; // not a handle LocalAlloc gave out
        } else if (described.size > most) {
            tooLarge = true;
        } else {
            gPlatform->Unlock(handle);
            block = gPlatform->Share(handle, files);
            shared = block.kind == BlockKind::SharedFixed || block.kind == BlockKind::SharedMoveable;
        }
    } else if (r == 0 && !tooLarge) {
        block = {BlockKind::Fixed, written.size(), written.data()};
    }
    body.Put(std::int32_t(r)).Put(std::uint8_t(tooLarge));
    PutBlock(body, block);
    Send(Frame::Result, body.Data(), files);
    SendBlockBytes(block);
    // A block that crossed as its file is freed already.
    if (handle && !shared)
        Release(handle);
}

} // namespace

void CutUtf8(std::string& text, std::size_t limit)
{
    if (text.size() <= limit)
        return;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    text.resize(end);
}

void HostPlatform::WriteHeader(const Header& header, const std::vector<int>&)
{
    Write(&header, sizeof header);
}

Outgoing HostPlatform::Describe(void* handle)
{
    Outgoing out;
    if (!handle)
        return out;
    void* data = Lock(handle);
    if (!data) {
        out.kind = BlockKind::Invalid;
        return out;
    }
    out.kind = data == handle ? BlockKind::Fixed : BlockKind::Moveable;
    out.size = Size(handle);
    out.data = data;
    return out;
}

Outgoing HostPlatform::Share(void* handle, std::vector<int>&)
{
    return Describe(handle);
}

void Serve(HostPlatform& platform)
{
    gPlatform = &platform;
    for (;;) {
        Header header;
        platform.Read(&header, sizeof header);
        std::string body(std::size_t(header.length), '\0');
        platform.Read(body.data(), body.size());
        Reader in(body.data(), body.size());
        switch (Frame(header.type)) {
        case Frame::GetPluginInfo:
            DoGetPluginInfo(in);
            break;
        case Frame::IsSupported:
            DoIsSupported(in);
            break;
        case Frame::GetPictureInfo:
            DoGetPictureInfo(in);
            break;
        case Frame::GetPicture:
            DoGetPicture(in);
            break;
        case Frame::GetArchiveInfo:
            DoGetArchiveInfo(in);
            break;
        case Frame::GetFile:
            DoGetFile(in);
            break;
        default:
            platform.Quit(2);
        }
        if (gEnding)
            platform.Quit(0);
    }
}

std::uint64_t MemoryLimit()
{
    unsigned long mb = kDefaultMemoryMb;
    if (const char* text = std::getenv("VELMORA_SPI_MEMORY_MB")) {
        const unsigned long value = std::strtoul(text, nullptr, 10);
        if (value >= 64 && value < (1UL << 20))
            mb = value;
    }
    return std::uint64_t(mb) << 20;
}

} // namespace SpiHost
