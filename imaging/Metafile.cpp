#include "imaging/Metafile.h"

#include "common/RuntimeError.h"
#include "imaging/Dib.h"
#include "imaging/PictureFile.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
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
    pen.setStyle((style & 0xF) < 5 ? styles[style & 0xF] : (style & 0xF) == 8 ? Qt::DotLine : Qt::SolidLine);
    // Wide pens have round ends and joins unless their style asks otherwise.
    const std::uint32_t cap = style & 0x0F00, join = style & 0xF000;
    pen.setCapStyle(cap == 0x100 ? Qt::SquareCap : cap == 0x200 ? Qt::FlatCap : Qt::RoundCap);
    pen.setJoinStyle(join == 0x1000 ? Qt::BevelJoin : join == 0x2000 ? Qt::MiterJoin : Qt::RoundJoin);
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

// The face and style of a font; its size is set when text is drawn, as it
// depends on the mapping in force then.
QFont MakeFont(int weight, bool italic, bool underline, bool strike, const QString& face)
{
    QFont font(face.isEmpty() ? QStringLiteral("Sans") : face);
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
    int fontHeight = 0;  // logical units: below 0 the glyphs' height, above 0 the cell's, 0 a default
    int escapement = 0;  // tenths of a degree, counter-clockwise as seen
};

struct State {
    QPen pen = QPen(Qt::black, 0);
    QBrush brush = QBrush(Qt::white);
    QFont font = MakeFont(400, false, false, false, {});
    int fontHeight = 0;
    int escapement = 0;
    QColor textColour = Qt::black;
    QColor backColour = Qt::white;
    bool opaque = true;  // text boxes are filled with backColour
    std::uint32_t textAlign = 0;
    Qt::FillRule fill = Qt::OddEvenFill;
    QPointF position;
    // Enhanced metafiles: world transform and window / viewport mapping.
    QTransform world;
    int mapMode = 1;
    QPointF windowOrg, viewportOrg;
    QSizeF windowExt{1, 1}, viewportExt{1, 1};
    bool extSet = false;
    // Clipping in whole output pixels, so that later mapping changes leave it
    // be; regions keep combining cheap however many rectangles a file sends.
    bool clipped = false;
    QRegion clip;
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

QRectF Box(double l, double t, double r, double b) { return QRectF(QPointF(l, t), QPointF(r, b)).normalized(); }

double Length(QPointF v) { return std::hypot(v.x(), v.y()); }

// An elliptic arc inside box from the ray through start to the ray through
// end, counter-clockwise as seen; empty for an empty box.
QPainterPath ArcPath(const QRectF& box, QPointF start, QPointF end, int kind /* 0 arc, 1 pie, 2 chord */)
{
    QPainterPath path;
    if (box.width() <= 0 || box.height() <= 0)
        return path;
    const QPointF c = box.center();
    const double a0 = std::atan2(-(start.y() - c.y()) * box.width(), (start.x() - c.x()) * box.height());
    const double a1 = std::atan2(-(end.y() - c.y()) * box.width(), (end.x() - c.x()) * box.height());
    double span = a1 - a0;
    if (span <= 0)
        span += 2 * M_PI;
    if (kind == 1)
        path.moveTo(c);
    else
        path.arcMoveTo(box, a0 * 180 / M_PI);
    path.arcTo(box, a0 * 180 / M_PI, span * 180 / M_PI);
    if (kind != 0)
        path.closeSubpath();
    return path;
}

class Renderer {
public:
    Renderer(QPainter& painter, std::size_t objects) : mPainter(painter), mObjects(objects) {}

    QPainter& mPainter;
    State mState;
    std::vector<State> mSaved;
    std::vector<Object> mObjects;
    // Output pixels per reference-device pixel: the default font's size.
    double mDeviceScale = 1;
    // Between the begin and end of a path, figures are collected, not drawn.
    bool mInPath = false;
    QPainterPath mPath;

