#include "slideshow/ShuffleOrder.h"

ShuffleOrder::ShuffleOrder(std::uint64_t seed) : mRandom(seed) {}

void ShuffleOrder::Add(const QStringList& paths)
{
    for (const QString& path : paths) {
        if (mKnown.contains(path))
            continue;
        mKnown.insert(path);
        mAll.push_back(path);
        mUnpicked.push_back(path);
    }
}

void ShuffleOrder::SetComplete() { mComplete = true; }

bool ShuffleOrder::PickNext()
{
    if (mUnpicked.empty()) {
        if (!mComplete || mAll.empty())
            return false;
        // A new round over every picture; it does not start with the one
        // that ended the last, when there is another.
        mUnpicked = mAll;
        if (mUnpicked.size() > 1 && !mHistory.empty())
            std::erase(mUnpicked, mHistory.back());
        const std::size_t pick = std::uniform_int_distribution<std::size_t>(0, mUnpicked.size() - 1)(mRandom);
        QString chosen = mUnpicked[pick];
        mUnpicked.erase(mUnpicked.begin() + std::ptrdiff_t(pick));
        if (mAll.size() > 1 && !mHistory.empty())
            mUnpicked.push_back(mHistory.back());
        mHistory.push_back(std::move(chosen));
        return true;
    }
    const std::size_t pick = std::uniform_int_distribution<std::size_t>(0, mUnpicked.size() - 1)(mRandom);
    std::swap(mUnpicked[pick], mUnpicked.back());
    mHistory.push_back(std::move(mUnpicked.back()));
    mUnpicked.pop_back();
    return true;
}

std::optional<QString> ShuffleOrder::Peek(int ahead)
{
    while (mAt + ahead >= int(mHistory.size()))
        if (!PickNext())
            return std::nullopt;
    return mHistory[std::size_t(mAt + ahead)];
}

std::optional<QString> ShuffleOrder::Forward()
{
    std::optional<QString> next = Peek(1);
    if (!next)
        return next;
    ++mAt;
    // A show left running for weeks keeps only so much to go back through.
    if (mAt >= 2 * kKeptBehind) {
        mHistory.erase(mHistory.begin(), mHistory.begin() + kKeptBehind);
        mAt -= kKeptBehind;
    }
    return next;
}

std::optional<QString> ShuffleOrder::Back()
{
    if (mAt <= 0)
        return std::nullopt;
    return mHistory[std::size_t(--mAt)];
}

std::optional<QString> ShuffleOrder::Current() const
{
    if (mAt < 0)
        return std::nullopt;
    return mHistory[std::size_t(mAt)];
}

std::optional<QString> ShuffleOrder::PeekBack(int behind) const
{
    if (behind < 1 || mAt - behind < 0)
        return std::nullopt;
    return mHistory[std::size_t(mAt - behind)];
}

bool ShuffleOrder::StartWith(const QString& path)
{
    if (mAt >= 0 || !mHistory.empty() || !mKnown.contains(path))
        return false;
    std::erase(mUnpicked, path);
    mHistory.push_back(path);
    mAt = 0;
    return true;
}
