#pragma once
#include <QString>

// The path with trailing spaces removed, ending in exactly one added "/"
// unless the trimmed text already ends in one. An empty text becomes "/".
QString AddPathSeparator(const QString& path);

// The text before its first NUL character, or the whole text.
QString TrimAtNull(const QString& text);

// The part of a path after its last "/" ("" when it ends in "/" or has none).
QString FileNameOfPath(const QString& path);

// A name in a folder: the folder's exact name, "/" unless it ends in one,
// then the name. Unlike AddPathSeparator it keeps trailing blanks, which are
// part of a Linux file name; paths of walked folders and their files are
// built by this rule.
QString JoinPath(const QString& folder, const QString& name);
