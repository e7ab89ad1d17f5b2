#include "archives/ArchiveNames.h"

#include "common/NameMatch.h"

const QStringList& ArchiveNames::BuiltInPatterns()
{
    static const QStringList patterns = {
        "*.zip", "*.cbz", "*.7z", "*.cb7", "*.rar", "*.cbr", "*.tar", "*.tgz", "*.tar.gz",
        "*.tbz2", "*.tar.bz2", "*.txz", "*.tar.xz", "*.tzst", "*.tar.zst", "*.lzh", "*.lha", "*.iso"};
    return patterns;
}

ArchiveNames::ArchiveNames()
{
    Add(BuiltInPatterns().join(u';'));
}

ArchiveNames ArchiveNames::Only(const QString& patterns)
{
    ArchiveNames names{Empty{}};
    names.Add(patterns);
    return names;
}

void ArchiveNames::Add(const QString& patterns)
{
    for (const QString& pattern : patterns.split(u';', Qt::SkipEmptyParts)) {
        const QString trimmed = pattern.trimmed();
        if (!trimmed.isEmpty())
            mFolded.push_back(FoldName(QStringView(trimmed)));
    }
}

bool ArchiveNames::Matches(const QString& fileName) const
{
    const std::u32string name = FoldName(QStringView(fileName));
    for (const std::u32string& pattern : mFolded)
        if (WildcardMatch(pattern, name))
            return true;
    return false;
}
