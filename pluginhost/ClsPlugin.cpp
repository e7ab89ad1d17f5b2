#include "pluginhost/ClsPlugin.h"

#include <cstring>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <optional>

#include "common/CheckedMath.h"
#include "common/CodePage.h"
#include "common/RuntimeError.h"
#include "imaging/Dib.h"
#include "pluginhost/PluginBridge.h"
#include "pluginhost/PluginHangs.h"
#include "pluginhost/PluginLog.h"

namespace {

constexpr int kInfoBufferLength = 256;
// Bounds on what a plug-in says about itself: beyond them it is not believed.
constexpr std::int32_t kMaxPairs = 256;
constexpr qsizetype kMaxTextBytes = 1024;

QString BufferText(const QByteArray& buffer)
{
    auto nul = buffer.indexOf('\0');
    if (nul < 0 || nul > kMaxTextBytes)
        nul = std::min(buffer.size(), kMaxTextBytes);
    return FromCodePage(QByteArrayView(buffer).first(nul));
}

const QString& Element(const std::vector<QString>& list, std::int32_t Index)
{
    if (list.empty())
        throw RuntimeError(ErrorKind::IndexOutOfRange, "the plug-in reported no pair");
    if (Index < 0 || static_cast<std::size_t>(Index) >= list.size())
        Index = 0;
    return list[static_cast<std::size_t>(Index)];
}

// Releases the two blocks of a picture however the drawing ends.
class PictureBlocks {
public:
    PictureBlocks(void* info, void* bits) : mInfo(info), mBits(bits) {}
    PictureBlocks(const PictureBlocks&) = delete;
    PictureBlocks& operator=(const PictureBlocks&) = delete;
    ~PictureBlocks()
    {
        PluginBridge::LocalUnlock(mInfo);
        PluginBridge::LocalUnlock(mBits);
        PluginBridge::LocalFree(mInfo);
        PluginBridge::LocalFree(mBits);
    }

private:
    void* mInfo;
    void* mBits;
};

// Asks the plug-in about one picture with the checks every such call has:
// a plug-in that hung on this picture (by its name) or too often is not
// asked again (answer: avoided()), and a hang now is recorded.
template <typename Call, typename Avoided>
std::int32_t Asked(const QString& plugin, const QString& picture, Call call, Avoided avoided)
{
    if (PluginHangs::Avoided(plugin, picture))
        return avoided();
    try {
        return call();
    } catch (const PluginBridge::Timeout&) {
        PluginHangs::Hung(plugin, picture);
        throw;
    }
}

[[noreturn]] std::int32_t NotAskedAgain(const QString& plugin)
{
    throw RuntimeError(ErrorKind::PluginFailed,
                       "plug-in " + plugin.toStdString() + " hung before and is not asked again");
}

// GetPicture's answers to a picture in memory that tell the plug-in does
// not take memory input rather than that the picture is bad: -1 (no such
// function), 2 (unknown format: it accepted the same head in IsSupported)
// and 6 (file read error: plug-ins that ignore the flag take the bytes for
// a file name). The picture is then given to it once more as a file. Other
// codes, crashes and hangs are the plug-in's answer about the picture.
bool RefusesMemory(std::int32_t code) { return code == -1 || code == 2 || code == 6; }

// A picture in memory as a file in a folder of the program's own (mode
// 0700, under the temporary folder), for plug-ins that read files only;
// the folder goes with the object. The file keeps the name's extension,
// which plug-ins may look at.
class PrivateCopy {
public:
    PrivateCopy(const QString& name, const QByteArray& bytes)
    {
        // Empty when TMPDIR names no folder: the copy would land in "/".
        const QString temporary = QDir::tempPath();
        if (temporary.isEmpty()) {
            qCWarning(lcPlugins).noquote() << "no temporary file for" << name << "- no temporary folder";
            return;
        }
        mFolder.emplace(temporary + QStringLiteral("/velmora-XXXXXX"));
        const QString suffix = QFileInfo(name.section(u'/', -1)).suffix();
        QFile file(mFolder->filePath(suffix.isEmpty() ? QStringLiteral("picture")
                                                      : QStringLiteral("picture.") + suffix));
        if (mFolder->isValid() && file.open(QIODevice::WriteOnly | QIODevice::NewOnly) &&
            file.write(bytes) == bytes.size() && file.flush())
            mPath = file.fileName();
        else
            qCWarning(lcPlugins).noquote() << "no temporary file for" << name << "-"
                                           << (mFolder->isValid() ? file.errorString() : mFolder->errorString());
    }
    // Empty when the file could not be written.
    const QString& Path() const { return mPath; }

private:
    std::optional<QTemporaryDir> mFolder;
    QString mPath;
};

} // namespace

