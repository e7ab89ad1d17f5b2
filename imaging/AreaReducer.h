#pragma once
// Area averaging in whole numbers, fed one source row at a time from top to
// bottom: a picture reduced while it decodes never needs a buffer of its
// full size. Each output pixel is the exact mean of the source area it
// covers.
#include <cstdint>
#include <vector>

#include <QImage>
#include <QSize>

class AreaReducer {
public:
    enum class Layout {
        Rgb24,  // R G B bytes; the output is Format_RGB32
        Bgra32, // QRgb in memory (premultiplied when it has alpha), B G R A
    };
    // A sum of 8-bit samples over this many rows still fits 32 bits.
    static constexpr int kMaxRows = int(0xFFFFFFFFu / 255);

    // to must not be larger than from in either direction, nor from taller
    // than kMaxRows. format is the output's: Format_RGB32, or
    // Format_ARGB32_Premultiplied for Bgra32.
    AreaReducer(QSize from, QSize to, Layout layout, QImage::Format format);
    AreaReducer(const AreaReducer&) = delete;
    AreaReducer& operator=(const AreaReducer&) = delete;

    // False when the output could not be allocated.
    bool Ok() const { return !mImage.isNull(); }
    // Adds the next source row: from.width() pixels in the layout.
    void AddRow(const std::uint8_t* row);
    // Bgra32 only: the next source rows taken from a 32-bit image, its rows
    // from top on (until the image ends or every source row is in), each
    // from column left on.
    void AddRows(const QImage& image, int left = 0, int top = 0);
    int RowsAdded() const { return int(mRow); }
    // The output once every source row is in.
    QImage Take() { return std::move(mImage); }

private:
    struct Span {
        std::uint32_t first = 0;  // first source pixel
        std::uint32_t count = 0;  // source pixels it covers
        std::uint32_t offset = 0; // into the weights
    };
    void FinishRow(std::uint32_t oy);
    // The same in single precision, four samples at a time: exact enough
    // while a sum of samples stays below 2^31.
    void FinishRowSse(QRgb* out) const;

    std::uint32_t mW, mH, mw, mh;
    int mChannels;
    bool mRgb24;
    QImage mImage;
    std::vector<std::uint32_t> mSums, mWhole;
    bool mAnyWhole = false;
    std::vector<Span> mSpans;
    std::vector<std::uint32_t> mWeights;
    std::uint32_t mRow = 0;
};
