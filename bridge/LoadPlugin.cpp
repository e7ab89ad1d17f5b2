#include "bridge/LoadPlugin.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/LocalMemory.h"

namespace {

thread_local std::string tError;
thread_local bool tHasError = false;

void SetError(std::string message)
{
    tError = std::move(message);
    tHasError = true;
}

void ClearError()
{
    tHasError = false;
    tError.clear();
}

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
    auto fn = reinterpret_cast<GetPluginInfoFn>(Export(pluginPath, "GetPluginInfo"));
    return fn ? fn(infono, buf, buflen) : 0;
}

__attribute__((visibility("default"))) int IsSupported(const char* pluginPath,
                                                        const char* fileName)
{
    ClearError();
    auto fn = reinterpret_cast<IsSupportedFn>(Export(pluginPath, "IsSupported"));
    if (!fn)
        return 0;
    // The plug-in looks at the file's first 2048 bytes, zero-padded.
    char head[2048] = {};
    std::FILE* file = fileName ? std::fopen(fileName, "rb") : nullptr;
    if (!file)
        return 0;
    std::fread(head, 1, sizeof head, file);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        return 0;
    return fn(fileName, head);
}

__attribute__((visibility("default"))) int GetPictureInfo(const char* pluginPath,
                                                           const char* buf, std::intptr_t len,
                                                           unsigned int flag, PictureInfo* lpInfo)
{
    ClearError();
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
    auto fn = reinterpret_cast<GetPictureFn>(Export(pluginPath, "GetPicture"));
    return fn ? fn(buf, len, flag, pHBInfo, pHBm, progressCallback, lData) : 0;
}

__attribute__((visibility("default"))) const char* LoadPluginLastError(void)
{
    return tHasError ? tError.c_str() : nullptr;
}
}
