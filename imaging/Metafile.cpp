#include "imaging/Metafile.h"

#include "common/RuntimeError.h"
#include "imaging/Dib.h"
#include "imaging/PictureFile.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTransform>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kMaxRenderBytes = std::size_t(256) << 20;

[[noreturn]] void Fail(const QString& path, const std::string& why)
{
    throw RuntimeError(ErrorKind::TypeMismatch, "cannot read " + path.toStdString() + " as a metafile: " + why);
}

// Little-endian reads that return 0 past the end, so a short record never
// reads outside the file.
struct Bytes {
    const unsigned char* p = nullptr;
    std::size_t n = 0;
    bool Has(std::size_t off, std::size_t len) const { return off <= n && len <= n - off; }
    std::uint32_t U32(std::size_t o) const
    {
        return Has(o, 4) ? std::uint32_t(p[o]) | std::uint32_t(p[o + 1]) << 8 | std::uint32_t(p[o + 2]) << 16 |
                               std::uint32_t(p[o + 3]) << 24
                         : 0;
    }
    std::int32_t I32(std::size_t o) const { return std::int32_t(U32(o)); }
    std::uint16_t U16(std::size_t o) const { return Has(o, 2) ? std::uint16_t(p[o] | p[o + 1] << 8) : 0; }
    std::int16_t I16(std::size_t o) const { return std::int16_t(U16(o)); }
    float F32(std::size_t o) const
    {
        const std::uint32_t v = U32(o);
        float f;
        std::memcpy(&f, &v, 4);
        return std::isfinite(f) ? f : 0.0f;
    }
    Bytes Sub(std::size_t off, std::size_t len) const
    {
        if (!Has(off, len))
            return {};
        return {p + off, len};
    }
};

QColor Colour(std::uint32_t ref) { return QColor(ref & 0xFF, (ref >> 8) & 0xFF, (ref >> 16) & 0xFF); }

QPen MakePen(std::uint32_t style, double width, std::uint32_t colour)
{
    if ((style & 0xF) == 5)
        return QPen(Qt::NoPen);
    QPen pen(Colour(colour));
    if (width <= 0) {
        pen.setWidth(0);
        pen.setCosmetic(true);
    } else {
        pen.setWidthF(width);
    }
    static const Qt::PenStyle styles[] = {Qt::SolidLine, Qt::DashLine, Qt::DotLine, Qt::DashDotLine, Qt::DashDotDotLine};
    pen.setStyle((style & 0xF) < 5 ? styles[style & 0xF] : Qt::SolidLine);
    pen.setJoinStyle(Qt::MiterJoin);
    return pen;
}

QBrush MakeBrush(std::uint32_t style, std::uint32_t colour, std::uint32_t hatch)
{
    if (style == 1)
        return QBrush(Qt::NoBrush);
    if (style == 2) {
        static const Qt::BrushStyle hatches[] = {Qt::HorPattern, Qt::VerPattern, Qt::FDiagPattern,
                                                 Qt::BDiagPattern, Qt::CrossPattern, Qt::DiagCrossPattern};
        return QBrush(Colour(colour), hatch < 6 ? hatches[hatch] : Qt::SolidPattern);
    }
    return QBrush(Colour(colour));
}

QFont MakeFont(int height, int weight, bool italic, bool underline, bool strike, const QString& face)
{
    QFont font(face.isEmpty() ? QStringLiteral("Sans") : face);
    font.setPixelSize(std::clamp(std::abs(height), 1, 20000));
    if (height == 0)
        font.setPixelSize(12);
    if (weight > 0)
        font.setWeight(QFont::Weight(std::clamp(weight, 1, 1000)));
    font.setItalic(italic);
    font.setUnderline(underline);
    font.setStrikeOut(strike);
    return font;
}

struct Object {
    enum Type { None, Pen, Brush, Font } type = None;
    QPen pen;
    QBrush brush;
    QFont font;
};

