#pragma once
// Animated pictures made by Debian's encoders (ImageMagick for GIF,
// img2webp for WebP): frames of one colour each, every frame shown for
// delayMs. Tests that use them require the tools first (REQUIRE_TOOLS).
#include <QColor>
#include <QDir>
#include <QImage>
#include <QStringList>

#include <vector>

#include "support/TestSupport.h"

enum class Animated { Gif, WebP };

// Writes folder/name, a size.width() x size.height() animation that loops
// without end; the test fails when the encoder does.
inline void MakeAnimation(const QString& folder, const QString& name, Animated format,
                          const std::vector<QColor>& colours, int delayMs, QSize size = QSize(64, 48))
{
    const QString frames = folder + "/." + name + ".frames";
    QDir().mkpath(frames);
    QStringList args;
    if (format == Animated::Gif)
        args << "-delay" << QString::number(delayMs / 10) << "-loop" << "0";
    else
        args << "-loop" << "0" << "-lossless";
    for (std::size_t i = 0; i < colours.size(); ++i) {
        QImage frame(size, QImage::Format_RGB32);
        frame.fill(colours[i]);
        const QString file = frames + QStringLiteral("/%1.png").arg(i);
        frame.save(file);
        if (format == Animated::WebP)
            args << "-d" << QString::number(delayMs);
        args << file;
    }
    if (format == Animated::Gif)
        RunTool(folder, "convert", args << folder + "/" + name);
    else
        RunTool(folder, "img2webp", args << "-o" << folder + "/" + name);
    QDir(frames).removeRecursively();
}
