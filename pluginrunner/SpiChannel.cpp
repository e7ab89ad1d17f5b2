#include "pluginrunner/SpiChannel.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "pluginrunner/BridgeLog.h"
#include "pluginrunner/ChildProcess.h"
#include "pluginrunner/PluginFile.h"
#include "pluginrunner/SpiArchive.h"
#include "pluginrunner/SpiProtocol.h"
#include "pluginrunner/WineSession.h"
#include "platform/LocalMemory.h"

namespace SpiChannel {
namespace {

using namespace SpiProtocol;
using Clock = std::chrono::steady_clock;

// Stands for a handle the plug-in gave that was no block: LocalLock refuses
// it and LocalFree leaves it alone, as they would the plug-in's own value.
void* const kInvalidHandle = reinterpret_cast<void*>(std::uintptr_t(1));

struct Failed {
    std::string message;
};

// Whether the last call on this thread failed by running out of time.
thread_local bool tTimedOut = false;

// Windows helpers alive in this process: while there is one, the wine
// server that serves it runs.
std::atomic<int> gWindowsHelpers{0};

// Helpers for this key serve archive plug-ins, for every thread.
constexpr std::uintptr_t kArchiveCalls = LOADPLUGIN_ARCHIVE_CALLS;
// Susie's "out of memory": an entry larger than the caller takes.
constexpr int kOutOfMemory = 4;

// How long a call waits for the wine prefix that is being made (the program
// waits for it before it calls, without blocking its windows).
constexpr int kPrefixWaitMs = 120000;

// A plug-in whose progress moves gets the time limit anew from each move,
// up to this many limits for the whole call (2 minutes by default).
constexpr int kProgressLimits = 12;

// The folder that holds the scratch folders of archive plug-ins' helpers:
// Windows ones inside the wine prefix, where the plug-in's drive C is.
std::string ScratchRoot(bool windows)
{
    return windows ? WineSession::PrefixPath() + "/drive_c/velmora-scratch"
                   : WineSession::DataHome() + "/velmora/scratch";
}

// Scratch folders ("PID-N") whose process has ended without removing them
// (it was killed).
void RemoveAbandoned(const std::string& root)
{
    std::error_code error;
    for (std::filesystem::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        const long pid = std::strtol(name.c_str(), nullptr, 10);
        if (pid > 0 && name.find('-') != std::string::npos && kill(pid_t(pid), 0) != 0 && errno == ESRCH) {
            std::error_code ignored;
            std::filesystem::remove_all(it->path(), ignored);
        }
    }
}

class Helper {
public:
    // For archive plug-ins (forArchives), the helper gets a scratch folder
    // of its own, made when it starts and removed when it stops.
    Helper(std::string pluginPath, bool forArchives) : mPlugin(std::move(pluginPath)), mForArchives(forArchives) {}
    ~Helper() { Stop(); }

    std::mutex& Mutex() { return mMutex; }
    const std::string& Plugin() const { return mPlugin; }

