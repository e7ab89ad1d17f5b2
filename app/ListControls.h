#pragma once
// The main window's drive list and folder list.
#include <QComboBox>
#include <QHash>
#include <QListWidget>
#include <QString>

// A drop-down list of the drives; Change() whenever the selection changes.
class DriveListBox : public QComboBox {
    Q_OBJECT
public:
    explicit DriveListBox(QWidget* parent = nullptr);
    QString Drive() const;
    // Selects the drive of path (the drive list is read anew first).
    void SetDrive(const QString& path);
signals:
    void Change();
};

// The folders on the path down to the opened folder, then the opened
// folder's subfolders. A double click opens an entry; a single click or the
// arrow keys only move the highlight. KeyPress() is raised for keys that
// give a character (Enter, Backspace, Esc, letters, digits), before the list
// handles them. An entry whose name the list cuts shows it whole in a
// tooltip.
class DirListBox : public QListWidget {
    Q_OBJECT
public:
    explicit DirListBox(QWidget* parent = nullptr);
    // The opened folder.
    QString Path() const { return mPath; }
    // Opens folder; false (and nothing changes) when it is not a folder that
    // can be read.
    bool SetPath(const QString& folder);
    // Opens the drive's current folder: the one last opened on it, else its
    // mount point.
    bool OpenDrive(const QString& drive);
    // The full path of the highlighted entry.
    QString HighlightedPath() const;
    QString EntryPath(int row) const;
signals:
    void KeyPress();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    QString mPath;
    QHash<QString, QString> mCurrentFolders; // drive -> its current folder
};
