#pragma once
// The full-screen slide-show window. The main window creates a new one for
// every show, hands it the start folder with SetTag and shows it; the show
// ends when the window closes (it deletes itself then).
#include <cstdint>

#include <QString>
#include <QWidget>

class SlideShow : public QWidget {
    Q_OBJECT
public:
    // The load step: the timer interval from intervalText (the main window's
    // interval text; empty gives 4000 ms), the plug-ins of the program's
    // Plugin folder, the file pattern. Raises RuntimeError for an interval
    // text that is not a number.
    explicit SlideShow(const QString& intervalText, QWidget* parent = nullptr);
    ~SlideShow() override;

    // The start folder, ending in "/"; read when the window becomes active.
    void SetTag(const QString& tag);
    QString Tag() const;

    void SearchDirs(const QString& DirPath);
    QString FindDir(std::int32_t Index) const;
    std::int32_t ListCount() const;
    // Whether pictures are stretched: the "Stretch" key of the settings file,
    // read afresh at every call.
    bool Stretch() const;
};