    void Apply()
    {
        // A pen thinner than one pixel still draws one pixel, as on screen.
        QPen pen = mState.pen;
        if (pen.style() != Qt::NoPen && !pen.isCosmetic() &&
            pen.widthF() * std::sqrt(std::abs(mPainter.worldTransform().determinant())) < 1) {
            pen.setWidth(0);
            pen.setCosmetic(true);
        }
        mPainter.setPen(pen);
        mPainter.setBrush(mState.brush);
    }
    void Select(std::size_t index)
    {
        if (index >= mObjects.size())
            return;
        const Object& o = mObjects[index];
        if (o.type == Object::Pen) {
            mState.pen = o.pen;
        } else if (o.type == Object::Brush) {
            mState.brush = o.brush;
        } else if (o.type == Object::Font) {
            mState.font = o.font;
            mState.fontHeight = o.fontHeight;
            mState.escapement = o.escapement;
        }
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
            if (n >= 10 && n <= 17) {
                mState.font = MakeFont(400, false, false, false, {});
                mState.fontHeight = 0;
                mState.escapement = 0;
            }
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
        ApplyClip();
    }

    // ---- clipping (shapes in logical units unless said otherwise)
    void ApplyClip()
    {
        if (!mState.clipped) {
            mPainter.setClipping(false);
            return;
        }
        // The painter maps a clip through its transform: set it with none.
        const QTransform t = mPainter.worldTransform();
        mPainter.resetTransform();
        mPainter.setClipRegion(mState.clip);
        mPainter.setTransform(t);
    }
    // op: 1 intersect, 2 unite, 3 either but not both, 4 take away, 5 replace.
    void Clip(const QPainterPath& logical, int op)
    {
        const QPolygonF outline = mPainter.worldTransform().map(logical).toFillPolygon();
        // Far outside any picture a polygon would not fit in integers.
        const QRectF limit(QPointF(-1e7, -1e7), QPointF(1e7, 1e7));
        if (!limit.contains(outline.boundingRect()))
            return;
        ClipOutput(QRegion(outline.toPolygon(), mState.fill), op);
    }
    void ClipOutput(const QRegion& region, int op)
    {
        const QRegion all(QRect(QPoint(-(1 << 24), -(1 << 24)), QPoint(1 << 24, 1 << 24)));
        const QRegion current = mState.clipped ? mState.clip : all;
        switch (op) {
        case 1: mState.clip = current & region; break;
        case 2: mState.clip = current | region; break;
        case 3: mState.clip = current ^ region; break;
        case 4: mState.clip = current - region; break;
        case 5: mState.clip = region; break;
        default: return;
        }
        mState.clipped = true;
        ApplyClip();
    }
    void NoClip()
    {
        mState.clipped = false;
        mState.clip = {};
        ApplyClip();
    }

    // ---- figures: drawn at once, or added to the path being collected
    void Closed(const QPainterPath& shape)
    {
        if (mInPath)
            mPath.addPath(shape);
        else
            mPainter.drawPath(shape);
    }
    void Open(const QPainterPath& shape)
    {
        if (mInPath) {
            mPath.addPath(shape);
            return;
        }
        mPainter.save();
        mPainter.setBrush(Qt::NoBrush);
        mPainter.drawPath(shape);
        mPainter.restore();
    }
    void MoveTo(QPointF to)
    {
        mState.position = to;
        if (mInPath)
            mPath.moveTo(to);
    }
    // Starts a figure at the current position when the path is not already there.
    void StartAtPosition()
    {
        if (mPath.elementCount() == 0 || mPath.currentPosition() != mState.position)
            mPath.moveTo(mState.position);
    }
    void LinesTo(const QPolygonF& points)
    {
        if (points.isEmpty())
            return;
        if (mInPath) {
            StartAtPosition();
            for (const QPointF& p : points)
                mPath.lineTo(p);
        } else {
            QPolygonF line = points;
            line.prepend(mState.position);
            mPainter.drawPolyline(line);
        }
        mState.position = points.back();
    }
    void BeziersTo(const QPolygonF& points)
    {
        QPainterPath curve;
        curve.moveTo(mState.position);
        for (qsizetype i = 0; i + 2 < points.size(); i += 3)
            curve.cubicTo(points[i], points[i + 1], points[i + 2]);
        if (mInPath) {
            StartAtPosition();
            mPath.connectPath(curve);
        } else {
            Open(curve);
        }
        mState.position = curve.currentPosition();
    }
    void ArcTo(const QPainterPath& arc)
    {
        // The line from the current position to the arc's start belongs to it.
        QPainterPath figure;
        figure.moveTo(mState.position);
        figure.connectPath(arc);
        if (mInPath) {
            StartAtPosition();
            mPath.connectPath(figure);
        } else {
            Open(figure);
        }
        mState.position = figure.currentPosition();
    }
    void BeginPath()
    {
        mInPath = true;
        mPath = QPainterPath();
    }
    // Fills and / or outlines the collected path, which is then used up.
    void DrawPath(bool fill, bool stroke)
    {
        mInPath = false;
        mPath.setFillRule(mState.fill);
        mPainter.save();
        if (!fill)
            mPainter.setBrush(Qt::NoBrush);
        if (!stroke)
            mPainter.setPen(Qt::NoPen);
        mPainter.drawPath(mPath);
        mPainter.restore();
        mPath = QPainterPath();
    }

