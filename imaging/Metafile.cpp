#include "imaging/Metafile.h"

#include "codecs/Decoding.h"
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

// The numbers the formats give records and settings, under the names
// Windows gives them. Records not listed are skipped.

// Windows metafile records: the function number after the record size.
enum class WmfRecord : std::uint16_t {
    EndOfFile = 0x0000,
    SaveDC = 0x001E,
    CreatePalette = 0x00F7,
    SetBkMode = 0x0102,
    SetPolyFillMode = 0x0106,
    RestoreDC = 0x0127,
    SelectObject = 0x012D,
    SetTextAlign = 0x012E,
    DibCreatePatternBrush = 0x0142,
    DeleteObject = 0x01F0,
    CreatePatternBrush = 0x01F9,
    SetBkColor = 0x0201,
    SetTextColor = 0x0209,
    SetWindowOrg = 0x020B,
    SetWindowExt = 0x020C,
    OffsetWindowOrg = 0x020F,
    LineTo = 0x0213,
    MoveTo = 0x0214,
    CreatePenIndirect = 0x02FA,
    CreateFontIndirect = 0x02FB,
    CreateBrushIndirect = 0x02FC,
    Polygon = 0x0324,
    Polyline = 0x0325,
    ExcludeClipRect = 0x0415,
    IntersectClipRect = 0x0416,
    Ellipse = 0x0418,
    Rectangle = 0x041B,
    TextOut = 0x0521,
    PolyPolygon = 0x0538,
    RoundRect = 0x061C,
    CreateRegion = 0x06FF,
    Arc = 0x0817,
    Pie = 0x081A,
    Chord = 0x0830,
    DibBitBlt = 0x0940,
    ExtTextOut = 0x0A32,
    DibStretchBlt = 0x0B41,
    StretchDib = 0x0F43,
};

// Enhanced metafile records: the type, the record's first value.
enum class EmfRecord : std::uint32_t {
    Header = 1,
    PolyBezier = 2,
    Polygon = 3,
    Polyline = 4,
    PolyBezierTo = 5,
    PolylineTo = 6,
    PolyPolyline = 7,
    PolyPolygon = 8,
    SetWindowExtEx = 9,
    SetWindowOrgEx = 10,
    SetViewportExtEx = 11,
    SetViewportOrgEx = 12,
    EndOfFile = 14,
    SetMapMode = 17,
    SetBkMode = 18,
    SetPolyFillMode = 19,
    SetTextAlign = 22,
    SetTextColor = 24,
    SetBkColor = 25,
    MoveToEx = 27,
    ExcludeClipRect = 29,
    IntersectClipRect = 30,
    ScaleViewportExtEx = 31,
    ScaleWindowExtEx = 32,
    SaveDC = 33,
    RestoreDC = 34,
    SetWorldTransform = 35,
    ModifyWorldTransform = 36,
    SelectObject = 37,
    CreatePen = 38,
    CreateBrushIndirect = 39,
    DeleteObject = 40,
    Ellipse = 42,
    Rectangle = 43,
    RoundRect = 44,
    Arc = 45,
    Chord = 46,
    Pie = 47,
    LineTo = 54,
    ArcTo = 55,
    BeginPath = 59,
    EndPath = 60,
    CloseFigure = 61,
    FillPath = 62,
    StrokeAndFillPath = 63,
    StrokePath = 64,
    SelectClipPath = 67,
    AbortPath = 68,
    ExtSelectClipRgn = 75,
    BitBlt = 76,
    StretchBlt = 77,
    StretchDIBits = 81,
    ExtCreateFontIndirectW = 82,
    ExtTextOutA = 83,
    ExtTextOutW = 84,
    PolyBezier16 = 85,
    Polygon16 = 86,
    Polyline16 = 87,
    PolyBezierTo16 = 88,
    PolylineTo16 = 89,
    PolyPolyline16 = 90,
    PolyPolygon16 = 91,
    ExtCreatePen = 95,
    SmallTextOut = 108,
};

// The first value of an enhanced metafile and the signature in its header;
// the first value of a placeable metafile; a plain metafile header's size in
// 16-bit words.
constexpr std::uint32_t kEmfSignature = 0x464D4520u; // " EMF"
constexpr std::uint32_t kPlaceableKey = 0x9AC6CDD7u;
constexpr std::uint16_t kWmfHeaderWords = 9;

