#pragma once
// The request loop of a plug-in helper, shared by the Linux helper
// (velmora-spihost, plug-ins as shared objects) and the Windows helpers
// (velmora-spihost32.exe / velmora-spihost64.exe, plug-ins as DLLs, run under
// wine). Each side supplies a HostPlatform: its channel to the bridge, how it
// finds the plug-in's exports, its local memory, and how file names and
// texts are spelt for the plug-in.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "pluginrunner/LoadPlugin.h"
#include "pluginrunner/SpiProtocol.h"

#ifdef _WIN32
#define SPI_CALL __stdcall
#else
#define SPI_CALL
#endif

namespace SpiHost {

using ProgressFn = int(SPI_CALL*)(int nNum, int nDenom, std::intptr_t lData);
using GetPluginInfoFn = int(SPI_CALL*)(int infono, char* buf, int buflen);
using IsSupportedFn = int(SPI_CALL*)(const char* filename, void* dw);
using GetPictureInfoFn = int(SPI_CALL*)(const char* buf, std::intptr_t len, unsigned int flag,
                                        PictureInfo* lpInfo);
using GetPictureFn = int(SPI_CALL*)(const char* buf, std::intptr_t len, unsigned int flag,
                                    void** pHBInfo, void** pHBm, ProgressFn progressCallback,
                                    std::intptr_t lData);
using GetArchiveInfoFn = int(SPI_CALL*)(const char* buf, std::intptr_t len, unsigned int flag,
                                        void** lphInf);
using GetFileFn = int(SPI_CALL*)(const char* src, std::intptr_t len, char* dest, unsigned int flag,
                                 ProgressFn progressCallback, std::intptr_t lData);

// The wide-character entry points (a "W" at the end of the name): UTF-16
// names in, UTF-16 texts out; the archive ones with fileInfoW records.
using GetPluginInfoWFn = int(SPI_CALL*)(int infono, char16_t* buf, int buflen);
using IsSupportedWFn = int(SPI_CALL*)(const char16_t* filename, void* dw);
using GetPictureInfoWFn = int(SPI_CALL*)(const char16_t* buf, std::intptr_t len, unsigned int flag,
                                         PictureInfo* lpInfo);
using GetPictureWFn = int(SPI_CALL*)(const char16_t* buf, std::intptr_t len, unsigned int flag,
                                     void** pHBInfo, void** pHBm, ProgressFn progressCallback,
                                     std::intptr_t lData);
using GetArchiveInfoWFn = int(SPI_CALL*)(const char16_t* buf, std::intptr_t len, unsigned int flag,
                                         void** lphInf);
using GetFileWFn = int(SPI_CALL*)(const char16_t* src, std::intptr_t len, char16_t* dest, unsigned int flag,
                                  ProgressFn progressCallback, std::intptr_t lData);

// A block the plug-in handed out, as it crosses back.
struct Outgoing {
    SpiProtocol::BlockKind kind = SpiProtocol::BlockKind::Null;
    std::uint64_t size = 0;
    const void* data = nullptr;
};

class HostPlatform {
public:
    virtual ~HostPlatform() = default;

    // Exact reads and writes on the channel; both end the process when the
    // bridge has gone away.
    virtual void Read(void* data, std::size_t size) = 0;
    virtual void Write(const void* data, std::size_t size) = 0;
    // A frame header, with the descriptors of shared blocks where the
    // channel carries them.
    virtual void WriteHeader(const SpiProtocol::Header& header, const std::vector<int>& files);
    [[noreturn]] virtual void Quit(int code) = 0;

    // The plug-in's export, loading the plug-in on first use; null with
    // error set when the file cannot be loaded or lacks the export.
    virtual void* Export(const char* name, std::string& error) = 0;

    // The plug-in's local memory.
    virtual void* Lock(void* handle) = 0;
    virtual void Unlock(void* handle) = 0;
    virtual std::size_t Size(void* handle) = 0;
    virtual void Free(void* handle) = 0;
    // A block the bridge can take without a copy; by default every block is
    // described for a copy.
    virtual Outgoing Share(void* handle, std::vector<int>& files);

    // The export name + "W" when the plug-in has it (Windows plug-ins only),
    // else null; the plug-in is loaded by Export first.
    virtual void* WideExport(const char* name) { (void)name; return nullptr; }

    // A file name from the bridge, as the plug-in opens it; *whole is false
    // when the plug-in's code page cannot spell it in any form.
    virtual std::string FileName(const std::string& name, bool* whole = nullptr)
    {
        if (whole)
            *whole = true;
        return name;
    }
    // The same for a plug-in's wide functions, and texts between UTF-8 and
    // UTF-16 (only platforms with WideExport need them).
    virtual std::u16string WideFileName(const std::string& name) { return ToWide(name); }
    virtual std::u16string ToWide(const std::string&) { return {}; }
    virtual std::string FromWide(const std::u16string&) { return {}; }
    // The GetPluginInfo buffer (NUL-terminated text, then anything) from the
    // program's code page to the plug-in's, and back.
    virtual void BufferToPlugin(std::vector<char>&) {}
    virtual void BufferFromPlugin(std::vector<char>&) {}
    // A text the plug-in wrote (an archive's names), as UTF-8.
    virtual std::string TextFromPlugin(const std::string& text) { return text; }

    // The private folder archive plug-ins may write into (its Linux path,
    // given by the bridge; empty when there is none), and the same folder
    // as this process names it.
    std::string scratch;
    virtual std::filesystem::path LocalPath(const std::string& path) { return path; }
    // Before the first archive call: the scratch folder is made and, where
    // the system allows, becomes the only place this process may write to
    // from then on; work (a folder some levels inside it, so that names
    // that climb a few levels stay inside) becomes the current folder.
    virtual void EnterScratch(const std::string& work) { (void)work; }

    // Whether the plug-in holds so much memory after a call that the next
    // would likely fail: the helper then ends after its answer.
    virtual bool Exhausted() { return false; }

    // What a block handle looks like to the bridge.
    Outgoing Describe(void* handle);
};

// Cuts text to at most limit bytes without splitting a UTF-8 sequence.
void CutUtf8(std::string& text, std::size_t limit);

// Answers requests until the bridge closes the channel.
[[noreturn]] void Serve(HostPlatform& platform);

// The helper's memory limit in bytes (see SpiProtocol::kDefaultMemoryMb).
std::uint64_t MemoryLimit();

} // namespace SpiHost
