#include "slideshow/FileList.h"

#include "common/CodePage.h"
#include "common/NameMatch.h"
#include "common/PathText.h"
#include "platform/DirSearch.h"

#include <algorithm>

void FileListBox::SetPattern(const QString& pattern)
{
    mPattern = pattern;
    mPatterns.clear();
    for (const QString& part : pattern.split(u';', Qt::SkipEmptyParts)) {
        const std::u32string folded = FoldName(part.trimmed());
        if (!folded.empty() && std::find(mPatterns.begin(), mPatterns.end(), folded) == mPatterns.end())
            mPatterns.push_back(folded);
    }
    if (!mPath.isEmpty())
        SetPath(mPath);
}

bool FileListBox::Matches(const QString& name) const
{
    thread_local std::u32string folded;
    FoldName(name, folded);
    return std::any_of(mPatterns.begin(), mPatterns.end(),
                       [&](const std::u32string& p) { return WildcardMatch(p, folded); });
}

void FileListBox::SetPath(const QString& path)
{
    mPath = path;
    mNames = ListFolder(path);
}

QStringList FileListBox::ListFolder(const QString& path) const
{
    QStringList names;
    FindData data;
    // The folder's exact name: a trailing blank is part of it.
    const FindHandle handle = FindFirstFileA(ToCodePage(JoinPath(path, "*")).constData(), &data);
    if (handle > 0) {
        do {
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                continue;
            const QString name = FromCodePage(data.cFileName);
            if (Matches(name))
                names << name;
        } while (FindNextFileA(handle, &data));
    }
    // The search gives them in name order already: without regard to case
    // (upper-cased), ties by the exact name.
    FindClose(handle);
    return names;
}

QString FileListBox::List(std::int32_t i) const
{
    return i >= 0 && i < mNames.size() ? mNames.at(i) : QString();
}