    void Begin(const char* call)
    {
        mCall = call;
        // A helper that died while idle is reaped (with what its plug-in
        // left running) and replaced unnoticed. Not reaped yet when seen, so
        // that its group's number still names it.
        siginfo_t died{};
        if (mPid > 0 && mOwner != getpid()) {
            Stop(); // a copy made by fork: the helper is the parent's
            mStarted = false;
        } else if (mPid > 0 && waitid(P_PID, id_t(mPid), &died, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                   died.si_pid == mPid) {
            mLastEnd = "it ended between calls";
            Stop();
        }
        if (mFd < 0)
            Start();
        const auto limit = std::chrono::milliseconds(TimeoutMs());
        mDeadline = Clock::now() + limit;
        mCap = Clock::now() + limit * kProgressLimits;
        mProgress.reset();
        mEnding = false;
    }

    // The plug-in reported progress: when it moved, the limit starts again
    // (within the call's cap); the same report over and over gains nothing.
    void Progressed(std::int32_t nNum)
    {
        if (mProgress && *mProgress != nNum)
            mDeadline = std::min(Clock::now() + std::chrono::milliseconds(TimeoutMs()), mCap);
        mProgress = nNum;
    }

    // Time spent in the host's own callback is not the plug-in's.
    void Paused(Clock::duration spent)
    {
        mDeadline += spent;
        mCap += spent;
    }

    void Send(Frame type, const std::string& body, const void* extra = nullptr,
              std::size_t extraSize = 0)
    {
        const Header header{std::uint32_t(type), 0, body.size() + extraSize};
        Write(&header, sizeof header);
        Write(body.data(), body.size());
        Write(extra, extraSize);
    }

    void Read(void* data, std::size_t size)
    {
        auto* at = static_cast<char*>(data);
        while (size) {
            const ssize_t n = Receive(at, size);
            if (n > 0) {
                at += n;
                size -= std::size_t(n);
            } else if (n == 0) {
                Die("ended");
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                Wait(POLLIN);
            } else if (errno != EINTR) {
                Die("ended");
            }
        }
    }

    Header ReadHeader()
    {
        Header header;
        Read(&header, sizeof header);
        const bool answer = header.type == std::uint32_t(Frame::Result) ||
                            header.type == std::uint32_t(Frame::Failure);
        if (header.flags != 0 && (header.flags != kEnding || !answer))
            Garbage();
        mAnswered = true;
        mEnding = header.flags == kEnding;
        return header;
    }

    std::string ReadBody(const Header& header, std::uint64_t limit)
    {
        if (header.length > limit)
            Garbage();
        std::string body(header.length, '\0');
        Read(body.data(), body.size());
        return body;
    }

    // The next file descriptor that came along with the answer.
    int TakeFile()
    {
        if (mFiles.empty())
            Garbage();
        const int file = mFiles.front();
        mFiles.erase(mFiles.begin());
        return file;
    }

    // Descriptors the helper sent and the call did not use.
    void CloseFiles()
    {
        for (const int file : mFiles)
            close(file);
        mFiles.clear();
    }

    // The helper said it ends after its answer (its plug-in kept too much
    // memory): it is stopped now, and the next call starts a new one.
    void EndIfAsked()
    {
        if (mEnding) {
            mLastEnd = std::string("its plug-in kept too much memory after ") + mCall;
            Stop();
        }
    }

    [[noreturn]] void Garbage() { Die("gave an answer that is not understood, and was stopped"); }

    // Ends the helper and fails the call; the next call starts a new one.
    [[noreturn]] void Die(const std::string& what)
    {
        std::string message = what + " during " + mCall;
        const bool unstarted = mWindows && !mAnswered;
        const int status = Stop();
        // A Windows helper that never answered may have met a broken wine prefix.
        if (unstarted)
            WineSession::HelperFailed(PluginFile::KindOf(mPlugin.c_str()) == PluginFile::Kind::Windows64);
        if (status >= 0 && WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL)
            message += " (signal " + std::to_string(WTERMSIG(status)) + ")";
        else if (status >= 0 && WIFEXITED(status))
            message += " (exit code " + std::to_string(WEXITSTATUS(status)) + ")";
        mLastEnd = "it " + message;
        throw Failed{"plug-in " + mPlugin + " " + message};
    }

    // Kills and reaps the helper; its wait status, or -1 when there was none.
    int Stop()
    {
        int status = -1;
        CloseFiles();
        RemoveScratch();
        if (mFd >= 0) {
            close(mFd);
            mFd = -1;
        }
        if (mPid > 0) {
            if (mWindows)
                --gWindowsHelpers;
            // A helper copied into a child of ours by fork is its parent's.
            if (mOwner == getpid()) {
                KillGroup();
                while (waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
                }
            }
            mPid = -1;
        }
        return status;
    }

    // The helper and whatever its plug-in started, which share its process
    // group; safe from any thread while the helper is not yet reaped.
    void KillGroup()
    {
        const pid_t pid = mPid;
        if (pid > 0 && mOwner == getpid())
            kill(-pid, SIGKILL);
    }

private:
    void Start()
    {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            throw Failed{"cannot start a helper for plug-in " + mPlugin + ": " +
                         std::strerror(errno)};
        const int buffer = 1 << 20;
        setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        pid_t pid = -1;
        std::string what;
        mWindows = false;
        try {
            pid = Spawn(pair[1], what);
        } catch (...) {
            close(pair[0]);
            close(pair[1]);
            throw;
        }
        close(pair[1]);
        if (pid <= 0) {
            close(pair[0]);
            RemoveScratch();
            throw Failed{"cannot start " + what + " for plug-in " + mPlugin + ": " +
                         std::strerror(-pid)};
        }
        mOwner = getpid();
        mPid = pid;
        mFd = pair[0];
        // Said once here rather than by every call that fails: the call's
        // own error tells what it cost.
        if (mStarted)
            BridgeLog::Say(BridgeLog::Topic::Plugins,
                           "plug-in " + mPlugin + ": a new helper starts (" +
                               (mLastEnd.empty() ? std::string("the last one was stopped") : mLastEnd) + ")");
        mStarted = true;
        mLastEnd.clear();
        mAnswered = false;
        if (mWindows)
            ++gWindowsHelpers;
        fcntl(mFd, F_SETFL, fcntl(mFd, F_GETFL) | O_NONBLOCK);
    }

    // Starts the helper that runs this plug-in's kind of file, its end of
    // the channel given; the pid or -errno, what names the helper.
    pid_t Spawn(int channel, std::string& what)
    {
        const std::string folder = ChildProcess::BridgeFolder();
        ChildProcess::Options options;
        const PluginFile::Kind kind = PluginFile::KindOf(mPlugin.c_str());
        if (kind == PluginFile::Kind::Native) {
            // The helper reads its channel on descriptor 3.
            what = folder + "/velmora-spihost";
            options.channel = channel;
            options.err = STDERR_FILENO; // what the plug-in prints, by its name
            options.helper = true;
            options.ownGroup = true;
            options.servesEveryThread = mForArchives;
            if (!mForArchives)
                return ChildProcess::Start({what, mPlugin}, options);
            return ChildProcess::Start({what, mPlugin, MakeScratch(false)}, options);
        }
        if (kind == PluginFile::Kind::Unknown)
            throw Failed{"plug-in " + mPlugin +
                         " is neither a Linux shared object nor a Windows DLL the bridge can run"};
        // A Windows plug-in: its helper under wine, the channel on its
        // standard input and output (which the helper keeps from the
        // plug-in), tied to this process by the launcher.
        const bool sixtyFour = kind == PluginFile::Kind::Windows64;
        what = folder + (sixtyFour ? "/velmora-spihost64.exe" : "/velmora-spihost32.exe");
        std::string why;
        const std::string loader = WineSession::Loader(sixtyFour, why);
        if (loader.empty()) {
            WineSession::Advise(why);
            throw Failed{"plug-in " + mPlugin + " needs wine: " + why};
        }
        if (access(what.c_str(), R_OK) != 0)
            throw Failed{"plug-in " + mPlugin + " needs " + what +
                         ", which this build of Velmora lacks (built without mingw-w64)"};
        if (WineSession::Wait(kPrefixWaitMs, why) != WineSession::State::Ready) {
            WineSession::Advise(why.empty() ? "the wine prefix is not ready" : why);
            throw Failed{"plug-in " + mPlugin + " cannot run: " +
                         (why.empty() ? "the wine prefix is not ready" : why)};
        }
        // Started here, not by the helper, so that its long-lived processes
        // keep none of our descriptors.
        if (gWindowsHelpers.load() == 0)
            WineSession::StartServer();
        mWindows = true;
        options.in = channel;
        options.out = channel;
        options.err = STDERR_FILENO; // what the plug-in prints, by its name
        options.environment = WineSession::Environment();
        options.helper = true;
        options.ownGroup = true;
        options.servesEveryThread = mForArchives;
        if (!mForArchives)
            return ChildProcess::Start({folder + "/velmora-spihost", "--windows", loader, what, mPlugin},
                                       options);
        return ChildProcess::Start(
            {folder + "/velmora-spihost", "--windows", loader, what, mPlugin, MakeScratch(true)}, options);
    }

    // A new scratch folder, private to this user.
    std::string MakeScratch(bool windows)
    {
        static std::atomic<unsigned> made{0};
        const std::string root = ScratchRoot(windows);
        std::error_code error;
        std::filesystem::create_directories(root, error);
        if (made == 0)
            RemoveAbandoned(root);
        mScratch = root + "/" + std::to_string(getpid()) + "-" + std::to_string(++made);
        std::filesystem::remove_all(mScratch, error); // left by an earlier process of this number
        if (mkdir(mScratch.c_str(), 0700) != 0)
            throw Failed{"cannot make a private folder for plug-in " + mPlugin + ": " + std::strerror(errno)};
        return mScratch;
    }

    void RemoveScratch()
    {
        if (mScratch.empty())
            return;
        std::error_code error;
        std::filesystem::remove_all(mScratch, error);
        mScratch.clear();
    }

    // recv that also takes file descriptors (close-on-exec) sent along.
    ssize_t Receive(char* at, std::size_t size)
    {
        iovec part{at, size};
        char control[CMSG_SPACE(sizeof(int) * kMaxFiles)];
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(mFd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n < 0)
            return n;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
                continue;
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int file;
                std::memcpy(&file, CMSG_DATA(c) + i * sizeof(int), sizeof file);
                mFiles.push_back(file);
            }
        }
        if (mFiles.size() > std::size_t(kMaxFiles) || (message.msg_flags & MSG_CTRUNC))
            Garbage();
        return n;
    }

