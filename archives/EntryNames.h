#pragma once
// Names inside archives, from the bytes an archive stores to the inner paths
// the show lists. Archives made on Japanese Windows (ZIP, LZH, old RAR) store
// names in code page 932 without saying so; the rest store UTF-8 or a
// Unicode form libarchive hands on as UTF-8.
#include <QByteArray>
#include <QString>

#include <vector>

bool IsValidUtf8(const QByteArray& bytes);

// One name as an archive stores it, read twice when the archive's names are
// not all UTF-8: as stored (asStored), and with libarchive told the archive
// is code page 932 (asCp932), which converts only names that are not flagged
// as UTF-8. A name the second reading leaves alone is UTF-8 (a ZIP's flagged
// name); the others are code page 932. A name that is neither keeps its
// bytes the way common/CodePage does, so it is still listed.
struct StoredName {
    const QByteArray* asStored = nullptr;
    const QByteArray* asCp932 = nullptr;
};
QString DecodeEntryName(StoredName name);

// "/" between parts ("\" too, once decoded: DOS and Windows archivers write
// it), no leading "/", no empty or "." parts. Nothing else changes: ".."
// stays a name, since nothing is ever written where a name says.
QString InnerPath(const QString& decoded);
