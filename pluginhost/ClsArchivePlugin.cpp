#include "pluginhost/ClsArchivePlugin.h"

#include <sys/stat.h>

#include <chrono>
#include <limits>
#include <map>
#include <mutex>

#include <QCoreApplication>
#include <QThread>

#include "archives/EntryNames.h"
#include "common/CodePage.h"
#include "common/RuntimeError.h"
#include "pluginhost/PluginBridge.h"
#include "pluginhost/PluginHangs.h"
#include "pluginhost/PluginLog.h"
#include "pluginrunner/SpiArchive.h"

namespace {

// The calls of one plug-in file, one at a time, and the archive it listed
// last (empty when unknown: a failed call may have started its helper anew).
struct Turn {
    std::timed_mutex mutex;
    QString lastListed;
};

// Takes a plug-in's turn; the user interface's thread keeps its windows
// painting while another thread's call (a hang, at worst the call limit) ends.
std::unique_lock<std::timed_mutex> Wait(Turn& turn)
{
    std::unique_lock lock(turn.mutex, std::defer_lock);
    const QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        lock.lock();
        return lock;
    }
    while (!lock.try_lock_for(std::chrono::milliseconds(10)))
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    return lock;
}

Turn& TurnOf(const QString& pluginPath)
{
    static std::mutex mutex;
    static std::map<QString, std::unique_ptr<Turn>> turns;
    std::lock_guard lock(mutex);
    std::unique_ptr<Turn>& turn = turns[pluginPath];
    if (!turn)
        turn = std::make_unique<Turn>();
    return *turn;
}

codec::Error Refused(int code, const QString& plugin, const char* call)
{
    using codec::ErrorKind;
    const ErrorKind kind = code == 2 || code == -1 ? ErrorKind::NotThisFormat
                           : code == 4             ? ErrorKind::TooLarge
                           : code == 6             ? ErrorKind::ReadFailed
                                                   : ErrorKind::Damaged;
    return codec::Fail(kind, "plug-in " + plugin.toStdString() + " answered " + std::to_string(code) + " to " + call);
}

// A failed call: a hang is recorded against what it was about.
codec::Error CallFailed(const std::exception& e, const QString& plugin, const QString& about)
{
    if (dynamic_cast<const PluginBridge::Abandoned*>(&e))
        return codec::Fail(codec::ErrorKind::Stopped, e.what());
    if (dynamic_cast<const PluginBridge::Timeout*>(&e))
        PluginHangs::Hung(plugin, about);
    return codec::Fail(codec::ErrorKind::ReadFailed, e.what());
}

struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    std::int64_t modifiedNs = 0;
    bool operator==(const FileStamp&) const = default;
};

