#pragma once
// The caption of the picture on screen: its file name (inside an archive,
// the archive's name and the entry) and, when the picture says, when it was
// taken. It lies over the bottom-left corner, above the picture whichever
// way it was drawn, white with a black outline so that it reads on any
// picture, drawn in device pixels.
#include <QString>
#include <QWidget>

// The caption's text for a picture of a folder of the ring; dateTaken as EXIF stores it ("YYYY:MM:DD HH:MM:SS"), or empty.
QString CaptionText(const QString& picturePath, const QString& folderPath, bool folderIsArchive,
                    const QString& dateTaken);

class CaptionLabel : public QWidget {
    Q_OBJECT
public:
    explicit CaptionLabel(QWidget* window);
    // Shows text (nothing when empty) and puts itself in the corner.
    void SetText(const QString& text);
    const QString& Text() const { return mText; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The font's height in device pixels for the window's height.
    QFont DeviceFont() const;
    void Place();

    QString mText;
    QString mShown; // mText elided to the window's width
};
