#pragma once
// Windows metafiles (placeable and plain) and enhanced metafiles, drawn on
// QPainter record by record.
#include <memory>

#include <QByteArray>

#include "codecs/CodecResult.h"

class PictureFile;

// Reads a metafile's header and natural size (96 dots per inch); Damaged when
// the header is unusable. Records that are damaged stop the drawing at that
// point; unknown records are skipped.
codec::Result<std::unique_ptr<PictureFile>> OpenMetafile(QByteArray data, bool enhanced);
