#pragma once
// Calls the shipped plug-ins the way the program does: through the bridge
// library, opened with RTLD_NOW | RTLD_GLOBAL so that the plug-ins' LocalAlloc
// and friends resolve from it.
#include <gtest/gtest.h>

#include <QImage>

#include <initializer_list>

#include "imaging/PictureTestData.h" // Quadrants, Encode
#include "pluginrunner/LoadPlugin.h"
#include "support/TestSupport.h"

// A shipped plug-in of the build: BuildDir()/Plugin/<name>.
QByteArray ShippedPlugin(const char* name);

// GetPluginInfo's text; the buffer must hold it whole and nothing past buflen is written.
QString PluginText(const QByteArray& plugin, int infono, int buflen = 256);
int Supported(const QByteArray& plugin, const QString& file);
int PictureInfoOf(const QByteArray& plugin, const QByteArray& fileOrBytes, bool memory, PictureInfo& info);

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

// Decodes bytes from a file, from memory and from an offset in a bigger file,
// and compares each with expected at the middle of its quadrants; checks
// GetPictureInfo from file and memory, and that progress reports and cancels.
void ExpectDecodes(const QByteArray& plugin, const QByteArray& bytes, const QImage& expected, int tolerance);

// GetPicture's codes for bad input, with nothing handed back: 3 for each
// damaged picture from memory and from a file (or 2, where Qt's readers
// cannot tell damage from another format), 6 for a missing file, 4 for huge.
void ExpectRefused(const QByteArray& plugin, std::initializer_list<QByteArray> damaged, const QByteArray& huge,
                   bool orUnknown = false);
