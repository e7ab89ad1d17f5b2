#include "imaging/ApngReader.h"

#include <cstring>

#include <QPainter>

#include <zlib.h>

namespace {

using codec::ErrorKind;

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// Chunks other than picture data larger than this are taken as damage.
constexpr std::uint32_t kMaxInfoChunk = 8000000;
constexpr std::uint32_t kMaxSide = 1000000;
enum : std::uint8_t { kDisposeNone = 0, kDisposeBackground = 1, kDisposePrevious = 2 };
enum : std::uint8_t { kBlendSource = 0, kBlendOver = 1 };

std::uint32_t Be32(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return std::uint32_t(u[0]) << 24 | std::uint32_t(u[1]) << 16 | std::uint32_t(u[2]) << 8 | u[3];
}
std::uint16_t Be16(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return std::uint16_t(u[0] << 8 | u[1]);
}
void PutBe32(QByteArray& out, std::uint32_t v)
{
    const char bytes[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    out.append(bytes, 4);
}
void PutChunk(QByteArray& out, const char* type, const QByteArray& data)
{
    PutBe32(out, std::uint32_t(data.size()));
    const qsizetype start = out.size();
    out.append(type, 4);
    out.append(data);
    PutBe32(out, std::uint32_t(crc32(0, reinterpret_cast<const Bytef*>(out.constData() + start), uInt(4 + data.size()))));
}

codec::Error Damaged(const char* why) { return codec::Fail(ErrorKind::Damaged, why); }

} // namespace

codec::Result<std::unique_ptr<ApngReader>> ApngReader::Open(ReadAt read, std::uint64_t fileSize)
{
    codec::Result<QByteArray> head = read(0, 8);
    if (!head)
        return head.error();
    if (head->size() != 8 || std::memcmp(head->constData(), kSignature, 8) != 0)
        return codec::Fail(ErrorKind::NotThisFormat, "not a PNG");
    std::unique_ptr<ApngReader> apng(new ApngReader);
    apng->mRead = read;
    bool animated = false, seenData = false;
    std::uint32_t announced = 0;
    FrameInfo* frame = nullptr;
    for (std::uint64_t at = 8; at + 12 <= fileSize;) {
        codec::Result<QByteArray> header = read(at, 8);
        if (!header)
            return header.error();
        if (header->size() < 8)
            break;
        const std::uint32_t size = Be32(header->constData());
        const QByteArray type = header->mid(4, 4);
        const std::uint64_t data = at + 8;
        if (size > 0x7FFFFFFFu || data + size + 4 > fileSize)
            break; // cut short: the frames complete so far play
        at = data + size + 4;
        const bool pictureData = type == "IDAT" || type == "fdAT";
        if (!pictureData && size > kMaxInfoChunk)
            return Damaged("chunk too large");
        QByteArray body;
        if (!pictureData || type == "fdAT") {
            codec::Result<QByteArray> read_ = read(data, pictureData ? 4 : size);
            if (!read_)
                return read_.error();
            body = std::move(*read_);
            if (body.size() < (pictureData ? 4 : qsizetype(size)))
                break;
        }
        if (type == "IHDR") {
            if (size != 13)
                return Damaged("IHDR damaged");
            apng->mIhdr = body;
        } else if (type == "acTL" && !seenData && size == 8) {
            animated = true;
            announced = Be32(body.constData());
            apng->mPlays = int(std::min<std::uint32_t>(Be32(body.constData() + 4), INT32_MAX));
        } else if (type == "fcTL" && animated && size == 26) {
            apng->mFrames.emplace_back();
            frame = &apng->mFrames.back();
            const char* f = body.constData();
            frame->width = Be32(f + 4);
            frame->height = Be32(f + 8);
            frame->x = Be32(f + 12);
            frame->y = Be32(f + 16);
            const std::uint16_t numerator = Be16(f + 20), denominator = Be16(f + 22);
            frame->delayMs = int(std::uint32_t(numerator) * 1000 / (denominator == 0 ? 100 : denominator));
            frame->dispose = std::uint8_t(f[24]);
            frame->blend = std::uint8_t(f[25]);
        } else if (type == "IDAT") {
            // A still picture: nothing more to look for.
            if (!animated)
                return codec::Fail(ErrorKind::NotThisFormat, "not an animated PNG");
            seenData = true;
            // Picture data without a frame control before it is the still
            // picture alone, not a frame.
            if (frame && apng->mFrames.size() == 1)
                frame->data.push_back({data, size});
        } else if (type == "fdAT") {
            if (frame && size > 4)
                frame->data.push_back({data + 4, size - 4});
        } else if ((type == "PLTE" || type == "tRNS") && !seenData) {
            PutChunk(apng->mOtherChunks, type.constData(), body);
        } else if (type == "IEND") {
            break;
        }
    }
    if (!animated || apng->mIhdr.isEmpty())
        return codec::Fail(ErrorKind::NotThisFormat, "not an animated PNG");
    // Frames without data (cut short) are not played.
    while (!apng->mFrames.empty() && apng->mFrames.back().data.empty())
        apng->mFrames.pop_back();
    if (announced < 2 || apng->mFrames.size() < 2)
        return codec::Fail(ErrorKind::NotThisFormat, "a single frame");
    const std::uint32_t width = Be32(apng->mIhdr.constData()), height = Be32(apng->mIhdr.constData() + 4);
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide)
        return Damaged("picture size out of range");
    for (const FrameInfo& f : apng->mFrames)
        if (f.width == 0 || f.height == 0 || f.x > width || f.y > height || f.width > width - f.x ||
            f.height > height - f.y || f.data.empty())
            return Damaged("frame outside the picture");
    apng->mCanvas = QImage(int(width), int(height), QImage::Format_ARGB32_Premultiplied);
    if (apng->mCanvas.isNull())
        return codec::Fail(ErrorKind::OutOfMemory, "no memory for the picture");
    return apng;
}

