#pragma once
// Pictures in the test filters' tiny format, and what a drawing left behind.
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QRect>
#include <QtEndian>

#include "support/TestSupport.h"

// "VTP" + the IsSupported answer + width, height, depth and one colour.
inline QString WriteVtp(const TempTree& tree, const QString& name, int width, int height,
                        QColor colour = Qt::red, char answer = '1', int depth = 24)
{
    QByteArray data("VTP");
    data.append(answer);
    char number[4];
    qToLittleEndian<qint32>(width, number);
    data.append(number, 4);
    qToLittleEndian<qint32>(height, number);
    data.append(number, 4);
    data.append(char(depth));
    data.append(char(colour.red())).append(char(colour.green())).append(char(colour.blue()));
    return tree.WriteFile(name, data);
}

// A black surface of the given size.
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
    for (int y = 0; y < surface.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(surface.constScanLine(y));
        for (int x = 0; x < surface.width(); ++x)
            if ((row[x] & 0xFFFFFFu) != 0)
                box |= QRect(x, y, 1, 1);
    }
    return box;
}
