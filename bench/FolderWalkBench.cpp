// Walks a generated folder tree with ClsFolderList::SearchDirs and, in the
// same run, times `find DIR -type d` over the same tree.
//
//   bench_folderwalk [folders] [repetitions]    (default 10000 folders, 7 runs)
#include "common/CodePage.h"
#include "slideshow/FolderList.h"

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

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
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
    ClsFolderList check;
    check.SearchDirs(temp.path() + "/");
    const long found = CountByFind(root);
    std::printf("tree: %d folders below the start, 3 files each; SearchDirs lists %d, find counts %ld\n",
                folders, check.ListCount(), found);
    if (check.ListCount() != found || found != folders + 1) {
        std::fprintf(stderr, "the walk and find disagree\n");
        return 1;
    }

    const std::string findCmd = "find '" + root + "' -type d > /dev/null";
    std::vector<double> walk, find;
    // Rounds alternate which goes first, so that neither always runs on a
    // cache the other just warmed.
    for (int i = 0; i < runs; ++i)
        for (int k = 0; k < 2; ++k) {
            const auto start = Clock::now();
            if ((i + k) % 2 == 0) {
                ClsFolderList list;
                list.SearchDirs(temp.path() + "/");
                walk.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            } else {
                if (std::system(findCmd.c_str()) != 0) {
                    std::fprintf(stderr, "find failed\n");
                    return 1;
                }
                find.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            }
        }
    const double w = Median(walk), f = Median(find);
    const auto low = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
    const auto high = [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); };
    std::printf("SearchDirs: median %.2f ms (%.2f-%.2f) (%d alternated rounds)\n", w, low(walk), high(walk), runs);
    std::printf("find -type d: median %.2f ms (%.2f-%.2f) (process start included)\n", f, low(find), high(find));
    std::printf("ratio walk/find of the medians: %.2f (target <= 0.6) %s\n", w / f, w / f <= 0.6 ? "ok" : "MISSED");
    return 0;
}
