#include "slideshow/PictureDisplay.h"

#include <algorithm>
#include <cmath>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include "common/CheckedMath.h"
#include "common/RuntimeError.h"

namespace {

constexpr float kMarginWidth = 26;
constexpr float kMarginHeight = 33;

// The divisor of a fit: the size rounded to a 16-bit integer, never zero.
float Divisor(float size)
{
    const std::int16_t rounded = RoundToInt16(size);
    if (rounded == 0)
        throw RuntimeError(ErrorKind::DivisionByZero, "picture size of zero");
    return float(rounded);
}

// Stretches the picture so that one side (fitted) is the screen's extent less
// its margin, and scales the other side by the same ratio.
void FitSide(ImageDisplay& image, float ImageDisplay::*fitted, float ImageDisplay::*other, float extent,
             float margin)
{
    const float before = Divisor(image.*fitted);
    image.SetStretch(true);
    image.*fitted = extent - margin;
    const float after = image.*fitted;
    const float product = image.*other * after;
    image.*other = product / before;
}

void FitHeight(ImageDisplay& image, float scaleHeight)
{
    FitSide(image, &ImageDisplay::Height, &ImageDisplay::Width, scaleHeight, kMarginHeight);
}

void FitWidth(ImageDisplay& image, float scaleWidth)
{
    FitSide(image, &ImageDisplay::Width, &ImageDisplay::Height, scaleWidth, kMarginWidth);
}

} // namespace

double DeviceRatio(const QWidget& widget) { return widget.devicePixelRatioF(); }

QSize DeviceSize(const QWidget& widget)
{
    const double ratio = DeviceRatio(widget);
    return QSize(int(std::lround(widget.width() * ratio)), int(std::lround(widget.height() * ratio)));
}

void ImageDisplay::SetPicture(std::shared_ptr<const PictureFile> picture)
{
    mPicture = std::move(picture);
    mRendered = QImage();
    if (mPicture && !mStretch) {
        const QSize natural = mPicture->NaturalSize();
        Width = float(natural.width());
        Height = float(natural.height());
    }
}

void ImageDisplay::SetStretch(bool stretch)
{
    mStretch = stretch;
    if (!stretch && mPicture) {
        const QSize natural = mPicture->NaturalSize();
        Width = float(natural.width());
        Height = float(natural.height());
    }
}

QRect ImageDisplay::PixelRect() const
{
    const long x0 = std::lround(double(Left));
    const long y0 = std::lround(double(Top));
    const long x1 = std::lround(double(Left) + double(Width));
    const long y1 = std::lround(double(Top) + double(Height));
    return QRect(int(x0), int(y0), int(std::max(1L, x1 - x0)), int(std::max(1L, y1 - y0)));
}

void ImageDisplay::Prepare()
{
    if (!mPicture)
        throw RuntimeError(ErrorKind::PluginFailed, "no picture to show");
    const QSize size = PixelRect().size();
    if (!mRendered.isNull() && mRendered.size() == size)
        return;
    mRendered = QImage();
    QImage rendered = mPicture->Render(size);
    if (rendered.isNull())
        throw RuntimeError(ErrorKind::PluginFailed, "picture could not be decoded");
    mRendered = std::move(rendered);
}

bool ImageDisplay::ShowFrame(const QImage& frame)
{
    if (!mPicture || frame.isNull() || frame.size() != mRendered.size())
        return false;
    mRendered = frame;
    return true;
}

void ImageDisplay::Paint(QPainter& painter) const
{
    if (!Visible || mRendered.isNull())
        return;
    const QRect target = PixelRect();
    if (mRendered.size() == target.size()) {
        painter.drawImage(target.topLeft(), mRendered);
    } else {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, mRendered);
    }
}

bool ImageDisplay::Contains(QPointF windowPos) const
{
    if (!Visible || !mPicture)
        return false;
    const float x = float(windowPos.x()), y = float(windowPos.y());
    return x >= Left && x < Left + Width && y >= Top && y < Top + Height;
}

void FitPicture(ImageDisplay& image, float scaleWidth, float scaleHeight, bool stretch)
{
    if (stretch) {
        if (image.Height >= image.Width)
            FitHeight(image, scaleHeight);
        else
            FitWidth(image, scaleWidth);
    } else {
        // The comparisons use the whole window; the margins only the new size.
        if (image.Width >= scaleWidth)
            FitWidth(image, scaleWidth);
        if (image.Height >= scaleHeight)
            FitHeight(image, scaleHeight);
    }
    image.Top = (scaleHeight - image.Height) / 2;
    image.Left = (scaleWidth - image.Width) / 2;
}

PictureBox::PictureBox(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::ClickFocus);
    mImage = QImage(1, 1, QImage::Format_RGB32);
    mImage.fill(Qt::black);
    mDC = CreateImageDC(&mImage);
}

PictureBox::~PictureBox()
{
    DeleteDC(mDC);
}

void PictureBox::Cls()
{
    Fit();
    mImage.fill(Qt::black);
}

void PictureBox::Fit()
{
    const QSize size = DeviceSize(*this).expandedTo(QSize(1, 1));
    if (size == mImage.size())
        return;
    // The context points at the image object; a new image gets a new context.
    DeleteDC(mDC);
    mDC = 0;
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::black);
    mImage = std::move(image);
    mDC = CreateImageDC(&mImage);
}

void PictureBox::Release()
{
    if (mImage.size() == QSize(1, 1))
        return;
    DeleteDC(mDC);
    mImage = QImage(1, 1, QImage::Format_RGB32);
    mImage.fill(Qt::black);
    mDC = CreateImageDC(&mImage);
}

void PictureBox::Put(const QImage& drawn)
{
    // Painted over, not assigned: the device context points at this image.
    QPainter painter(&mImage);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(0, 0, drawn);
}

void PictureBox::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    // One image pixel on one device pixel.
    painter.scale(1 / DeviceRatio(*this), 1 / DeviceRatio(*this));
    painter.drawImage(0, 0, mImage);
}

void PictureBox::resizeEvent(QResizeEvent*)
{
    // A picture on it is drawn anew at the new size by the next step; until
    // then it is black.
    if (mImage.size() != QSize(1, 1))
        Fit();
}

void PictureBox::keyPressEvent(QKeyEvent* event)
{
    if (onKeyDown)
        onKeyDown(event->key());
    event->accept();
}

void PictureBox::mousePressEvent(QMouseEvent* event)
{
    if (onMouseDown)
        onMouseDown(event->button(), event->position() * DeviceRatio(*this));
    event->accept();
}