    // ---- text
    // Glyphs stand upright on the output whatever the mapping (a y axis that
    // points up must not turn them over); the baseline turns by the font's
    // escapement and with a world transform's rotation. dx: advances in
    // logical units, one per character, or empty.
    void Text(QPointF at, const QString& text, const std::vector<double>& dx = {})
    {
        if (text.isEmpty())
            return;
        const bool updateCp = mState.textAlign & 1;
        if (updateCp)
            at = mState.position;
        const QTransform full = mPainter.worldTransform();
        const QPointF origin = full.map(at);
        const double unitX = Length(full.map(at + QPointF(1, 0)) - origin);
        const double unitY = Length(full.map(at + QPointF(0, 1)) - origin);
        // Cell heights include the internal leading, glyph heights do not.
        QFont font = mState.font;
        double pixels = mState.fontHeight == 0 ? 12 * mDeviceScale : std::abs(double(mState.fontHeight)) * unitY;
        if (mState.fontHeight > 0) {
            font.setPixelSize(1000);
            const QFontMetricsF m(font);
            if (m.ascent() + m.descent() > 0)
                pixels *= 1000 / (m.ascent() + m.descent());
        }
        if (!(pixels >= 0.5) || !std::isfinite(origin.x()) || !std::isfinite(origin.y()))
            return;  // too small to see, or mapped to nowhere
        // Big text is laid out with a smaller font and scaled up: glyphs are
        // then filled as outlines rather than rendered and cached at full size,
        // which took seconds for a giant font on a small picture.
        pixels = std::min(pixels, 20000.0);
        const double enlarge = pixels > 256 ? pixels / 256 : 1;
        font.setPixelSize(std::max(1, int(pixels / enlarge + 0.5)));
        const QFontMetricsF metrics(font);
        // The escapement turns the baseline from the logical x axis towards
        // logical -y: counter-clockwise as seen when y points down, clockwise
        // when a mapping turns y up (as the reference renderers do).
        const double angle = mState.escapement / 10.0 * M_PI / 180;
        const QPointF baseline = full.map(at + QPointF(std::cos(angle), -std::sin(angle))) - origin;
        const double turn = Length(baseline) > 0 ? std::atan2(baseline.y(), baseline.x()) * 180 / M_PI : 0;

        // Width along the baseline in font pixels: the advances' sum when given.
        const bool advances = dx.size() == std::size_t(text.size());
        double width = 0;
        if (advances) {
            for (double d : dx)
                width += d * unitX / enlarge;
        } else {
            width = metrics.horizontalAdvance(text);
        }
        double x = 0, y = 0;
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

        mPainter.save();
        mPainter.resetTransform();
        mPainter.translate(origin);
        mPainter.rotate(turn);
        mPainter.scale(enlarge, enlarge);
        if (mState.opaque)
            mPainter.fillRect(QRectF(x, y - metrics.ascent(), width, metrics.ascent() + metrics.descent()),
                              mState.backColour);
        // The advances were measured with the writer's font; ours differs, so
        // the string keeps its own glyph spacing, evened out to fill the same
        // width (placing each glyph at its advance made them collide).
        if (advances)
            font.setLetterSpacing(QFont::AbsoluteSpacing, (width - metrics.horizontalAdvance(text)) / double(text.size()));
        mPainter.setFont(font);
        mPainter.setPen(mState.textColour);
        mPainter.drawText(QPointF(x, y), text);
        mPainter.restore();
        if (updateCp && unitX > 0)
            mState.position = at + QPointF(width * enlarge / unitX, 0);
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
    bool haveOrg = false, haveExt = false;
    while (file.Has(off, 6)) {
        const std::uint64_t size = std::uint64_t(file.U32(off)) * 2;
        const std::uint16_t function = file.U16(off + 4);
        if (size < 6 || size > file.n - off || function == 0)
            break;
        if (function == 0x020B && !haveOrg) {
            *org = QPointF(file.I16(off + 8), file.I16(off + 6));
            haveOrg = true;
        } else if (function == 0x020C && !haveExt) {
            *ext = QSizeF(file.I16(off + 8), file.I16(off + 6));
            haveExt = true;
        }
        off += std::size_t(size);
    }
}

// The frame is the window the picture starts with and always fills: later
// window origins and extents move and scale the drawing within it. Viewport
// records are left alone, as the player owns the viewport.
void DrawWmf(Bytes file, std::size_t records, std::size_t objects, const QRectF& frame, const QTransform& device,
             QPainter& painter)
{
    Renderer r(painter, objects);
    std::size_t off = records;
    r.mState.windowOrg = frame.topLeft();
    r.mState.windowExt = frame.size();
    r.mDeviceScale = std::sqrt(std::abs(device.determinant()));
    auto map = [&] {
        const QSizeF ext = r.mState.windowExt;
        if (ext.width() == 0 || ext.height() == 0)
            return;
        const QTransform window = QTransform::fromTranslate(-r.mState.windowOrg.x(), -r.mState.windowOrg.y()) *
                                  QTransform::fromScale(frame.width() / ext.width(), frame.height() / ext.height()) *
                                  QTransform::fromTranslate(frame.left(), frame.top());
        painter.setTransform(window * device);
    };
    map();
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
            Object o;
            o.type = Object::Pen;
            o.pen = MakePen(rec.U16(0), rec.I16(2), rec.U32(6));
            create(o);
            break;
        }
        case 0x02FC: {
            Object o;
            o.type = Object::Brush;
            o.brush = MakeBrush(rec.U16(0), rec.U32(2), rec.U16(6));
            create(o);
            break;
        }
        case 0x02FB: {
            Object o;
            o.type = Object::Font;
            QString face;
            for (std::size_t i = 18; i < 50 && i < rec.n && rec.p[i]; ++i)
                face += QChar(rec.p[i]);
            o.font = MakeFont(rec.I16(8), rec.n > 10 && rec.p[10], rec.n > 11 && rec.p[11], rec.n > 12 && rec.p[12],
                              face);
            o.fontHeight = rec.I16(0);
            o.escapement = rec.I16(4);
            create(o);
            break;
        }
        case 0x00F7:  // palette: takes a slot
        case 0x01F9: // pattern brush
        case 0x0142: // DIB pattern brush
        case 0x06FF: { // region
            Object o;
            o.type = Object::Brush;
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
        case 0x0214: r.MoveTo(point(rec, 0)); break;
        case 0x0213: r.LinesTo(QPolygonF{point(rec, 0)}); break;
        case 0x020B: r.mState.windowOrg = point(rec, 0); map(); break;
        case 0x020C: r.mState.windowExt = QSizeF(rec.I16(2), rec.I16(0)); map(); break;
        case 0x020F: r.mState.windowOrg += point(rec, 0); map(); break;  // OffsetWindowOrg
        case 0x0201: r.mState.backColour = Colour(rec.U32(0)); break;
        case 0x0102: r.mState.opaque = rec.U16(0) == 2; break;
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
        case 0x0416:  // IntersectClipRect
        case 0x0415: {  // ExcludeClipRect
            QPainterPath shape;
            shape.addRect(Box(rec.I16(6), rec.I16(4), rec.I16(2), rec.I16(0)));
            r.Clip(shape, function == 0x0416 ? 1 : 4);
            break;
        }
        case 0x061C:
            painter.drawRoundedRect(Box(rec.I16(10), rec.I16(8), rec.I16(6), rec.I16(4)), rec.I16(2) / 2.0,
                                    rec.I16(0) / 2.0);
            break;
        case 0x0817:
        case 0x081A:
        case 0x0830: {
            const QPainterPath arc =
                ArcPath(Box(rec.I16(14), rec.I16(12), rec.I16(10), rec.I16(8)), QPointF(rec.I16(6), rec.I16(4)),
                        QPointF(rec.I16(2), rec.I16(0)), function == 0x0817 ? 0 : function == 0x081A ? 1 : 2);
            if (function == 0x0817)
                r.Open(arc);
            else
                r.Closed(arc);
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
            // Advances, when present, follow the string.
            std::vector<double> dx;
            const std::size_t dxAt = at + ((count + 1) & ~std::size_t(1));
            if (rec.Has(dxAt, count * 2))
                for (std::size_t i = 0; i < count; ++i)
                    dx.push_back(rec.I16(dxAt + i * 2));
            r.Text(point(rec, 0), QString::fromLatin1(reinterpret_cast<const char*>(rec.p + at), qsizetype(count)), dx);
            break;
        }
        case 0x0209: r.mState.textColour = Colour(rec.U32(0)); break;
        case 0x012E: r.mState.textAlign = rec.U16(0); break;
        case 0x0106: r.mState.fill = rec.U16(0) == 2 ? Qt::WindingFill : Qt::OddEvenFill; break;
        case 0x001E: r.Save(); break;
        case 0x0127: r.Restore(rec.I16(0)); map(); break;
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
        default: break;  // others are not drawn
        }
    }
}