struct State {
    QPen pen = QPen(Qt::black, 0);
    QBrush brush = QBrush(Qt::white);
    QFont font = MakeFont(12, 400, false, false, false, {});
    QColor textColour = Qt::black;
    std::uint32_t textAlign = 0;
    Qt::FillRule fill = Qt::OddEvenFill;
    QPointF position;
    // Enhanced metafiles: world transform and window / viewport mapping.
    QTransform world;
    int mapMode = 1;
    QPointF windowOrg, viewportOrg;
    QSizeF windowExt{1, 1}, viewportExt{1, 1};
    bool extSet = false;
};

// Splits a packed DIB (header, masks or colour table, rows) and decodes it
// once the blocks have been checked; a null image when it does not fit.
QImage DecodeDib(Bytes info, Bytes bits)
{
    if (!info.Has(0, 40))
        return {};
    const std::uint32_t headerSize = info.U32(0);
    if (headerSize < 40 || headerSize > info.n)
        return {};
    // Copy to aligned storage: records only guarantee 2-byte alignment.
    QByteArray infoCopy(reinterpret_cast<const char*>(info.p), qsizetype(info.n));
    QByteArray bitsCopy(reinterpret_cast<const char*>(bits.p), qsizetype(bits.n));
    if (!CheckDibBlocks(infoCopy.constData(), std::size_t(infoCopy.size()), bitsCopy.constData(),
                        std::size_t(bitsCopy.size())))
        return {};
    return DibToImage(reinterpret_cast<const BITMAPINFO*>(infoCopy.constData()), bitsCopy.constData());
}

// A packed DIB in one block: the table length follows from the header.
QImage DecodePackedDib(Bytes dib)
{
    if (!dib.Has(0, sizeof(BITMAPINFOHEADER)))
        return {};
    BITMAPINFOHEADER h;
    std::memcpy(&h, dib.p, sizeof h);
    const std::uint64_t infoSize = DibInfoSize(h);
    if (h.biSize < sizeof(BITMAPINFOHEADER) || infoSize > dib.n)
        return {};
    return DecodeDib(dib.Sub(0, std::size_t(infoSize)), dib.Sub(std::size_t(infoSize), dib.n - std::size_t(infoSize)));
}

class Renderer {
public:
    Renderer(QPainter& painter, std::size_t objects) : mPainter(painter), mObjects(objects) {}

    QPainter& mPainter;
    State mState;
    std::vector<State> mSaved;
    std::vector<Object> mObjects;

    void Apply()
    {
        mPainter.setPen(mState.pen);
        mPainter.setBrush(mState.brush);
    }
    void Select(std::size_t index)
    {
        if (index >= mObjects.size())
            return;
        const Object& o = mObjects[index];
        if (o.type == Object::Pen)
            mState.pen = o.pen;
        else if (o.type == Object::Brush)
            mState.brush = o.brush;
        else if (o.type == Object::Font)
            mState.font = o.font;
    }
    void SelectStock(std::uint32_t n)
    {
        switch (n) {
        case 0: mState.brush = QBrush(Qt::white); break;
        case 1: mState.brush = QBrush(QColor(192, 192, 192)); break;
        case 2: mState.brush = QBrush(QColor(128, 128, 128)); break;
        case 3: mState.brush = QBrush(QColor(64, 64, 64)); break;
        case 4: mState.brush = QBrush(Qt::black); break;
        case 5: mState.brush = QBrush(Qt::NoBrush); break;
        case 6: mState.pen = QPen(Qt::white, 0); break;
        case 7: mState.pen = QPen(Qt::black, 0); break;
        case 8: mState.pen = QPen(Qt::NoPen); break;
        default:
            if (n >= 10 && n <= 17)
                mState.font = MakeFont(12, 400, false, false, false, {});
            break;
        }
    }
    void Delete(std::size_t index)
    {
        if (index < mObjects.size())
            mObjects[index] = Object{};
    }
    void Save() { if (mSaved.size() < 4096) mSaved.push_back(mState); }
    void Restore(int which)
    {
        // Negative: relative to the latest save; positive: that save's number.
        std::size_t keep;
        if (which < 0) {
            const std::size_t back = std::size_t(-std::int64_t(which));
            if (back > mSaved.size())
                return;
            keep = mSaved.size() - back;
        } else {
            if (which == 0 || std::size_t(which) > mSaved.size())
                return;
            keep = std::size_t(which) - 1;
        }
        mState = mSaved[keep];
        mSaved.resize(keep);
    }
    void Text(QPointF at, const QString& text)
    {
        mPainter.save();
        mPainter.setFont(mState.font);
        mPainter.setPen(mState.textColour);
        const QFontMetricsF metrics(mState.font);
        const double width = metrics.horizontalAdvance(text);
        double x = at.x(), y = at.y();
        const std::uint32_t h = mState.textAlign & 6;
        if (h == 6)
            x -= width / 2;
        else if (h == 2)
            x -= width;
        const std::uint32_t v = mState.textAlign & 24;
        if (v == 0)
            y += metrics.ascent();
        else if (v == 8)
            y -= metrics.descent();
        mPainter.drawText(QPointF(x, y), text);
        mPainter.restore();
    }
    void Image(const QImage& image, QRectF dest, QRect source)
    {
        if (image.isNull())
            return;
        if (source.isEmpty())
            source = image.rect();
        mPainter.save();
        mPainter.setRenderHint(QPainter::SmoothPixmapTransform, true);
        mPainter.drawImage(dest, image, source);
        mPainter.restore();
    }
};

