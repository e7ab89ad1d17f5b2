#include "archives/ArchiveIndex.h"

#include "archives/ArchiveLog.h"
#include "archives/EntryNames.h"
#include "common/CodePage.h"
#include "common/NameMatch.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <numeric>
#include <optional>
#include <utility>

#include <archive.h>
#include <archive_entry.h>
#include <clocale>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcArchive, "velmora.archive", QtCriticalMsg)

namespace {

using Kind = codec::ErrorKind;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : mFd(fd) {}
    ~FileDescriptor()
    {
        if (mFd >= 0)
            ::close(mFd);
    }
    FileDescriptor(FileDescriptor&& other) noexcept : mFd(std::exchange(other.mFd, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        std::swap(mFd, other.mFd);
        return *this;
    }
    int Get() const { return mFd; }

private:
    int mFd;
};

struct OpenedFile {
    FileDescriptor fd;
    struct stat st;
};

// The built-in loader's rule (imaging/PictureFile.cpp): a regular file
// only, opened without waiting, so a FIFO without a writer cannot block.
codec::Result<OpenedFile> OpenRegularFile(const QString& path)
{
    OpenedFile file{FileDescriptor(::open(ToCodePage(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)), {}};
    if (file.fd.Get() < 0)
        return codec::Fail(Kind::ReadFailed, std::strerror(errno));
    if (::fstat(file.fd.Get(), &file.st) != 0)
        return codec::Fail(Kind::ReadFailed, std::strerror(errno));
    if (S_ISDIR(file.st.st_mode))
        return codec::Fail(Kind::ReadFailed, "it is a folder");
    if (!S_ISREG(file.st.st_mode))
        return codec::Fail(Kind::ReadFailed, "not a regular file");
    return file;
}

std::int64_t ModifiedNs(const struct stat& st)
{
    return std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// libarchive hands names on in the locale's character set. A thread-local
// UTF-8 locale while it works makes that UTF-8 on every thread, whatever the
// process's locale (tests run in "C"); names it cannot convert (ZIP and LZH
// names without a UTF-8 flag) come through as their stored bytes.
class Utf8Locale {
public:
    Utf8Locale()
    {
        static const locale_t utf8 = [] {
            locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
            return l ? l : newlocale(LC_CTYPE_MASK, "en_US.UTF-8", locale_t(0));
        }();
        if (utf8)
            mPrevious = uselocale(utf8);
    }
    ~Utf8Locale()
    {
        if (mPrevious)
            uselocale(mPrevious);
    }
    Utf8Locale(const Utf8Locale&) = delete;
    Utf8Locale& operator=(const Utf8Locale&) = delete;

private:
    locale_t mPrevious = locale_t(0);
};

struct FreeReader {
    void operator()(archive* a) const { archive_read_free(a); }
};
using Reader = std::unique_ptr<archive, FreeReader>;

std::string Why(archive* a)
{
    const char* text = archive_error_string(a);
    return text ? text : "unknown error";
}

// Bytes for libarchive, from a file (by pread, at an offset of this reader's
// own) or from memory. Seekable, so ZIP is read by its central directory.
struct ByteSource {
    int fd = -1;
    const char* memory = nullptr;
    qint64 size = 0;
    qint64 offset = 0;
    std::vector<char> buffer;
    // The first read after a seek or a skip is small: reaching a ZIP's file
    // walks the local headers of all files before it, a few bytes at each,
    // and 64 KiB read at every one copied about as much again as the file.
    bool seeked = false;

    static la_ssize_t Read(archive* a, void* data, const void** block)
    {
        auto* self = static_cast<ByteSource*>(data);
        const qint64 left = std::max<qint64>(0, self->size - self->offset);
        if (self->memory) {
            *block = self->memory + std::min(self->offset, self->size);
            self->offset += left;
            return la_ssize_t(left);
        }
        self->buffer.resize(std::size_t(1) << 16);
        const std::size_t want = self->seeked ? std::size_t(4096) : self->buffer.size();
        self->seeked = false;
        for (;;) {
            const ssize_t n = ::pread(self->fd, self->buffer.data(), want, self->offset);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                archive_set_error(a, errno, "%s", std::strerror(errno));
                return -1;
            }
            self->offset += n;
            *block = self->buffer.data();
            return n;
        }
    }
    static la_int64_t Skip(archive*, void* data, la_int64_t request)
    {
        auto* self = static_cast<ByteSource*>(data);
        const la_int64_t step = std::clamp<la_int64_t>(self->size - self->offset, 0, request);
        self->offset += step;
        self->seeked = step > 0;
        return step;
    }
    static la_int64_t Seek(archive*, void* data, la_int64_t offset, int whence)
    {
        auto* self = static_cast<ByteSource*>(data);
        const la_int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? self->offset : self->size;
        if (offset > 0 && base > INT64_MAX - offset)
            return ARCHIVE_FATAL;
        const la_int64_t target = base + offset;
        if (target < 0)
            return ARCHIVE_FATAL;
        self->offset = target;
        self->seeked = true;
        return target;
    }
};

// The formats and compressions the show reads, and no others: a text file
// is not an mtree archive, nor a lone .gz an archive.
Reader NewReader()
{
    Reader reader(archive_read_new());
    archive* a = reader.get();
    archive_read_support_filter_gzip(a);
    archive_read_support_filter_bzip2(a);
    archive_read_support_filter_xz(a);
    archive_read_support_filter_lzma(a);
    archive_read_support_filter_zstd(a);
    archive_read_support_format_zip(a); // the central directory's reader, or local headers when it is missing
    archive_read_support_format_7zip(a);
    archive_read_support_format_rar(a);
    archive_read_support_format_rar5(a);
    archive_read_support_format_tar(a);
    archive_read_support_format_lha(a);
    archive_read_support_format_iso9660(a);
    return reader;
}

bool IsListedFile(archive_entry* entry)
{
    // A tar hard link carries no bytes of its own.
    return archive_entry_filetype(entry) == AE_IFREG && !archive_entry_hardlink(entry);
}

// Reads the current entry's bytes, refusing to grow past maxBytes.
codec::Result<QByteArray> ReadData(archive* a, archive_entry* entry, qint64 maxBytes)
{
    QByteArray out;
    if (archive_entry_size_is_set(entry))
        out.reserve(qsizetype(std::min<qint64>({archive_entry_size(entry), maxBytes, qint64(64) << 20})));
    std::vector<char> block(std::size_t(1) << 18);
    for (;;) {
        const la_ssize_t n = archive_read_data(a, block.data(), block.size());
        if (n == 0)
            return out;
        if (n < 0) {
            if (archive_entry_is_encrypted(entry))
                return codec::Fail(Kind::Unsupported, "encrypted: " + Why(a));
            return codec::Fail(Kind::Damaged, Why(a));
        }
        if (n > maxBytes - out.size())
            return codec::Fail(Kind::TooLarge, "unpacks to more than " + std::to_string(maxBytes) + " bytes");
        out.append(block.data(), qsizetype(n));
    }
}

std::atomic<std::uint64_t> gNextCacheId{1};

} // namespace

// One libarchive reader over the archive's bytes, as Read and List use it.
struct ArchiveIndex::Source {
    FileDescriptor fd;
    ByteSource bytes;
    Reader reader = NewReader();