std::int32_t ClsPlugin::Initialize(const QString& tPluginName)
{
    return InitializeAs(tPluginName, QStringLiteral("IN"));
}

std::int32_t ClsPlugin::InitializeAs(const QString& tPluginName, const QString& kind)
{
    mPluginName = tPluginName;
    std::int32_t result = 0;
    // One buffer for every query, never cleared in between.
    QByteArray buffer(kInfoBufferLength, '\0');

    // The whole load has the time of one call; waiting for wine's prefix
    // does not count. A Windows plug-in whose helper could not start while
    // wine's prefix is being made again is asked once more when it is made.
    PluginBridge::WaitUntilReady(mPluginName);
    QElapsedTimer clock;
    clock.start();
    std::int32_t r = 0;
    try {
        r = PluginBridge::GetPluginInfo(mPluginName, 0, buffer);
    } catch (const RuntimeError& e) {
        if (e.Kind() != ErrorKind::PluginFailed || PluginBridge::Ready(mPluginName))
            throw;
        qCWarning(lcPlugins).noquote() << "plug-in" << mPluginName << "is asked again once wine is ready:"
                                       << e.what();
        PluginBridge::WaitUntilReady(mPluginName);
        clock.restart();
        r = PluginBridge::GetPluginInfo(mPluginName, 0, buffer);
    }
    const int limitMs = PluginBridge::CallLimitMs();
    const auto info = [&](std::int32_t infono) {
        // A plug-in that takes longer is left out rather than kept with
        // some of its formats: which ones would depend on how busy the
        // machine was.
        if (clock.hasExpired(limitMs))
            throw RuntimeError(ErrorKind::PluginFailed,
                               "plug-in " + mPluginName.toStdString() + " took longer than " +
                                   std::to_string(limitMs) + " ms to tell what it reads");
        return PluginBridge::GetPluginInfo(mPluginName, infono, buffer);
    };

    if (r > 0) {
        mAPIVersion = BufferText(buffer);
        if (!mAPIVersion.endsWith(kind, Qt::CaseSensitive))
            return -1;
    }
    if (info(1) > 0)
        mAboutPlugin = BufferText(buffer);

    for (std::int32_t n = 0;; n = CheckedAdd(n, 1)) {
        const std::int32_t number = CheckedAdd(CheckedMul(2, n), 2);
        const std::int32_t answer = info(number);
        if (answer <= 0)
            return result;
        if (n == kMaxPairs) {
            qCWarning(lcPlugins).noquote() << "plug-in" << mPluginName << "tells more than" << kMaxPairs
                                           << "formats; the rest are ignored";
            return result;
        }
        mExtensions.push_back(BufferText(buffer));
        info(CheckedAdd(number, 1));
        mFileTypes.push_back(BufferText(buffer));
        result = answer;
    }
}

std::int32_t ClsPlugin::CheckFile(const QString& FileName) const
{
    return Asked(mPluginName, FileName, [&] { return PluginBridge::IsSupported(mPluginName, FileName); },
                 [] { return 0; });
}

std::int32_t ClsPlugin::CheckBytes(const QString& name, const QByteArray& bytes) const
{
    return Asked(mPluginName, name, [&] { return PluginBridge::IsSupported(mPluginName, name, bytes); },
                 [] { return 0; });
}

QString ClsPlugin::Extension(std::int32_t Index) const
{
    return Element(mExtensions, Index);
}

QString ClsPlugin::FileType(std::int32_t Index) const
{
    return Element(mFileTypes, Index);
}

std::int32_t ClsPlugin::SupportedNum() const
{
    if (mFileTypes.empty())
        throw RuntimeError(ErrorKind::IndexOutOfRange, "the plug-in reported no pair");
    return static_cast<std::int32_t>(mFileTypes.size()) - 1;
}

std::int32_t ClsPlugin::DrawPictureFile(const QString& PictureFileName, HDC hdc,
                                        std::int32_t Heigth, std::int32_t Width,
                                        std::int32_t top, std::int32_t left, bool Stretch,
                                        QString* why) const
{
    void* hInfo = nullptr;
    void* hBits = nullptr;
    const std::int32_t code = Asked(
        mPluginName, PictureFileName,
        [&] { return PluginBridge::GetPicture(mPluginName, PictureFileName, 0, 0, &hInfo, &hBits); },
        [&] { return NotAskedAgain(mPluginName); });
    return DrawBlocks(code, hInfo, hBits, hdc, Heigth, Width, top, left, Stretch, why);
}