QRectF Box(double l, double t, double r, double b) { return QRectF(QPointF(l, t), QPointF(r, b)).normalized(); }

// ------------------------------------------------------------ Windows metafiles

struct WmfInfo {
    std::size_t headerStart = 0;  // offset of the 18-byte metafile header
    QRectF frame;                 // logical rectangle drawn into the picture
    QSize natural;
};

// Plain metafiles store no size: the window set by the first SetWindowOrg /
// SetWindowExt records frames the picture, and the logical units count as
// pixels at 96 dots per inch.
void ScanWindow(Bytes file, std::size_t start, QPointF* org, QSizeF* ext)
{
    std::size_t off = start;
    bool haveExt = false;
    while (file.Has(off, 6)) {
        const std::uint64_t size = std::uint64_t(file.U32(off)) * 2;
        const std::uint16_t function = file.U16(off + 4);
        if (size < 6 || size > file.n - off || function == 0)
            break;
        if (function == 0x020B)
            *org = QPointF(file.I16(off + 8), file.I16(off + 6));
        else if (function == 0x020C && !haveExt) {
            *ext = QSizeF(file.I16(off + 8), file.I16(off + 6));
            haveExt = true;
        }
        off += std::size_t(size);
    }
}

void DrawWmf(Bytes file, std::size_t records, std::size_t objects, QPainter& painter)
{
    Renderer r(painter, objects);
    std::size_t off = records;
    auto point = [](Bytes rec, std::size_t o) { return QPointF(rec.I16(o + 2), rec.I16(o)); };
    auto points = [&](Bytes rec, std::size_t o, std::size_t count) {
        QPolygonF poly;
        if (!rec.Has(o, count * 4))
            return poly;
        poly.reserve(qsizetype(count));
        for (std::size_t i = 0; i < count; ++i)
            poly << QPointF(rec.I16(o + i * 4), rec.I16(o + i * 4 + 2));
        return poly;
    };
    auto create = [&](Object o) {
        for (auto& slot : r.mObjects)
            if (slot.type == Object::None) {
                slot = std::move(o);
                return;
            }
    };
    while (file.Has(off, 6)) {
        const std::uint64_t size = std::uint64_t(file.U32(off)) * 2;
        const std::uint16_t function = file.U16(off + 4);
        if (function == 0 || size < 6 || size > file.n - off)
            break;
        const Bytes rec = file.Sub(off + 6, std::size_t(size) - 6);  // parameters only
        off += std::size_t(size);
        r.Apply();
        switch (function) {
        case 0x02FA: {
            Object o{Object::Pen};
            o.pen = MakePen(rec.U16(0), rec.I16(2), rec.U32(6));
            create(o);
            break;
        }
        case 0x02FC: {
            Object o{Object::Brush};
            o.brush = MakeBrush(rec.U16(0), rec.U32(2), rec.U16(6));
            create(o);
            break;
        }
        case 0x02FB: {
            Object o{Object::Font};
            QString face;
            for (std::size_t i = 18; i < 50 && i < rec.n && rec.p[i]; ++i)
                face += QChar(rec.p[i]);
            o.font = MakeFont(rec.I16(0), rec.I16(8), rec.p && rec.n > 10 && rec.p[10], rec.n > 11 && rec.p[11],
                              rec.n > 12 && rec.p[12], face);
            create(o);
            break;
        }
        case 0x00F7:  // palette: takes a slot
        case 0x01F9: // pattern brush
        case 0x0142: // DIB pattern brush
        case 0x06FF: { // region
            Object o{Object::Brush};
            o.brush = QBrush(Qt::gray);
            if (function == 0x00F7 || function == 0x06FF)
                o.type = Object::None, o.brush = {};
            // Keep the slot taken so later indices stay right.
            for (auto& slot : r.mObjects)
                if (slot.type == Object::None && !slot.font.bold()) {
                    slot = o;
                    if (slot.type == Object::None)
                        slot.font.setBold(true);  // marks a slot taken by an object we do not draw
                    break;
                }
            break;
        }
        case 0x012D: r.Select(rec.U16(0)); break;
        case 0x01F0: r.Delete(rec.U16(0)); break;
        case 0x0214: r.mState.position = point(rec, 0); break;
        case 0x0213: {
            const QPointF to = point(rec, 0);
            painter.drawLine(r.mState.position, to);
            r.mState.position = to;
            break;
        }
        case 0x0325:
        case 0x0324: {
            const QPolygonF poly = points(rec, 2, rec.U16(0));
            if (function == 0x0325)
                painter.drawPolyline(poly);
            else
                painter.drawPolygon(poly, r.mState.fill);
            break;
        }
        case 0x0538: {
            const std::size_t n = rec.U16(0);
            if (!rec.Has(2, n * 2))
                break;
            QPainterPath path;
            path.setFillRule(r.mState.fill);
            std::size_t at = 2 + n * 2;
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t count = rec.U16(2 + i * 2);
                const QPolygonF poly = points(rec, at, count);
                if (poly.isEmpty())
                    break;
                path.addPolygon(poly);
                path.closeSubpath();
                at += count * 4;
            }
            painter.drawPath(path);
            break;
        }
        case 0x041B: painter.drawRect(Box(rec.I16(6), rec.I16(4), rec.I16(2), rec.I16(0))); break;
        case 0x0418: painter.drawEllipse(Box(rec.I16(6), rec.I16(4), rec.I16(2), rec.I16(0))); break;
        case 0x061C:
            painter.drawRoundedRect(Box(rec.I16(10), rec.I16(8), rec.I16(6), rec.I16(4)), rec.I16(2) / 2.0,
                                    rec.I16(0) / 2.0);
            break;
        case 0x0817:
        case 0x081A:
        case 0x0830: {
            const QRectF box = Box(rec.I16(14), rec.I16(12), rec.I16(10), rec.I16(8));
            if (box.isEmpty())
                break;
            const QPointF c = box.center();
            const QPointF s(rec.I16(6), rec.I16(4)), e(rec.I16(2), rec.I16(0));
            const double a0 = std::atan2(-(s.y() - c.y()) * box.width(), (s.x() - c.x()) * box.height());
            const double a1 = std::atan2(-(e.y() - c.y()) * box.width(), (e.x() - c.x()) * box.height());
            double span = a1 - a0;
            if (span <= 0)
                span += 2 * M_PI;
            const int start16 = int(std::lround(a0 * 180 / M_PI * 16)), span16 = int(std::lround(span * 180 / M_PI * 16));
            if (function == 0x0817)
                painter.drawArc(box, start16, span16);
            else if (function == 0x081A)
                painter.drawPie(box, start16, span16);
            else
                painter.drawChord(box, start16, span16);
            break;
        }
        case 0x0521: {
            const std::size_t count = rec.U16(0);
            if (!rec.Has(2, count))
                break;
            const std::size_t after = 2 + ((count + 1) & ~std::size_t(1));
            r.Text(QPointF(rec.I16(after + 2), rec.I16(after)),
                   QString::fromLatin1(reinterpret_cast<const char*>(rec.p + 2), qsizetype(count)));
            break;
        }
        case 0x0A32: {
            const std::size_t count = rec.U16(4);
            const std::uint16_t options = rec.U16(6);
            const std::size_t at = 8 + ((options & 6) ? 8 : 0);
            if (!rec.Has(at, count))
                break;
            r.Text(point(rec, 0), QString::fromLatin1(reinterpret_cast<const char*>(rec.p + at), qsizetype(count)));
            break;
        }
        case 0x0209: r.mState.textColour = Colour(rec.U32(0)); break;
        case 0x012E: r.mState.textAlign = rec.U16(0); break;
        case 0x0106: r.mState.fill = rec.U16(0) == 2 ? Qt::WindingFill : Qt::OddEvenFill; break;
        case 0x001E: r.Save(); break;
        case 0x0127: r.Restore(rec.I16(0)); break;
        case 0x0F43:  // StretchDIB: rop, usage, source and destination, DIB
            if (rec.Has(0, 22))
                r.Image(DecodePackedDib(rec.Sub(22, rec.n - 22)),
                        QRectF(rec.I16(20), rec.I16(18), rec.I16(16), rec.I16(14)),
                        QRect(rec.I16(12), rec.I16(10), rec.I16(8), rec.I16(6)));
            break;
        case 0x0B41:  // DIBStretchBlt with a DIB
            if (rec.Has(0, 20) && rec.n > 22)
                r.Image(DecodePackedDib(rec.Sub(20, rec.n - 20)),
                        QRectF(rec.I16(18), rec.I16(16), rec.I16(14), rec.I16(12)),
                        QRect(rec.I16(10), rec.I16(8), rec.I16(6), rec.I16(4)));
            break;
        case 0x0940:  // DIBBitBlt with a DIB
            if (rec.Has(0, 16) && rec.n > 18)
                r.Image(DecodePackedDib(rec.Sub(16, rec.n - 16)),
                        QRectF(rec.I16(14), rec.I16(12), rec.I16(10), rec.I16(8)),
                        QRect(rec.I16(6), rec.I16(4), rec.I16(10), rec.I16(8)));
            break;
        default: break;  // window, viewport and map mode frame the whole picture; others are not drawn
        }
    }
}

