#pragma once
// The slide-show window's two picture displays: Image1, a light display
// drawn on the window's own surface for pictures of the built-in loader, and
// Picture1, a child window with a persistent image that plug-ins draw into
// through its device context.
#include <functional>
#include <memory>

#include <QImage>
#include <QPointF>
#include <QRect>
#include <QWidget>

#include "imaging/DeviceContext.h"
#include "imaging/PictureFile.h"

class QPainter;

// The show works in the screen's device pixels, whatever the desktop's scale
// factor: a widget's size in them, and the ratio to its logical pixels.
double DeviceRatio(const QWidget& widget);
QSize DeviceSize(const QWidget& widget);

// Image1. Position and size are single-precision window pixels. With scaling
// off, assigning a picture gives the display the picture's natural size; with
// scaling on, the display keeps its size and the picture is drawn at it.
class ImageDisplay {
public:
    void SetPicture(std::shared_ptr<const PictureFile> picture);
    bool HasPicture() const { return mPicture != nullptr; }
    // When the picture was taken, when it says (see PictureFile::DateTaken).
    QString DateTaken() const { return mPicture ? mPicture->DateTaken() : QString(); }

    bool Stretch() const { return mStretch; }
    // Turning scaling off takes the picture's natural size again.
    void SetStretch(bool stretch);

    float Left = 0;
    float Top = 0;
    float Width = 0;
    float Height = 0;
    bool Visible = false;

    // The whole pixels the display covers: the edges rounded to the nearest
    // pixel, at least one pixel each way.
    QRect PixelRect() const;
    // Decodes the picture at the size it is shown; raises RuntimeError when
    // decoding fails. Must run before Paint after every change of size.
    void Prepare();
    void Paint(QPainter& painter) const;
    // Whether a window position lies on the display while it is visible.
    bool Contains(QPointF windowPos) const;

    // The picture as last prepared (null before).
    const QImage& Rendered() const { return mRendered; }
    const std::shared_ptr<const PictureFile>& Picture() const { return mPicture; }
    // Puts a frame of the animated picture in place of the one shown; false
    // when it is not of the shown size (the display changed meanwhile).
    bool ShowFrame(const QImage& frame);

private:
    // Shared so that a prepared copy of the display can be kept for a later step.
    std::shared_ptr<const PictureFile> mPicture;
    bool mStretch = false;
    QImage mRendered;
};

// Fits the display's picture to a window of the given inner size: with
// stretch, the longer side fills the window less its margin; without it, only
// pictures at least as large as the window shrink. Then centres it. Raises
// RuntimeError (Overflow, DivisionByZero) when a size that serves as divisor
// does not fit a 16-bit integer or is zero.
void FitPicture(ImageDisplay& image, float scaleWidth, float scaleHeight, bool stretch);

// Picture1. Its image, in device pixels, keeps what is drawn until Cls clears
// it to black; its device context stays valid while the image's size stays
// the same. Mouse positions are given in device pixels.
class PictureBox : public QWidget {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent);
    ~PictureBox() override;

    HDC hDC() const { return mDC; }
    // Removes the picture: the image becomes black, of the box's size in
    // device pixels.
    void Cls();
    // Gives the image's memory back while the box shows nothing (it is
    // hidden behind a picture of the built-in loader).
    void Release();
    // Puts a drawing of the image's size in place of the image.
    void Put(const QImage& drawn);
    const QImage& Image() const { return mImage; }

    std::function<void(int key)> onKeyDown;
    std::function<void(Qt::MouseButton button, QPointF pos)> onMouseDown;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void Fit();

    QImage mImage;
    HDC mDC = 0;
};
