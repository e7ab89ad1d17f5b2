// Walks a generated folder tree with FolderWalk as the show does (listing
// each folder itself while listings are fast), with FolderWalk listing ahead
// on many threads from the start (as on a slow file system) and, in the same
// rounds, with `find DIR -type d`.
//
//   bench_folderwalk [folders] [repetitions]    (default 10000 folders, 7 runs)
#include "common/CodePage.h"
#include "slideshow/FolderWalk.h"

#include "BenchStats.h"

#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Breadth first, depth at most 6, with as few children per folder (at least
// five) as reach `folders` folders besides the root; three files in each.
void MakeTree(const std::string& root, int folders)
{
    int fanout = 5;
    for (;; ++fanout) {
        long total = 0, level = 1;
        for (int d = 1; d <= 6; ++d)
            total += level *= fanout;
        if (total >= folders)
            break;
    }
    struct Pending {
        std::string path;
        int depth;
    };
    std::deque<Pending> queue{{root, 0}};
    int made = 0;
    const char* files[] = {"a.jpg", "b.txt", "notes"};
    while (!queue.empty() && made < folders) {
        const Pending p = queue.front();
        queue.pop_front();
        for (const char* f : files)
            close(open((p.path + "/" + f).c_str(), O_CREAT | O_WRONLY, 0644));
        if (p.depth >= 6)
            continue;
        for (int i = 0; i < fanout && made < folders; ++i) {
            const std::string child = p.path + "/folder" + std::to_string(i);
            if (mkdir(child.c_str(), 0755) != 0) {
                std::perror(child.c_str());
                std::exit(1);
            }
            ++made;
            queue.push_back({child, p.depth + 1});
        }
    }
    for (const Pending& p : queue)
        for (const char* f : files)
            close(open((p.path + "/" + f).c_str(), O_CREAT | O_WRONLY, 0644));
}

long CountByFind(const std::string& root)
{
    const std::string cmd = "find '" + root + "' -type d";
    FILE* out = popen(cmd.c_str(), "r");
    long lines = 0;
    for (int c; (c = std::fgetc(out)) != EOF;)
        lines += c == '\n';
    pclose(out);
    return lines;
}

} // namespace

int main(int argc, char** argv)
{
    const int folders = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    QTemporaryDir temp;
    if (!temp.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    const std::string root = ToCodePage(temp.path()).toStdString();
    MakeTree(root, folders);

    // One untimed round of each warms the cache and checks that both agree.
    FolderWalk check(temp.path() + "/");
    check.WaitForEnd(FolderWalk::Clock::now() + std::chrono::minutes(5));
    const long found = CountByFind(root);
    std::printf("tree: %d folders below the start, 3 files each; the walk lists %d, find counts %ld\n",
                folders, check.Count(), found);
    if (check.Count() != found || found != folders + 1) {
        std::fprintf(stderr, "the walk and find disagree\n");
        return 1;
    }

    const std::string findCmd = "find '" + root + "' -type d > /dev/null";
    const QString start = temp.path() + "/";
    std::vector<double> firstFolders;
    const auto walk = [&](std::chrono::microseconds slowListing) {
        const auto begin = FolderWalk::Clock::now();
        FolderWalk walk(start, {}, FolderWalk::kListingThreads, slowListing);
        const auto later = begin + std::chrono::minutes(5);
        walk.WaitForIndex(100, later);
        firstFolders.push_back(std::chrono::duration<double, std::milli>(FolderWalk::Clock::now() - begin).count());
        return walk.WaitForEnd(later) && walk.Count() == folders + 1;
    };
    const std::vector<std::function<bool()>> contenders = {
        [&] { return walk(FolderWalk::kSlowListing); },
        [&] { return walk(std::chrono::microseconds(0)); },
        [&] { return std::system(findCmd.c_str()) == 0; },
    };
    const std::vector<Rounds> rounds = Alternate(contenders, runs);
    std::printf("%s\n", MachineLine().c_str());
    std::printf("FolderWalk as the show walks:       %s\n", Figure(rounds[0]).c_str());
    std::printf("FolderWalk listing ahead (%d threads): %s\n", FolderWalk::kListingThreads, Figure(rounds[1]).c_str());
    std::printf("first 100 folders, median of both:   %.2f ms\n", Median(firstFolders));
    std::printf("find -type d (process start included): %s\n", Figure(rounds[2]).c_str());
    for (const Rounds& r : rounds)
        if (r.failed) {
            std::fprintf(stderr, "a contender failed\n");
            return 1;
        }
    std::printf("folder table: %.1f MiB for %d folders (%.0f bytes a folder)\n", check.TableBytes() / 1048576.0,
                check.Count(), double(check.TableBytes()) / check.Count());
    const double ratio = rounds[0].Median() / rounds[2].Median();
    std::printf("ratio walk/find of the medians: %.2f (target <= 0.6) %s\n", ratio, ratio <= 0.6 ? "ok" : "MISSED");
    return 0;
}
