#pragma once
// The host's way to the plug-in bridge libLoadPlugin.so beside the program,
// opened at run time on first use. Every call raises RuntimeError when the
// bridge or one of its functions is missing (LibraryNotFound,
// EntryPointNotFound) or when the bridge could not reach the plug-in
// (PluginFailed).
#include <cstdint>

#include <QByteArray>
#include <QString>

namespace PluginBridge {

// The plug-in writes its NUL-terminated answer into buffer (bytes in the
// system code page, its size is the length passed); what it does not
// overwrite stays as it was.
std::int32_t GetPluginInfo(const QString& pluginPath, std::int32_t infono, QByteArray& buffer);
std::int32_t IsSupported(const QString& pluginPath, const QString& fileName);
std::int32_t GetPicture(const QString& pluginPath, const QString& fileName, std::intptr_t len,
                        std::uint32_t flag, void** hInfo, void** hBits);

// Starts, in the background, what the Windows plug-ins in pluginDir need
// (wine's prefix); returns at once. Calls to a Windows plug-in before that
// is done wait for it, keeping the windows painted.
void PreparePlugins(const QString& pluginDir);

// The bridge's local memory functions, for the blocks GetPicture hands over.
void* LocalLock(void* hMem);
int LocalUnlock(void* hMem);
void* LocalFree(void* hMem);
std::size_t LocalSize(void* hMem);

} // namespace PluginBridge