    void Write(const void* data, std::size_t size)
    {
        const auto* at = static_cast<const char*>(data);
        while (size) {
            // MSG_NOSIGNAL: a helper that is gone must not take the program along.
            const ssize_t n = send(mFd, at, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                at += n;
                size -= std::size_t(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                Wait(POLLOUT);
            } else if (n < 0 && errno != EINTR) {
                Die("ended");
            }
        }
    }

    void Wait(short events)
    {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                mDeadline - Clock::now());
            if (left.count() <= 0) {
                tTimedOut = true;
                Die(Clock::now() >= mCap
                        ? "did not finish within " +
                              std::to_string(TimeoutMs() * std::int64_t(kProgressLimits)) +
                              " ms, though it showed progress, and was stopped"
                        : "did not answer within " + std::to_string(TimeoutMs()) +
                              " ms and was stopped");
            }
            pollfd p{mFd, events, 0};
            const int n = poll(&p, 1, int(std::min<long long>(left.count() + 1, 1 << 30)));
            if (n > 0)
                return; // readiness, or an error the next recv/send reports
            if (n < 0 && errno != EINTR)
                Die("ended");
        }
    }

    std::string mPlugin;
    bool mForArchives;
    std::string mScratch; // the scratch folder of the running helper, if any
    std::mutex mMutex;
    std::atomic<pid_t> mPid{-1};
    pid_t mOwner = -1; // the process that started the helper
    int mFd = -1;
    bool mWindows = false; // the helper runs under wine
    bool mAnswered = false; // since it was started
    bool mStarted = false;  // a helper was started before
    std::string mLastEnd;   // why the last helper ended, for the next start
    const char* mCall = "";
    Clock::time_point mDeadline, mCap;
    std::optional<std::int32_t> mProgress; // the last progress reported in this call
    bool mEnding = false;
    std::vector<int> mFiles;
};