// ------------------------------------------------------------ enhanced metafiles

QTransform EmfMapping(const State& s)
{
    QTransform m = s.world;
    if ((s.mapMode == 7 || s.mapMode == 8) && s.extSet && s.windowExt.width() != 0 && s.windowExt.height() != 0) {
        double sx = s.viewportExt.width() / s.windowExt.width();
        double sy = s.viewportExt.height() / s.windowExt.height();
        if (s.mapMode == 7) {  // isotropic: the smaller scale on both axes
            const double k = std::min(std::abs(sx), std::abs(sy));
            sx = std::copysign(k, sx);
            sy = std::copysign(k, sy);
        }
        m = m * QTransform(sx, 0, 0, sy, s.viewportOrg.x() - s.windowOrg.x() * sx,
                           s.viewportOrg.y() - s.windowOrg.y() * sy);
    } else if (s.mapMode == 1 || s.mapMode > 8) {
        m = m * QTransform::fromTranslate(s.viewportOrg.x() - s.windowOrg.x(), s.viewportOrg.y() - s.windowOrg.y());
    }
    return m;
}

void DrawEmf(Bytes file, std::size_t objects, const QTransform& device, QPainter& painter)
{
    Renderer r(painter, objects);
    std::size_t off = 0;
    auto map = [&] { painter.setTransform(EmfMapping(r.mState) * device); };
    map();
    auto points = [](Bytes rec, std::size_t o, std::uint64_t count, bool small) {
        QPolygonF poly;
        const std::size_t step = small ? 4 : 8;
        if (count > rec.n || !rec.Has(o, std::size_t(count) * step))
            return poly;
        poly.reserve(qsizetype(count));
        for (std::size_t i = 0; i < count; ++i)
            poly << (small ? QPointF(rec.I16(o + i * 4), rec.I16(o + i * 4 + 2))
                           : QPointF(rec.I32(o + i * 8), rec.I32(o + i * 8 + 4)));
        return poly;
    };
    auto bezier = [&](const QPolygonF& poly, bool from) {
        QPainterPath path;
        qsizetype i = 0;
        if (from)
            path.moveTo(r.mState.position);
        else if (!poly.isEmpty())
            path.moveTo(poly[i++]);
        for (; i + 2 < poly.size() + 0 && i + 2 <= poly.size() - 1; i += 3)
            path.cubicTo(poly[i], poly[i + 1], poly[i + 2]);
        painter.save();
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(path);
        painter.restore();
        r.mState.position = path.currentPosition();
    };
    while (file.Has(off, 8)) {
        const std::uint32_t type = file.U32(off);
        const std::uint32_t size = file.U32(off + 4);
        if (size < 8 || size > file.n - off)
            break;
        const Bytes rec = file.Sub(off, size);  // the whole record, offsets as the format counts them
        off += size;
        if (type == 14)
            break;
        r.Apply();
        switch (type) {
        case 2: case 5: case 85: case 88: {
            const bool small = type >= 85;
            bezier(points(rec, 28, rec.U32(24), small), type == 5 || type == 88);
            break;
        }
        case 3: case 86: painter.drawPolygon(points(rec, 28, rec.U32(24), type == 86), r.mState.fill); break;
        case 4: case 87: painter.drawPolyline(points(rec, 28, rec.U32(24), type == 87)); break;
        case 6: case 89: {
            QPolygonF poly = points(rec, 28, rec.U32(24), type == 89);
            if (poly.isEmpty())
                break;
            poly.prepend(r.mState.position);
            painter.drawPolyline(poly);
            r.mState.position = poly.back();
            break;
        }
        case 7: case 8: case 90: case 91: {
            const bool small = type >= 90;
            const std::uint64_t n = rec.U32(24);
            if (n > rec.n || !rec.Has(32, std::size_t(n) * 4))
                break;
            QPainterPath path;
            path.setFillRule(r.mState.fill);
            std::size_t at = 32 + std::size_t(n) * 4;
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint32_t count = rec.U32(32 + i * 4);
                QPolygonF poly = points(rec, at, count, small);
                if (poly.isEmpty())
                    break;
                path.addPolygon(poly);
                if (type == 8 || type == 91)
                    path.closeSubpath();
                at += std::size_t(count) * (small ? 4 : 8);
            }
            if (type == 8 || type == 91)
                painter.drawPath(path);
            else {
                painter.save();
                painter.setBrush(Qt::NoBrush);
                painter.drawPath(path);
                painter.restore();
            }
            break;
        }
        case 9: r.mState.windowExt = QSizeF(rec.I32(8), rec.I32(12)); r.mState.extSet = true; map(); break;
        case 10: r.mState.windowOrg = QPointF(rec.I32(8), rec.I32(12)); map(); break;
        case 11: r.mState.viewportExt = QSizeF(rec.I32(8), rec.I32(12)); map(); break;
        case 12: r.mState.viewportOrg = QPointF(rec.I32(8), rec.I32(12)); map(); break;
        case 17: r.mState.mapMode = int(rec.U32(8)); map(); break;
        case 19: r.mState.fill = rec.U32(8) == 2 ? Qt::WindingFill : Qt::OddEvenFill; break;
        case 22: r.mState.textAlign = rec.U32(8); break;
        case 24: r.mState.textColour = Colour(rec.U32(8)); break;
        case 27: r.mState.position = QPointF(rec.I32(8), rec.I32(12)); break;
        case 54: {
            const QPointF to(rec.I32(8), rec.I32(12));
            painter.drawLine(r.mState.position, to);
            r.mState.position = to;
            break;
        }
        case 33: r.Save(); break;
        case 34: r.Restore(rec.I32(8)); map(); break;
        case 35:
            r.mState.world = QTransform(rec.F32(8), rec.F32(12), rec.F32(16), rec.F32(20), rec.F32(24), rec.F32(28));
            map();
            break;
        case 36: {
            const QTransform x(rec.F32(8), rec.F32(12), rec.F32(16), rec.F32(20), rec.F32(24), rec.F32(28));
            switch (rec.U32(32)) {
            case 1: r.mState.world = QTransform(); break;
            case 2: r.mState.world = x * r.mState.world; break;
            case 3: r.mState.world = r.mState.world * x; break;
            case 4: r.mState.world = x; break;
            default: break;
            }
            map();
            break;
        }
        case 37: {
            const std::uint32_t index = rec.U32(8);
            if (index & 0x80000000u)
                r.SelectStock(index & 0x7FFFFFFFu);
            else
                r.Select(index);
            break;
        }
        case 40: r.Delete(rec.U32(8)); break;
        case 38:
        case 95:
        case 39:
        case 82: {
            const std::uint32_t index = rec.U32(8);
            if (index >= r.mObjects.size())
                break;
            Object o;
            if (type == 38) {
                o.type = Object::Pen;
                o.pen = MakePen(rec.U32(12), rec.I32(16), rec.U32(24));
            } else if (type == 95) {
                o.type = Object::Pen;
                o.pen = MakePen(rec.U32(28), rec.U32(32), rec.U32(40));
            } else if (type == 39) {
                o.type = Object::Brush;
                o.brush = MakeBrush(rec.U32(12), rec.U32(16), rec.U32(20));
            } else {
                o.type = Object::Font;
                QString face;
                for (std::size_t i = 0; i < 32 && rec.U16(40 + i * 2); ++i)
                    face += QChar(rec.U16(40 + i * 2));
                o.font = MakeFont(rec.I32(12), rec.I32(28), rec.n > 32 && rec.p[32], rec.n > 33 && rec.p[33],
                                  rec.n > 34 && rec.p[34], face);
            }
            r.mObjects[index] = o;
            break;
        }
        case 42: painter.drawEllipse(Box(rec.I32(8), rec.I32(12), rec.I32(16), rec.I32(20))); break;
        case 43: painter.drawRect(Box(rec.I32(8), rec.I32(12), rec.I32(16), rec.I32(20))); break;
        case 44:
            painter.drawRoundedRect(Box(rec.I32(8), rec.I32(12), rec.I32(16), rec.I32(20)), rec.I32(24) / 2.0,
                                    rec.I32(28) / 2.0);
            break;
        case 84: {
            const std::uint32_t count = rec.U32(44), at = rec.U32(48);
            if (count > rec.n || !rec.Has(at, std::size_t(count) * 2))
                break;
            QString text;
            for (std::size_t i = 0; i < count; ++i)
                text += QChar(rec.U16(at + i * 2));
            r.Text(QPointF(rec.I32(36), rec.I32(40)), text);
            break;
        }
        case 76: {  // BitBlt: only with a source DIB
            if (rec.n < 100 || rec.U32(88) == 0)
                break;
            r.Image(DecodeDib(rec.Sub(rec.U32(84), rec.U32(88)), rec.Sub(rec.U32(92), rec.U32(96))),
                    QRectF(rec.I32(24), rec.I32(28), rec.I32(32), rec.I32(36)),
                    QRect(rec.I32(44), rec.I32(48), rec.I32(32), rec.I32(36)));
            break;
        }
        case 81:
            if (rec.n < 80)
                break;
            r.Image(DecodeDib(rec.Sub(rec.U32(48), rec.U32(52)), rec.Sub(rec.U32(56), rec.U32(60))),
                    QRectF(rec.I32(24), rec.I32(28), rec.I32(72), rec.I32(76)),
                    QRect(rec.I32(32), rec.I32(36), rec.I32(40), rec.I32(44)));
            break;
        default: break;
        }
    }
}

