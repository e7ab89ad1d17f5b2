#pragma once
// The shuffled order of a show: every picture of the tree once, in a random
// order, before any comes again; then a new order. Pictures become known
// while the folders are listed, and each pick is uniform among those known
// and not yet shown in this round. What was shown is kept: going back walks
// it, and going forward again walks the same pictures before new ones are
// picked. Picks ahead of the current picture (for decoding ahead) are made
// once and kept, so the next step shows exactly what was decoded for it.
// No widgets, no threads.
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include <QSet>
#include <QString>
#include <QStringList>

class ShuffleOrder {
public:
    // Going back reaches at least this many pictures.
    static constexpr int kKeptBehind = 10000;

    explicit ShuffleOrder(std::uint64_t seed);

    // Pictures found since the last call; ones known already are ignored.
    void Add(const QStringList& paths);
    // Every picture is known: a round can end and the next begin.
    void SetComplete();
    bool Complete() const { return mComplete; }
    int Known() const { return int(mAll.size()); }

    // The next picture, and it becomes the current one; nothing when none
    // is known yet that has not been shown in this round and more may come
    // (the caller waits for the listings), or when there are no pictures.
    std::optional<QString> Forward();
    // The picture shown before the current one, and it becomes the current
    // one; nothing at the first picture shown.
    std::optional<QString> Back();
    // The picture ahead steps forward (1: the next), picked now if need be;
    // nothing as for Forward.
    std::optional<QString> Peek(int ahead);
    // The picture behind steps back (1: the one before), as Back would go;
    // nothing past the first picture shown.
    std::optional<QString> PeekBack(int behind) const;
    // Nothing before the first Forward.
    std::optional<QString> Current() const;
    // Makes a known picture the first one shown, before any Forward; false
    // when it is not known or the order has begun.
    bool StartWith(const QString& path);

private:
    // Picks the next new picture and appends it to the history.
    bool PickNext();

    std::mt19937_64 mRandom;
    std::vector<QString> mAll;      // every picture known, in the order found
    QSet<QString> mKnown;
    std::vector<QString> mUnpicked; // known and not yet picked in this round
    bool mComplete = false;
    std::vector<QString> mHistory;  // shown, and picked ahead
    int mAt = -1;                   // the current picture in mHistory
};
