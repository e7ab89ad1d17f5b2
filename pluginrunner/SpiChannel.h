#pragma once
// The bridge's side of the helper processes: each plug-in file runs in a
// velmora-spihost of its own (beside the bridge library), started on first
// use, kept while the program runs and started again after it died. Each call
// has the arguments of the bridge function of the same name; when it could
// not be answered (the plug-in could not be loaded or lacks the export, the
// helper crashed, did not answer in time or answered garbage), error is set
// and the result is meaningless. A helper that misbehaved is killed and reaped,
// with everything its plug-in started (each helper has a process group of
// its own).
#include <cstdint>
#include <string>

#include "pluginrunner/LoadPlugin.h"

namespace SpiChannel {

int GetPluginInfo(const char* pluginPath, int infono, char* buf, int buflen, std::string& error);
// head: the file's first 2048 bytes, zero-padded; null when it could not be read.
int IsSupported(const char* pluginPath, const char* fileName, const char* head,
                std::string& error);
int GetPictureInfo(const char* pluginPath, const char* buf, std::intptr_t len, unsigned int flag,
                   PictureInfo* lpInfo, std::string& error);
int GetPicture(const char* pluginPath, const char* buf, std::intptr_t len, unsigned int flag,
               void** pHBInfo, void** pHBm, SpiProgressCallback progressCallback,
               std::intptr_t lData, std::string& error);

// Archive plug-ins. GetArchiveInfo hands out the listing as a local-memory
// block in the form of pluginrunner/SpiArchive.h (names in UTF-8), null
// when the plug-in gave no block. GetFile reads from a file only and asks
// the plug-in for memory output: block receives the entry's bytes; an entry
// larger than maxBytes is refused in the helper with 4, before it crosses.
int GetArchiveInfo(const char* pluginPath, const char* buf, std::intptr_t len, unsigned int flag,
                   void** lphInf, std::string& error);
int GetFile(const char* pluginPath, const char* src, std::intptr_t len, unsigned int flag, void** block,
            std::uint64_t maxBytes, std::string& error);

// Whether the last call on this thread failed because its helper did not
// answer in time (a hang, not a crash or a refusal).
bool TimedOut();

// How long a helper may take for one answer: VELMORA_SPI_TIMEOUT_MS, else 10 s.
// GetPicture gets it anew each time the plug-in's progress moves, up to 12
// times it for the whole call.
int TimeoutMs();

// Whose helpers this thread's calls use (see LoadPluginCallFor); gives the
// key set before.
std::uintptr_t CallFor(std::uintptr_t owner);

// Stops the helpers of that key (0: this thread's) that are in a call now.
void GiveUp(std::uintptr_t owner);

} // namespace SpiChannel
