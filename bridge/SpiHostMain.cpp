// velmora-spihost PLUGIN: runs one plug-in file for the bridge, so that a
// plug-in that crashes, hangs or scribbles over memory takes only this
// process down. It answers the requests that arrive on descriptor 3
// (bridge/SpiProtocol.h) until the bridge closes its end, and provides
// LocalAlloc and its relatives to the plug-in (exported from this program).
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bridge/LoadPlugin.h"
#include "bridge/SpiProtocol.h"
#include "platform/LocalMemory.h"

using namespace SpiProtocol;

namespace {

const char* gPluginPath = nullptr;
void* gModule = nullptr;

[[noreturn]] void Quit(int code) { _exit(code); }

void ReadExactly(void* data, std::size_t size)
{
    auto* at = static_cast<char*>(data);
    while (size) {
        const ssize_t n = read(kChannelFd, at, size);
        if (n > 0) {
            at += n;
            size -= std::size_t(n);
        } else if (n == 0 || errno != EINTR) {
            Quit(0); // the bridge is gone
        }
    }
}

void WriteExactly(const void* data, std::size_t size)
{
    const auto* at = static_cast<const char*>(data);
    while (size) {
        const ssize_t n = send(kChannelFd, at, size, MSG_NOSIGNAL);
        if (n > 0) {
            at += n;
            size -= std::size_t(n);
        } else if (n < 0 && errno != EINTR) {
            Quit(0);
        }
    }
}

// The header goes with the descriptors of the shared blocks, if any.
void Send(Frame type, const std::string& body, const std::vector<int>& files = {})
{
    const Header header{std::uint32_t(type), 0, body.size()};
    if (files.empty()) {
        WriteExactly(&header, sizeof header);
    } else {
        char control[CMSG_SPACE(sizeof(int) * kMaxFiles)] = {};
        iovec part{const_cast<Header*>(&header), sizeof header};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(sizeof(int) * files.size());
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * files.size());
        std::memcpy(CMSG_DATA(c), files.data(), sizeof(int) * files.size());
        ssize_t n;
        while ((n = sendmsg(kChannelFd, &message, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
        }
        if (n < 0)
            Quit(0);
        if (std::size_t(n) < sizeof header)
            WriteExactly(reinterpret_cast<const char*>(&header) + n, sizeof header - std::size_t(n));
    }
    WriteExactly(body.data(), body.size());
}

void Fail(const std::string& message) { Send(Frame::Failure, message); }

// The plug-in's export, loading the file on first use; a file that cannot
// be loaded is tried again on the next request, as in the bridge itself.
void* Export(const char* name, std::string& error)
{
    if (!gModule) {
        gModule = dlopen(gPluginPath, RTLD_NOW | RTLD_LOCAL);
        if (!gModule) {
            const char* why = dlerror();
            error = std::string("cannot load plug-in ") + gPluginPath + ": " +
                    (why ? why : "unknown reason");
            return nullptr;
        }
    }
    dlerror();
    void* symbol = dlsym(gModule, name);
    if (!symbol)
        error = std::string("plug-in ") + gPluginPath + " has no function " + name;
    return symbol;
}

// A block the plug-in handed out, as it crosses back.
struct Outgoing {
    BlockKind kind = BlockKind::Null;
    std::uint64_t size = 0;
    const void* data = nullptr;
};

Outgoing Describe(void* handle)
{
    Outgoing out;
    if (!handle)
        return out;
    void* data = LocalLock(handle);
    if (!data) {
        out.kind = BlockKind::Invalid;
        return out;
    }
    out.kind = data == handle ? BlockKind::Fixed : BlockKind::Moveable;
    out.size = LocalSize(handle);
    out.data = data;
    return out;
}

// A large block crosses as its sealed file (and is freed here); any
// other block is described for a copy.
Outgoing Share(void* handle, std::vector<int>& files)
{
    if (!handle)
        return {};
    const std::size_t size = LocalSize(handle);
    void* data = LocalLock(handle);
    const bool moveable = data && data != handle;
    if (data)
        LocalUnlock(handle);
    const int file = LocalReleaseToFile(handle);
    if (file == -1)
        return Describe(handle);
    if (file < 0)
        return {BlockKind::Invalid};
    files.push_back(file);
    return {moveable ? BlockKind::SharedMoveable : BlockKind::SharedFixed, size};
}

void PutBlock(Writer& body, const Outgoing& block)
{
    body.Put(std::uint8_t(block.kind)).Put(block.size);
}

void SendBlockBytes(const Outgoing& block)
{
    if (block.data)
        WriteExactly(block.data, block.size);
}

// The copy has crossed; an unknown handle is refused by LocalFree itself.
void Release(void* handle)
{
    if (handle)
        LocalFree(handle);
}

// The source of GetPicture and GetPictureInfo: a file name or the bytes.
const char* Source(Reader& in, std::string& keep)
{
    const std::uint8_t present = in.Get<std::uint8_t>();
    const std::uint64_t size = in.Get<std::uint64_t>();
    const char* bytes = in.Bytes(size);
    if (!present || !bytes)
        return nullptr;
    keep.assign(bytes, size);
    keep.push_back('\0');
    return keep.data();
}

void DoGetPluginInfo(Reader& in)
{
    const std::int32_t infono = in.Get<std::int32_t>();
    const std::int32_t buflen = in.Get<std::int32_t>();
    const std::uint8_t hasBuffer = in.Get<std::uint8_t>();
    const std::size_t size = buflen > 0 ? std::size_t(buflen) : 0;
    const char* was = in.Bytes(size);
    if (!in.Ok())
        Quit(2);
    std::string error;
    auto fn = reinterpret_cast<int (*)(int, char*, int)>(Export("GetPluginInfo", error));
    if (!fn)
        return Fail(error);
    // One byte beyond what the plug-in is told, as the host keeps it.
    std::vector<char> buffer(size + 1, '\0');
    if (size)
        std::memcpy(buffer.data(), was, size);
    const int r = fn(infono, hasBuffer ? buffer.data() : nullptr, buflen);
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
        Quit(2);
    std::string error;
    auto fn = reinterpret_cast<int (*)(const char*, void*)>(Export("IsSupported", error));
    if (!fn)
        return Fail(error);
    int r = 0;
    if (readable) {
        const std::string fileName(name, nameSize);
        std::vector<char> copy(head, head + kHeadSize);
        r = fn(fileName.c_str(), copy.data());
    }
    Send(Frame::Result, Writer().Put(std::int32_t(r)).Data());
}

void DoGetPictureInfo(Reader& in)
{
    const std::uint32_t flag = in.Get<std::uint32_t>();
    const std::int64_t len = in.Get<std::int64_t>();
    const std::uint8_t hasInfo = in.Get<std::uint8_t>();
    std::string keep;
    const char* source = Source(in, keep);
    if (!in.Ok())
        Quit(2);
    std::string error;
    auto fn = reinterpret_cast<int (*)(const char*, std::intptr_t, unsigned, PictureInfo*)>(
        Export("GetPictureInfo", error));
    if (!fn)
        return Fail(error);
    PictureInfo info{};
    const int r = fn(source, std::intptr_t(len), flag, hasInfo ? &info : nullptr);
    const Outgoing text = Describe(info.hInfo);
    Writer body;
    body.Put(std::int32_t(r))
        .Put(info.left).Put(info.top).Put(info.width).Put(info.height)
        .Put(info.x_density).Put(info.y_density).Put(info.colorDepth);
    PutBlock(body, text);
    Send(Frame::Result, body.Data());
    SendBlockBytes(text);
    Release(info.hInfo);
}

int Progress(int nNum, int nDenom, std::intptr_t)
{
    Send(Frame::Progress, Writer().Put(std::int32_t(nNum)).Put(std::int32_t(nDenom)).Data());
    Header header;
    ReadExactly(&header, sizeof header);
    if (header.type != std::uint32_t(Frame::ProgressAnswer) || header.length != 4)
        Quit(2);
    std::int32_t answer;
    ReadExactly(&answer, sizeof answer);
    return answer;
}

void DoGetPicture(Reader& in)
{
    const std::uint32_t flag = in.Get<std::uint32_t>();
    const std::int64_t len = in.Get<std::int64_t>();
    const std::uint8_t hasCallback = in.Get<std::uint8_t>();
    const std::int64_t lData = in.Get<std::int64_t>();
    std::string keep;
    const char* source = Source(in, keep);
    if (!in.Ok())
        Quit(2);
    std::string error;
    auto fn = reinterpret_cast<int (*)(const char*, std::intptr_t, unsigned, void**, void**,
                                       SpiProgressCallback, std::intptr_t)>(
        Export("GetPicture", error));
    if (!fn)
        return Fail(error);
    void* hInfo = nullptr;
    void* hBits = nullptr;
    const int r = fn(source, std::intptr_t(len), flag, &hInfo, &hBits,
                     hasCallback ? Progress : nullptr, std::intptr_t(lData));
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
        const Outgoing info = Share(hInfo, files);
        const Outgoing bits = Share(hBits, files);
        PutBlock(body, info);
        PutBlock(body, bits);
        Send(Frame::Result, body.Data(), files);
        for (const int file : files)
            close(file);
        SendBlockBytes(info);
        SendBlockBytes(bits);
    }
    Release(hInfo);
    if (hBits != hInfo)
        Release(hBits);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || fcntl(kChannelFd, F_GETFD) < 0) {
        std::fprintf(stderr, "velmora-spihost runs a plug-in for Velmora's plug-in bridge\n");
        return 2;
    }
    gPluginPath = argv[1];
    // Ends with the program even while the plug-in hangs.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGPIPE, SIG_IGN);
    // Nothing but the channel and the standard streams, whatever was inherited.
    close_range(kChannelFd + 1, ~0u, 0);
    const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nothing >= 0) {
        dup2(nothing, 0);
        close(nothing);
    }
    fcntl(kChannelFd, F_SETFD, FD_CLOEXEC);
    LocalShareLargeBlocks(1);

    for (;;) {
        Header header;
        ReadExactly(&header, sizeof header);
        std::string body(header.length, '\0');
        ReadExactly(body.data(), body.size());
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
        default:
            Quit(2);
        }
    }
}
