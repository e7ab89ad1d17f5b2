#include "slideshow/FolderWalk.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <unordered_set>
#include <vector>

#include <sys/stat.h>

#include "common/CheckedMath.h"
#include "common/CodePage.h"
#include "common/PathText.h"
#include "common/RuntimeError.h"
#include "platform/DirSearch.h"
#include "slideshow/WalkLog.h"

namespace {

using Clock = FolderWalk::Clock;

// Listings done ahead of the walk and not yet taken by it; past this many,
// only the listings the walk waits for are made (memory stays bounded).
constexpr std::size_t kAheadListings = 4096;
// Folders listed ahead stay open for their subfolders while fewer than this
// many are open (each is a file descriptor).
constexpr int kOpenAhead = 256;
// How long dropping a walk waits for its threads to end.
constexpr auto kLetGoAfter = std::chrono::milliseconds(250);
// Folder names are kept in blocks of this many UTF-16 units.
constexpr std::size_t kNameBlock = 1 << 18;

// An open search of a folder, from which its subfolders are opened (rather
// than by their whole path, which a network share resolves name by name).
// Closed when the last listing that needs it lets it go.
struct OpenFolder {
    FindHandle handle;
    std::atomic<int>* openCount;
    OpenFolder(FindHandle h, std::atomic<int>* count) : handle(h), openCount(count) { ++*openCount; }
    ~OpenFolder()
    {
        FindClose(handle);
        --*openCount;
    }
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;
};

// One folder's listing: made by a listing thread, read by the walk.
struct Listing {
    std::string dirBytes; // the folder's path as bytes, ending in "/"
    std::size_t nameStart = 0; // where its own name starts in dirBytes
    std::weak_ptr<Listing> parent;
    // Kept open while the walk is inside the folder or its subfolders are
    // listed ahead, so that they open from it.
    std::shared_ptr<OpenFolder> open;
    std::shared_ptr<OpenFolder> parentOpen; // the parent's, until listed

    enum class Stage { Queued, Running, Done } stage = Stage::Queued;
    bool urgent = false;    // listed by the walk itself
    bool abandoned = false; // the walk will not enter it (met before)
    bool counted = false;   // done ahead and not yet taken

    bool opened = false;
    bool withFiles = false; // its files were listed too
    Clock::time_point listedAt;
    int error = 0; // why it could not be listed, when known
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
    struct Entry {
        std::uint32_t offset; // into names
        std::uint32_t length;
        bool isFolder;
    };
    std::vector<Entry> entries; // in the directory search's order
    std::string names;
    std::vector<std::shared_ptr<Listing>> children; // one per folder entry, in order
};

bool AncestorAbandoned(const Listing& listing)
{
    for (std::shared_ptr<Listing> p = listing.parent.lock(); p; p = p->parent.lock())
        if (p->abandoned)
            return true;
    return false;
}

std::shared_ptr<Listing> ChildOf(const std::shared_ptr<Listing>& parent, const Listing::Entry& e)
{
    auto child = std::make_shared<Listing>();
    child->dirBytes.reserve(parent->dirBytes.size() + e.length + 1);
    child->dirBytes = parent->dirBytes;
    child->dirBytes.append(parent->names, e.offset, e.length);
    child->dirBytes += '/';
    child->nameStart = parent->dirBytes.size();
    child->parent = parent;
    child->parentOpen = parent->open;
    return child;
}

// Lists one folder through the directory search, from the open search of
// its parent when there is one; files are kept only when the walk looks for
// archives or pictures among them. keepOpen (the count of open folders to
// add to) leaves the search open in listing.open.
void ListFolder(Listing& listing, bool keepFiles, std::atomic<int>* keepOpen = nullptr)
{
    FindData data{};
    errno = 0;
    const FindHandle parent = listing.parentOpen ? listing.parentOpen->handle : INVALID_FIND_HANDLE;
    const FindHandle handle =
        parent > 0 ? FindFirstFileInA(parent, (listing.dirBytes.substr(listing.nameStart) + "*").c_str(), &data)
                   : FindFirstFileA((listing.dirBytes + "*").c_str(), &data);
    listing.parentOpen.reset();
    if (handle <= 0) {
        listing.error = errno;
        FindClose(handle);
        // A folder that cannot be searched is still known by what it is.
        struct stat st;
        if (stat(listing.dirBytes.c_str(), &st) == 0) {
            listing.known = true;
            listing.device = st.st_dev;
            listing.inode = st.st_ino;
        }
        return;
    }
    listing.opened = true;
    listing.withFiles = keepFiles;
    listing.known = FindFolderIdentity(handle, &listing.device, &listing.inode) != 0;
    do {
        const char* name = data.cFileName;
        const std::size_t length = strnlen(name, sizeof data.cFileName);
        const bool isFolder = data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        if (isFolder ? (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) : !keepFiles)
            continue;
        listing.entries.push_back({std::uint32_t(listing.names.size()), std::uint32_t(length), isFolder});
        listing.names.append(name, length);
    } while (FindNextFileA(handle, &data));
    listing.listedAt = Clock::now();
    if (keepOpen)
        listing.open = std::make_shared<OpenFolder>(handle, keepOpen);
    else
        FindClose(handle);
}

} // namespace