std::mutex gHelpersMutex;
// Each thread has helpers of its own: a plug-in that hangs for one thread
// never holds another (the program's window and its decoding threads).
using HelperKey = std::pair<std::string, std::uintptr_t>;
thread_local std::uintptr_t tCallFor = 0;

std::uintptr_t OwnKey()
{
    if (tCallFor)
        return tCallFor;
    static_assert(sizeof(pthread_t) <= sizeof(std::uintptr_t));
    return std::uintptr_t(pthread_self());
}
std::map<HelperKey, std::unique_ptr<Helper>>& Helpers()
{
    // Kept for the life of the process; a helper ends when its socket closes.
    static auto* helpers = new std::map<HelperKey, std::unique_ptr<Helper>>;
    return *helpers;
}

// The helpers end with the program, with everything their plug-ins started;
// reaped here, so that none is left behind as a zombie for an init that does
// not reap. One busy in a call on another thread is killed all the same.
__attribute__((destructor)) void StopHelpers()
{
    std::lock_guard lock(gHelpersMutex);
    for (auto& [path, helper] : Helpers()) {
        if (helper->Mutex().try_lock()) {
            helper->Stop();
            helper->Mutex().unlock();
        } else {
            helper->KillGroup();
        }
    }
}

Helper& HelperFor(const char* pluginPath)
{
    std::lock_guard lock(gHelpersMutex);
    const std::uintptr_t owner = OwnKey();
    auto& slot = Helpers()[{pluginPath, owner}];
    if (!slot)
        slot = std::make_unique<Helper>(pluginPath, owner == kArchiveCalls);
    return *slot;
}

