// The decoding service: a stopped decode gives up within one band of rows,
// jobs stopped before they run never run, borrowing never goes past the
// workers, and the service joins its threads when it goes.
#include <gtest/gtest.h>

#include <QImage>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <thread>
#include <vector>

#include <jpeglib.h>

#include "imaging/DecodeService.h"
#include "imaging/JpegReader.h"
#include "support/TestSupport.h"

namespace {

// A grey JPEG of width x height pixels: a gradient, so that it is not
// nothing but zeros.
std::vector<unsigned char> GreyJpeg(int width, int height)
{
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = JDIMENSION(width);
    c.image_height = JDIMENSION(height);
    c.input_components = 1;
    c.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 50, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<unsigned char> row(static_cast<std::size_t>(width));
    while (c.next_scanline < c.image_height) {
        for (int x = 0; x < width; ++x)
            row[std::size_t(x)] = (unsigned char)((x + int(c.next_scanline)) / 64);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<unsigned char> bytes(out, out + size);
    std::free(out);
    return bytes;
}

bool SendAll(int fd, const unsigned char* data, std::size_t size)
{
    while (size) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

TEST(DecodeService, AHundredMegapixelDecodeSteppedAwayFromStopsWithinOneBand)
{
    const std::vector<unsigned char> jpeg = GreyJpeg(10000, 10000);
    int channel[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel), 0);
    std::FILE* source = fdopen(channel[0], "rb");
    ASSERT_NE(source, nullptr);
    // The first half of the file now; the decode then waits for more, so it
    // cannot end before it is stopped, however slow the machine is.
    std::thread writer([&] { SendAll(channel[1], jpeg.data(), jpeg.size() / 2); });

    DecodeService& service = *DecodeService::Instance();
    std::optional<codec::Result<QImage>> decoded;
    DecodeService::Job job = service.Submit([&] { decoded = DecodeJpegScaled(source, QSize(1250, 1250), 1 << 28); });
    ASSERT_TRUE(WaitFor([&] { return job.Report().bands > 0; }, 60000));
    job.Stop();
    // The rest of the file never comes: what the decode reads next is the
    // end, and the writer gives up.
    shutdown(channel[0], SHUT_RD);
    shutdown(channel[1], SHUT_WR);
    writer.join();
    ASSERT_TRUE(job.WaitDone(60000));
    const DecodeService::JobReport report = job.Report();
    EXPECT_TRUE(report.finished);
    EXPECT_TRUE(report.stoppedEarly);
    EXPECT_LE(report.bands - report.bandsAtStop, 1u);
    // 1250 rows shown, a band is 16 of them: it stopped well before the end.
    EXPECT_LT(report.bands, 1250u / 16);
    ASSERT_TRUE(decoded && !*decoded);
    EXPECT_EQ(decoded->error().kind, codec::ErrorKind::Stopped);
    std::fclose(source);
    close(channel[1]);
}

TEST(DecodeService, JobsStoppedBeforeTheyStartNeverRunAndTheServiceJoinsWhatRuns)
{
    std::atomic_bool running{false}, sawStop{false}, secondRan{false};
    auto service = std::make_unique<DecodeService>(1);
    DecodeService::Job first = service->Submit([&] {
        running = true;
        // A decode that only ends when it is stopped.
        while (!DecodeStopRequested())
            std::this_thread::yield();
        sawStop = true;
    });
    std::atomic_int dropped{0};
    DecodeService::Job second = service->Submit([&] { secondRan = true; }, [&] { ++dropped; });
    ASSERT_TRUE(WaitFor([&] { return running.load(); }, 60000));
    second.Stop();
    EXPECT_FALSE(second.Report().started);
    // The end of the service stops the job that runs and waits for it.
    service.reset();
    EXPECT_TRUE(sawStop);
    EXPECT_TRUE(first.Report().finished);
    EXPECT_TRUE(first.Report().stoppedEarly);
    EXPECT_FALSE(secondRan);
    EXPECT_TRUE(second.Report().finished);
    EXPECT_EQ(dropped.load(), 1) << "whoever waits for a dropped job is told";
}

TEST(DecodeService, OnlyIdleWorkersAreBorrowed)
{
    DecodeService& service = *DecodeService::Instance();
    const int workers = service.Threads();
    std::atomic_bool release{false};
    std::atomic_int busy{0};
    std::vector<DecodeService::Job> jobs;
    for (int i = 0; i < workers; ++i)
        jobs.push_back(service.Submit([&] {
            ++busy;
            while (!release)
                std::this_thread::yield();
        }));
    ASSERT_TRUE(WaitFor([&] { return busy.load() == workers; }, 60000));
    bool ran = false;
    DecodeService::Borrowed none = DecodeService::TryBorrow([&] { ran = true; });
    EXPECT_FALSE(none) << "every worker is busy: the caller does the work";
    release = true;
    for (const DecodeService::Job& job : jobs)
        ASSERT_TRUE(job.WaitDone(60000));
    // Idle again: one borrow per worker, then no more.
    std::atomic_int helped{0};
    std::atomic_bool hold{true};
    std::vector<DecodeService::Borrowed> borrowed;
    ASSERT_TRUE(WaitFor([&] {
        DecodeService::Borrowed b = DecodeService::TryBorrow([&] {
            ++helped;
            while (hold)
                std::this_thread::yield();
        });
        if (b)
            borrowed.push_back(std::move(b));
        return int(borrowed.size()) == workers;
    }, 60000));
    EXPECT_FALSE(DecodeService::TryBorrow([] {}));
    hold = false;
    for (DecodeService::Borrowed& b : borrowed)
        b.Wait();
    EXPECT_EQ(helped.load(), workers);
    EXPECT_FALSE(ran);
}

} // namespace