codec::Result<ApngReader::Frame> ApngReader::Next()
{
    if (mNext >= int(mFrames.size()))
        mNext = 0;
    const int index = mNext++;
    const FrameInfo& info = mFrames[std::size_t(index)];
    if (index == 0) {
        mCanvas.fill(Qt::transparent);
    } else {
        // What the frame before leaves behind.
        const FrameInfo& before = mFrames[std::size_t(index - 1)];
        const QRect region(int(before.x), int(before.y), int(before.width), int(before.height));
        QPainter painter(&mCanvas);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        if (before.dispose == kDisposeBackground || (before.dispose == kDisposePrevious && mSaved.isNull()))
            painter.fillRect(region, Qt::transparent);
        else if (before.dispose == kDisposePrevious)
            painter.drawImage(region.topLeft(), mSaved);
    }
    mSaved = info.dispose == kDisposePrevious && index > 0
                 ? mCanvas.copy(int(info.x), int(info.y), int(info.width), int(info.height))
                 : QImage();

    // The frame as a PNG of its own.
    QByteArray ihdr = mIhdr;
    QByteArray size;
    PutBe32(size, info.width);
    PutBe32(size, info.height);
    ihdr.replace(0, 8, size);
    QByteArray pixels;
    for (const Data& d : info.data) {
        codec::Result<QByteArray> bytes = mRead(d.offset, d.size);
        if (!bytes)
            return bytes.error();
        if (bytes->size() != qsizetype(d.size))
            return Damaged("frame data cut short");
        pixels += *bytes;
    }
    QByteArray png(reinterpret_cast<const char*>(kSignature), 8);
    PutChunk(png, "IHDR", ihdr);
    png += mOtherChunks;
    PutChunk(png, "IDAT", pixels);
    PutChunk(png, "IEND", {});
    QImage decoded;
    if (!decoded.loadFromData(png, "PNG") || decoded.size() != QSize(int(info.width), int(info.height)))
        return Damaged("frame cannot be decoded");
    decoded = decoded.convertToFormat(QImage::Format_ARGB32_Premultiplied);

    QPainter painter(&mCanvas);
    painter.setCompositionMode(info.blend == kBlendOver ? QPainter::CompositionMode_SourceOver
                                                         : QPainter::CompositionMode_Source);
    painter.drawImage(QPoint(int(info.x), int(info.y)), decoded);
    painter.end();
    return Frame{mCanvas.copy(), info.delayMs, index};
}
