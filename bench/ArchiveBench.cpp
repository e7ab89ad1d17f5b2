// Lists archives of many files: a ZIP (by its central directory) and the
// same files as a tar.gz (a stream that must be unpacked to list), and
// reads the first and the last file by name order.
//
//   bench_archive [files] [runs]    (default 100000 files, 5 runs)
#include "archives/ArchiveIndex.h"
#include "archives/ArchiveBytes.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <unistd.h>

namespace {

// Resident memory now, in KiB.
long ResidentKib()
{
    long pages = 0, resident = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double Ms(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

bool Measure(const char* what, const QString& path, int files, int runs)
{
    std::vector<double> times;
    std::shared_ptr<const ArchiveIndex> index;
    const long before = ResidentKib();
    for (int r = 0; r < runs; ++r) {
        index.reset();
        const auto start = std::chrono::steady_clock::now();
        ArchiveIndex::Opened opened = ArchiveIndex::OpenFile(path);
        times.push_back(Ms(start));
        if (!opened) {
            std::printf("%s: %s\n", what, opened.error().Describe().c_str());
            return false;
        }
        index = *opened;
    }
    std::sort(times.begin(), times.end());
    const long held = ResidentKib() - before; // the index, kept
    const auto start = std::chrono::steady_clock::now();
    const bool first = index->Read(0, 1 << 20).has_value();
    const double firstMs = Ms(start);
    const auto lastStart = std::chrono::steady_clock::now();
    const bool last = index->Read(int(index->Entries().size()) - 1, 1 << 20).has_value();
    const double lastMs = Ms(lastStart);
    std::printf("%-8s %d files: listed %zu in median %.0f ms (%.0f-%.0f), index holds %.1f MiB; "
                "first file %.1f ms, last %.1f ms %s\n",
                what, files, index->Entries().size(), times[times.size() / 2], times.front(), times.back(),
                double(held) / 1024, firstMs, lastMs,
                first && last && int(index->Entries().size()) == files ? "ok" : "WRONG");
    return first && last && int(index->Entries().size()) == files;
}

} // namespace

int main(int argc, char** argv)
{
    const int files = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    QTemporaryDir temp;
    std::vector<archive_bytes::File> contents;
    contents.reserve(std::size_t(files));
    for (int i = 0; i < files; ++i)
        contents.push_back({"folder" + QByteArray::number(i % 100) + "/IMG_" + QByteArray::number(i) + ".jpg",
                            QByteArray::number(i)});
    const QString zip = temp.path() + "/many.zip";
    QFile out(zip);
    if (!out.open(QIODevice::WriteOnly) || out.write(archive_bytes::Zip(contents)) < 0)
        return 1;
    out.close();
    contents.clear();
    const QString tgz = temp.path() + "/many.tgz";
    if (QProcess::execute("bsdtar", {"-czf", tgz, "@" + zip}) != 0)
        return 1;
    bool ok = Measure("zip", zip, files, runs);
    ok = Measure("tar.gz", tgz, files, runs) && ok;
    return ok ? 0 : 1;
}
