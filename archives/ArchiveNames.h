#pragma once
// Which file names are archives: the built-in patterns (*.zip, *.7z, *.rar,
// the tar family, *.lzh, *.iso and their comic-book names) and any an
// archive plug-in adds, matched case-insensitively as file patterns are.
#include <QString>
#include <QStringList>

#include <string>
#include <vector>

class ArchiveNames {
public:
    ArchiveNames(); // the built-in patterns
    // Only these patterns ("*.a;*.b").
    static ArchiveNames Only(const QString& patterns);

    static const QStringList& BuiltInPatterns();

    // Adds patterns such as "*.lzx", or several in one "*.a;*.b" list.
    void Add(const QString& patterns);
    // Whether fileName (a name, not a path) matches one of the patterns.
    bool Matches(const QString& fileName) const;

private:
    struct Empty {};
    explicit ArchiveNames(Empty) {}
    std::vector<std::u32string> mFolded;
};