    codec::Result<void> Open()
    {
        archive* a = reader.get();
        archive_read_set_callback_data(a, &bytes);
        archive_read_set_read_callback(a, &ByteSource::Read);
        archive_read_set_skip_callback(a, &ByteSource::Skip);
        archive_read_set_seek_callback(a, &ByteSource::Seek);
        if (archive_read_open1(a) != ARCHIVE_OK) {
            // libarchive's "file format" errno (archive_private.h) is EILSEQ.
            if (archive_errno(a) == EILSEQ)
                return codec::Fail(Kind::NotThisFormat, "not an archive: " + Why(a));
            return codec::Fail(Kind::Damaged, Why(a));
        }
        return {};
    }
};

// Readers of archives that unpack on the way, each left where its last
// read stopped, so that the next read on goes on from there. The two last
// used only: each holds its decoder's state (a 7z's dictionary, up to
// hundreds of MiB).
class ArchiveIndex::ParkedReaders {
public:
    static constexpr std::size_t kReaders = 2;

    static ParkedReaders& Shared()
    {
        // Never destroyed: an index may outlive static destruction.
        static ParkedReaders* const readers = new ParkedReaders;
        return *readers;
    }

    // archive's reader when it stopped at or before header upTo, and the
    // header it reads next; null otherwise.
    std::unique_ptr<Source> Take(std::uint64_t archive, int upTo, int* next)
    {
        std::lock_guard lock(mMutex);
        const auto at = std::find_if(mParked.begin(), mParked.end(), [&](const Parked& p) { return p.archive == archive; });
        if (at == mParked.end() || at->next > upTo)
            return nullptr;
        std::unique_ptr<Source> source = std::move(at->source);
        *next = at->next;
        mParked.erase(at);
        return source;
    }

