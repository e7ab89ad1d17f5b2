#pragma once
#include <QString>

// The path with trailing spaces removed, ending in exactly one added "/"
// unless the trimmed text already ends in one. An empty text becomes "/".
QString AddPathSeparator(const QString& path);

// The text before its first NUL character, or the whole text.
QString TrimAtNull(const QString& text);

// The part of a path after its last "/" ("" when it ends in "/" or has none).
QString FileNameOfPath(const QString& path);
