#include "pluginhost/ClsArchivePluginManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "common/PathText.h"
#include "common/RuntimeError.h"
#include "pluginhost/PluginFolder.h"
#include "pluginhost/PluginHangs.h"
#include "pluginhost/PluginLog.h"

namespace {

// An archive inside another as a file of its own for a plug-in, in a folder
// of the program's (mode 0700, under the temporary folder) that goes when
// the last listing that reads it goes. Empty when it cannot be written.
std::shared_ptr<const QTemporaryDir> PrivateCopy(const QString& name, const QByteArray& bytes, QString& file)
{
    const QString temporary = QDir::tempPath();
    if (temporary.isEmpty())
        return {};
    auto folder = std::make_shared<QTemporaryDir>(temporary + QStringLiteral("/velmora-XXXXXX"));
    const QString suffix = QFileInfo(name.section(u'/', -1)).suffix();
    QFile copy(folder->filePath(suffix.isEmpty() ? QStringLiteral("archive") : QStringLiteral("archive.") + suffix));
    if (!folder->isValid() || !copy.open(QIODevice::WriteOnly | QIODevice::NewOnly) || copy.write(bytes) != bytes.size() ||
        !copy.flush()) {
        qCWarning(lcPlugins).noquote() << "no private copy of" << name << "for the archive plug-ins:"
                                       << (folder->isValid() ? copy.errorString() : folder->errorString());
        return {};
    }
    file = copy.fileName();
    return folder;
}

} // namespace

std::int32_t ClsArchivePluginManager::Initialize(const QString& PluginDir)
{
    PluginFolder::Scan(PluginDir, mFileNames, [this](const QString& path) {
        auto plugin = std::make_shared<ClsArchivePlugin>();
        try {
            if (PluginHangs::LeftOut(path)) {
                PluginFolder::LeftOut(path, QStringLiteral("it hung too often"));
            } else if (const std::int32_t r = plugin->Initialize(path); r >= 1) {
                mPlugins.push_back(std::move(plugin));
            } else if (r == 0) {
                PluginFolder::LeftOut(path, QStringLiteral("it names no archive format"));
            }
            // Not an archive extractor: an import filter, or nothing the
            // import filters' manager would not tell about.
        } catch (const std::exception& e) {
            PluginFolder::LeftOut(path, QString::fromUtf8(e.what()));
        }
    });
    return 0;
}

std::int32_t ClsArchivePluginManager::PluginCount() const
{
    return std::int32_t(mPlugins.size()) - 1;
}

QString ClsArchivePluginManager::PluginName(std::int32_t Index) const
{
    return Index < 0 || Index > PluginCount() ? QString() : TrimAtNull(mPlugins[std::size_t(Index)]->PluginName());
}

QString ClsArchivePluginManager::APIVersion(std::int32_t Index) const
{
    return Index < 0 || Index > PluginCount() ? QString() : mPlugins[std::size_t(Index)]->APIVersion();
}

QString ClsArchivePluginManager::AboutPlugin(std::int32_t Index) const
{
    return Index < 0 || Index > PluginCount() ? QString() : mPlugins[std::size_t(Index)]->AboutPlugin();
}

QString ClsArchivePluginManager::SupportExtension() const
{
    QString patterns;
    for (const auto& plugin : mPlugins)
        patterns += plugin->SupportExtension();
    return patterns;
}

std::optional<ArchiveContents::Opened> ClsArchivePluginManager::Open(const QString& path, const QByteArray* bytes,
                                                                     int depth) const
{
    const QString name = path.section(u'/', -1);
    QString file = path;
    std::shared_ptr<const QTemporaryDir> copy;
    for (const auto& plugin : mPlugins) {
        if (bytes ? !plugin->Takes(name, *bytes) : !plugin->Takes(name, path))
            continue;
        if (bytes && !copy && !(copy = PrivateCopy(path, *bytes, file)))
            return std::nullopt;
        ArchiveContents::Opened opened = plugin->List(file, path, depth, copy);
        if (opened)
            return opened;
        qCWarning(lcPlugins).noquote() << "archive plug-in" << plugin->PluginName() << "took" << path
                                       << "but cannot list it:" << opened.error().Describe().c_str();
    }
    return std::nullopt;
}
