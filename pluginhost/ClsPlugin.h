#pragma once
// One Susie import-filter plug-in file, reached through the plug-in bridge.
// An object is used by one thread at a time; several may stand for the same
// file on different threads. Shared between them: only the bridge
// (PluginBridge.h) and the record of plug-ins that hung (PluginHangs.h),
// each guarded by its own lock.
#include <cstdint>
#include <vector>

#include <QByteArray>
#include <QString>

#include "imaging/DeviceContext.h"

class ClsPlugin {
public:
    // Binds to the plug-in file and reads its version, about text and pairs.
    // -1: not an import filter ("IN" version); 0: no pair; else >= 1.
    // At most 256 pairs are kept, every text is cut at 1,024 bytes, and a
    // plug-in whose answers together take longer than one call may raises
    // PluginFailed.
    std::int32_t Initialize(const QString& tPluginName);
    // The same for another kind of plug-in: kind ends its version ("AM"
    // for archive extractors).
    std::int32_t InitializeAs(const QString& tPluginName, const QString& kind);
    // The IsSupported answer, unchanged (0: the plug-in cannot read the file).
    // 0 without asking when the plug-in hung on this file or too often
    // before; raises PluginBridge::Timeout when it hangs now.
    std::int32_t CheckFile(const QString& FileName) const;
    // 0 drawn; the decoder's code; -3 nothing drawn; 3 refused blocks.
    // Raises PluginFailed without asking when the plug-in hung on this file
    // or too often before. When nothing was drawn, *why (if given) says why.
    std::int32_t DrawPictureFile(const QString& PictureFileName, HDC hdc, std::int32_t Heigth,
                                 std::int32_t Width, std::int32_t top, std::int32_t left,
                                 bool Stretch, QString* why = nullptr) const;

    // The same two for a picture in memory (from an archive, say): name
    // stands for it in messages and in the record of hangs. IsSupported
    // gets its first 2 KiB, GetPicture the bytes with flag 1. A plug-in
    // that refuses memory input (see RefusesMemory in the .cpp) is given
    // the picture as a file in a private folder, removed when the call
    // returns, fails or hangs; once that worked, it gets files straight
    // away from then on.
    std::int32_t CheckBytes(const QString& name, const QByteArray& bytes) const;
    std::int32_t DrawPictureBytes(const QString& name, const QByteArray& bytes, HDC hdc,
                                  std::int32_t Heigth, std::int32_t Width, std::int32_t top,
                                  std::int32_t left, bool Stretch, QString* why = nullptr) const;

    QString PluginName() const { return mPluginName; }
    QString APIVersion() const { return mAPIVersion; }
    QString AboutPlugin() const { return mAboutPlugin; }
    // Out-of-range indices give element 0; an empty list raises IndexOutOfRange.
    QString Extension(std::int32_t Index) const;
    QString FileType(std::int32_t Index) const;
    // The last pair index (pairs minus one); raises IndexOutOfRange when none.
    std::int32_t SupportedNum() const;

private:
    // Draws the blocks GetPicture answered with code, and releases them.
    std::int32_t DrawBlocks(std::int32_t code, void* hInfo, void* hBits, HDC hdc, std::int32_t Heigth,
                            std::int32_t Width, std::int32_t top, std::int32_t left, bool Stretch,
                            QString* why) const;

    QString mPluginName;
    QString mAPIVersion;
    QString mAboutPlugin;
    std::vector<QString> mExtensions;
    std::vector<QString> mFileTypes;
    // It refused a picture in memory and read it as a file.
    mutable bool mFilesOnly = false;
};
