#include "slideshow/ShowCaption.h"

#include <algorithm>

#include <QFileInfo>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>

#include "slideshow/PictureDisplay.h"

QString CaptionText(const QString& picturePath, const QString& folderPath, bool folderIsArchive,
                    const QString& dateTaken)
{
    QString text = QFileInfo(picturePath).fileName();
    QString archive = folderPath;
    if (archive.endsWith(u'/'))
        archive.chop(1);
    if (folderIsArchive && picturePath.startsWith(archive + u'/'))
        text = QFileInfo(archive).fileName() + QStringLiteral(" › ") + picturePath.mid(archive.size() + 1);
    static const QRegularExpression exif(QStringLiteral("^(\\d{4}):(\\d{2}):(\\d{2}) (\\d{2}):(\\d{2})"));
    // Cameras without a clock write blanks or zeros.
    if (const QRegularExpressionMatch date = exif.match(dateTaken);
        date.hasMatch() && date.captured(1) != QStringLiteral("0000"))
        text += QStringLiteral("   %1/%2/%3 %4:%5")
                    .arg(date.captured(1), date.captured(2), date.captured(3), date.captured(4), date.captured(5));
    return text;
}

CaptionLabel::CaptionLabel(QWidget* window) : QWidget(window)
{
    // Clicks and the pointer's motion belong to the show beneath.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    hide();
}

QFont CaptionLabel::DeviceFont() const
{
    QFont font = parentWidget()->font();
    font.setPixelSize(std::max(12, DeviceSize(*parentWidget()).height() / 45));
    return font;
}

void CaptionLabel::SetText(const QString& text)
{
    mText = text;
    if (text.isEmpty()) {
        hide();
        return;
    }
    Place();
    raise();
    show();
    update();
}

void CaptionLabel::Place()
{
    const QWidget& window = *parentWidget();
    const double ratio = DeviceRatio(window);
    const QSize device = DeviceSize(window);
    const QFont font = DeviceFont();
    const QFontMetricsF metrics(font);
    const double margin = font.pixelSize() * 0.6;
    mShown = metrics.elidedText(mText, Qt::ElideMiddle, device.width() - 3 * margin);
    // The outline reaches a little past the glyphs.
    const QSizeF size(metrics.horizontalAdvance(mShown) + margin, metrics.height() + margin);
    const QRectF rect(margin / 2, device.height() - size.height() - margin / 2, size.width(), size.height());
    setGeometry(QRectF(rect.topLeft() / ratio, rect.size() / ratio).toAlignedRect());
}

void CaptionLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const double ratio = DeviceRatio(*parentWidget());
    painter.scale(1 / ratio, 1 / ratio);
    painter.setRenderHint(QPainter::Antialiasing);
    const QFont font = DeviceFont();
    const QFontMetricsF metrics(font);
    const double margin = font.pixelSize() * 0.6;
    QPainterPath path;
    path.addText(QPointF(margin / 2, margin / 2 + metrics.ascent()), font, mShown);
    painter.strokePath(path, QPen(Qt::black, std::max(2.0, font.pixelSize() / 6.0), Qt::SolidLine, Qt::RoundCap,
                                  Qt::RoundJoin));
    painter.fillPath(path, Qt::white);
}
