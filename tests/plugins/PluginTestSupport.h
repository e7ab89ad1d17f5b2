#pragma once
// Pictures in the test filters' tiny format, what a drawing left behind, and
// the bridge's functions.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QRect>
#include <QtEndian>

#include "common/RuntimeError.h"
#include "support/TestSupport.h"

// "VTP" + the IsSupported answer + width, height, depth and one colour.
inline QString WriteVtp(const TempTree& tree, const QString& name, int width, int height,
                        QColor colour = Qt::red, char answer = '1', int depth = 24)
{
    QByteArray data = QByteArray("VTP") + answer + QByteArray(8, '\0') + char(depth);
    qToLittleEndian<qint32>(width, data.data() + 4);
    qToLittleEndian<qint32>(height, data.data() + 8);
    data.append(char(colour.red())).append(char(colour.green())).append(char(colour.blue()));
    return tree.WriteFile(name, data);
}

inline QImage BlackSurface(int width, int height)
{
    QImage surface(width, height, QImage::Format_RGB32);
    surface.fill(Qt::black);
    return surface;
}

// The smallest rectangle that holds every pixel that is not black.
inline QRect DrawnBox(const QImage& surface)
{
    QRect box;
    for (int y = 0; y < surface.height(); ++y)
        for (int x = 0; x < surface.width(); ++x)
            if ((surface.pixel(x, y) & 0xFFFFFFu) != 0)
                box |= QRect(x, y, 1, 1);
    return box;
}

// The kind of RuntimeError that f raises; -1 when it raises none.
template <typename F>
int RaisedKind(F&& f)
{
    try {
        f();
    } catch (const RuntimeError& e) {
        return int(e.Kind());
    }
    return -1;
}

// The host opens the bridge globally, so its functions are found by name.
template <typename F>
F BridgeFunction(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
}

// The bridge's count of local-memory blocks alive in this process.
inline std::size_t LiveBlocks()
{
    const auto count = BridgeFunction<std::size_t (*)()>("LoadPluginLiveBlocks");
    EXPECT_NE(count, nullptr);
    return count ? count() : 0;
}
