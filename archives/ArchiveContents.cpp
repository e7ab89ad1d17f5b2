#include "archives/ArchiveContents.h"

#include "common/CodePage.h"
#include "common/NameMatch.h"

#include <algorithm>
#include <numeric>
#include <string_view>

void ArchiveContents::SortByName(std::vector<ArchiveEntry>& entries)
{
    std::vector<QByteArray> keys;
    keys.reserve(entries.size());
    for (const ArchiveEntry& e : entries)
        keys.push_back(ToCodePage(e.path));
    const auto key = [&](int i) {
        return std::string_view(keys[std::size_t(i)].constData(), std::size_t(keys[std::size_t(i)].size()));
    };
    std::vector<int> order(entries.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int x, int y) { return CompareNames(key(x), key(y)) < 0; });
    std::vector<ArchiveEntry> sorted;
    sorted.reserve(entries.size());
    for (const int i : order)
        sorted.push_back(std::move(entries[std::size_t(i)]));
    entries = std::move(sorted);
}