// Pen styles: the line in the lowest four bits, then the ends and the joins.
enum class PenStyle : std::uint32_t { Solid, Dash, Dot, DashDot, DashDotDot, Null, InsideFrame, UserStyle, Alternate };
enum class PenEndCap : std::uint32_t { Round = 0x0000, Square = 0x0100, Flat = 0x0200 };
enum class PenJoin : std::uint32_t { Round = 0x0000, Bevel = 0x1000, Miter = 0x2000 };
constexpr std::uint32_t kPenStyleMask = 0x000F, kPenEndCapMask = 0x0F00, kPenJoinMask = 0xF000;

enum class BrushStyle : std::uint32_t { Solid = 0, Null = 1, Hatched = 2 };

// The objects a metafile may select without making them.
enum class StockObject : std::uint32_t {
    WhiteBrush = 0,
    LightGreyBrush = 1,
    GreyBrush = 2,
    DarkGreyBrush = 3,
    BlackBrush = 4,
    NullBrush = 5,
    WhitePen = 6,
    BlackPen = 7,
    NullPen = 8,
    OemFixedFont = 10,
    DefaultGuiFont = 17, // the fonts, and the default palette among them, run from OemFixedFont to here
};
// Enhanced metafiles mark a stock object's index with the top bit.
constexpr std::uint32_t kStockFlag = 0x80000000u;

// How a new clipping shape combines with the current clip.
enum class RegionMode : std::uint32_t { And = 1, Or = 2, Xor = 3, Diff = 4, Copy = 5 };

// Logical units: pixels (Text), fixed units with y up, or scaled windows.
enum class MapMode : std::uint32_t {
    Text = 1,
    LoMetric = 2,
    HiMetric = 3,
    LoEnglish = 4,
    HiEnglish = 5,
    Twips = 6,
    Isotropic = 7,
    Anisotropic = 8,
};

enum class WorldTransformMode : std::uint32_t { Identity = 1, LeftMultiply = 2, RightMultiply = 3, Set = 4 };

// Text alignment: a flag to move the current position, then the horizontal
// and the vertical alignment, each a field of its own.
constexpr std::uint32_t kAlignUpdatesPosition = 0x0001, kAlignHorizontalMask = 0x0006, kAlignVerticalMask = 0x0018;
enum class HorizontalAlign : std::uint32_t { Left = 0x0000, Right = 0x0002, Centre = 0x0006 };
enum class VerticalAlign : std::uint32_t { Top = 0x0000, Bottom = 0x0008, Baseline = 0x0018 };

// Text record options: WMF's box options (opaque, clipped) say a rectangle
// follows; EMF's small text may leave it out and use 8-bit characters.
constexpr std::uint32_t kTextBoxOptions = 0x0006, kTextNoRect = 0x0100, kTextSmallChars = 0x0200;

enum class BackgroundMode : std::uint32_t { Transparent = 1, Opaque = 2 };
enum class PolyFillMode : std::uint32_t { Alternate = 1, Winding = 2 };

// The raster operations drawn without a source bitmap.
enum class RasterOp : std::uint32_t {
    Blackness = 0x00000042u,
    PatInvert = 0x005A0049u,
    PatCopy = 0x00F00021u,
    Whiteness = 0x00FF0062u,
};

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
    const auto line = PenStyle(style & kPenStyleMask);
    if (line == PenStyle::Null)
        return QPen(Qt::NoPen);
    QPen pen(Colour(colour));
    if (width <= 0) {
        pen.setWidth(0);
        pen.setCosmetic(true);
    } else {
        pen.setWidthF(width);
    }
    static const Qt::PenStyle styles[] = {Qt::SolidLine, Qt::DashLine, Qt::DotLine, Qt::DashDotLine, Qt::DashDotDotLine};
    pen.setStyle(line < PenStyle::Null          ? styles[std::size_t(line)]
                 : line == PenStyle::Alternate ? Qt::DotLine
                                               : Qt::SolidLine);
    // Wide pens have round ends and joins unless their style asks otherwise.
    const auto cap = PenEndCap(style & kPenEndCapMask);
    const auto join = PenJoin(style & kPenJoinMask);
    pen.setCapStyle(cap == PenEndCap::Square ? Qt::SquareCap : cap == PenEndCap::Flat ? Qt::FlatCap : Qt::RoundCap);
    pen.setJoinStyle(join == PenJoin::Bevel ? Qt::BevelJoin : join == PenJoin::Miter ? Qt::MiterJoin : Qt::RoundJoin);
    return pen;
}

