// Lists a folder of 20,000 files of mixed extensions and letter case with
// the slide show's file list and its full pattern (plug-in patterns first).
//
//   bench_filelist [files] [runs]    (default 20000 files, 9 runs)
#include "common/CodePage.h"
#include "slideshow/FileList.h"

#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    const int files = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 9;
    QTemporaryDir temp;
    const std::string root = ToCodePage(temp.path()).toStdString();
    const char* extensions[] = {".jpg", ".JPG", ".Jpeg", ".png", ".PNG", ".bmp", ".gif", ".heic",
                                ".webp", ".txt", ".mov", ".xmp", ".tif", ".ico", ".emf", ""};
    int pictures = 0;
    for (int i = 0; i < files; ++i) {
        const char* ext = extensions[i % 16];
        const std::string name = root + "/IMG_" + std::to_string(100000 + (i * 7919) % files) + ext;
        close(open(name.c_str(), O_CREAT | O_WRONLY, 0644));
        pictures += i % 16 < 9 || i % 16 == 12 || i % 16 == 13 || i % 16 == 14;
    }
    const QString pattern = "*.heic;*.heif;*.avif;*.webp;*.tif;*.tiff;*.tga;"
                            "*.jpeg;*.jpg;*.bmp;*.dib;*.ico;*.rle;*.gif;*.wmf;*.emf;*.png;*.cur";
    std::vector<double> times;
    int listed = 0;
    for (int r = 0; r <= runs; ++r) {
        const auto start = std::chrono::steady_clock::now();
        FileListBox list;
        list.SetPattern(pattern);
        list.SetPath(temp.path());
        listed = list.ListCount();
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (r > 0) // the first run warms the cache
            times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    std::printf("file list of %d files (%d pictures listed, %d expected): median %.2f ms (%.2f-%.2f) "
                "(target < 50 ms) %s\n",
                files, listed, pictures, times[times.size() / 2], times.front(), times.back(),
                times[times.size() / 2] < 50 ? "ok" : "MISSED");
    return listed == pictures ? 0 : 1;
}
