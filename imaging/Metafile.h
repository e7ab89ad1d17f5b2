#pragma once
// Windows metafiles (placeable and plain) and enhanced metafiles, drawn on
// QPainter record by record.
#include <memory>

#include <QByteArray>
#include <QString>

class PictureFile;

// Reads a metafile's header and natural size (96 dots per inch); raises
// RuntimeError when the header is unusable. Records that are damaged stop the
// drawing at that point; unknown records are skipped.
std::unique_ptr<PictureFile> OpenMetafile(const QString& path, QByteArray data, bool enhanced);
