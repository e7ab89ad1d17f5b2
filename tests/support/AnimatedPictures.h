#pragma once
// Animated pictures made by Debian's encoders (ImageMagick for GIF,
// img2webp for WebP, cjxl from a GIF for JPEG XL, avifenc for AVIF): frames of one colour each, every frame shown for
// delayMs. Tests that use them require the tools first (REQUIRE_TOOLS).
#include <QColor>
#include <QDir>
#include <QImage>
#include <QStringList>

#include <cstdint>
#include <vector>

#include <zlib.h>

#include "support/TestSupport.h"

enum class Animated { Gif, WebP, Jxl, Avif };

// Writes folder/name, a size.width() x size.height() animation that loops
// without end; the test fails when the encoder does.
inline void MakeAnimation(const QString& folder, const QString& name, Animated format,
                          const std::vector<QColor>& colours, int delayMs, QSize size = QSize(64, 48))
{
    const QString frames = folder + "/." + name + ".frames";
    QDir().mkpath(frames);
    QStringList args;
    if (format == Animated::WebP)
        args << "-loop" << "0" << "-lossless";
    else if (format == Animated::Avif)
        args << "--lossless" << "--speed" << "10" << "--timescale" << "1000" << "--duration" << QString::number(delayMs);
    else
        args << "-delay" << QString::number(delayMs / 10) << "-loop" << "0";
    for (std::size_t i = 0; i < colours.size(); ++i) {
        QImage frame(size, QImage::Format_RGB32);
        frame.fill(colours[i]);
        const QString file = frames + QStringLiteral("/%1.png").arg(i);
        frame.save(file);
        if (format == Animated::WebP)
            args << "-d" << QString::number(delayMs);
        args << file;
    }
    if (format == Animated::Gif) {
        RunTool(folder, "convert", args << folder + "/" + name);
    } else if (format == Animated::Jxl) {
        RunTool(folder, "convert", args << frames + "/all.gif");
        RunTool(folder, "cjxl", {frames + "/all.gif", folder + "/" + name, "-d", "0"});
    } else if (format == Animated::Avif) {
        RunTool(folder, "avifenc", args << folder + "/" + name);
    } else {
        RunTool(folder, "img2webp", args << "-o" << folder + "/" + name);
    }
    QDir(frames).removeRecursively();
}

// An animated PNG written by hand, chunk by chunk: RGB frames of the given
// colours and rectangles (the first must cover the picture), each shown for
// delayMs, the blend "source" and the dispose "none"; the first frame is the
// still picture too. plays 0 loops without end.
struct ApngFrame {
    QColor colour;
    QRect rect;
};
inline QByteArray HandMadeApng(QSize size, const std::vector<ApngFrame>& frames, int delayMs, int plays = 0)
{
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    const auto be32 = [](QByteArray& out, std::uint32_t v) {
        const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        out.append(b, 4);
    };
    const auto chunk = [&](const char* type, const QByteArray& data) {
        be32(png, std::uint32_t(data.size()));
        const qsizetype start = png.size();
        png.append(type, 4);
        png.append(data);
        be32(png, std::uint32_t(crc32(0, reinterpret_cast<const Bytef*>(png.constData() + start), uInt(4 + data.size()))));
    };
    QByteArray ihdr;
    be32(ihdr, std::uint32_t(size.width()));
    be32(ihdr, std::uint32_t(size.height()));
    ihdr.append("\x08\x02\x00\x00\x00", 5); // 8-bit RGB
    chunk("IHDR", ihdr);
    QByteArray actl;
    be32(actl, std::uint32_t(frames.size()));
    be32(actl, std::uint32_t(plays));
    chunk("acTL", actl);
    std::uint32_t sequence = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const QRect r = frames[i].rect;
        QByteArray fctl;
        be32(fctl, sequence++);
        be32(fctl, std::uint32_t(r.width()));
        be32(fctl, std::uint32_t(r.height()));
        be32(fctl, std::uint32_t(r.x()));
        be32(fctl, std::uint32_t(r.y()));
        fctl.append(char(delayMs >> 8)).append(char(delayMs & 0xFF)); // of 1000 s
        fctl.append("\x03\xE8\x00\x00", 4);
        chunk("fcTL", fctl);
        QByteArray rows;
        for (int y = 0; y < r.height(); ++y) {
            rows.append('\0'); // no filter
            for (int x = 0; x < r.width(); ++x)
                rows.append(char(frames[i].colour.red())).append(char(frames[i].colour.green())).append(char(frames[i].colour.blue()));
        }
        QByteArray packed(qsizetype(compressBound(uLong(rows.size()))), Qt::Uninitialized);
        uLongf packedSize = uLongf(packed.size());
        compress(reinterpret_cast<Bytef*>(packed.data()), &packedSize, reinterpret_cast<const Bytef*>(rows.constData()),
                 uLong(rows.size()));
        packed.truncate(qsizetype(packedSize));
        if (i == 0) {
            chunk("IDAT", packed);
        } else {
            QByteArray fdat;
            be32(fdat, sequence++);
            chunk("fdAT", fdat + packed);
        }
    }
    chunk("IEND", {});
    return png;
}