class MetafilePicture : public PictureFile {
public:
    QByteArray mData;
    bool mEnhanced = false;
    std::size_t mRecords = 0;
    std::size_t mObjects = 0;
    QRectF mFrame;  // WMF: logical units; EMF: reference-device pixels
    QSize mNatural;

    QSize NaturalSize() const override { return mNatural; }

    QImage Render(QSize size) const override
    {
        if (size.width() <= 0 || size.height() <= 0)
            throw RuntimeError(ErrorKind::Overflow, "picture size not positive");
        if (std::uint64_t(size.width()) * std::uint64_t(size.height()) * 4 > kMaxRenderBytes)
            throw RuntimeError(ErrorKind::Overflow, "picture size too large to render");
        QImage image(size, QImage::Format_RGB32);
        if (image.isNull())
            throw RuntimeError(ErrorKind::Overflow, "out of memory while drawing a metafile");
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setRenderHint(QPainter::TextAntialiasing, true);
        const QTransform device = QTransform::fromTranslate(-mFrame.left(), -mFrame.top()) *
                                  QTransform::fromScale(size.width() / mFrame.width(), size.height() / mFrame.height());
        const Bytes file{reinterpret_cast<const unsigned char*>(mData.constData()), std::size_t(mData.size())};
        if (mEnhanced) {
            DrawEmf(file, mObjects, device, painter);
        } else {
            painter.setTransform(device);
            DrawWmf(file, mRecords, mObjects, painter);
        }
        painter.end();
        return image;
    }
};