struct FolderWalk::State {
    std::atomic<int> openFolders{0}; // first: the listings below use it to the end
    mutable std::mutex mutex;
    mutable std::condition_variable grown; // the table grew or the walk ended
    std::condition_variable work;          // listings to make, or stop
    std::condition_variable listed;        // a listing is done, or stop
    bool stop = false;
    bool finished = false;

    // The table: a parent and a name per folder; paths are put together
    // when asked for.
    struct Node {
        std::int32_t parent;
        std::uint32_t block;
        std::uint32_t offset;
        std::uint32_t length;
        bool archive;
        bool visited = false; // the show has taken its pictures
    };
    std::deque<Node> nodes;
    std::vector<std::unique_ptr<char16_t[]>> blocks;
    std::size_t blockUsed = kNameBlock;
    QString root;       // folder 0, exactly as given
    QString rootPrefix; // folder 0 with a final "/"
    std::atomic<std::int32_t> count{0};

    // Listings to make ahead of the walk, the last added first (nearest the
    // walk in pre-order).
    std::vector<std::shared_ptr<Listing>> aheadJobs;
    std::size_t ahead = 0; // listings done ahead and not yet taken
    std::shared_ptr<Listing> awaited; // the listing the walk waits for
    bool listingAhead = false;        // once a listing took long
    std::chrono::microseconds slowListing{0};
    std::size_t listingThreads = 0;

    ArchiveTest isArchive;
    PictureTest isPicture;
    // Picture names kept for the show, by folder, while they fit.
    struct Kept {
        QStringList names;
        Clock::time_point listedAt;
        std::size_t bytes;
    };
    std::unordered_map<std::int32_t, Kept> kept;
    std::size_t keptBytes = 0;

    // Under mutex: whether a listing made now lists files too.
    bool KeepFiles() const { return bool(isArchive) || (isPicture && keptBytes < kKeptNameBytes); }

    Clock::time_point lastSweep;
    // Under mutex: names kept too long go.
    void SweepKept()
    {
        const auto now = Clock::now();
        if (now - lastSweep < std::chrono::seconds(1))
            return;
        lastSweep = now;
        for (auto it = kept.begin(); it != kept.end();)
            if (now - it->second.listedAt >= kKeptFor) {
                keptBytes -= it->second.bytes;
                it = kept.erase(it);
            } else {
                ++it;
            }
    }

    // Under mutex: keeps the picture names of the folder at node, while they fit.
    void KeepPictures(std::int32_t node, const Listing& listing, std::unique_lock<std::mutex>& lock)
    {
        if (isPicture && keptBytes >= kKeptNameBytes)
            SweepKept();
        if (!isPicture || !listing.withFiles || keptBytes >= kKeptNameBytes)
            return;
        lock.unlock();
        Kept pictures{{}, listing.listedAt, sizeof(Kept)};
        for (const Listing::Entry& e : listing.entries)
            if (!e.isFolder) {
                QString name = FromCodePage(QByteArrayView(listing.names.data() + e.offset, e.length));
                if (isPicture(name)) {
                    pictures.bytes += std::size_t(name.size()) * sizeof(QChar) + 32;
                    pictures.names << std::move(name);
                }
            }
        lock.lock();
        // The show came first and lists the folder itself.
        if (nodes[std::size_t(node)].visited)
            return;
        keptBytes += pictures.bytes;
        kept.insert_or_assign(node, std::move(pictures));
    }

