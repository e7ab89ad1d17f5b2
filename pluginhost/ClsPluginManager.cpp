#include "pluginhost/ClsPluginManager.h"

#include "common/CheckedMath.h"
#include "common/PathText.h"
#include "common/RuntimeError.h"
#include "pluginhost/PluginFolder.h"
#include "pluginhost/PluginHangs.h"
#include "pluginhost/PluginLog.h"

std::int32_t ClsPluginManager::Initialize(const QString& PluginDir)
{
    LoadPlugins(PluginDir);
    return 0;
}

void ClsPluginManager::LoadPlugins(const QString& PluginDir)
{
    PluginFolder::Scan(PluginDir, mFileNames, [this](const QString& path) {
        auto plugin = std::make_unique<ClsPlugin>();
        // The user sees only that its pictures are not shown.
        try {
            if (PluginHangs::LeftOut(path)) {
                PluginFolder::LeftOut(path, QStringLiteral("it hung too often"));
            } else if (const std::int32_t r = plugin->Initialize(path); r >= 1) {
                mPlugins.push_back(std::move(plugin));
            } else {
                PluginFolder::LeftOut(path, r < 0 ? "it is not an import filter (its version is \"" +
                                                        plugin->APIVersion() + "\")"
                                                  : QStringLiteral("it names no picture format"));
            }
        } catch (const std::exception& e) {
            PluginFolder::LeftOut(path, QString::fromUtf8(e.what()));
        }
    });
}

const ClsPlugin* ClsPluginManager::At(std::int32_t Index) const
{
    if (Index < 0 || Index > PluginCount())
        return nullptr;
    return mPlugins[static_cast<std::size_t>(Index)].get();
}

std::int32_t ClsPluginManager::PluginCount() const
{
    return std::int32_t(mPlugins.size()) - 1;
}

QString ClsPluginManager::PluginName(std::int32_t Index) const
{
    const ClsPlugin* plugin = At(Index);
    return plugin ? TrimAtNull(plugin->PluginName()) : QString();
}

QString ClsPluginManager::APIVersion(std::int32_t Index) const
{
    const ClsPlugin* plugin = At(Index);
    return plugin ? plugin->APIVersion() : QString();
}

QString ClsPluginManager::AboutPlugin(std::int32_t Index) const
{
    const ClsPlugin* plugin = At(Index);
    return plugin ? plugin->AboutPlugin() : QString();
}

QString ClsPluginManager::SupportExtension() const
{
    QString result;
    for (std::int32_t j = 0; j <= PluginCount(); ++j) {
        const ClsPlugin& plugin = *mPlugins[static_cast<std::size_t>(j)];
        for (std::int32_t i = 0; i <= plugin.SupportedNum(); ++i)
            result += plugin.Extension(i) + u';';
    }
    return result;
}

template <typename CheckFn> QString ClsPluginManager::Check(const QString& name, CheckFn check) const
{
    for (std::int32_t j = 0; j <= PluginCount(); ++j) {
        const ClsPlugin& plugin = *mPlugins[static_cast<std::size_t>(j)];
        std::int32_t r = 0;
        try {
            r = check(plugin);
        } catch (const RuntimeError& e) {
            // One plug-in that crashed or hung costs only its own answer.
            if (e.Kind() != ErrorKind::PluginFailed)
                throw;
            qCWarning(lcPlugins).noquote() << "plug-in" << plugin.PluginName() << "failed on" << name
                                           << "and counts as not reading it:" << e.what();
        }
        // An answer of INT_MIN has no index before it: an overflow.
        if (r != 0)
            return plugin.FileType(CheckedSub(r, 1));
    }
    return QString();
}

QString ClsPluginManager::CheckFile(const QString& FileName) const
{
    return Check(FileName, [&](const ClsPlugin& plugin) { return plugin.CheckFile(FileName); });
}

QString ClsPluginManager::CheckBytes(const QString& name, const QByteArray& bytes) const
{
    return Check(name, [&](const ClsPlugin& plugin) { return plugin.CheckBytes(name, bytes); });
}

template <typename DrawFn> std::int32_t ClsPluginManager::Draw(const QString& kind, QString* why, DrawFn draw) const
{
    // The drawing plug-in is chosen by its description, first in list order.
    for (std::int32_t j = 0; j <= PluginCount(); ++j) {
        const ClsPlugin& plugin = *mPlugins[static_cast<std::size_t>(j)];
        for (std::int32_t i = 0; i <= plugin.SupportedNum(); ++i) {
            if (plugin.FileType(i) == kind)
                return draw(plugin);
        }
    }
    if (why)
        *why = kind.isEmpty() ? QStringLiteral("no plug-in reads it")
                              : "no plug-in draws \"" + kind + "\"";
    return 2; // unknown format: no plug-in knows the description
}

std::int32_t ClsPluginManager::DrawPictureFile(const QString& PictureFileName, HDC hdc,
                                               std::int32_t Heigth, std::int32_t Width,
                                               std::int32_t top, std::int32_t left,
                                               const QString& PictureKind, QString* why)
{
    const QString kind = PictureKind.isEmpty() ? CheckFile(PictureFileName) : PictureKind;
    return Draw(kind, why, [&](const ClsPlugin& plugin) {
        return plugin.DrawPictureFile(PictureFileName, hdc, Heigth, Width, top, left, mStretch, why);
    });
}

std::int32_t ClsPluginManager::DrawPictureBytes(const QString& name, const QByteArray& bytes, HDC hdc,
                                                std::int32_t Heigth, std::int32_t Width, std::int32_t top,
                                                std::int32_t left, const QString& PictureKind, QString* why)
{
    const QString kind = PictureKind.isEmpty() ? CheckBytes(name, bytes) : PictureKind;
    return Draw(kind, why, [&](const ClsPlugin& plugin) {
        return plugin.DrawPictureBytes(name, bytes, hdc, Heigth, Width, top, left, mStretch, why);
    });
}

bool ClsPluginManager::Stretch() const
{
    return mStretch;
}

void ClsPluginManager::SetStretch(bool tStretch)
{
    mStretch = tStretch;
}
