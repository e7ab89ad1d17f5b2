// The bridge's local memory, called as plug-ins call it: through the symbols
// of the built libLoadPlugin.so.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

#include "platform/LocalMemory.h"
#include "support/TestSupport.h"

namespace {

struct Bridge {
    decltype(&::LocalAlloc) alloc;
    decltype(&::LocalLock) lock;
    decltype(&::LocalUnlock) unlock;
    decltype(&::LocalFree) free;
    decltype(&::LocalSize) size;
};

const Bridge& Functions()
{
    static const Bridge bridge = [] {
        void* library = dlopen((BuildDir() + "/libLoadPlugin.so").toUtf8().constData(), RTLD_NOW | RTLD_GLOBAL);
        EXPECT_NE(library, nullptr) << dlerror();
        Bridge b{};
        if (library) {
            b.alloc = reinterpret_cast<decltype(b.alloc)>(dlsym(library, "LocalAlloc"));
            b.lock = reinterpret_cast<decltype(b.lock)>(dlsym(library, "LocalLock"));
            b.unlock = reinterpret_cast<decltype(b.unlock)>(dlsym(library, "LocalUnlock"));
            b.free = reinterpret_cast<decltype(b.free)>(dlsym(library, "LocalFree"));
            b.size = reinterpret_cast<decltype(b.size)>(dlsym(library, "LocalSize"));
        }
        return b;
    }();
    return bridge;
}

} // namespace

TEST(LocalMemory, FixedBlockIsItsOwnAddressAndZeroInitWorks)
{
    const Bridge& m = Functions();
    ASSERT_TRUE(m.alloc && m.lock && m.unlock && m.free && m.size);
    void* fixed = m.alloc(LPTR, 1000);
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(m.lock(fixed), fixed);
    EXPECT_EQ(m.size(fixed), 1000u);
    const auto* bytes = static_cast<const unsigned char*>(fixed);
    EXPECT_TRUE(std::all_of(bytes, bytes + 1000, [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(m.unlock(fixed), 0); // fixed blocks have no lock count
    EXPECT_EQ(m.free(fixed), nullptr);

    void* empty = m.alloc(LMEM_FIXED, 0); // a zero-sized block is still a block
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(m.size(empty), 0u);
    EXPECT_EQ(m.free(empty), nullptr);
    EXPECT_EQ(m.alloc(0x8000, 16), nullptr); // unknown flags
}

TEST(LocalMemory, MoveableBlockCountsItsLocks)
{
    const Bridge& m = Functions();
    ASSERT_TRUE(m.alloc);
    void* handle = m.alloc(LHND, 64);
    ASSERT_NE(handle, nullptr);
    void* first = m.lock(handle);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, handle);
    std::memset(first, 0xAB, 64);
    EXPECT_EQ(m.lock(handle), first);
    EXPECT_NE(m.unlock(handle), 0); // still locked once
    EXPECT_EQ(m.unlock(handle), 0);
    EXPECT_EQ(m.unlock(handle), 0); // not locked at all
    EXPECT_EQ(static_cast<unsigned char*>(m.lock(handle))[63], 0xAB);
    EXPECT_EQ(m.free(handle), nullptr);
}

TEST(LocalMemory, ForeignFreedAndNullHandlesAreRefused)
{
    const Bridge& m = Functions();
    ASSERT_TRUE(m.alloc);
    int local = 0;
    void* foreign = &local;
    EXPECT_EQ(m.lock(foreign), nullptr);
    EXPECT_EQ(m.size(foreign), 0u);
    EXPECT_EQ(m.unlock(foreign), 0);
    EXPECT_EQ(m.free(foreign), foreign);
    EXPECT_EQ(m.lock(nullptr), nullptr);
    EXPECT_EQ(m.free(nullptr), nullptr);

    void* handle = m.alloc(LHND, 8);
    ASSERT_EQ(m.free(handle), nullptr);
    EXPECT_EQ(m.free(handle), handle); // a second free fails
    EXPECT_EQ(m.size(handle), 0u);
    EXPECT_EQ(m.lock(handle), nullptr);
}
