#include "platform/LocalMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
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
    int file = -1;       // an anonymous file that holds the bytes, mapped shared
    bool mapped = false; // data is a mapping, released with munmap
};

// Blocks from this size on live in anonymous files when sharing is on.
constexpr std::size_t kShareFrom = std::size_t(1) << 20;
bool gShareLarge = false;
constexpr int kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;

// Storage in an anonymous file; null when it cannot be had.
void* FileStorage(std::size_t size, int& file)
{
    file = memfd_create("velmora-block", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (file < 0)
        return nullptr;
    void* data = ftruncate(file, off_t(size)) == 0
                     ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, file, 0)
                     : MAP_FAILED;
    if (data == MAP_FAILED) {
        close(file);
        file = -1;
        return nullptr;
    }
    return data;
}

void ReleaseStorage(const Block& block)
{
    if (block.mapped)
        munmap(block.data, block.size ? block.size : 1);
    else
        std::free(block.data);
    if (block.file >= 0)
        close(block.file);
}

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
    int file = -1;
    // An anonymous file starts out zeroed.
    void* data = gShareLarge && uBytes >= kShareFrom ? FileStorage(uBytes, file) : nullptr;
    // malloc(0) may give null; a zero-sized block still needs an address.
    if (!data)
        data = (uFlags & LMEM_ZEROINIT) ? std::calloc(uBytes ? uBytes : 1, 1)
                                        : std::malloc(uBytes ? uBytes : 1);
    if (!data)
        return nullptr;
    const bool moveable = (uFlags & LMEM_MOVEABLE) != 0;
    // A moveable block's handle is a token of its own, never the address, so
    // that using it without locking is caught.
    HLOCAL handle = moveable ? static_cast<HLOCAL>(new char) : data;
    std::lock_guard lock(gMutex);
    Registry()[handle] = Block{data, uBytes, moveable, 0, file, file >= 0};
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
    ReleaseStorage(block);
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

void LocalShareLargeBlocks(int on) { gShareLarge = on != 0; }

int LocalReleaseToFile(HLOCAL hMem)
{
    Block block;
    {
        std::lock_guard lock(gMutex);
        auto it = Registry().find(hMem);
        if (it == Registry().end() || it->second.file < 0)
            return -1;
        block = it->second;
        Registry().erase(it);
    }
    munmap(block.data, block.size ? block.size : 1);
    if (block.moveable)
        delete static_cast<char*>(hMem);
    // Sealing fails while someone else still maps the file writable.
    if (fcntl(block.file, F_ADD_SEALS, kSeals | F_SEAL_SEAL) != 0) {
        close(block.file);
        return -2;
    }
    return block.file;
}

HLOCAL LocalAttachFile(int file, unsigned int uFlags, std::size_t uBytes)
{
    struct stat info;
    const int seals = fcntl(file, F_GET_SEALS);
    if (uBytes == 0 || (uFlags & ~LMEM_MOVEABLE) || seals < 0 || (seals & kSeals) != kSeals ||
        fstat(file, &info) != 0 || !S_ISREG(info.st_mode) || std::uint64_t(info.st_size) != uBytes)
        return nullptr;
    // A private mapping: the host may write to its block, the file stays as it is.
    void* data = mmap(nullptr, uBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_POPULATE, file, 0);
    if (data == MAP_FAILED)
        return nullptr;
    const bool moveable = (uFlags & LMEM_MOVEABLE) != 0;
    HLOCAL handle = moveable ? static_cast<HLOCAL>(new char) : data;
    std::lock_guard lock(gMutex);
    Registry()[handle] = Block{data, uBytes, moveable, 0, -1, true};
    return handle;
}
}
