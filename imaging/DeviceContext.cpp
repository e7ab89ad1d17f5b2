#include "imaging/DeviceContext.h"

#include "imaging/AreaReducer.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include <QImage>
#include <QPainter>
#include <QTransform>

// Rectangle conventions of StretchDIBits here:
// - The destination rectangle with a negative width or height covers
//   [x + w, x) (as GDI's mirroring idiom StretchBlt(dc, w, 0, -w, ...) does).
// - The source rectangle always covers |srcWidth| x |srcHeight| pixels from
//   (xSrc, ySrc); a negative source size only mirrors. The host passes the
//   DIB's own biHeight as the source height, so a top-down DIB (negative
//   height) arrives with a negative source height and must still draw.
// - For bottom-up DIBs ySrc counts rows from the bottom row and the source
//   rectangle extends upwards, as on the original platform; for top-down
//   DIBs it counts from the top row.
// - Mirroring happens when the signs of the destination and source sizes
//   differ on an axis.
// - A zero destination or source size draws nothing and returns 0; a
//   destination wholly outside the surface is clipped away and still returns
//   the source height.

namespace {

struct Context {
    QImage* surface = nullptr;
    int mode = BLACKONWHITE;
};

std::mutex gLock;
std::unordered_map<HDC, Context> gContexts;
HDC gNextHandle = 1;

bool Lookup(HDC hdc, Context* out)
{
    std::lock_guard lock(gLock);
    auto it = gContexts.find(hdc);
    if (it == gContexts.end())
        return false;
    *out = it->second;
    return true;
}

// The rows of a DIB, decoded one at a time and only where they are sampled:
// drawing a large picture small never converts the whole picture first.
// 24- and 32-bit rows are read straight from the DIB, column by column.
class DibRows {
public:
    DibRows(const BITMAPINFO* info, const void* bits)
        : mInfo(info), mBits(static_cast<const unsigned char*>(bits)), mHeader(info->bmiHeader)
    {
        mWidth = mHeader.biWidth;
        mHeight = mHeader.biHeight < 0 ? -qint64(mHeader.biHeight) : mHeader.biHeight;
        mStride = DibStride(mWidth, mHeader.biBitCount);
        mDirect = mHeader.biCompression == BI_RGB && (mHeader.biBitCount == 24 || mHeader.biBitCount == 32);
        mWhole = mHeader.biCompression == BI_RLE8 || mHeader.biCompression == BI_RLE4;
    }

    // Whether the DIB can be drawn; RLE data is decoded whole.
    bool Valid()
    {
        // Headers are 40 to 124 bytes; far larger sizes are damage. The
        // depth decides how much of the block is read below, so one that no
        // DIB has is refused first.
        const unsigned bits = mHeader.biBitCount;
        if (mWidth <= 0 || mHeight <= 0 || mHeader.biSize > 4096 ||
            (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32))
            return false;
        if (mWhole) {
            codec::Result<QImage> picture = DibToImage(mInfo, mBits);
            if (!picture)
                return false;
            mPicture = std::move(*picture);
            return true;
        }
        // The header of a one-row DIB, with the masks or colour table behind
        // it; decoding the first row checks the header as a whole does.
        const auto* raw = reinterpret_cast<const unsigned char*>(mInfo);
        // (A colour table has at most 256 entries, whatever biClrUsed says.)
        const std::uint64_t size =
            std::min<std::uint64_t>(DibInfoSize(mHeader), std::uint64_t(mHeader.biSize) + 12 + 256 * 4);
        mRowInfo.assign(raw, raw + size);
        return DecodedRow(0) != nullptr;
    }
    qint64 Width() const { return mWidth; }
    qint64 Height() const { return mHeight; }

    // Writes the pixels of picture row y (from the top) at the given source
    // columns (-1: leave the destination pixel) to out.
    void Sample(qint64 y, const std::vector<int>& columns, QRgb* out)
    {
        const std::size_t n = columns.size();
        if (mWhole || !mDirect) {
            const QRgb* row = DecodedRow(y);
            if (!row)
                return;
            for (std::size_t i = 0; i < n; ++i)
                if (columns[i] >= 0)
                    out[i] = row[columns[i]];
            return;
        }
        const unsigned char* row = StoredRow(y);
        const int step = mHeader.biBitCount / 8;
        for (std::size_t i = 0; i < n; ++i) {
            if (columns[i] < 0)
                continue;
            const unsigned char* p = row + std::size_t(columns[i]) * step;
            out[i] = qRgb(p[2], p[1], p[0]);
        }
    }

private:
    const unsigned char* StoredRow(qint64 y) const
    {
        const qint64 stored = mHeader.biHeight < 0 ? y : mHeight - 1 - y;
        return mBits + std::uint64_t(stored) * mStride;
    }