// Runs one call on the plug-in's helper; the Result body goes to onResult.
template <typename OnResult>
void Call(const char* pluginPath, const char* name, std::string& error, Frame request,
          const std::string& body, const void* extra, std::size_t extraSize,
          SpiProgressCallback progress, std::intptr_t lData, std::uint64_t resultLimit,
          OnResult&& onResult)
{
    tTimedOut = false;
    if (!pluginPath) {
        error = std::string("no plug-in path given for ") + name;
        return;
    }
    Helper& helper = HelperFor(pluginPath);
    // A progress callback that calls the same plug-in again would wait for itself.
    thread_local const Helper* busy = nullptr;
    if (busy == &helper) {
        error = std::string("plug-in ") + pluginPath + " called again from its progress callback";
        return;
    }
    std::lock_guard lock(helper.Mutex());
    const Helper* outer = busy;
    busy = &helper;
    struct Leave {
        const Helper* outer;
        ~Leave() { busy = outer; }
    } leave{outer};
    try {
        helper.Begin(name);
        helper.Send(request, body, extra, extraSize);
        for (;;) {
            const Header header = helper.ReadHeader();
            if (header.type == std::uint32_t(Frame::Progress) &&
                (request == Frame::GetPicture || request == Frame::GetFile)) {
                const std::string report = helper.ReadBody(header, 8);
                Reader in(report.data(), report.size());
                const auto nNum = in.Get<std::int32_t>();
                const auto nDenom = in.Get<std::int32_t>();
                if (!in.Ok() || !in.AtEnd())
                    helper.Garbage();
                helper.Progressed(nNum);
                if (progress) {
                    const Clock::time_point asked = Clock::now();
                    const std::int32_t answer = progress(nNum, nDenom, lData);
                    helper.Paused(Clock::now() - asked);
                    helper.Send(Frame::ProgressAnswer, Writer().Put(answer).Data());
                }
            } else if (header.type == std::uint32_t(Frame::Failure)) {
                error = helper.ReadBody(header, 65536);
                helper.EndIfAsked();
                return;
            } else if (header.type == std::uint32_t(Frame::Result)) {
                const std::string answer = helper.ReadBody(header, resultLimit);
                Reader in(answer.data(), answer.size());
                onResult(helper, in);
                helper.CloseFiles();
                helper.EndIfAsked();
                return;
            } else {
                helper.Garbage();
            }
        }
    } catch (const Failed& failed) {
        error = failed.message;
    }
    helper.CloseFiles();
}

struct Incoming {
    BlockKind kind;
    std::uint64_t size;
};

Incoming GetBlock(Helper& helper, Reader& in)
{
    const auto kind = BlockKind(in.Get<std::uint8_t>());
    const auto size = in.Get<std::uint64_t>();
    if (!in.Ok() || kind > BlockKind::SharedMoveable || size > kMaxBlock ||
        (kind < BlockKind::Fixed && size != 0))
        helper.Garbage();
    return {kind, size};
}

// Reads a block's bytes into a new local-memory block of this process.
void* ReceiveBlock(Helper& helper, const Incoming& block)
{
    if (block.kind == BlockKind::Null)
        return nullptr;
    if (block.kind == BlockKind::Invalid)
        return kInvalidHandle;
    if (block.kind == BlockKind::SharedFixed || block.kind == BlockKind::SharedMoveable) {
        // Taken only when sealed and of exactly the size told.
        const int file = helper.TakeFile();
        void* handle = LocalAttachFile(
            file, block.kind == BlockKind::SharedMoveable ? LMEM_MOVEABLE : LMEM_FIXED,
            std::size_t(block.size));
        close(file);
        if (!handle)
            helper.Garbage();
        return handle;
    }
    void* handle = LocalAlloc(block.kind == BlockKind::Moveable ? LMEM_MOVEABLE : LMEM_FIXED,
                              std::size_t(block.size));
    void* data = handle ? LocalLock(handle) : nullptr;
    if (!data) {
        LocalFree(handle);
        helper.Die("answered a block of " + std::to_string(block.size) +
                   " bytes that cannot be allocated, and was stopped");
    }
    try {
        helper.Read(data, std::size_t(block.size));
    } catch (...) {
        LocalUnlock(handle);
        LocalFree(handle);
        throw;
    }
    LocalUnlock(handle);
    return handle;
}

void Drop(void* handle)
{
    if (handle && handle != kInvalidHandle)
        LocalFree(handle);
}

