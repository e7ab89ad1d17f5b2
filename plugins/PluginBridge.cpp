#include "plugins/PluginBridge.h"

#include <dlfcn.h>

#include <cstring>
#include <string>
#include <vector>

#include "bridge/LoadPlugin.h"
#include "common/AppPaths.h"
#include "common/CodePage.h"
#include "common/RuntimeError.h"

namespace PluginBridge {
namespace {

void* Library()
{
    // Opened globally so that the plug-ins' references to LocalAlloc and its
    // relatives resolve to the bridge.
    static void* library = nullptr;
    if (!library) {
        const QByteArray path = ToCodePage(AppFolder() + "/libLoadPlugin.so");
        library = dlopen(path.constData(), RTLD_NOW | RTLD_GLOBAL);
        if (!library) {
            const char* why = dlerror();
            throw RuntimeError(ErrorKind::LibraryNotFound,
                               "cannot load the plug-in bridge " + path.toStdString() + ": " +
                                   (why ? why : "unknown reason"));
        }
    }
    return library;
}

template <typename Fn>
Fn Function(const char* name)
{
    void* library = Library();
    dlerror();
    void* symbol = dlsym(library, name);
    if (!symbol)
        throw RuntimeError(ErrorKind::EntryPointNotFound,
                           std::string("the plug-in bridge has no function ") + name);
    return reinterpret_cast<Fn>(symbol);
}

void CheckBridge()
{
    static auto lastError = Function<const char* (*)()>("LoadPluginLastError");
    if (const char* message = lastError())
        throw RuntimeError(ErrorKind::PluginFailed, message);
}

} // namespace

std::int32_t GetPluginInfo(const QString& pluginPath, std::int32_t infono, QByteArray& buffer)
{
    static auto fn = Function<decltype(&::GetPluginInfo)>("GetPluginInfo");
    const QByteArray path = ToCodePage(pluginPath);
    const int length = static_cast<int>(buffer.size());
    // One byte more than the plug-in is told keeps the answer terminated even
    // when a plug-in fills every byte.
    buffer.append('\0');
    const int r = fn(path.constData(), infono, buffer.data(), length);
    buffer.truncate(length);
    CheckBridge();
    return r;
}

std::int32_t IsSupported(const QString& pluginPath, const QString& fileName)
{
    static auto fn = Function<decltype(&::IsSupported)>("IsSupported");
    const int r = fn(ToCodePage(pluginPath).constData(), ToCodePage(fileName).constData());
    CheckBridge();
    return r;
}

std::int32_t GetPicture(const QString& pluginPath, const QString& fileName, std::intptr_t len,
                        std::uint32_t flag, void** hInfo, void** hBits)
{
    static auto fn = Function<decltype(&::GetPicture)>("GetPicture");
    *hInfo = nullptr;
    *hBits = nullptr;
    const int r = fn(ToCodePage(pluginPath).constData(), ToCodePage(fileName).constData(), len,
                     flag, hInfo, hBits, nullptr, 0);
    CheckBridge();
    return r;
}

void* LocalLock(void* hMem)
{
    static auto fn = Function<void* (*)(void*)>("LocalLock");
    return fn(hMem);
}

int LocalUnlock(void* hMem)
{
    static auto fn = Function<int (*)(void*)>("LocalUnlock");
    return fn(hMem);
}

void* LocalFree(void* hMem)
{
    static auto fn = Function<void* (*)(void*)>("LocalFree");
    return fn(hMem);
}

std::size_t LocalSize(void* hMem)
{
    static auto fn = Function<std::size_t (*)(void*)>("LocalSize");
    return fn(hMem);
}

} // namespace PluginBridge