// ------------------------------------------------------------ enhanced metafiles

// Logical units to reference-device pixels: the world transform, then the
// map mode's page mapping. The fixed map modes count in fractions of a
// millimetre or an inch with y pointing up; pxPerMm comes from the header.
QTransform EmfMapping(const State& s, QSizeF pxPerMm)
{
    double unit = 0;  // millimetres per logical unit in the fixed map modes
    switch (s.mapMode) {
    case 2: unit = 0.1; break;
    case 3: unit = 0.01; break;
    case 4: unit = 0.254; break;
    case 5: unit = 0.0254; break;
    case 6: unit = 25.4 / 1440; break;
    default: break;
    }
    double sx = 1, sy = 1;
    if (unit > 0) {
        sx = unit * pxPerMm.width();
        sy = -unit * pxPerMm.height();
    } else if ((s.mapMode == 7 || s.mapMode == 8) && s.extSet && s.windowExt.width() != 0 &&
               s.windowExt.height() != 0) {
        sx = s.viewportExt.width() / s.windowExt.width();
        sy = s.viewportExt.height() / s.windowExt.height();
        if (s.mapMode == 7) {  // isotropic: the smaller scale on both axes
            const double k = std::min(std::abs(sx), std::abs(sy));
            sx = std::copysign(k, sx);
            sy = std::copysign(k, sy);
        }
    }
    return s.world * QTransform(sx, 0, 0, sy, s.viewportOrg.x() - s.windowOrg.x() * sx,
                                s.viewportOrg.y() - s.windowOrg.y() * sy);
}

