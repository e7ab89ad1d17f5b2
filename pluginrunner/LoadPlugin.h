#pragma once
// The plug-in bridge, libLoadPlugin.so: the program opens it at run time with
// dlopen and calls these functions, each of which takes the plug-in file's
// path first and forwards to that plug-in's export of the same name. Texts are
// NUL-terminated in the system code page.
//
// Each plug-in file runs in a helper process of its own beside the bridge
// (velmora-spihost for Linux shared objects, velmora-spihost32.exe and
// velmora-spihost64.exe under wine for Windows DLLs, told apart by the file's
// header); a plug-in that crashes or hangs fails the call (see
// LoadPluginLastError) instead of the program. VELMORA_SPI_INPROCESS=1 loads
// the plug-ins into the calling process instead.
//
// The bridge also exports LocalAlloc, LocalLock, LocalUnlock, LocalFree and
// LocalSize (platform/LocalMemory.h); the host releases the blocks that
// GetPicture returns with them.
#include <cstddef>
#include <cstdint>

extern "C" {

#pragma pack(push, 1)
struct PictureInfo {
    std::int32_t left, top;
    std::int32_t width, height;
    std::uint16_t x_density, y_density;
    std::int16_t colorDepth;
    void* hInfo;
};
#pragma pack(pop)
// The published layout, in the plug-in's own width (also in the Windows helpers).
static_assert(sizeof(PictureInfo) == 22 + sizeof(void*));

typedef int (*SpiProgressCallback)(int nNum, int nDenom, std::intptr_t lData);

int GetPluginInfo(const char* pluginPath, int infono, char* buf, int buflen);
int IsSupported(const char* pluginPath, const char* fileName);
// IsSupported for a picture in memory, which has no file to read the head
// from: head is its first 2048 bytes, zero-padded; fileName only names it
// (plug-ins may look at its extension).
int IsSupportedMemory(const char* pluginPath, const char* fileName, const char* head);
int GetPictureInfo(const char* pluginPath, const char* buf, std::intptr_t len, unsigned int flag,
                   PictureInfo* lpInfo);
int GetPicture(const char* pluginPath, const char* buf, std::intptr_t len, unsigned int flag,
               void** pHBInfo, void** pHBm, SpiProgressCallback progressCallback,
               std::intptr_t lData);

// Archive extractors ("00AM"), always in their helpers, whatever
// VELMORA_SPI_INPROCESS says. GetArchiveInfo: *lphInf receives the listing
// (a local-memory block the caller frees: u8 ended, u32 count, then per
// entry 8 bytes method, u64 position, compsize, filesize, timestamp, u32
// crc, u32 length and path, u32 length and file name, names in UTF-8; see
// pluginrunner/SpiArchive.h), null when the plug-in gave none. GetFileMemory
// takes the archive as a file (flag & 7 is 0) and asks the plug-in for the
// entry at position len in memory: *block receives its bytes, refused with
// 4 when there are more than maxBytes.
int GetArchiveInfo(const char* pluginPath, const char* buf, std::intptr_t len, unsigned int flag,
                   void** lphInf);
int GetFileMemory(const char* pluginPath, const char* src, std::intptr_t len, unsigned int flag,
                  void** block, std::uint64_t maxBytes);

// Null when the last bridge call on this thread reached the plug-in;
// otherwise what went wrong (the plug-in file could not be opened, is not a
// shared object, or lacks the export). The call's own result is then
// meaningless and the host raises an error with this message.
const char* LoadPluginLastError(void);
// 1 when that error is a plug-in that did not answer within the call limit
// (it hung), 0 for every other outcome.
int LoadPluginLastErrorTimedOut(void);
// The call limit in milliseconds: how long one plug-in call may take
// (VELMORA_SPI_TIMEOUT_MS, else 10 s).
int LoadPluginCallLimitMs(void);
// Each thread calls plug-ins through helpers of its own. A thread that calls
// on behalf of another (the program's window has its plug-in calls made on
// a decoding thread while it paints) names that thread's key here, so that
// the calls reach the same helpers; 0 for the calling thread itself. Gives
// the key set before.
std::uintptr_t LoadPluginCallFor(std::uintptr_t owner);
// The key of the helpers that serve archive plug-ins (all their calls, from
// every thread, go to one helper per plug-in, one call at a time). Each of
// them has a private scratch folder (under $XDG_DATA_HOME/velmora/scratch,
// or inside the wine prefix), its current folder, emptied after every call
// and removed when it stops; a Linux helper may write nowhere else.
#define LOADPLUGIN_ARCHIVE_CALLS ((std::uintptr_t)0xA7C1)
// Ends at once the calls now running on the helpers of that key (0 for the
// calling thread's own): their helpers are stopped, with what their plug-ins
// started, and the calls fail. The next call starts a helper anew. For a
// wait the user has left.
void LoadPluginGiveUp(std::uintptr_t owner);

// Windows plug-ins run under wine in a prefix of Velmora's own, which is
// made in the background on first need. LoadPluginPrepare starts that when
// pluginPath is a Windows plug-in (it returns at once); LoadPluginReady waits
// up to timeoutMs and tells whether the plug-in can be called without waiting
// for the prefix (always 1 for other plug-ins).
void LoadPluginPrepare(const char* pluginPath);
int LoadPluginReady(const char* pluginPath, int timeoutMs);
// For a Windows plug-in, the folder of the wine that runs it when that is
// not Debian's /usr/lib/wine (e.g. "/opt/wine-stable"); empty otherwise.
// Valid until the thread's next call.
const char* LoadPluginWine(const char* pluginPath);

// What the bridge has to tell that no call's result carries goes to the
// sink, from any thread: LOADPLUGIN_LOG_PLUGINS a plug-in's helper started
// again after its last one ended, LOADPLUGIN_LOG_WINE why Windows plug-ins
// cannot run, LOADPLUGIN_LOG_WINE_TAKEN which wine runs them. Null (the
// default) sends it to standard error.
#define LOADPLUGIN_LOG_PLUGINS 0
#define LOADPLUGIN_LOG_WINE 1
#define LOADPLUGIN_LOG_WINE_TAKEN 2
typedef void (*LoadPluginLogSink)(int topic, const char* text);
void LoadPluginSetLog(LoadPluginLogSink sink);

// For diagnostics: how many local-memory blocks of this process are
// allocated and not yet freed.
std::size_t LoadPluginLiveBlocks(void);
}