std::int32_t ClsPlugin::DrawPictureBytes(const QString& name, const QByteArray& bytes, HDC hdc,
                                         std::int32_t Heigth, std::int32_t Width, std::int32_t top,
                                         std::int32_t left, bool Stretch, QString* why) const
{
    void* hInfo = nullptr;
    void* hBits = nullptr;
    const auto notAgain = [&] { return NotAskedAgain(mPluginName); };
    std::int32_t code = -1;
    if (!mFilesOnly)
        code = Asked(
            mPluginName, name, [&] { return PluginBridge::GetPicture(mPluginName, bytes, &hInfo, &hBits); },
            notAgain);
    if (mFilesOnly || RefusesMemory(code)) {
        // Whatever it handed over with its refusal is not wanted.
        { const PictureBlocks refused(hInfo, hBits); }
        hInfo = hBits = nullptr;
        // Removed as soon as the call is over, however it ends.
        const PrivateCopy copy(name, bytes);
        if (copy.Path().isEmpty()) {
            if (why)
                *why = "plug-in " + mPluginName + ": it reads files only, and no temporary file could be written";
            return 6; // file read error
        }
        code = Asked(
            mPluginName, name,
            [&] { return PluginBridge::GetPicture(mPluginName, copy.Path(), 0, 0, &hInfo, &hBits); }, notAgain);
        if (code == 0 && !mFilesOnly) {
            mFilesOnly = true;
            qCInfo(lcPlugins).noquote() << "plug-in" << mPluginName
                                        << "refuses pictures in memory; it is given temporary files";
        }
    }
    return DrawBlocks(code, hInfo, hBits, hdc, Heigth, Width, top, left, Stretch, why);
}

std::int32_t ClsPlugin::DrawBlocks(std::int32_t code, void* hInfo, void* hBits, HDC hdc, std::int32_t Heigth,
                                   std::int32_t Width, std::int32_t top, std::int32_t left, bool Stretch,
                                   QString* why) const
{
    const PictureBlocks release(hInfo, hBits);
    const auto failed = [&](std::int32_t code, const QString& text) {
        if (why)
            *why = "plug-in " + mPluginName + ": " + text;
        return code;
    };
    if (code != 0)
        return failed(code, "GetPicture returned " + QString::number(code));

    const void* info = PluginBridge::LocalLock(hInfo);
    const void* bits = PluginBridge::LocalLock(hBits);
    if (!info || !bits)
        return failed(5, QStringLiteral("its picture's memory cannot be locked")); // memory error
    // A plug-in's blocks are checked before anything of them is read.
    const codec::Result<void> fits =
        CheckDibBlocks(info, PluginBridge::LocalSize(hInfo), bits, PluginBridge::LocalSize(hBits));
    if (!fits) // broken data
        return failed(3, "its picture is not a valid bitmap: " + QString::fromStdString(fits.error().message));

    BITMAPINFOHEADER header;
    std::memcpy(&header, info, sizeof header);
    const std::int32_t W = header.biWidth;
    const std::int32_t H = header.biHeight;

    std::int32_t dW = W;
    std::int32_t dH = H;
    if (Stretch) {
        if (H >= W) {
            dH = CheckedSub(Heigth, 10);
            dW = CheckedDiv(CheckedMul(W, CheckedSub(Heigth, 10)), H);
        } else {
            dW = CheckedSub(Width, 8);
            dH = CheckedDiv(CheckedMul(H, CheckedSub(Width, 8)), W);
        }
    } else {
        // Pictures are only ever reduced.
        if (H >= Heigth) {
            dH = CheckedSub(Heigth, 10);
            dW = CheckedDiv(CheckedMul(W, CheckedSub(Heigth, 10)), H);
        }
        if (dW >= Width) {
            dH = CheckedDiv(CheckedMul(CheckedSub(Width, 8), dH), dW);
            dW = CheckedSub(Width, 8);
        }
    }
    const std::int32_t x = CheckedAdd(left, CheckedDiv(CheckedSub(Width, dW), 2));
    const std::int32_t y = CheckedAdd(top, CheckedDiv(CheckedSub(Heigth, dH), 2));

    const int saved = GetStretchBltMode(hdc);
    SetStretchBltMode(hdc, COLORONCOLOR);
    const int lines = StretchDIBits(hdc, x, y, dW, dH, 0, 0, W, H, bits,
                                    static_cast<const BITMAPINFO*>(info), DIB_RGB_COLORS, SRCCOPY);
    SetStretchBltMode(hdc, saved);
    return lines == 0 ? failed(-3, QStringLiteral("its picture could not be drawn")) : 0;
}
