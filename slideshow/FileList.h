#pragma once
// A file list that is never shown: point it at a folder and it lists the
// names of the files there that match its pattern, sorted by name without
// regard to case (as the directory search gives them).
#include <cstdint>
#include <string>
#include <vector>

#include <QString>
#include <QStringList>

class FileListBox {
public:
    // Patterns separated by ";" ("*.jpg;*.png"), matched case-insensitively.
    void SetPattern(const QString& pattern);
    QString Pattern() const { return mPattern; }

    // Lists the folder anew. A folder that cannot be read lists nothing.
    void SetPath(const QString& path);
    // The names the folder at path would list, leaving this list as it is;
    // any thread may call it while the pattern stays.
    QStringList ListFolder(const QString& path) const;
    QString Path() const { return mPath; }

    std::int32_t ListCount() const { return std::int32_t(mNames.size()); }
    // The name at index i, or "" where there is none.
    QString List(std::int32_t i) const;
    const QStringList& Names() const { return mNames; }
    // Whether the pattern takes a file name.
    bool Matches(const QString& name) const;

private:

    QString mPath;
    QString mPattern;
    std::vector<std::u32string> mPatterns; // folded, empty ones dropped
    QStringList mNames;
};