    const QRgb* DecodedRow(qint64 y)
    {
        if (mWhole)
            return reinterpret_cast<const QRgb*>(mPicture.constScanLine(int(y)));
        if (y != mRowIndex) {
            auto* header = reinterpret_cast<BITMAPINFOHEADER*>(mRowInfo.data());
            header->biHeight = 1;
            header->biSizeImage = 0;
            codec::Result<QImage> row = DibToImage(reinterpret_cast<const BITMAPINFO*>(mRowInfo.data()), StoredRow(y));
            mRow = row ? std::move(*row) : QImage();
            mRowIndex = y;
        }
        return mRow.isNull() ? nullptr : reinterpret_cast<const QRgb*>(mRow.constScanLine(0));
    }

    const BITMAPINFO* mInfo;
    const unsigned char* mBits;
    BITMAPINFOHEADER mHeader;
    qint64 mWidth = 0, mHeight = 0;
    std::uint64_t mStride = 0;
    bool mDirect = false, mWhole = false;
    QImage mPicture; // RLE pictures, decoded whole
    std::vector<unsigned char> mRowInfo;
    QImage mRow;
    qint64 mRowIndex = -1;
};

// Nearest-pixel sampling, touching only the visible destination pixels.
// (dx0, dy0, dw, dh): normalised destination; (sx0, sy0, sw, sh): source
// rectangle in top-down picture coordinates.
void DrawNearest(QImage& surface, DibRows& picture, qint64 dx0, qint64 dy0, qint64 dw, qint64 dh,
                 qint64 sx0, qint64 sy0, qint64 sw, qint64 sh, bool mirrorX, bool mirrorY)
{
    const qint64 left = std::max<qint64>(dx0, 0), right = std::min<qint64>(dx0 + dw, surface.width());
    const qint64 top = std::max<qint64>(dy0, 0), bottom = std::min<qint64>(dy0 + dh, surface.height());
    if (left >= right || top >= bottom)
        return;
    auto sample = [](qint64 i, qint64 src, qint64 dst, bool mirror) {
        // Centre of destination pixel i; 128 bits as the product can pass 2^63.
        const auto s = qint64((__int128(2 * i + 1) * src) / (2 * __int128(dst)));
        return mirror ? src - 1 - s : s;
    };
    // Source column of each visible destination column, -1 outside the picture.
    std::vector<int> columns(std::size_t(right - left));
    for (qint64 x = left; x < right; ++x) {
        const qint64 sx = sx0 + sample(x - dx0, sw, dw, mirrorX);
        columns[std::size_t(x - left)] = (sx >= 0 && sx < picture.Width()) ? int(sx) : -1;
    }
    for (qint64 y = top; y < bottom; ++y) {
        const qint64 sy = sy0 + sample(y - dy0, sh, dh, mirrorY);
        if (sy < 0 || sy >= picture.Height())
            continue;
        picture.Sample(sy, columns, reinterpret_cast<QRgb*>(surface.scanLine(int(y))) + left);
    }
}

// Smoothed drawing through QPainter, which rasterises only the clipped part
// of the destination. A strong reduction is first area-averaged straight
// from the picture's rows so that it does not alias; only the reduced copy
// is made.
void DrawSmooth(QImage& surface, const QImage& picture, qint64 dx0, qint64 dy0, qint64 dw, qint64 dh,
                qint64 sx0, qint64 sy0, qint64 sw, qint64 sh, bool mirrorX, bool mirrorY)
{
    const QRect visible = QRect(0, 0, surface.width(), surface.height());
    // The part of the source rectangle that lies on the picture, and where
    // it lands in the (unmirrored) destination.
    const qint64 cx0 = std::max<qint64>(sx0, 0), cx1 = std::min<qint64>(sx0 + sw, picture.width());
    const qint64 cy0 = std::max<qint64>(sy0, 0), cy1 = std::min<qint64>(sy0 + sh, picture.height());
    if (cx0 >= cx1 || cy0 >= cy1)
        return;
    const double scaleX = double(dw) / double(sw), scaleY = double(dh) / double(sh);
    // Source offsets measured from the side that maps to the destination's left/top.
    const double offX = mirrorX ? double(sx0 + sw - cx1) : double(cx0 - sx0);
    const double offY = mirrorY ? double(sy0 + sh - cy1) : double(cy0 - sy0);
    QRectF target(double(dx0) + offX * scaleX, double(dy0) + offY * scaleY, double(cx1 - cx0) * scaleX,
                  double(cy1 - cy0) * scaleY);
    if (!target.intersects(QRectF(visible)))
        return;

    const QSize whole(int(cx1 - cx0), int(cy1 - cy0));
    const qint64 tw = std::max<qint64>(1, qint64(target.width() + 0.5));
    const qint64 th = std::max<qint64>(1, qint64(target.height() + 0.5));
    QImage part;
    if (tw < whole.width() && th < whole.height()) {
        AreaReducer reducer(whole, QSize(int(tw), int(th)), AreaReducer::Layout::Bgra32, QImage::Format_RGB32);
        reducer.AddRows(picture, int(cx0), int(cy0));
        if (reducer.RowsAdded() == whole.height())
            part = reducer.Take();
    } else {
        part = picture.copy(int(cx0), int(cy0), whole.width(), whole.height());
    }
    // Area averaging is symmetric, so mirroring the reduced copy is the same
    // as reducing the mirrored part.
    if (mirrorX || mirrorY)
        part = part.mirrored(mirrorX, mirrorY);
    if (part.isNull())
        return;

    QPainter painter(&surface);
    painter.setClipRect(visible);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.drawImage(target, part, QRectF(part.rect()));
}

} // namespace