void DrawEmf(Bytes file, std::size_t objects, const QTransform& device, QSizeF pxPerMm, QPainter& painter)
{
    Renderer r(painter, objects);
    r.mDeviceScale = std::sqrt(std::abs(device.determinant()));
    std::size_t off = 0;
    auto map = [&] {
        painter.setTransform(EmfMapping(r.mState, pxPerMm) * device);
    };
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
    auto box = [](Bytes rec, std::size_t o) { return Box(rec.I32(o), rec.I32(o + 4), rec.I32(o + 8), rec.I32(o + 12)); };
    // Text records: the string (8- or 16-bit characters) and, when present,
    // one advance per character.
    auto text = [&](Bytes rec, QPointF at, std::size_t count, std::size_t textAt, bool wide, std::size_t dxAt) {
        if (count > rec.n || !rec.Has(textAt, count * (wide ? 2 : 1)))
            return;
        QString string;
        string.reserve(qsizetype(count));
        for (std::size_t i = 0; i < count; ++i)
            string += wide ? QChar(rec.U16(textAt + i * 2)) : QChar(rec.p[textAt + i]);
        std::vector<double> dx;
        if (dxAt >= 8 && rec.Has(dxAt, count * 4))
            for (std::size_t i = 0; i < count; ++i)
                dx.push_back(rec.I32(dxAt + i * 4));
        r.Text(at, string, dx);
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
        case 2: case 85: {  // Bézier curves from their first point
            const QPolygonF poly = points(rec, 28, rec.U32(24), type == 85);
            if (poly.isEmpty())
                break;
            if (r.mInPath) {
                r.MoveTo(poly[0]);
                r.BeziersTo(poly.mid(1));
            } else {
                const QPointF keep = r.mState.position;
                r.mState.position = poly[0];
                r.BeziersTo(poly.mid(1));
                r.mState.position = keep;
            }
            break;
        }
        case 5: case 88: r.BeziersTo(points(rec, 28, rec.U32(24), type == 88)); break;
        case 3: case 86: {
            QPainterPath shape;
            shape.setFillRule(r.mState.fill);
            shape.addPolygon(points(rec, 28, rec.U32(24), type == 86));
            shape.closeSubpath();
            r.Closed(shape);
            break;
        }
        case 4: case 87: {
            QPainterPath line;
            line.addPolygon(points(rec, 28, rec.U32(24), type == 87));
            r.Open(line);
            break;
        }
        case 6: case 89: r.LinesTo(points(rec, 28, rec.U32(24), type == 89)); break;
        case 7: case 8: case 90: case 91: {
            const bool small = type >= 90, closed = type == 8 || type == 91;
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
                if (closed)
                    path.closeSubpath();
                at += std::size_t(count) * (small ? 4 : 8);
            }
            if (closed)
                r.Closed(path);
            else
                r.Open(path);
            break;
        }
        case 9: r.mState.windowExt = QSizeF(rec.I32(8), rec.I32(12)); r.mState.extSet = true; map(); break;
        case 10: r.mState.windowOrg = QPointF(rec.I32(8), rec.I32(12)); map(); break;
        case 11: r.mState.viewportExt = QSizeF(rec.I32(8), rec.I32(12)); map(); break;
        case 12: r.mState.viewportOrg = QPointF(rec.I32(8), rec.I32(12)); map(); break;
        case 31: case 32: {  // scale the viewport / window extent by two fractions
            const double xd = rec.I32(12), yd = rec.I32(20);
            if (xd == 0 || yd == 0)
                break;
            QSizeF& ext = type == 31 ? r.mState.viewportExt : r.mState.windowExt;
            ext = QSizeF(ext.width() * rec.I32(8) / xd, ext.height() * rec.I32(16) / yd);
            map();
            break;
        }
        case 17: r.mState.mapMode = int(rec.U32(8)); map(); break;
        case 18: r.mState.opaque = rec.U32(8) == 2; break;
        case 19: r.mState.fill = rec.U32(8) == 2 ? Qt::WindingFill : Qt::OddEvenFill; break;
        case 22: r.mState.textAlign = rec.U32(8); break;
        case 24: r.mState.textColour = Colour(rec.U32(8)); break;
        case 25: r.mState.backColour = Colour(rec.U32(8)); break;
        case 27: r.MoveTo(QPointF(rec.I32(8), rec.I32(12))); break;
        case 54: r.LinesTo(QPolygonF{QPointF(rec.I32(8), rec.I32(12))}); break;
        case 29: case 30: {  // exclude / intersect a clipping rectangle
            QPainterPath shape;
            shape.addRect(box(rec, 8));
            r.Clip(shape, type == 30 ? 1 : 4);
            break;
        }
        case 75: {  // select a clipping region, its rectangles in device pixels
            const std::uint32_t bytes = rec.U32(8), mode = rec.U32(12);
            const std::uint64_t count = rec.U32(24);
            if (bytes < 32 || count == 0) {
                if (mode == 5)
                    r.NoClip();
                break;
            }
            if (count > rec.n / 16 || !rec.Has(48, std::size_t(count) * 16))
                break;
            QRegion region;
            for (std::size_t i = 0; i < count; ++i) {
                const QRectF cell = device.mapRect(box(rec, 48 + i * 16));
                if (QRectF(QPointF(-1e7, -1e7), QPointF(1e7, 1e7)).contains(cell))
                    region += cell.toAlignedRect();
            }
            r.ClipOutput(region, int(mode));
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
                o.font = MakeFont(rec.I32(28), rec.n > 32 && rec.p[32], rec.n > 33 && rec.p[33],
                                  rec.n > 34 && rec.p[34], face);
                o.fontHeight = rec.I32(12);
                o.escapement = rec.I32(20);
            }
            r.mObjects[index] = o;
            break;
        }
        case 42: {
            QPainterPath shape;
            shape.addEllipse(box(rec, 8));
            r.Closed(shape);
            break;
        }
        case 43: {
            QPainterPath shape;
            shape.addRect(box(rec, 8));
            r.Closed(shape);
            break;
        }
        case 44: {
            QPainterPath shape;
            shape.addRoundedRect(box(rec, 8), rec.I32(24) / 2.0, rec.I32(28) / 2.0);
            r.Closed(shape);
            break;
        }
        case 45: case 46: case 47: case 55: {  // arc, chord, pie, arc from the current position
            const QPainterPath arc = ArcPath(box(rec, 8), QPointF(rec.I32(24), rec.I32(28)),
                                             QPointF(rec.I32(32), rec.I32(36)), type == 47 ? 1 : type == 46 ? 2 : 0);
            if (type == 55)
                r.ArcTo(arc);
            else if (type == 45)
                r.Open(arc);
            else
                r.Closed(arc);
            break;
        }
        case 59: r.BeginPath(); break;
        case 60: r.mInPath = false; break;
        case 61: if (r.mInPath) r.mPath.closeSubpath(); break;
        case 62: case 63: case 64: r.DrawPath(type != 64, type != 62); break;
        case 67: r.mInPath = false; r.Clip(r.mPath, int(rec.U32(8))); r.mPath = QPainterPath(); break;
        case 68: r.mInPath = false; r.mPath = QPainterPath(); break;
        case 83: case 84:
            text(rec, QPointF(rec.I32(36), rec.I32(40)), rec.U32(44), rec.U32(48), type == 84, rec.U32(72));
            break;
        case 108: {  // small text: no advances, a bounding box unless left out, maybe 8-bit characters
            const std::uint32_t options = rec.U32(20);
            text(rec, QPointF(rec.I32(8), rec.I32(12)), rec.U32(16), (options & 0x100) ? 36 : 52, !(options & 0x200), 0);
            break;
        }
        case 76: case 77: {  // BitBlt, StretchBlt: a DIB, or a fill when there is no source
            if (rec.n < 100)
                break;
            const QRectF dest(rec.I32(24), rec.I32(28), rec.I32(32), rec.I32(36));
            if (rec.U32(88) == 0) {
                const std::uint32_t rop = rec.U32(40);
                if (rop == 0x00F00021u || rop == 0x005A0049u)  // the brush
                    painter.fillRect(dest, r.mState.brush);
                else if (rop == 0x00000042u)
                    painter.fillRect(dest, Qt::black);
                else if (rop == 0x00FF0062u)
                    painter.fillRect(dest, Qt::white);
                break;
            }
            const QSize source = type == 77 && rec.n >= 108 ? QSize(rec.I32(100), rec.I32(104))
                                                            : QSize(rec.I32(32), rec.I32(36));
            r.Image(DecodeDib(rec.Sub(rec.U32(84), rec.U32(88)), rec.Sub(rec.U32(92), rec.U32(96))), dest,
                    QRect(QPoint(rec.I32(44), rec.I32(48)), source));
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
    QSizeF mPxPerMm{96 / 25.4, 96 / 25.4};  // EMF: the reference device's resolution

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
            DrawEmf(file, mObjects, device, mPxPerMm, painter);
        } else {
            DrawWmf(file, mRecords, mObjects, mFrame, device, painter);
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
        if (devW > 0 && devH > 0 && mmW > 0 && mmH > 0)
            picture->mPxPerMm = QSizeF(devW / mmW, devH / mmH);
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
