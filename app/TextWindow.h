#pragma once
// A text file shown read-only in a window of its own (the help, where the
// desktop has no program to open it), in a font with Japanese glyphs. It
// deletes itself when closed.
#include <QWidget>

class QPlainTextEdit;

class TextWindow : public QWidget {
    Q_OBJECT
public:
    TextWindow(const QString& path, QWidget* owner);
    QPlainTextEdit* Text = nullptr;
};
