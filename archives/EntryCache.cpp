#include "archives/EntryCache.h"

EntryCache::EntryCache(std::size_t budgetBytes) : mBudget(budgetBytes) {}

std::shared_ptr<EntryCache> EntryCache::Shared()
{
    static const std::shared_ptr<EntryCache> cache = std::make_shared<EntryCache>();
    return cache;
}

std::optional<QByteArray> EntryCache::Find(Key key)
{
    std::lock_guard lock(mMutex);
    const auto found = mIndex.find(key);
    if (found == mIndex.end())
        return std::nullopt;
    mItems.splice(mItems.begin(), mItems, found->second);
    return found->second->bytes;
}

bool EntryCache::Contains(Key key) const
{
    std::lock_guard lock(mMutex);
    return mIndex.count(key) != 0;
}

void EntryCache::Insert(Key key, const QByteArray& bytes)
{
    const std::size_t size = std::size_t(bytes.size());
    std::lock_guard lock(mMutex);
    if (size > mBudget)
        return;
    if (const auto found = mIndex.find(key); found != mIndex.end()) {
        mUsed -= std::size_t(found->second->bytes.size());
        mItems.erase(found->second);
        mIndex.erase(found);
    }
    EvictTo(mBudget - size);
    mItems.push_front(Item{key, bytes});
    mIndex[key] = mItems.begin();
    mUsed += size;
}

void EntryCache::Forget(std::uint64_t archive)
{
    std::lock_guard lock(mMutex);
    auto it = mIndex.lower_bound(Key{archive, INT32_MIN});
    while (it != mIndex.end() && it->first.first == archive) {
        mUsed -= std::size_t(it->second->bytes.size());
        mItems.erase(it->second);
        it = mIndex.erase(it);
    }
}

void EntryCache::SetBudget(std::size_t budgetBytes)
{
    std::lock_guard lock(mMutex);
    mBudget = budgetBytes;
    EvictTo(mBudget);
}

std::size_t EntryCache::Budget() const
{
    std::lock_guard lock(mMutex);
    return mBudget;
}

std::size_t EntryCache::UsedBytes() const
{
    std::lock_guard lock(mMutex);
    return mUsed;
}

void EntryCache::EvictTo(std::size_t budget)
{
    while (mUsed > budget && !mItems.empty()) {
        const Item& oldest = mItems.back();
        mUsed -= std::size_t(oldest.bytes.size());
        mIndex.erase(oldest.key);
        mItems.pop_back();
    }
}
