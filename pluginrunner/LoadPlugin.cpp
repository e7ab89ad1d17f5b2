#include "pluginrunner/LoadPlugin.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "pluginrunner/BridgeLog.h"
#include "pluginrunner/PluginFile.h"
#include "pluginrunner/SpiChannel.h"
#include "pluginrunner/WineSession.h"
#include "platform/LocalMemory.h"

namespace {

thread_local std::string tError;
thread_local bool tHasError = false;
thread_local bool tTimedOut = false;

void SetError(std::string message)
{
    tError = std::move(message);
    tHasError = true;
}

void ClearError()
{
    tHasError = false;
    tTimedOut = false;
    tError.clear();
}

// Whether the plug-in is a Windows DLL, 32- or 64-bit.
bool IsWindows(const char* pluginPath)
{
    const PluginFile::Kind kind = PluginFile::KindOf(pluginPath);
    return kind == PluginFile::Kind::Windows32 || kind == PluginFile::Kind::Windows64;
}

// Plug-ins run in helper processes of their own (pluginrunner/SpiChannel.h) unless
// VELMORA_SPI_INPROCESS=1 asks for the plug-in in this process, for
// measurements and debugging. Windows plug-ins always run in their helper
// under wine.
bool InProcess(const char* pluginPath)
{
    const char* value = std::getenv("VELMORA_SPI_INPROCESS");
    return value && std::strcmp(value, "1") == 0 && !IsWindows(pluginPath);
}

int Remote(int result, const std::string& error)
{
    if (!error.empty()) {
        SetError(error);
        tTimedOut = SpiChannel::TimedOut();
    }
    return result;
}

// The file's first 2048 bytes, zero-padded; false when it cannot be read.
bool ReadHead(const char* fileName, char (&head)[2048])
{
    std::memset(head, 0, sizeof head);
    const int fd = PluginFile::OpenRegularFile(fileName);
    if (fd < 0)
        return false;
    std::size_t got = 0;
    while (got < sizeof head) {
        const ssize_t n = read(fd, head + got, sizeof head - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(fd);
            return n == 0;
        }
        got += std::size_t(n);
    }
    close(fd);
    return true;
}

// A picture named by its file (flag 0) that is no regular file is a file
// read error (6), without asking the plug-in, which would wait on a FIFO.
bool Unreadable(const char* buf, unsigned int flag)
{
    if ((flag & 7) != 0 || !buf)
        return false;
    const int fd = PluginFile::OpenRegularFile(buf);
    if (fd >= 0)
        close(fd);
    return fd < 0;
}
constexpr int kFileReadError = 6;

// Each plug-in file is opened once per process and stays open.
std::mutex gMutex;
std::map<std::string, void*>& Loaded()
{
    static auto* loaded = new std::map<std::string, void*>;
    return *loaded;
}

void* Export(const char* pluginPath, const char* name)
{
    if (!pluginPath) {
        SetError(std::string("no plug-in path given for ") + name);
        return nullptr;
    }
    void* module = nullptr;
    {
        std::lock_guard lock(gMutex);
        auto it = Loaded().find(pluginPath);
        if (it != Loaded().end()) {
            module = it->second;
        } else {
            module = dlopen(pluginPath, RTLD_NOW | RTLD_LOCAL);
            if (!module) {
                const char* why = dlerror();
                SetError(std::string("cannot load plug-in ") + pluginPath + ": " +
                         (why ? why : "unknown reason"));
                return nullptr;
            }
            Loaded()[pluginPath] = module;
        }
    }
    dlerror();
    void* symbol = dlsym(module, name);
    if (!symbol) {
        SetError(std::string("plug-in ") + pluginPath + " has no function " + name);
        return nullptr;
    }
    return symbol;
}

using GetPluginInfoFn = int (*)(int, char*, int);
using IsSupportedFn = int (*)(const char*, void*);
using GetPictureInfoFn = int (*)(const char*, std::intptr_t, unsigned int, PictureInfo*);
using GetPictureFn = int (*)(const char*, std::intptr_t, unsigned int, void**, void**,
                             SpiProgressCallback, std::intptr_t);

} // namespace