    // Under mutex.
    void Append(std::int32_t parent, const QString& name, bool archive)
    {
        const std::size_t length = std::size_t(name.size());
        if (blockUsed + length > kNameBlock) {
            blocks.push_back(std::make_unique<char16_t[]>(std::max(kNameBlock, length)));
            blockUsed = 0;
        }
        std::memcpy(blocks.back().get() + blockUsed, name.utf16(), length * sizeof(char16_t));
        nodes.push_back({parent, std::uint32_t(blocks.size() - 1), std::uint32_t(blockUsed),
                         std::uint32_t(length), archive});
        blockUsed += length;
        count.store(std::int32_t(nodes.size()), std::memory_order_release);
    }

    mutable int waiters = 0; // threads waiting for the table to grow
    void Grown()
    {
        if (waiters)
            grown.notify_all();
    }

    QString PathOf(std::int32_t index) const
    {
        if (index == 0)
            return root;
        std::vector<std::int32_t> chain;
        for (std::int32_t i = index; i != 0; i = nodes[std::size_t(i)].parent)
            chain.push_back(i);
        QString path = rootPrefix;
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            const Node& n = nodes[std::size_t(*it)];
            path.append(reinterpret_cast<const QChar*>(blocks[n.block].get() + n.offset), qsizetype(n.length));
            if (it + 1 != chain.rend())
                path += u'/';
        }
        return path;
    }

    // A listing thread: takes the listing nearest the walk, while not too
    // many are done ahead.
    void ListingLoop()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            std::shared_ptr<Listing> job;
            work.wait(lock, [&] { return stop || (listingAhead && !aheadJobs.empty() && ahead < kAheadListings); });
            if (stop)
                return;
            job = std::move(aheadJobs.back());
            aheadJobs.pop_back();
            if (job->stage != Listing::Stage::Queued)
                continue; // listed by the walk, which lets its parent go
            if (job->abandoned) {
                job->parentOpen.reset();
                continue;
            }
            job->stage = Listing::Stage::Running;
            const bool keepFiles = KeepFiles();
            std::atomic<int>* keepOpen = openFolders < kOpenAhead ? &openFolders : nullptr;
            lock.unlock();
            ListFolder(*job, keepFiles, keepOpen);
            lock.lock();
            if (stop)
                return;
            Listed(job);
        }
    }

    // Under mutex: the listing is done; its subfolders are listed ahead, the
    // first of them next.
    void Listed(const std::shared_ptr<Listing>& job)
    {
        {
            // Without listing ahead the walk makes its children itself, as it
            // comes to them.
            const bool skipChildren = !listingAhead || AncestorAbandoned(*job);
            job->stage = Listing::Stage::Done;
            if (!job->urgent && !skipChildren) {
                job->counted = true;
                ++ahead;
            }
            std::size_t added = 0;
            if (!skipChildren && !job->abandoned) {
                for (const Listing::Entry& e : job->entries)
                    if (e.isFolder)
                        job->children.push_back(ChildOf(job, e));
                for (auto it = job->children.rbegin(); it != job->children.rend(); ++it)
                    aheadJobs.push_back(*it);
                added = job->children.size();
            }
            // A folder listed ahead stays open only for its subfolders.
            if (!job->urgent)
                job->open.reset();
            if (job == awaited)
                listed.notify_all();
            if (listingAhead)
                for (std::size_t i = 0; i < std::min<std::size_t>(added, listingThreads); ++i)
                    work.notify_one();
        }
    }

    // The threads that list ahead, started when listings turn out slow; each
    // keeps the state alive and none is waited for at the end.
    std::weak_ptr<State> self;
    void StartListingThreads()
    {
        for (std::size_t i = 0; i < listingThreads; ++i)
            Start([](State& state) { state.ListingLoop(); });
    }

    // The walk's threads still running, and the signal of each one's end.
    int running = 0;
    std::condition_variable ended;
    // Under mutex: starts a thread of the walk, which keeps the state alive.
    void Start(void (*body)(State&))
    {
        ++running;
        std::thread([state = self.lock(), body] {
            body(*state);
            std::lock_guard lock(state->mutex);
            --state->running;
            state->ended.notify_all();
        }).detach();
    }

    // Makes sure the listing is done: one no listing thread has taken yet is
    // made here at once (on a fast disk most are); one under way is waited
    // for. False on stop.
    bool Await(const std::shared_ptr<Listing>& listing, std::unique_lock<std::mutex>& lock)
    {
        if (listing->stage == Listing::Stage::Queued) {
            listing->stage = Listing::Stage::Running;
            listing->urgent = true;
            const bool keepFiles = KeepFiles();
            lock.unlock();
            const auto begin = Clock::now();
            ListFolder(*listing, keepFiles, &openFolders);
            // A slow file system (a network share) gets listings ahead; on a
            // fast one they would only cost time.
            const bool slow = Clock::now() - begin >= slowListing;
            lock.lock();
            if (slow && !listingAhead) {
                listingAhead = true;
                StartListingThreads();
            }
            Listed(listing);
            return !stop;
        }
        awaited = listing;
        listed.wait(lock, [&] { return stop || listing->stage == Listing::Stage::Done; });
        awaited.reset();
        return !stop;
    }

    // The listing has been taken by the walk.
    void Taken(Listing& listing)
    {
        listing.open.reset();
        if (listing.counted) {
            listing.counted = false;
            if (ahead-- == kAheadListings)
                work.notify_one();
        }
    }

    static void TellUnreadable(const QString& dir, int error)
    {
        qCWarning(lcWalk).noquote() << "folder" << dir << "cannot be read:"
                                    << (error ? QString::fromLocal8Bit(std::strerror(error))
                                              : QStringLiteral("nothing could be listed"));
    }

    // The walk's own thread: puts the folders in pre-order as their
    // listings come in, exactly as a walk of one listing at a time would.
    void CollectSubDirs()
    {
        struct Frame {
            std::shared_ptr<Listing> listing;
            std::int32_t node;
            std::size_t entry = 0;
            std::size_t child = 0;
        };
        struct Id {
            dev_t device;
            ino_t inode;
            bool operator==(const Id&) const = default;
        };
        struct IdHash {
            std::size_t operator()(const Id& id) const noexcept
            {
                return std::hash<ino_t>()(id.inode) * 31u + std::hash<dev_t>()(id.device);
            }
        };
        std::unordered_set<Id, IdHash> visited;

        std::unique_lock lock(mutex);
        auto start = std::make_shared<Listing>();
        start->dirBytes = ToCodePage(rootPrefix).toStdString();
        std::vector<Frame> stack;
        if (!Await(start, lock)) {
            Taken(*start);
        } else {
            if (!start->opened) {
                TellUnreadable(rootPrefix, start->error);
            } else {
                if (start->known)
                    visited.insert({start->device, start->inode});
                KeepPictures(0, *start, lock);
                stack.push_back({start, 0});
            }
        }
        while (!stack.empty() && !stop) {
            Frame& frame = stack.back();
            Listing& listing = *frame.listing;
            if (frame.entry >= listing.entries.size()) {
                Taken(listing);
                stack.pop_back();
                continue;
            }
            const Listing::Entry entry = listing.entries[frame.entry++];
            const QString name = FromCodePage(QByteArrayView(listing.names.data() + entry.offset, entry.length));
            if (!entry.isFolder) {
                if (!isArchive)
                    continue;
                lock.unlock();
                const bool archive = isArchive(name);
                lock.lock();
                if (archive) {
                    CheckedAdd(std::int32_t(nodes.size()) - 1, 1);
                    Append(frame.node, name, true);
                    Grown();
                }
                continue;
            }
            if (frame.child == listing.children.size())
                listing.children.push_back(ChildOf(frame.listing, entry));
            const std::shared_ptr<Listing> child = listing.children[frame.child++];
            const std::int32_t parentNode = frame.node; // frame may move below
            if (!Await(child, lock)) {
                Taken(*child);
                break;
            }
            if (child->known && !visited.insert({child->device, child->inode}).second) {
                // A link to a folder met before, or to an ancestor.
                child->abandoned = true;
                Taken(*child);
                continue;
            }
            // The last index must stay a 32-bit value.
            CheckedAdd(std::int32_t(nodes.size()) - 1, 1);
            Append(parentNode, name, false);
            Grown();
            if (child->opened) {
                KeepPictures(std::int32_t(nodes.size()) - 1, *child, lock);
                stack.push_back({child, std::int32_t(nodes.size()) - 1});
            } else {
                Taken(*child);
                TellUnreadable(PathOf(std::int32_t(nodes.size()) - 1) + u'/', child->error);
            }
        }
        // A walk stopped in the middle closes the searches it still holds.
        for (Frame& frame : stack)
            Taken(*frame.listing);
        finished = true;
        grown.notify_all();
        // The listing threads have nothing more to do.
        stop = true;
        work.notify_all();
    }
};