// What GetPicture and GetPictureInfo read: a file name or len bytes.
void PutSource(Writer& body, const char* buf, std::intptr_t len, unsigned int flag,
               const void*& extra, std::size_t& extraSize)
{
    std::size_t size = 0;
    if (buf)
        size = (flag & 7) == 1 ? (len > 0 ? std::size_t(len) : 0) : std::strlen(buf);
    body.Put(std::uint8_t(buf != nullptr)).Put(std::uint64_t(size));
    extra = buf;
    extraSize = size;
}

} // namespace

std::uintptr_t CallFor(std::uintptr_t owner)
{
    const std::uintptr_t before = tCallFor;
    tCallFor = owner;
    return before;
}

void GiveUp(std::uintptr_t owner)
{
    if (!owner)
        owner = OwnKey();
    std::lock_guard lock(gHelpersMutex);
    for (auto& [key, helper] : Helpers()) {
        if (key.second != owner)
            continue;
        // An idle helper has nothing to give up.
        if (helper->Mutex().try_lock())
            helper->Mutex().unlock();
        else
            helper->KillGroup();
    }
}

int TimeoutMs()
{
    if (const char* text = std::getenv("VELMORA_SPI_TIMEOUT_MS")) {
        const long value = std::strtol(text, nullptr, 10);
        if (value > 0 && value < (1L << 30))
            return int(value);
    }
    return 10000;
}

bool TimedOut()
{
    return tTimedOut;
}

int GetPluginInfo(const char* pluginPath, int infono, char* buf, int buflen, std::string& error)
{
    const std::size_t size = buf && buflen > 0 ? std::size_t(buflen) : 0;
    if (size > kMaxBody - 64) {
        error = "GetPluginInfo buffer too large";
        return 0;
    }
    Writer body;
    body.Put(std::int32_t(infono)).Put(std::int32_t(buflen)).Put(std::uint8_t(buf != nullptr));
    int result = 0;
    Call(pluginPath, "GetPluginInfo", error, Frame::GetPluginInfo, body.Data(), buf, size, nullptr,
         0, 4 + size, [&](Helper& helper, Reader& in) {
             const auto r = in.Get<std::int32_t>();
             const char* text = in.Bytes(size);
             if (!in.Ok() || !in.AtEnd())
                 helper.Garbage();
             if (size)
                 std::memcpy(buf, text, size);
             result = r;
         });
    return result;
}

int IsSupported(const char* pluginPath, const char* fileName, const char* head,
                std::string& error)
{
    const std::size_t nameSize = fileName ? std::strlen(fileName) : 0;
    if (nameSize > 65536) {
        error = "IsSupported file name too long";
        return 0;
    }
    static const char kNoHead[kHeadSize] = {};
    Writer body;
    body.Put(std::uint8_t(head != nullptr)).Put(std::uint32_t(nameSize)).Bytes(fileName, nameSize);
    body.Bytes(head ? head : kNoHead, kHeadSize);
    int result = 0;
    Call(pluginPath, "IsSupported", error, Frame::IsSupported, body.Data(), nullptr, 0, nullptr, 0,
         4, [&](Helper& helper, Reader& in) {
             result = in.Get<std::int32_t>();
             if (!in.Ok() || !in.AtEnd())
                 helper.Garbage();
         });
    return result;
}

int GetPictureInfo(const char* pluginPath, const char* buf, std::intptr_t len, unsigned int flag,
                   PictureInfo* lpInfo, std::string& error)
{
    Writer body;
    body.Put(std::uint32_t(flag)).Put(std::int64_t(len)).Put(std::uint8_t(lpInfo != nullptr));
    const void* extra = nullptr;
    std::size_t extraSize = 0;
    PutSource(body, buf, len, flag, extra, extraSize);
    int result = 0;
    Call(pluginPath, "GetPictureInfo", error, Frame::GetPictureInfo, body.Data(), extra, extraSize,
         nullptr, 0, 64, [&](Helper& helper, Reader& in) {
             const auto r = in.Get<std::int32_t>();
             PictureInfo info{};
             info.left = in.Get<std::int32_t>();
             info.top = in.Get<std::int32_t>();
             info.width = in.Get<std::int32_t>();
             info.height = in.Get<std::int32_t>();
             info.x_density = in.Get<std::uint16_t>();
             info.y_density = in.Get<std::uint16_t>();
             info.colorDepth = in.Get<std::int16_t>();
             const Incoming text = GetBlock(helper, in);
             if (!in.AtEnd() || (!lpInfo && text.kind != BlockKind::Null))
                 helper.Garbage();
             info.hInfo = ReceiveBlock(helper, text);
             if (lpInfo)
                 *lpInfo = info;
             result = r;
         });
    return result;
}