int ToPixels(double v)
{
    if (!(v >= 1))
        return 1;
    return int(std::min(v + 0.5, 1e6));
}

} // namespace

std::unique_ptr<PictureFile> OpenMetafile(const QString& path, QByteArray data, bool enhanced)
{
    auto picture = std::make_unique<MetafilePicture>();
    const Bytes file{reinterpret_cast<const unsigned char*>(data.constData()), std::size_t(data.size())};
    picture->mEnhanced = enhanced;
    if (enhanced) {
        if (!file.Has(0, 88) || file.U32(0) != 1 || file.U32(40) != 0x464D4520u)
            Fail(path, "the enhanced-metafile header is damaged");
        const std::uint32_t headerSize = file.U32(4);
        if (headerSize < 88 || headerSize > file.n)
            Fail(path, "the enhanced-metafile header is damaged");
        picture->mObjects = file.U16(56);
        const QRectF bounds = Box(file.I32(8), file.I32(12), file.I32(16) + 1.0, file.I32(20) + 1.0);
        const QRectF frame = Box(file.I32(24), file.I32(28), file.I32(32), file.I32(36));  // 0.01 mm
        const double devW = file.I32(72), devH = file.I32(76), mmW = file.I32(80), mmH = file.I32(84);
        if (frame.width() > 0 && frame.height() > 0 && devW > 0 && devH > 0 && mmW > 0 && mmH > 0) {
            // The frame in reference-device pixels frames the drawing; its size at 96 dpi is the picture's.
            picture->mFrame = QRectF(frame.left() / 100 * devW / mmW, frame.top() / 100 * devH / mmH,
                                     frame.width() / 100 * devW / mmW, frame.height() / 100 * devH / mmH);
            picture->mNatural = QSize(ToPixels(frame.width() / 2540.0 * 96), ToPixels(frame.height() / 2540.0 * 96));
        } else if (bounds.width() > 0 && bounds.height() > 0) {
            picture->mFrame = bounds;
            picture->mNatural = QSize(ToPixels(bounds.width()), ToPixels(bounds.height()));
        } else {
            Fail(path, "the enhanced metafile has no size");
        }
    } else {
        std::size_t start = 0;
        QRectF frame;
        double unitsPerInch = 96;
        if (file.U32(0) == 0x9AC6CDD7u) {
            if (!file.Has(0, 22 + 18))
                Fail(path, "the metafile header is damaged");
            frame = Box(file.I16(6), file.I16(8), file.I16(10), file.I16(12));
            unitsPerInch = file.U16(14);
            if (unitsPerInch <= 0)
                Fail(path, "the metafile states no units per inch");
            start = 22;
        }
        if (!file.Has(start, 18) || file.U16(start + 2) != 9)
            Fail(path, "the metafile header is damaged");
        picture->mObjects = file.U16(start + 10);
        picture->mRecords = start + 18;
        if (start == 0) {
            QPointF org;
            QSizeF ext;
            ScanWindow(file, picture->mRecords, &org, &ext);
            if (ext.width() == 0 || ext.height() == 0)
                Fail(path, "the metafile sets no window and states no size");
            frame = QRectF(org, ext);
        }
        if (frame.width() == 0 || frame.height() == 0)
            Fail(path, "the metafile's bounding box is empty");
        picture->mFrame = frame;
        picture->mNatural = QSize(ToPixels(std::abs(frame.width()) * 96 / unitsPerInch),
                                  ToPixels(std::abs(frame.height()) * 96 / unitsPerInch));
    }
    picture->mData = std::move(data);
    return picture;
}
