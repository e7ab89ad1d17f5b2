#pragma once
// The archive extractors ("00AM" plug-ins) of the plug-in folders, in the
// order the folder scans met them, beside the manager of import filters
// (which leaves them out). Built on one thread; once built it does not
// change, and Open may be called from any thread (see ClsArchivePlugin).
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "archives/ArchiveContents.h"
#include "pluginhost/ClsArchivePlugin.h"

class ClsArchivePluginManager {
public:
    // Adds the archive plug-ins of one folder; called once for each folder,
    // in order, with the same rules as the import filters' manager.
    std::int32_t Initialize(const QString& PluginDir);
    // The last index of the list, -1 when it is empty.
    std::int32_t PluginCount() const;
    QString PluginName(std::int32_t Index) const;
    QString APIVersion(std::int32_t Index) const;
    QString AboutPlugin(std::int32_t Index) const;
    // Every plug-in's patterns, "*.a;*.b;".
    QString SupportExtension() const;

    // Lists an archive with the first plug-in in list order that takes it:
    // the file path, or (bytes not null) an archive inside another, which
    // the plug-in gets as a private copy in a file. Nothing when no plug-in
    // takes it.
    std::optional<ArchiveContents::Opened> Open(const QString& path, const QByteArray* bytes, int depth) const;

private:
    std::vector<std::shared_ptr<ClsArchivePlugin>> mPlugins;
    QStringList mFileNames; // of every plug-in met, loaded or not
};