QBrush MakeBrush(std::uint32_t style, std::uint32_t colour, std::uint32_t hatch)
{
    if (BrushStyle(style) == BrushStyle::Null)
        return QBrush(Qt::NoBrush);
    if (BrushStyle(style) == BrushStyle::Hatched) {
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

    static Object OfPen(QPen pen)
    {
        Object o;
        o.type = Pen;
        o.pen = std::move(pen);
        return o;
    }
    static Object OfBrush(QBrush brush)
    {
        Object o;
        o.type = Brush;
        o.brush = std::move(brush);
        return o;
    }
    static Object OfFont(QFont font, int height, int escapement)
    {
        Object o;
        o.type = Font;
        o.font = std::move(font);
        o.fontHeight = height;
        o.escapement = escapement;
        return o;
    }
};

// A rectangle a metafile record stores as height, width, y and x words from at.
QRect WordRect(const Bytes& rec, std::size_t at)
{
    return QRect(rec.I16(at + 6), rec.I16(at + 4), rec.I16(at + 2), rec.I16(at));
}

// Shapes drawn as one closed outline.
QPainterPath EllipseShape(const QRectF& box)
{
    QPainterPath shape;
    shape.addEllipse(box);
    return shape;
}

QPainterPath RectShape(const QRectF& box)
{
    QPainterPath shape;
    shape.addRect(box);
    return shape;
}

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
    MapMode mapMode = MapMode::Text;
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
    codec::Result<QImage> image =
        DibToImage(reinterpret_cast<const BITMAPINFO*>(infoCopy.constData()), bitsCopy.constData());
    return image ? std::move(*image) : QImage();
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
enum class ArcKind { Arc, Pie, Chord };

QPainterPath ArcPath(const QRectF& box, QPointF start, QPointF end, ArcKind kind)
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
    if (kind == ArcKind::Pie)
        path.moveTo(c);
    else
        path.arcMoveTo(box, a0 * 180 / M_PI);
    path.arcTo(box, a0 * 180 / M_PI, span * 180 / M_PI);
    if (kind != ArcKind::Arc)
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
        const auto stock = StockObject(n);
        switch (stock) {
        case StockObject::WhiteBrush: mState.brush = QBrush(Qt::white); break;
        case StockObject::LightGreyBrush: mState.brush = QBrush(QColor(192, 192, 192)); break;
        case StockObject::GreyBrush: mState.brush = QBrush(QColor(128, 128, 128)); break;
        case StockObject::DarkGreyBrush: mState.brush = QBrush(QColor(64, 64, 64)); break;
        case StockObject::BlackBrush: mState.brush = QBrush(Qt::black); break;
        case StockObject::NullBrush: mState.brush = QBrush(Qt::NoBrush); break;
        case StockObject::WhitePen: mState.pen = QPen(Qt::white, 0); break;
        case StockObject::BlackPen: mState.pen = QPen(Qt::black, 0); break;
        case StockObject::NullPen: mState.pen = QPen(Qt::NoPen); break;
        default:
            if (stock >= StockObject::OemFixedFont && stock <= StockObject::DefaultGuiFont) {
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
    void Clip(const QPainterPath& logical, RegionMode op)
    {
        const QPolygonF outline = mPainter.worldTransform().map(logical).toFillPolygon();
        // Far outside any picture a polygon would not fit in integers.
        const QRectF limit(QPointF(-1e7, -1e7), QPointF(1e7, 1e7));
        if (!limit.contains(outline.boundingRect()))
            return;
        ClipOutput(QRegion(outline.toPolygon(), mState.fill), op);
    }
    void ClipOutput(const QRegion& region, RegionMode op)
    {
        const QRegion all(QRect(QPoint(-(1 << 24), -(1 << 24)), QPoint(1 << 24, 1 << 24)));
        const QRegion current = mState.clipped ? mState.clip : all;
        switch (op) {
        case RegionMode::And: mState.clip = current & region; break;
        case RegionMode::Or: mState.clip = current | region; break;
        case RegionMode::Xor: mState.clip = current ^ region; break;
        case RegionMode::Diff: mState.clip = current - region; break;
        case RegionMode::Copy: mState.clip = region; break;
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
        FigureTo(curve);
    }
    void ArcTo(const QPainterPath& arc)
    {
        // The line from the current position to the arc's start belongs to it.
        QPainterPath figure;
        figure.moveTo(mState.position);
        figure.connectPath(arc);
        FigureTo(figure);
    }
    // A figure that starts at the current position: added to the path being
    // collected, or drawn; its end is the new position.
    void FigureTo(const QPainterPath& figure)
    {
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
        const bool updateCp = mState.textAlign & kAlignUpdatesPosition;
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
        const auto h = HorizontalAlign(mState.textAlign & kAlignHorizontalMask);
        if (h == HorizontalAlign::Centre)
            x -= width / 2;
        else if (h == HorizontalAlign::Right)
            x -= width;
        const auto v = VerticalAlign(mState.textAlign & kAlignVerticalMask);
        if (v == VerticalAlign::Top)
            y += metrics.ascent();
        else if (v == VerticalAlign::Bottom)
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
        const auto function = WmfRecord(file.U16(off + 4));
        if (size < 6 || size > file.n - off || function == WmfRecord::EndOfFile)
            break;
        if (function == WmfRecord::SetWindowOrg && !haveOrg) {
            *org = QPointF(file.I16(off + 8), file.I16(off + 6));
            haveOrg = true;
        } else if (function == WmfRecord::SetWindowExt && !haveExt) {
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
    const auto blit = [&r](const Bytes& rec, std::size_t dibAt, QRectF to, QRect from) {
        r.Image(DecodePackedDib(rec.Sub(dibAt, rec.n - dibAt)), to, from);
    };
    while (file.Has(off, 6)) {
        const std::uint64_t size = std::uint64_t(file.U32(off)) * 2;
        const auto function = WmfRecord(file.U16(off + 4));
        if (function == WmfRecord::EndOfFile || size < 6 || size > file.n - off)
            break;
        const Bytes rec = file.Sub(off + 6, std::size_t(size) - 6);  // parameters only
        off += std::size_t(size);
        r.Apply();
        switch (function) {
        case WmfRecord::CreatePenIndirect:
            create(Object::OfPen(MakePen(rec.U16(0), rec.I16(2), rec.U32(6))));
            break;
        case WmfRecord::CreateBrushIndirect:
            create(Object::OfBrush(MakeBrush(rec.U16(0), rec.U32(2), rec.U16(6))));
            break;
        case WmfRecord::CreateFontIndirect: {
            QString face;
            for (std::size_t i = 18; i < 50 && i < rec.n && rec.p[i]; ++i)
                face += QChar(rec.p[i]);
            create(Object::OfFont(MakeFont(rec.I16(8), rec.n > 10 && rec.p[10], rec.n > 11 && rec.p[11],
                                           rec.n > 12 && rec.p[12], face),
                                  rec.I16(0), rec.I16(4)));
            break;
        }
        case WmfRecord::CreatePalette:  // palette: takes a slot
        case WmfRecord::CreatePatternBrush: // pattern brush
        case WmfRecord::DibCreatePatternBrush: // DIB pattern brush
        case WmfRecord::CreateRegion: { // region
            Object o;
            o.type = Object::Brush;
            o.brush = QBrush(Qt::gray);
            if (function == WmfRecord::CreatePalette || function == WmfRecord::CreateRegion)
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
        case WmfRecord::SelectObject: r.Select(rec.U16(0)); break;
        case WmfRecord::DeleteObject: r.Delete(rec.U16(0)); break;
        case WmfRecord::MoveTo: r.MoveTo(point(rec, 0)); break;
        case WmfRecord::LineTo: r.LinesTo(QPolygonF{point(rec, 0)}); break;
        case WmfRecord::SetWindowOrg: r.mState.windowOrg = point(rec, 0); map(); break;
        case WmfRecord::SetWindowExt: r.mState.windowExt = QSizeF(rec.I16(2), rec.I16(0)); map(); break;
        case WmfRecord::OffsetWindowOrg: r.mState.windowOrg += point(rec, 0); map(); break;
        case WmfRecord::SetBkColor: r.mState.backColour = Colour(rec.U32(0)); break;
        case WmfRecord::SetBkMode: r.mState.opaque = BackgroundMode(rec.U16(0)) == BackgroundMode::Opaque; break;
        case WmfRecord::Polyline:
        case WmfRecord::Polygon: {
            const QPolygonF poly = points(rec, 2, rec.U16(0));
            if (function == WmfRecord::Polyline)
                painter.drawPolyline(poly);
            else
                painter.drawPolygon(poly, r.mState.fill);
            break;
        }
        case WmfRecord::PolyPolygon: {
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
        case WmfRecord::Rectangle: painter.drawRect(Box(rec.I16(6), rec.I16(4), rec.I16(2), rec.I16(0))); break;
        case WmfRecord::Ellipse: painter.drawEllipse(Box(rec.I16(6), rec.I16(4), rec.I16(2), rec.I16(0))); break;
        case WmfRecord::IntersectClipRect:
        case WmfRecord::ExcludeClipRect: {
            r.Clip(RectShape(Box(rec.I16(6), rec.I16(4), rec.I16(2), rec.I16(0))),
                   function == WmfRecord::IntersectClipRect ? RegionMode::And : RegionMode::Diff);
            break;
        }
        case WmfRecord::RoundRect:
            painter.drawRoundedRect(Box(rec.I16(10), rec.I16(8), rec.I16(6), rec.I16(4)), rec.I16(2) / 2.0,
                                    rec.I16(0) / 2.0);
            break;
        case WmfRecord::Arc:
        case WmfRecord::Pie:
        case WmfRecord::Chord: {
            const ArcKind kind = function == WmfRecord::Pie     ? ArcKind::Pie
                                 : function == WmfRecord::Chord ? ArcKind::Chord
                                                                : ArcKind::Arc;
            const QPainterPath arc = ArcPath(Box(rec.I16(14), rec.I16(12), rec.I16(10), rec.I16(8)),
                                             QPointF(rec.I16(6), rec.I16(4)), QPointF(rec.I16(2), rec.I16(0)), kind);
            if (function == WmfRecord::Arc)
                r.Open(arc);
            else
                r.Closed(arc);
            break;
        }
        case WmfRecord::TextOut: {
            const std::size_t count = rec.U16(0);
            if (!rec.Has(2, count))
                break;
            const std::size_t after = 2 + ((count + 1) & ~std::size_t(1));
            r.Text(QPointF(rec.I16(after + 2), rec.I16(after)),
                   QString::fromLatin1(reinterpret_cast<const char*>(rec.p + 2), qsizetype(count)));
            break;
        }
        case WmfRecord::ExtTextOut: {
            const std::size_t count = rec.U16(4);
            const std::uint16_t options = rec.U16(6);
            const std::size_t at = 8 + ((options & kTextBoxOptions) ? 8 : 0);
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
        case WmfRecord::SetTextColor: r.mState.textColour = Colour(rec.U32(0)); break;
        case WmfRecord::SetTextAlign: r.mState.textAlign = rec.U16(0); break;
        case WmfRecord::SetPolyFillMode:
            r.mState.fill = PolyFillMode(rec.U16(0)) == PolyFillMode::Winding ? Qt::WindingFill : Qt::OddEvenFill;
            break;
        case WmfRecord::SaveDC: r.Save(); break;
        case WmfRecord::RestoreDC: r.Restore(rec.I16(0)); map(); break;
        // The blits store rectangles as height, width, y, x from the given
        // offset, and the DIB after them.
        case WmfRecord::StretchDib:  // rop, usage, source and destination, DIB
            if (rec.Has(0, 22))
                blit(rec, 22, WordRect(rec, 14), WordRect(rec, 6));
            break;
        case WmfRecord::DibStretchBlt:
            if (rec.Has(0, 20) && rec.n > 22)
                blit(rec, 20, WordRect(rec, 12), WordRect(rec, 4));
            break;
        case WmfRecord::DibBitBlt:  // the source as large as the destination
            if (rec.Has(0, 16) && rec.n > 18)
                blit(rec, 16, WordRect(rec, 8), QRect(rec.I16(6), rec.I16(4), rec.I16(10), rec.I16(8)));
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
    case MapMode::LoMetric: unit = 0.1; break;
    case MapMode::HiMetric: unit = 0.01; break;
    case MapMode::LoEnglish: unit = 0.254; break;
    case MapMode::HiEnglish: unit = 0.0254; break;
    case MapMode::Twips: unit = 25.4 / 1440; break;
    default: break;
    }
    double sx = 1, sy = 1;
    if (unit > 0) {
        sx = unit * pxPerMm.width();
        sy = -unit * pxPerMm.height();
    } else if ((s.mapMode == MapMode::Isotropic || s.mapMode == MapMode::Anisotropic) && s.extSet &&
               s.windowExt.width() != 0 && s.windowExt.height() != 0) {
        sx = s.viewportExt.width() / s.windowExt.width();
        sy = s.viewportExt.height() / s.windowExt.height();
        if (s.mapMode == MapMode::Isotropic) {  // the smaller scale on both axes
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
        const auto type = EmfRecord(file.U32(off));
        const std::uint32_t size = file.U32(off + 4);
        if (size < 8 || size > file.n - off)
            break;
        const Bytes rec = file.Sub(off, size);  // the whole record, offsets as the format counts them
        off += size;
        if (type == EmfRecord::EndOfFile)
            break;
        r.Apply();
        switch (type) {
        case EmfRecord::PolyBezier: case EmfRecord::PolyBezier16: {  // Bézier curves from their first point
            const QPolygonF poly = points(rec, 28, rec.U32(24), type == EmfRecord::PolyBezier16);
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
        case EmfRecord::PolyBezierTo: case EmfRecord::PolyBezierTo16:
            r.BeziersTo(points(rec, 28, rec.U32(24), type == EmfRecord::PolyBezierTo16));
            break;
        case EmfRecord::Polygon: case EmfRecord::Polygon16: {
            QPainterPath shape;
            shape.setFillRule(r.mState.fill);
            shape.addPolygon(points(rec, 28, rec.U32(24), type == EmfRecord::Polygon16));
            shape.closeSubpath();
            r.Closed(shape);
            break;
        }
        case EmfRecord::Polyline: case EmfRecord::Polyline16: {
            QPainterPath line;
            line.addPolygon(points(rec, 28, rec.U32(24), type == EmfRecord::Polyline16));
            r.Open(line);
            break;
        }
        case EmfRecord::PolylineTo: case EmfRecord::PolylineTo16:
            r.LinesTo(points(rec, 28, rec.U32(24), type == EmfRecord::PolylineTo16));
            break;
        case EmfRecord::PolyPolyline: case EmfRecord::PolyPolygon:
        case EmfRecord::PolyPolyline16: case EmfRecord::PolyPolygon16: {
            const bool small = type == EmfRecord::PolyPolyline16 || type == EmfRecord::PolyPolygon16;
            const bool closed = type == EmfRecord::PolyPolygon || type == EmfRecord::PolyPolygon16;
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
        case EmfRecord::SetWindowExtEx:
            r.mState.windowExt = QSizeF(rec.I32(8), rec.I32(12));
            r.mState.extSet = true;
            map();
            break;
        case EmfRecord::SetWindowOrgEx: r.mState.windowOrg = QPointF(rec.I32(8), rec.I32(12)); map(); break;
        case EmfRecord::SetViewportExtEx: r.mState.viewportExt = QSizeF(rec.I32(8), rec.I32(12)); map(); break;
        case EmfRecord::SetViewportOrgEx: r.mState.viewportOrg = QPointF(rec.I32(8), rec.I32(12)); map(); break;
        case EmfRecord::ScaleViewportExtEx: case EmfRecord::ScaleWindowExtEx: {  // by two fractions
            const double xd = rec.I32(12), yd = rec.I32(20);
            if (xd == 0 || yd == 0)
                break;
            QSizeF& ext = type == EmfRecord::ScaleViewportExtEx ? r.mState.viewportExt : r.mState.windowExt;
            ext = QSizeF(ext.width() * rec.I32(8) / xd, ext.height() * rec.I32(16) / yd);
            map();
            break;
        }
        case EmfRecord::SetMapMode: r.mState.mapMode = MapMode(rec.U32(8)); map(); break;
        case EmfRecord::SetBkMode: r.mState.opaque = BackgroundMode(rec.U32(8)) == BackgroundMode::Opaque; break;
        case EmfRecord::SetPolyFillMode:
            r.mState.fill = PolyFillMode(rec.U32(8)) == PolyFillMode::Winding ? Qt::WindingFill : Qt::OddEvenFill;
            break;
        case EmfRecord::SetTextAlign: r.mState.textAlign = rec.U32(8); break;
        case EmfRecord::SetTextColor: r.mState.textColour = Colour(rec.U32(8)); break;
        case EmfRecord::SetBkColor: r.mState.backColour = Colour(rec.U32(8)); break;
        case EmfRecord::MoveToEx: r.MoveTo(QPointF(rec.I32(8), rec.I32(12))); break;
        case EmfRecord::LineTo: r.LinesTo(QPolygonF{QPointF(rec.I32(8), rec.I32(12))}); break;
        case EmfRecord::ExcludeClipRect: case EmfRecord::IntersectClipRect: {
            r.Clip(RectShape(box(rec, 8)), type == EmfRecord::IntersectClipRect ? RegionMode::And : RegionMode::Diff);
            break;
        }
        case EmfRecord::ExtSelectClipRgn: {  // its rectangles are in device pixels
            const std::uint32_t bytes = rec.U32(8);
            const auto mode = RegionMode(rec.U32(12));
            const std::uint64_t count = rec.U32(24);
            if (bytes < 32 || count == 0) {
                if (mode == RegionMode::Copy)
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
            r.ClipOutput(region, mode);
            break;
        }
        case EmfRecord::SaveDC: r.Save(); break;
        case EmfRecord::RestoreDC: r.Restore(rec.I32(8)); map(); break;
        case EmfRecord::SetWorldTransform:
            r.mState.world = QTransform(rec.F32(8), rec.F32(12), rec.F32(16), rec.F32(20), rec.F32(24), rec.F32(28));
            map();
            break;
        case EmfRecord::ModifyWorldTransform: {
            const QTransform x(rec.F32(8), rec.F32(12), rec.F32(16), rec.F32(20), rec.F32(24), rec.F32(28));
            switch (WorldTransformMode(rec.U32(32))) {
            case WorldTransformMode::Identity: r.mState.world = QTransform(); break;
            case WorldTransformMode::LeftMultiply: r.mState.world = x * r.mState.world; break;
            case WorldTransformMode::RightMultiply: r.mState.world = r.mState.world * x; break;
            case WorldTransformMode::Set: r.mState.world = x; break;
            default: break;
            }
            map();
            break;
        }
        case EmfRecord::SelectObject: {
            const std::uint32_t index = rec.U32(8);
            if (index & kStockFlag)
                r.SelectStock(index & ~kStockFlag);
            else
                r.Select(index);
            break;
        }
        case EmfRecord::DeleteObject: r.Delete(rec.U32(8)); break;
        case EmfRecord::CreatePen:
        case EmfRecord::ExtCreatePen:
        case EmfRecord::CreateBrushIndirect:
        case EmfRecord::ExtCreateFontIndirectW: {
            const std::uint32_t index = rec.U32(8);
            if (index >= r.mObjects.size())
                break;
            if (type == EmfRecord::CreatePen) {
                r.mObjects[index] = Object::OfPen(MakePen(rec.U32(12), rec.I32(16), rec.U32(24)));
            } else if (type == EmfRecord::ExtCreatePen) {
                r.mObjects[index] = Object::OfPen(MakePen(rec.U32(28), rec.U32(32), rec.U32(40)));
            } else if (type == EmfRecord::CreateBrushIndirect) {
                r.mObjects[index] = Object::OfBrush(MakeBrush(rec.U32(12), rec.U32(16), rec.U32(20)));
            } else {
                QString face;
                for (std::size_t i = 0; i < 32 && rec.U16(40 + i * 2); ++i)
                    face += QChar(rec.U16(40 + i * 2));
                r.mObjects[index] = Object::OfFont(MakeFont(rec.I32(28), rec.n > 32 && rec.p[32],
                                                            rec.n > 33 && rec.p[33], rec.n > 34 && rec.p[34], face),
                                                   rec.I32(12), rec.I32(20));
            }
            break;
        }
        case EmfRecord::Ellipse: r.Closed(EllipseShape(box(rec, 8))); break;
        case EmfRecord::Rectangle: r.Closed(RectShape(box(rec, 8))); break;
        case EmfRecord::RoundRect: {
            QPainterPath shape;
            shape.addRoundedRect(box(rec, 8), rec.I32(24) / 2.0, rec.I32(28) / 2.0);
            r.Closed(shape);
            break;
        }
        case EmfRecord::Arc: case EmfRecord::Chord: case EmfRecord::Pie: case EmfRecord::ArcTo: {
            const ArcKind kind = type == EmfRecord::Pie     ? ArcKind::Pie
                                 : type == EmfRecord::Chord ? ArcKind::Chord
                                                            : ArcKind::Arc;
            const QPainterPath arc = ArcPath(box(rec, 8), QPointF(rec.I32(24), rec.I32(28)),
                                             QPointF(rec.I32(32), rec.I32(36)), kind);
            if (type == EmfRecord::ArcTo)
                r.ArcTo(arc);
            else if (type == EmfRecord::Arc)
                r.Open(arc);
            else
                r.Closed(arc);
            break;
        }
        case EmfRecord::BeginPath: r.BeginPath(); break;
        case EmfRecord::EndPath: r.mInPath = false; break;
        case EmfRecord::CloseFigure: if (r.mInPath) r.mPath.closeSubpath(); break;
        case EmfRecord::FillPath: case EmfRecord::StrokeAndFillPath: case EmfRecord::StrokePath:
            r.DrawPath(type != EmfRecord::StrokePath, type != EmfRecord::FillPath);
            break;
        case EmfRecord::SelectClipPath:
            r.mInPath = false;
            r.Clip(r.mPath, RegionMode(rec.U32(8)));
            r.mPath = QPainterPath();
            break;
        case EmfRecord::AbortPath: r.mInPath = false; r.mPath = QPainterPath(); break;
        case EmfRecord::ExtTextOutA: case EmfRecord::ExtTextOutW:
            text(rec, QPointF(rec.I32(36), rec.I32(40)), rec.U32(44), rec.U32(48), type == EmfRecord::ExtTextOutW,
                 rec.U32(72));
            break;
        case EmfRecord::SmallTextOut: {  // no advances, a bounding box unless left out, maybe 8-bit characters
            const std::uint32_t options = rec.U32(20);
            text(rec, QPointF(rec.I32(8), rec.I32(12)), rec.U32(16), (options & kTextNoRect) ? 36 : 52,
                 !(options & kTextSmallChars), 0);
            break;
        }
        case EmfRecord::BitBlt: case EmfRecord::StretchBlt: {  // a DIB, or a fill when there is no source
            if (rec.n < 100)
                break;
            const QRectF dest(rec.I32(24), rec.I32(28), rec.I32(32), rec.I32(36));
            if (rec.U32(88) == 0) {
                const auto rop = RasterOp(rec.U32(40));
                if (rop == RasterOp::PatCopy || rop == RasterOp::PatInvert)  // the brush
                    painter.fillRect(dest, r.mState.brush);
                else if (rop == RasterOp::Blackness)
                    painter.fillRect(dest, Qt::black);
                else if (rop == RasterOp::Whiteness)
                    painter.fillRect(dest, Qt::white);
                break;
            }
            const QSize source = type == EmfRecord::StretchBlt && rec.n >= 108 ? QSize(rec.I32(100), rec.I32(104))
                                                                               : QSize(rec.I32(32), rec.I32(36));
            r.Image(DecodeDib(rec.Sub(rec.U32(84), rec.U32(88)), rec.Sub(rec.U32(92), rec.U32(96))), dest,
                    QRect(QPoint(rec.I32(44), rec.I32(48)), source));
            break;
        }
        case EmfRecord::StretchDIBits:
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
        if (codec::PixelBytes(size.width(), size.height(), 4) > kMaxRenderBytes)
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

codec::Result<std::unique_ptr<PictureFile>> OpenMetafile(QByteArray data, bool enhanced)
{
    const auto damaged = [](const char* why) { return codec::Fail(codec::ErrorKind::Damaged, why); };
    auto picture = std::make_unique<MetafilePicture>();
    const Bytes file{reinterpret_cast<const unsigned char*>(data.constData()), std::size_t(data.size())};
    picture->mEnhanced = enhanced;
    if (enhanced) {
        if (!file.Has(0, 88) || EmfRecord(file.U32(0)) != EmfRecord::Header || file.U32(40) != kEmfSignature)
            return damaged("the enhanced-metafile header is damaged");
        const std::uint32_t headerSize = file.U32(4);
        if (headerSize < 88 || headerSize > file.n)
            return damaged("the enhanced-metafile header is damaged");
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
            return damaged("the enhanced metafile has no size");
        }
    } else {
        std::size_t start = 0;
        QRectF frame;
        double unitsPerInch = 96;
        if (file.U32(0) == kPlaceableKey) {
            if (!file.Has(0, 22 + 18))
                return damaged("the metafile header is damaged");
            frame = Box(file.I16(6), file.I16(8), file.I16(10), file.I16(12));
            unitsPerInch = file.U16(14);
            if (unitsPerInch <= 0)
                return damaged("the metafile states no units per inch");
            start = 22;
        }
        if (!file.Has(start, 18) || file.U16(start + 2) != kWmfHeaderWords)
            return damaged("the metafile header is damaged");
        picture->mObjects = file.U16(start + 10);
        picture->mRecords = start + 18;
        if (start == 0) {
            QPointF org;
            QSizeF ext;
            ScanWindow(file, picture->mRecords, &org, &ext);
            if (ext.width() == 0 || ext.height() == 0)
                return damaged("the metafile sets no window and states no size");
            frame = QRectF(org, ext);
        }
        if (frame.width() == 0 || frame.height() == 0)
            return damaged("the metafile's bounding box is empty");
        picture->mFrame = frame;
        picture->mNatural = QSize(ToPixels(std::abs(frame.width()) * 96 / unitsPerInch),
                                  ToPixels(std::abs(frame.height()) * 96 / unitsPerInch));
    }
    picture->mData = std::move(data);
    return std::unique_ptr<PictureFile>(std::move(picture));
}