extern "C" {

__attribute__((visibility("default"))) int GetPluginInfo(const char* pluginPath, int infono,
                                                          char* buf, int buflen)
{
    ClearError();
    if (!InProcess(pluginPath)) {
        std::string error;
        return Remote(SpiChannel::GetPluginInfo(pluginPath, infono, buf, buflen, error), error);
    }
    auto fn = reinterpret_cast<GetPluginInfoFn>(Export(pluginPath, "GetPluginInfo"));
    return fn ? fn(infono, buf, buflen) : 0;
}

__attribute__((visibility("default"))) int IsSupported(const char* pluginPath,
                                                        const char* fileName)
{
    ClearError();
    // The plug-in looks at the file's first 2048 bytes, zero-padded; they are
    // read here, so the helper needs no more of the file than its name.
    char head[2048];
    const bool readable = ReadHead(fileName, head);
    if (!InProcess(pluginPath)) {
        std::string error;
        return Remote(SpiChannel::IsSupported(pluginPath, fileName, readable ? head : nullptr, error),
                      error);
    }
    auto fn = reinterpret_cast<IsSupportedFn>(Export(pluginPath, "IsSupported"));
    if (!fn || !readable)
        return 0;
    return fn(fileName, head);
}

__attribute__((visibility("default"))) int IsSupportedMemory(const char* pluginPath,
                                                              const char* fileName, const char* head)
{
    ClearError();
    if (!InProcess(pluginPath)) {
        std::string error;
        return Remote(SpiChannel::IsSupported(pluginPath, fileName, head, error), error);
    }
    auto fn = reinterpret_cast<IsSupportedFn>(Export(pluginPath, "IsSupported"));
    if (!fn || !head)
        return 0;
    // The plug-in gets a copy it may write to, as from a file.
    char copy[2048];
    std::memcpy(copy, head, sizeof copy);
    return fn(fileName, copy);
}

__attribute__((visibility("default"))) int GetPictureInfo(const char* pluginPath,
                                                           const char* buf, std::intptr_t len,
                                                           unsigned int flag, PictureInfo* lpInfo)
{
    ClearError();
    if (Unreadable(buf, flag))
        return kFileReadError;
    if (!InProcess(pluginPath)) {
        std::string error;
        return Remote(SpiChannel::GetPictureInfo(pluginPath, buf, len, flag, lpInfo, error), error);
    }
    auto fn = reinterpret_cast<GetPictureInfoFn>(Export(pluginPath, "GetPictureInfo"));
    return fn ? fn(buf, len, flag, lpInfo) : 0;
}

__attribute__((visibility("default"))) int GetPicture(const char* pluginPath, const char* buf,
                                                       std::intptr_t len, unsigned int flag,
                                                       void** pHBInfo, void** pHBm,
                                                       SpiProgressCallback progressCallback,
                                                       std::intptr_t lData)
{
    ClearError();
    if (Unreadable(buf, flag))
        return kFileReadError;
    if (!InProcess(pluginPath)) {
        std::string error;
        return Remote(SpiChannel::GetPicture(pluginPath, buf, len, flag, pHBInfo, pHBm,
                                             progressCallback, lData, error),
                      error);
    }
    auto fn = reinterpret_cast<GetPictureFn>(Export(pluginPath, "GetPicture"));
    return fn ? fn(buf, len, flag, pHBInfo, pHBm, progressCallback, lData) : 0;
}

__attribute__((visibility("default"))) int GetArchiveInfo(const char* pluginPath, const char* buf,
                                                           std::intptr_t len, unsigned int flag, void** lphInf)
{
    ClearError();
    if (Unreadable(buf, flag)) {
        if (lphInf)
            *lphInf = nullptr;
        return kFileReadError;
    }
    std::string error;
    return Remote(SpiChannel::GetArchiveInfo(pluginPath, buf, len, flag, lphInf, error), error);
}

__attribute__((visibility("default"))) int GetFileMemory(const char* pluginPath, const char* src,
                                                          std::intptr_t len, unsigned int flag, void** block,
                                                          std::uint64_t maxBytes)
{
    ClearError();
    if (Unreadable(src, flag)) {
        if (block)
            *block = nullptr;
        return kFileReadError;
    }
    std::string error;
    return Remote(SpiChannel::GetFile(pluginPath, src, len, flag, block, maxBytes, error), error);
}

__attribute__((visibility("default"))) void LoadPluginPrepare(const char* pluginPath)
{
    if (IsWindows(pluginPath))
        WineSession::Prepare();
}

__attribute__((visibility("default"))) int LoadPluginReady(const char* pluginPath, int timeoutMs)
{
    if (!IsWindows(pluginPath))
        return 1;
    std::string why;
    return WineSession::Wait(timeoutMs, why) != WineSession::State::Preparing;
}

__attribute__((visibility("default"))) const char* LoadPluginWine(const char* pluginPath)
{
    thread_local std::string installation;
    installation = IsWindows(pluginPath) ? WineSession::Installation() : std::string();
    return installation.c_str();
}

__attribute__((visibility("default"))) std::size_t LoadPluginLiveBlocks(void)
{
    return LocalLiveBlocks();
}

__attribute__((visibility("default"))) const char* LoadPluginLastError(void)
{
    return tHasError ? tError.c_str() : nullptr;
}

__attribute__((visibility("default"))) int LoadPluginLastErrorTimedOut(void)
{
    return tTimedOut;
}

__attribute__((visibility("default"))) int LoadPluginCallLimitMs(void)
{
    return SpiChannel::TimeoutMs();
}

__attribute__((visibility("default"))) std::uintptr_t LoadPluginCallFor(std::uintptr_t owner)
{
    return SpiChannel::CallFor(owner);
}

__attribute__((visibility("default"))) void LoadPluginGiveUp(std::uintptr_t owner)
{
    SpiChannel::GiveUp(owner);
}

__attribute__((visibility("default"))) void LoadPluginSetLog(LoadPluginLogSink sink)
{
    BridgeLog::SetSink(sink);
}
}
