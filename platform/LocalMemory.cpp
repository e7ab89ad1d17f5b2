#include "platform/LocalMemory.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace {

struct Block {
    void* data;
    std::size_t size;
    bool moveable;
    unsigned lockCount;
};

// Every handle given out and not yet freed; anything else is refused.
std::mutex gMutex;
std::unordered_map<HLOCAL, Block>& Registry()
{
    static auto* registry = new std::unordered_map<HLOCAL, Block>;
    return *registry;
}

} // namespace

extern "C" {

HLOCAL LocalAlloc(unsigned int uFlags, std::size_t uBytes)
{
    if (uFlags & ~(LMEM_MOVEABLE | LMEM_ZEROINIT))
        return nullptr;
    // malloc(0) may give null; a zero-sized block still needs an address.
    void* data = (uFlags & LMEM_ZEROINIT) ? std::calloc(uBytes ? uBytes : 1, 1)
                                          : std::malloc(uBytes ? uBytes : 1);
    if (!data)
        return nullptr;
    const bool moveable = (uFlags & LMEM_MOVEABLE) != 0;
    // A moveable block's handle is a token of its own, never the address, so
    // that using it without locking is caught.
    HLOCAL handle = moveable ? static_cast<HLOCAL>(new char) : data;
    std::lock_guard lock(gMutex);
    Registry()[handle] = Block{data, uBytes, moveable, 0};
    return handle;
}

void* LocalLock(HLOCAL hMem)
{
    std::lock_guard lock(gMutex);
    auto it = Registry().find(hMem);
    if (it == Registry().end())
        return nullptr;
    if (it->second.moveable && it->second.lockCount < 0xFFu)
        ++it->second.lockCount;
    return it->second.data;
}

int LocalUnlock(HLOCAL hMem)
{
    std::lock_guard lock(gMutex);
    auto it = Registry().find(hMem);
    if (it == Registry().end() || !it->second.moveable || it->second.lockCount == 0)
        return 0;
    return --it->second.lockCount != 0;
}

HLOCAL LocalFree(HLOCAL hMem)
{
    if (!hMem)
        return nullptr;
    Block block;
    {
        std::lock_guard lock(gMutex);
        auto it = Registry().find(hMem);
        if (it == Registry().end())
            return hMem;
        block = it->second;
        Registry().erase(it);
    }
    std::free(block.data);
    if (block.moveable)
        delete static_cast<char*>(hMem);
    return nullptr;
}

std::size_t LocalSize(HLOCAL hMem)
{
    std::lock_guard lock(gMutex);
    auto it = Registry().find(hMem);
    return it == Registry().end() ? 0 : it->second.size;
}

std::size_t LocalLiveBlocks(void)
{
    std::lock_guard lock(gMutex);
    return Registry().size();
}
}