int GetPicture(const char* pluginPath, const char* buf, std::intptr_t len, unsigned int flag,
               void** pHBInfo, void** pHBm, SpiProgressCallback progressCallback,
               std::intptr_t lData, std::string& error)
{
    Writer body;
    body.Put(std::uint32_t(flag)).Put(std::int64_t(len))
        .Put(std::uint8_t(progressCallback != nullptr)).Put(std::int64_t(lData));
    const void* extra = nullptr;
    std::size_t extraSize = 0;
    PutSource(body, buf, len, flag, extra, extraSize);
    int result = 0;
    Call(pluginPath, "GetPicture", error, Frame::GetPicture, body.Data(), extra, extraSize,
         progressCallback, lData, 64, [&](Helper& helper, Reader& in) {
             const auto r = in.Get<std::int32_t>();
             const Incoming infoBlock = GetBlock(helper, in);
             const Incoming bitsBlock = GetBlock(helper, in);
             if (!in.AtEnd())
                 helper.Garbage();
             void* info = ReceiveBlock(helper, infoBlock);
             void* bits = nullptr;
             try {
                 bits = ReceiveBlock(helper, bitsBlock);
             } catch (...) {
                 Drop(info);
                 throw;
             }
             if (pHBInfo)
                 *pHBInfo = info;
             else
                 Drop(info);
             if (pHBm)
                 *pHBm = bits;
             else
                 Drop(bits);
             result = r;
         });
    return result;
}

int GetArchiveInfo(const char* pluginPath, const char* buf, std::intptr_t len, unsigned int flag,
                   void** lphInf, std::string& error)
{
    Writer body;
    body.Put(std::uint32_t(flag)).Put(std::int64_t(len));
    const void* extra = nullptr;
    std::size_t extraSize = 0;
    PutSource(body, buf, len, flag, extra, extraSize);
    int result = 0;
    if (lphInf)
        *lphInf = nullptr;
    Call(pluginPath, "GetArchiveInfo", error, Frame::GetArchiveInfo, body.Data(), extra, extraSize,
         nullptr, 0, SpiArchive::kMaxListingBytes, [&](Helper& helper, Reader& in) {
             SpiArchive::ListingAnswer answer;
             if (!SpiArchive::ReadListingAnswer(in, answer))
                 helper.Garbage();
             result = answer.result;
             if (!answer.gaveBlock || !lphInf)
                 return;
             Writer listing;
             SpiArchive::Put(listing, answer.entries, answer.ended);
             void* block = LocalAlloc(LMEM_FIXED, listing.Data().size());
             if (!block)
                 helper.Die("answered a listing that cannot be allocated, and was stopped");
             std::memcpy(block, listing.Data().data(), listing.Data().size());
             *lphInf = block;
         });
    return result;
}

int GetFile(const char* pluginPath, const char* src, std::intptr_t len, unsigned int flag, void** block,
            std::uint64_t maxBytes, std::string& error)
{
    Writer body;
    body.Put(std::uint32_t(flag)).Put(std::int64_t(len)).Put(std::uint64_t(maxBytes));
    const void* extra = nullptr;
    std::size_t extraSize = 0;
    PutSource(body, src, len, flag, extra, extraSize);
    int result = 0;
    if (block)
        *block = nullptr;
    if ((flag & 7) != 0 || !src) {
        error = "GetFile takes the archive as a file only";
        return 0;
    }
    Call(pluginPath, "GetFile", error, Frame::GetFile, body.Data(), extra, extraSize, nullptr, 0, 64,
         [&](Helper& helper, Reader& in) {
             SpiArchive::FileAnswer answer;
             if (!SpiArchive::ReadFileAnswer(in, maxBytes, answer))
                 helper.Garbage();
             const Incoming bytes{answer.kind, answer.size};
             void* received = ReceiveBlock(helper, bytes);
             result = answer.tooLarge ? kOutOfMemory : answer.result;
             if (block)
                 *block = received;
             else
                 Drop(received);
         });
    return result;
}

} // namespace SpiChannel
