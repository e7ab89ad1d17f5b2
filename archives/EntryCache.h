#pragma once
// Files already unpacked from archives where reaching one file means
// unpacking those before it (solid 7z and RAR, compressed tar): what was
// unpacked on the way is kept, so stepping back costs no second unpack.
// Bounded by a byte budget; the least recently used go first. Shared by
// threads (one lock around the table; the bytes are implicitly shared).
#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

class EntryCache {
public:
    static constexpr std::size_t kDefaultBudget = std::size_t(256) << 20;

    explicit EntryCache(std::size_t budgetBytes = kDefaultBudget);

    // The cache every archive uses unless it is given another.
    static std::shared_ptr<EntryCache> Shared();

    // A file is (archive, its position among the archive's headers).
    using Key = std::pair<std::uint64_t, int>;

    std::optional<QByteArray> Find(Key key);
    // Kept only when it fits the budget alone; older files leave to make room.
    void Insert(Key key, const QByteArray& bytes);
    bool Contains(Key key) const;
    // Drops every file of one archive (the archive is gone).
    void Forget(std::uint64_t archive);
    void SetBudget(std::size_t budgetBytes);
    std::size_t Budget() const;
    std::size_t UsedBytes() const;

private:
    struct Item {
        Key key;
        QByteArray bytes;
    };
    void EvictTo(std::size_t budget); // with mMutex held

    mutable std::mutex mMutex;
    std::size_t mBudget;
    std::size_t mUsed = 0;
    std::list<Item> mItems; // most recently used first
    std::map<Key, std::list<Item>::iterator> mIndex;
};