FileStamp StampOf(const QString& file)
{
    struct stat st {};
    if (::stat(ToCodePage(file).constData(), &st) != 0)
        return {};
    return {st.st_dev, st.st_ino, st.st_size, std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

// An archive listed by a plug-in; its files are taken by their positions.
class PluginArchive : public ArchiveContents {
public:
    PluginArchive(std::shared_ptr<const ClsArchivePlugin> plugin, QString file, QString folderPath, int depth,
                  std::shared_ptr<const void> keep)
        : mPlugin(std::move(plugin)), mFile(std::move(file)), mFolderPath(std::move(folderPath)),
          mKeep(std::move(keep)), mStamp(StampOf(mFile))
    {
        mDepth = depth;
    }

    // Takes the listing in the bridge's form; false when it is malformed.
    bool Take(const QByteArray& bytes)
    {
        ClsArchivePlugin::Listing listing;
        if (!ClsArchivePlugin::ReadListing(bytes, listing))
            return false;
        mEntries = std::move(listing.files);
        mPositions = std::move(listing.positions);
        mComplete = listing.complete;
        return true;
    }

    codec::Result<QByteArray> Read(int entry, qint64 maxBytes) const override
    {
        if (entry < 0 || std::size_t(entry) >= mEntries.size())
            return codec::Fail(codec::ErrorKind::ReadFailed, "no such file in the archive");
        const ArchiveEntry& file = mEntries[std::size_t(entry)];
        if (file.size > maxBytes)
            return codec::Fail(codec::ErrorKind::TooLarge, "it declares " + std::to_string(file.size) +
                                                               " bytes, more than " + std::to_string(maxBytes));
        if (StampOf(mFile) != mStamp)
            return codec::Fail(codec::ErrorKind::ReadFailed, "the archive changed or went since it was listed");
        const QString plugin = mPlugin->PluginName();
        const QString about = mFolderPath + u'/' + file.path;
        if (PluginHangs::Avoided(plugin, about) || PluginHangs::Avoided(plugin, mFolderPath))
            return codec::Fail(codec::ErrorKind::ReadFailed, "plug-in " + plugin.toStdString() + " hung on it before");
        Turn& turn = TurnOf(plugin);
        const auto lock = Wait(turn);
        try {
            if (turn.lastListed != mFile) {
                QByteArray listing;
                bool gave = false;
                PluginBridge::GetArchiveInfo(plugin, mFile, listing, &gave);
                turn.lastListed = gave ? mFile : QString();
            }
            QByteArray bytes;
            const std::int32_t code =
                PluginBridge::GetFile(plugin, mFile, mPositions[std::size_t(file.header)], std::uint64_t(maxBytes), bytes);
            if (code != 0)
                return Refused(code, plugin, "GetFile");
            return bytes;
        } catch (const RuntimeError& e) {
            turn.lastListed.clear();
            return CallFailed(e, plugin, about);
        }
    }

private:
    std::shared_ptr<const ClsArchivePlugin> mPlugin;
    QString mFile;
    QString mFolderPath;
    std::shared_ptr<const void> mKeep;
    FileStamp mStamp;
    std::vector<std::uint64_t> mPositions; // by ArchiveEntry::header
};

} // namespace

bool ClsArchivePlugin::ReadListing(const QByteArray& bytes, Listing& listing)
{
    SpiProtocol::Reader in(bytes.constData(), std::size_t(bytes.size()));
    std::vector<SpiArchive::Entry> entries;
    bool ended = false;
    if (!SpiArchive::Get(in, entries, ended) || !in.AtEnd())
        return false;
    listing = {};
    listing.complete = ended;
    for (const SpiArchive::Entry& e : entries) {
        // The folder may be in path, in filename or in both; an entry that
        // ends in a separator is a folder.
        std::string whole = e.path;
        if (!whole.empty() && whole.back() != '/' && whole.back() != '\\' && !e.filename.empty())
            whole += '/';
        whole += e.filename;
        if (whole.empty() || whole.back() == '/' || whole.back() == '\\')
            continue;
        ArchiveEntry file;
        file.path = InnerPath(FromCodePage(QByteArrayView(whole.data(), qsizetype(whole.size()))));
        if (file.path.isEmpty())
            continue;
        // 0 may mean unknown before unpacking: the plug-in's answer tells.
        const std::uint64_t most = std::uint64_t(std::numeric_limits<qint64>::max());
        file.size = e.filesize == 0 ? -1 : qint64(std::min(e.filesize, most));
        file.header = int(listing.positions.size());
        listing.positions.push_back(e.position);
        listing.files.push_back(std::move(file));
    }
    ArchiveContents::SortByName(listing.files);
    return true;
}

std::int32_t ClsArchivePlugin::Initialize(const QString& tPluginName)
{
    // Asked through this thread's own helpers, which the import filters'
    // scan has started already: most plug-ins are not archive extractors,
    // and an archive helper for each would only cost time.
    const std::int32_t r = mInfo.InitializeAs(tPluginName, QStringLiteral("AM"));
    if (r >= 1)
        mPatterns = ArchiveNames::Only(SupportExtension());
    return r;
}

QString ClsArchivePlugin::SupportExtension() const
{
    QString patterns;
    for (std::int32_t i = 0; i <= mInfo.SupportedNum(); ++i)
        patterns += mInfo.Extension(i) + u';';
    return patterns;
}

bool ClsArchivePlugin::Takes(const QString& name, const QString& file) const
{
    if (!mPatterns.Matches(name))
        return false;
    const PluginBridge::ArchiveCalls archive;
    try {
        return mInfo.CheckFile(file) != 0;
    } catch (const RuntimeError& e) {
        qCWarning(lcPlugins).noquote() << "archive plug-in" << PluginName() << "failed on" << file << "and counts as not reading it:" << e.what();
        return false;
    }
}

bool ClsArchivePlugin::Takes(const QString& name, const QByteArray& bytes) const
{
    if (!mPatterns.Matches(name))
        return false;
    const PluginBridge::ArchiveCalls archive;
    try {
        return mInfo.CheckBytes(name, bytes) != 0;
    } catch (const RuntimeError& e) {
        qCWarning(lcPlugins).noquote() << "archive plug-in" << PluginName() << "failed on" << name << "and counts as not reading it:" << e.what();
        return false;
    }
}

ArchiveContents::Opened ClsArchivePlugin::List(const QString& file, const QString& folderPath, int depth,
                                               std::shared_ptr<const void> keep) const
{
    const QString plugin = PluginName();
    if (PluginHangs::Avoided(plugin, folderPath))
        return codec::Fail(codec::ErrorKind::ReadFailed, "plug-in " + plugin.toStdString() + " hung on it before");
    auto archive = std::make_shared<PluginArchive>(shared_from_this(), file, folderPath, depth, std::move(keep));
    Turn& turn = TurnOf(plugin);
    const auto lock = Wait(turn);
    QByteArray listing;
    bool gave = false;
    std::int32_t code = 0;
    try {
        code = PluginBridge::GetArchiveInfo(plugin, file, listing, &gave);
    } catch (const RuntimeError& e) {
        turn.lastListed.clear();
        return CallFailed(e, plugin, folderPath);
    }
    turn.lastListed = gave ? file : QString();
    // Some plug-ins return an error code with a good listing: the listing counts.
    if (!gave)
        return Refused(code, plugin, "GetArchiveInfo");
    if (!archive->Take(listing))
        return codec::Fail(codec::ErrorKind::Damaged, "the listing of plug-in " + plugin.toStdString() + " is malformed");
    if (code != 0)
        qCInfo(lcPlugins).noquote() << "archive plug-in" << plugin << "answered" << code << "with a listing of"
                                    << folderPath << "- its" << archive->Entries().size() << "files are used";
    return std::shared_ptr<const ArchiveContents>(std::move(archive));
}
