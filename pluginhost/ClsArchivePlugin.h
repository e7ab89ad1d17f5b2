#pragma once
// One Susie archive extractor ("00AM" plug-in) reached through the plug-in
// bridge, always in the helpers the bridge keeps for archive plug-ins
// (PluginBridge::ArchiveCalls): one per plug-in for every thread, so the
// object is shared by the show's listing and decoding threads. Its archives
// are given to it as files.
//
// Some archive plug-ins remember only the archive they listed last: the
// calls of one plug-in are made one at a time, and an archive that was not
// the last one listed is listed again before a file is taken from it.
#include <cstdint>
#include <memory>
#include <vector>

#include <QByteArray>
#include <QString>

#include "archives/ArchiveContents.h"
#include "archives/ArchiveNames.h"
#include "pluginhost/ClsPlugin.h"

class ClsArchivePlugin : public std::enable_shared_from_this<ClsArchivePlugin> {
public:
    // Reads its version, about text and patterns as ClsPlugin::Initialize
    // does: -1 when it is not an archive extractor ("AM" version), 0 when it
    // names no pattern, else >= 1.
    std::int32_t Initialize(const QString& tPluginName);

    QString PluginName() const { return mInfo.PluginName(); }
    QString APIVersion() const { return mInfo.APIVersion(); }
    QString AboutPlugin() const { return mInfo.AboutPlugin(); }
    // Its file patterns, "*.a;*.b;".
    QString SupportExtension() const;

    // Whether it takes an archive: its patterns match name (a file name or
    // an entry's name, no folders) and its IsSupported says yes to the
    // first 2 KiB of the file (or of bytes). A call that fails says no.
    bool Takes(const QString& name, const QString& file) const;
    bool Takes(const QString& name, const QByteArray& bytes) const;

    // Lists the archive in file (a regular file): the show knows it as
    // folderPath, depth deep; keep lives as long as the listing (a private
    // copy of an archive that was inside another). NotThisFormat when the
    // plug-in gives no listing.
    ArchiveContents::Opened List(const QString& file, const QString& folderPath, int depth,
                                 std::shared_ptr<const void> keep = {}) const;

    // The files of a listing in the bridge's form, in name order, folders
    // left out; positions[file.header] is what GetFile takes for a file.
    // False when the listing is malformed.
    struct Listing {
        std::vector<ArchiveEntry> files;
        std::vector<std::uint64_t> positions;
        bool complete = false; // the plug-in ended its array
    };
    static bool ReadListing(const QByteArray& bytes, Listing& listing);

private:
    ClsPlugin mInfo;
    ArchiveNames mPatterns = ArchiveNames::Only(QString());
};
