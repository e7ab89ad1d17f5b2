#pragma once
// Local memory blocks with the semantics of the original platform: fixed
// blocks (the handle is the address) and moveable ones (locked to get the
// address, with a lock count), optionally zero-initialised. Only handles that
// LocalAlloc gave out and that are not yet freed are recognised; any other
// value is refused (LocalLock gives null, LocalSize 0).
//
// These live in the plug-in bridge library, which exports them with C
// linkage, so that the plug-ins and the host share one heap.
#include <cstddef>

extern "C" {
typedef void* HLOCAL;

#define LMEM_FIXED 0x0000u
#define LMEM_MOVEABLE 0x0002u
#define LMEM_ZEROINIT 0x0040u
#define LHND (LMEM_MOVEABLE | LMEM_ZEROINIT)
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

HLOCAL LocalAlloc(unsigned int uFlags, std::size_t uBytes);
void* LocalLock(HLOCAL hMem);
int LocalUnlock(HLOCAL hMem);  // non-zero while the block stays locked
HLOCAL LocalFree(HLOCAL hMem); // null on success, the handle on failure
std::size_t LocalSize(HLOCAL hMem);
// How many blocks are allocated and not yet freed (for diagnostics).
std::size_t LocalLiveBlocks(void);

// Blocks that cross between processes without a copy (the plug-in helper's
// blocks): with sharing on, blocks of 1 MiB and more live in anonymous files.
void LocalShareLargeBlocks(int on);
// Frees such a block and gives its file, sealed against any change (the
// caller owns it); -1 when the block lives in no file (it is left alone),
// -2 when the file could not be sealed (the block is freed all the same).
int LocalReleaseToFile(HLOCAL hMem);
// A new block of exactly uBytes from a sealed file of that size (the file
// is not taken over); null for any other file.
HLOCAL LocalAttachFile(int file, unsigned int uFlags, std::size_t uBytes);
}