FolderWalk::FolderWalk(const QString& DirPath, ArchiveTest isArchive, int listingThreads,
                       std::chrono::microseconds slowListing, PictureTest isPicture)
    : mState(std::make_shared<State>())
{
    State& s = *mState;
    s.slowListing = slowListing;
    s.root = DirPath;
    s.rootPrefix = JoinPath(DirPath, QString());
    s.isArchive = std::move(isArchive);
    s.isPicture = std::move(isPicture);
    s.listingThreads = std::size_t(std::max(1, listingThreads));
    s.blocks.push_back(std::make_unique<char16_t[]>(kNameBlock));
    s.blockUsed = 0;
    s.nodes.push_back({-1, 0, 0, 0, false});
    s.count.store(1);
    s.self = mState;
    std::lock_guard lock(s.mutex);
    s.Start([](State& state) {
        try {
            state.CollectSubDirs();
        } catch (const std::exception& e) {
            // Only a list past 2^31 folders gets here: the walk ends there.
            qCWarning(lcWalk) << "the walk ends early:" << e.what();
            std::lock_guard lock(state.mutex);
            state.finished = true;
            state.stop = true;
            state.grown.notify_all();
            state.work.notify_all();
        }
    });
}

FolderWalk::~FolderWalk()
{
    std::unique_lock lock(mState->mutex);
    mState->stop = true;
    mState->work.notify_all();
    mState->listed.notify_all();
    mState->grown.notify_all();
    // Between listings the threads end at once; one inside a listing that
    // the file system does not answer (a stalled mount) is let go.
    mState->ended.wait_for(lock, kLetGoAfter, [&] { return mState->running == 0; });
}

