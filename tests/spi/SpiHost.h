#pragma once
// Calls the shipped plug-ins the way the program does: through the bridge
// library, opened with RTLD_NOW | RTLD_GLOBAL so that the plug-ins' LocalAlloc
// and friends resolve from it.
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QString>

#include <cstdint>

#include "bridge/LoadPlugin.h"

#include <gtest/gtest.h>

struct SpiBridge {
    decltype(&::GetPluginInfo) getPluginInfo = nullptr;
    decltype(&::IsSupported) isSupported = nullptr;
    decltype(&::GetPictureInfo) getPictureInfo = nullptr;
    decltype(&::GetPicture) getPicture = nullptr;
    void* (*localFree)(void*) = nullptr;
    void* (*localLock)(void*) = nullptr;
    int (*localUnlock)(void*) = nullptr;
    std::size_t (*localSize)(void*) = nullptr;
    const char* (*lastError)() = nullptr;
};

// The bridge of the build; fails the test (and returns null) when absent.
const SpiBridge* Bridge();

// A shipped plug-in of the build: BuildDir()/Plugin/<name>.
QByteArray ShippedPlugin(const char* name);

QString PluginText(const QByteArray& plugin, int infono, int buflen = 256);
int Supported(const QByteArray& plugin, const QString& file);

// The outcome of GetPicture; the DIB is checked (header, block sizes) and
// turned into an image, and both blocks are released with the bridge.
struct Decoded {
    int rc = -100;
    bool bothNullOnFailure = false;
    QImage image; // top-down, null unless rc == 0 and the DIB was sound
};

Decoded DecodeFile(const QByteArray& plugin, const QString& file, std::intptr_t offset = 0,
                   SpiProgressCallback progress = nullptr);
Decoded DecodeMemory(const QByteArray& plugin, const QByteArray& bytes);

// Whether c is within tolerance of expected in each channel (lossy codecs).
::testing::AssertionResult ColourNear(const QImage& image, int x, int y, QColor expected,
                                      int tolerance = 40);

// A picture of four quadrants: red, green / blue, white (top-left first).
QImage Quadrants(int width, int height);