    void Put(std::uint64_t archive, int next, std::unique_ptr<Source> source)
    {
        std::unique_ptr<Source> old = Forget(archive);
        std::lock_guard lock(mMutex);
        mParked.push_front({archive, next, std::move(source)});
        if (mParked.size() > kReaders) {
            old = std::move(mParked.back().source);
            mParked.pop_back();
        }
    }

    // Takes archive's reader out; the caller lets it go.
    std::unique_ptr<Source> Forget(std::uint64_t archive)
    {
        std::lock_guard lock(mMutex);
        const auto at = std::find_if(mParked.begin(), mParked.end(), [&](const Parked& p) { return p.archive == archive; });
        if (at == mParked.end())
            return nullptr;
        std::unique_ptr<Source> source = std::move(at->source);
        mParked.erase(at);
        return source;
    }

private:
    struct Parked {
        std::uint64_t archive;
        int next;
        std::unique_ptr<Source> source;
    };
    std::mutex mMutex;
    std::list<Parked> mParked; // the last used first
};

ArchiveIndex::Opened ArchiveIndex::OpenFile(const QString& path, std::shared_ptr<EntryCache> cache)
{
    auto index = std::unique_ptr<ArchiveIndex>(new ArchiveIndex);
    index->mName = path;
    index->mCache = std::move(cache);
    codec::Result<OpenedFile> file = OpenRegularFile(path);
    if (!file) {
        qCWarning(lcArchive).noquote() << "cannot open archive" << path << ":" << file.error().message.c_str();
        return file.error();
    }
    index->mDevice = file->st.st_dev;
    index->mInode = file->st.st_ino;
    index->mFileSize = file->st.st_size;
    index->mModified = ModifiedNs(file->st);
    return List(std::move(index));
}

ArchiveIndex::Opened ArchiveIndex::OpenMemory(const QByteArray& bytes, const QString& name, int depth,
                                              std::shared_ptr<EntryCache> cache)
{
    auto index = std::unique_ptr<ArchiveIndex>(new ArchiveIndex);
    index->mName = name;
    index->mBytes = bytes;
    index->mInMemory = true;
    index->mDepth = depth;
    index->mCache = std::move(cache);
    return List(std::move(index));
}

ArchiveIndex::Opened ArchiveIndex::OpenNested(int entry, qint64 maxBytes) const
{
    codec::Result<QByteArray> bytes = Read(entry, maxBytes);
    if (!bytes)
        return bytes.error();
    return OpenMemory(*bytes, mName + u'/' + mEntries[std::size_t(entry)].path, mDepth + 1, mCache);
}

ArchiveIndex::~ArchiveIndex()
{
    if (mCache && mCacheId)
        mCache->Forget(mCacheId);
    if (mUnpacksOnTheWay)
        ParkedReaders::Shared().Forget(mCacheId);
}

bool ArchiveIndex::IsAsListed(const struct stat& st) const
{
    return st.st_dev == mDevice && st.st_ino == mInode && st.st_size == mFileSize && ModifiedNs(st) == mModified;
}

bool ArchiveIndex::StillAsListed() const
{
    struct stat st {};
    return mInMemory || (::stat(ToCodePage(mName).constData(), &st) == 0 && IsAsListed(st));
}

codec::Result<std::unique_ptr<ArchiveIndex::Source>> ArchiveIndex::OpenSource(const char* charset) const
{
    auto source = std::make_unique<Source>();
    if (mInMemory) {
        source->bytes.memory = mBytes.constData();
        source->bytes.size = mBytes.size();
    } else {
        codec::Result<OpenedFile> file = OpenRegularFile(mName);
        if (!file)
            return file.error();
        if (!IsAsListed(file->st))
            return codec::Fail(Kind::ReadFailed, "the archive changed since it was listed");
        source->bytes.fd = file->fd.Get();
        source->bytes.size = file->st.st_size;
        source->fd = std::move(file->fd);
    }
    if (charset)
        archive_read_set_options(source->reader.get(), (std::string("hdrcharset=") + charset).c_str());
    if (codec::Result<void> opened = source->Open(); !opened)
        return opened.error();
    return source;
}

// One listing of every header: the files, and every header's name.
struct ArchiveIndex::Pass {
    std::vector<ArchiveEntry> entries;
    std::vector<QByteArray> names; // by header
    std::vector<bool> named;       // by header: whether libarchive gave a name
    bool complete = true;
    std::string stoppedBy; // when not complete
    QString format;
    bool unpacksOnTheWay = false;
    int Headers() const { return int(names.size()); }
};

codec::Result<ArchiveIndex::Pass> ArchiveIndex::ListPass(const char* charset) const
{
    codec::Result<std::unique_ptr<Source>> source = OpenSource(charset);
    if (!source)
        return source.error();
    archive* a = (*source)->reader.get();
    Pass pass;
    for (int header = 0;; ++header) {
        archive_entry* entry = nullptr;
        const int result = archive_read_next_header(a, &entry);
        if (result == ARCHIVE_EOF)
            break;
        // ARCHIVE_FAILED is one header gone wrong (often only its name); the
        // next may still be read.
        if (result == ARCHIVE_FATAL || result == ARCHIVE_RETRY) {
            pass.complete = false;
            pass.stoppedBy = "damage after " + std::to_string(pass.entries.size()) + " files: " + Why(a);
            break;
        }
        if (header >= kMaxHeaders) {
            pass.complete = false;
            pass.stoppedBy = "more than " + std::to_string(kMaxHeaders) + " entries";
            break;
        }
        const char* name = archive_entry_pathname(entry);
        pass.names.emplace_back(name ? name : "");
        pass.named.push_back(name != nullptr);
        if (!IsListedFile(entry))
            continue;
        ArchiveEntry listed;
        listed.size = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
        listed.encrypted = archive_entry_is_encrypted(entry) != 0;
        listed.header = header;
        pass.entries.push_back(std::move(listed));
    }
    pass.format = QString::fromUtf8(archive_format_name(a) ? archive_format_name(a) : "");
    const int format = archive_format(a) & ARCHIVE_FORMAT_BASE_MASK;
    // Solid 7z and RAR unpack every file before the one asked for, and so
    // does a compressed tar; a ZIP, a plain tar, LZH and ISO seek past them.
    pass.unpacksOnTheWay = format == ARCHIVE_FORMAT_7ZIP || format == ARCHIVE_FORMAT_RAR ||
                           format == ARCHIVE_FORMAT_RAR_V5 || archive_filter_count(a) > 1;
    return pass;
}

ArchiveIndex::Opened ArchiveIndex::List(std::unique_ptr<ArchiveIndex> index)
{
    if ((index->mInMemory ? index->mBytes.size() : index->mFileSize) == 0) {
        qCWarning(lcArchive).noquote() << "not an archive:" << index->mName << ": empty";
        return codec::Fail(Kind::NotThisFormat, "empty file");
    }
    Utf8Locale utf8;
    codec::Result<Pass> stored = index->ListPass(nullptr);
    if (!stored) {
        qCWarning(lcArchive).noquote() << "cannot read archive" << index->mName << ":" << stored.error().message.c_str();
        return stored.error();
    }
    // Names that are not UTF-8, or that libarchive would not hand on as
    // stored (it stops an LZH at such a name): read again as code page 932,
    // Japanese Windows' (the archive's UTF-8-flagged names stay UTF-8).
    bool allUtf8 = stored->complete;
    for (int h = 0; h < stored->Headers() && allUtf8; ++h)
        allUtf8 = stored->named[std::size_t(h)] && IsValidUtf8(stored->names[std::size_t(h)]);
    std::optional<Pass> cp932;
    if (!allUtf8) {
        if (codec::Result<Pass> again = index->ListPass("CP932"); again && again->Headers() >= stored->Headers()) {
            cp932 = std::move(*again);
            index->mCharset = "CP932";
        }
    }
    Pass& chosen = cp932 ? *cp932 : *stored;
    index->mComplete = chosen.complete;
    if (!chosen.complete)
        qCWarning(lcArchive).noquote() << "archive" << index->mName << "listed up to" << chosen.stoppedBy.c_str();
    index->mFormat = chosen.format;
    index->mUnpacksOnTheWay = chosen.unpacksOnTheWay;
    std::vector<ArchiveEntry> entries = std::move(chosen.entries);
    for (ArchiveEntry& entry : entries) {
        const std::size_t h = std::size_t(entry.header);
        StoredName name;
        if (h < stored->names.size() && stored->named[h])
            name.asStored = &stored->names[h];
        if (cp932)
            name.asCp932 = &cp932->names[h];
        entry.path = DecodeEntryName(name);
    }

    SortByName(entries);
    index->mEntries = std::move(entries);
    index->mByHeader.resize(index->mEntries.size());
    std::iota(index->mByHeader.begin(), index->mByHeader.end(), 0);
    std::sort(index->mByHeader.begin(), index->mByHeader.end(), [&](int x, int y) {
        return index->mEntries[std::size_t(x)].header < index->mEntries[std::size_t(y)].header;
    });
    index->mCacheId = gNextCacheId++;
    return std::shared_ptr<const ArchiveIndex>(std::move(index));
}

codec::Result<QByteArray> ArchiveIndex::Read(int entryIndex, qint64 maxBytes) const
{
    if (entryIndex < 0 || std::size_t(entryIndex) >= mEntries.size())
        return codec::Fail(Kind::Damaged, "no such file in the archive");
    const ArchiveEntry& target = mEntries[std::size_t(entryIndex)];
    const auto fail = [&](codec::Error error) -> codec::Result<QByteArray> {
        qCWarning(lcArchive).noquote() << "cannot read" << target.path << "in archive" << mName << ":"
                                       << error.Describe().c_str();
        return error;
    };
    if (target.encrypted)
        return fail(codec::Fail(Kind::Unsupported, "encrypted"));
    if (target.size > maxBytes)
        return fail(codec::Fail(Kind::TooLarge, "declares " + std::to_string(target.size) + " bytes, more than " +
                                                    std::to_string(maxBytes)));
    const bool cached = mUnpacksOnTheWay && mCache;
    const auto fromCache = [&]() -> std::optional<codec::Result<QByteArray>> {
        std::optional<QByteArray> bytes = cached ? mCache->Find({mCacheId, target.header}) : std::nullopt;
        if (!bytes)
            return std::nullopt;
        if (bytes->size() > maxBytes)
            return fail(codec::Fail(Kind::TooLarge, "unpacks to more than " + std::to_string(maxBytes) + " bytes"));
        return std::move(*bytes);
    };
    if (auto bytes = fromCache())
        return std::move(*bytes);

    std::unique_lock<std::mutex> solid;
    std::unique_ptr<Source> source;
    int header = 0;
    if (mUnpacksOnTheWay) {
        solid = std::unique_lock(mSolidRead);
        // Another thread may have unpacked it on its way while this one waited.
        if (auto bytes = fromCache())
            return std::move(*bytes);
        // Going on from the last read, unless the file is no longer the one listed.
        if (StillAsListed())
            source = ParkedReaders::Shared().Take(mCacheId, target.header, &header);
    }

    Utf8Locale utf8;
    if (!source) {
        codec::Result<std::unique_ptr<Source>> opened = OpenSource(mCharset);
        if (!opened)
            return fail(opened.error());
        source = std::move(*opened);
    }
    archive* a = source->reader.get();

    auto next = mByHeader.begin(); // the next listed file on the way
    for (; header <= target.header; ++header) {
        archive_entry* entry = nullptr;
        const int result = archive_read_next_header(a, &entry);
        if (result == ARCHIVE_EOF)
            return fail(codec::Fail(Kind::Damaged, "the archive ends before the file"));
        if (result == ARCHIVE_FATAL || result == ARCHIVE_RETRY)
            return fail(codec::Fail(Kind::Damaged, Why(a)));
        while (next != mByHeader.end() && mEntries[std::size_t(*next)].header < header)
            ++next;
        if (header == target.header) {
            codec::Result<QByteArray> bytes = ReadData(a, entry, maxBytes);
            if (!bytes)
                return fail(bytes.error());
            if (cached)
                mCache->Insert({mCacheId, header}, *bytes);
            if (mUnpacksOnTheWay)
                ParkedReaders::Shared().Put(mCacheId, header + 1, std::move(source));
            return bytes;
        }
        // Unpacked on the way anyway: keep it for a step back.
        if (!cached || next == mByHeader.end() || mEntries[std::size_t(*next)].header != header)
            continue;
        const ArchiveEntry& passed = mEntries[std::size_t(*next)];
        if (passed.encrypted || passed.size < 0 || passed.size > maxBytes || std::size_t(passed.size) > mCache->Budget() ||
            mCache->Contains({mCacheId, header}))
            continue;
        if (codec::Result<QByteArray> bytes = ReadData(a, entry, maxBytes))
            mCache->Insert({mCacheId, header}, *bytes);
    }
    return fail(codec::Fail(Kind::Damaged, "the archive ends before the file"));
}