std::int32_t FolderWalk::Count() const { return mState->count.load(std::memory_order_acquire); }

bool FolderWalk::Finished() const
{
    std::lock_guard lock(mState->mutex);
    return mState->finished;
}

QString FolderWalk::Path(std::int32_t Index) const
{
    std::lock_guard lock(mState->mutex);
    if (Index < 0 || std::size_t(Index) >= mState->nodes.size())
        throw RuntimeError(ErrorKind::IndexOutOfRange, "folder index " + std::to_string(Index) + " is out of range");
    return mState->PathOf(Index);
}

bool FolderWalk::IsArchive(std::int32_t Index) const
{
    std::lock_guard lock(mState->mutex);
    return Index >= 0 && std::size_t(Index) < mState->nodes.size() && mState->nodes[std::size_t(Index)].archive;
}

bool FolderWalk::WaitForIndex(std::int32_t index, Clock::time_point deadline) const
{
    std::unique_lock lock(mState->mutex);
    ++mState->waiters;
    mState->grown.wait_until(lock, deadline, [&] {
        return mState->finished || mState->stop || std::int32_t(mState->nodes.size()) > index;
    });
    --mState->waiters;
    return std::int32_t(mState->nodes.size()) > index;
}

bool FolderWalk::WaitForEnd(Clock::time_point deadline) const
{
    std::unique_lock lock(mState->mutex);
    return mState->grown.wait_until(lock, deadline, [&] { return mState->finished; });
}

std::optional<QStringList> FolderWalk::KeptPictures(std::int32_t Index, bool take)
{
    std::lock_guard lock(mState->mutex);
    if (take && Index >= 0 && std::size_t(Index) < mState->nodes.size())
        mState->nodes[std::size_t(Index)].visited = true;
    const auto found = mState->kept.find(Index);
    if (found == mState->kept.end())
        return std::nullopt;
    const bool fresh = Clock::now() - found->second.listedAt < kKeptFor;
    QStringList names = found->second.names;
    if (take || !fresh) {
        mState->keptBytes -= found->second.bytes;
        mState->kept.erase(found);
    }
    return fresh ? std::optional(std::move(names)) : std::nullopt;
}

std::size_t FolderWalk::TableBytes() const
{
    std::lock_guard lock(mState->mutex);
    return mState->nodes.size() * sizeof(State::Node) + mState->blocks.size() * kNameBlock * sizeof(char16_t);
}
