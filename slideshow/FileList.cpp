#include "slideshow/FileList.h"

#include "common/CodePage.h"
#include "common/PathText.h"
#include "platform/DirSearch.h"

#include <algorithm>

namespace {

// Wildcard match of * and ? over already case-folded texts.
bool WildcardMatch(QStringView pattern, QStringView name)
{
    qsizetype p = 0, n = 0, starP = -1, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (starP >= 0) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

} // namespace

void FileListBox::SetPattern(const QString& pattern)
{
    mPattern = pattern;
    mPatterns.clear();
    for (const QString& part : pattern.split(u';', Qt::SkipEmptyParts)) {
        const QString trimmed = part.trimmed().toCaseFolded();
        if (!trimmed.isEmpty() && !mPatterns.contains(trimmed))
            mPatterns << trimmed;
    }
    if (!mPath.isEmpty())
        SetPath(mPath);
}

bool FileListBox::Matches(const QString& name) const
{
    const QString folded = name.toCaseFolded();
    return std::any_of(mPatterns.begin(), mPatterns.end(),
                       [&](const QString& p) { return WildcardMatch(p, folded); });
}

void FileListBox::SetPath(const QString& path)
{
    mPath = path;
    mNames.clear();
    FindData data;
    // The folder's exact name: a trailing blank is part of it.
    const FindHandle handle = FindFirstFileA(ToCodePage(JoinPath(path, "*")).constData(), &data);
    if (handle > 0) {
        do {
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                continue;
            const QString name = FromCodePage(data.cFileName);
            if (Matches(name))
                mNames << name;
        } while (FindNextFileA(handle, &data));
    }
    FindClose(handle);
    std::sort(mNames.begin(), mNames.end(), [](const QString& a, const QString& b) {
        const int c = QString::compare(a, b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    });
}

QString FileListBox::List(std::int32_t i) const
{
    return i >= 0 && i < mNames.size() ? mNames.at(i) : QString();
}