HDC CreateImageDC(QImage* surface)
{
    if (!surface)
        return 0;
    std::lock_guard lock(gLock);
    const HDC hdc = gNextHandle++;
    gContexts[hdc] = Context{surface, BLACKONWHITE};
    return hdc;
}

void DeleteDC(HDC hdc)
{
    std::lock_guard lock(gLock);
    gContexts.erase(hdc);
}

int GetStretchBltMode(HDC hdc)
{
    Context c;
    return Lookup(hdc, &c) ? c.mode : 0;
}

int SetStretchBltMode(HDC hdc, int mode)
{
    if (mode < BLACKONWHITE || mode > HALFTONE)
        return 0;
    std::lock_guard lock(gLock);
    auto it = gContexts.find(hdc);
    if (it == gContexts.end())
        return 0;
    return std::exchange(it->second.mode, mode);
}

int StretchDIBits(HDC hdc, int xDest, int yDest, int destWidth, int destHeight, int xSrc, int ySrc,
                  int srcWidth, int srcHeight, const void* bits, const BITMAPINFO* info,
                  std::uint32_t usage, std::uint32_t rop)
{
    Context c;
    if (!Lookup(hdc, &c) || !c.surface || c.surface->isNull())
        return 0;
    if (usage != DIB_RGB_COLORS || rop != SRCCOPY || !bits || !info)
        return 0;
    if (destWidth == 0 || destHeight == 0 || srcWidth == 0 || srcHeight == 0)
        return 0;
    DibRows rows(info, bits);
    if (!rows.Valid())
        return 0;
    // All coordinates in 64 bits: x + width may leave the 32-bit range.
    const qint64 dw = std::llabs(destWidth), dh = std::llabs(destHeight);
    const qint64 dx0 = destWidth < 0 ? qint64(xDest) + destWidth : xDest;
    const qint64 dy0 = destHeight < 0 ? qint64(yDest) + destHeight : yDest;
    const qint64 sw = std::llabs(srcWidth), sh = std::llabs(srcHeight);
    const qint64 sx0 = xSrc;
    const bool bottomUp = info->bmiHeader.biHeight > 0;
    const qint64 sy0 = bottomUp ? rows.Height() - ySrc - sh : qint64(ySrc);
    const bool mirrorX = (destWidth < 0) != (srcWidth < 0);
    const bool mirrorY = (destHeight < 0) != (srcHeight < 0);

    QImage& surface = *c.surface;
    if (c.mode == HALFTONE) {
        const codec::Result<QImage> picture = DibToImage(info, bits);
        if (!picture)
            return 0;
        DrawSmooth(surface, *picture, dx0, dy0, dw, dh, sx0, sy0, sw, sh, mirrorX, mirrorY);
    } else if (surface.depth() == 32) {
        DrawNearest(surface, rows, dx0, dy0, dw, dh, sx0, sy0, sw, sh, mirrorX, mirrorY);
    } else {
        // Pixels are sampled as 32-bit values; other surfaces go through a copy.
        QImage work = surface.convertToFormat(QImage::Format_RGB32);
        DrawNearest(work, rows, dx0, dy0, dw, dh, sx0, sy0, sw, sh, mirrorX, mirrorY);
        surface = work.convertToFormat(surface.format());
    }
    return int(sh);
}
