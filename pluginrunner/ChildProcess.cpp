#include "pluginrunner/ChildProcess.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

extern char** environ;

namespace ChildProcess {
namespace {

// Descriptors at or above this never collide with what a child is given.
constexpr int kHighFd = 10;

// A close-on-exec copy of fd at kHighFd or above (fd itself stays open).
int High(int fd)
{
    return fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, kHighFd);
}

std::string Folder()
{
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&BridgeFolder), &info) || !info.dli_fname)
        return ".";
    const std::string path = info.dli_fname;
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

struct HelperProgram {
    std::string folder;
    int fd = -1;
};

HelperProgram& Program()
{
    static HelperProgram program;
    return program;
}

__attribute__((constructor)) void OpenHelperProgram()
{
    HelperProgram& program = Program();
    program.folder = Folder();
    const int fd = open((program.folder + "/velmora-spihost").c_str(), O_RDONLY | O_CLOEXEC);
    program.fd = High(fd);
    if (fd >= 0)
        close(fd);
}

} // namespace

std::string BridgeFolder()
{
    return Program().folder;
}

namespace {

pid_t StartHere(const std::vector<std::string>& argv, const Options& options);

// Helpers end when the thread that started them ends (they ask for a
// parent-death signal, which follows the thread, not the process): those
// that serve every thread are started on one thread that lasts as long as
// the process, whichever thread asks (one that lists an archive ends soon).
class Starter {
public:
    pid_t Start(const std::vector<std::string>& argv, const Options& options)
    {
        // A copy of this process made by fork has no such thread (nor may it
        // trust the lock): it starts its children itself.
        if (getpid() != mProcess)
            return StartHere(argv, options);
        std::packaged_task<pid_t()> task([&] { return StartHere(argv, options); });
        std::future<pid_t> started = task.get_future();
        {
            std::lock_guard lock(mMutex);
            mTasks.push_back(std::move(task));
        }
        mWake.notify_one();
        return started.get();
    }

    static Starter& Instance()
    {
        static auto* starter = new Starter; // never ends, nor does its thread
        return *starter;
    }

private:
    Starter()
    {
        std::thread([this] {
            pthread_setname_np(pthread_self(), "velmora-start");
            for (;;) {
                std::unique_lock lock(mMutex);
                mWake.wait(lock, [this] { return !mTasks.empty(); });
                std::packaged_task<pid_t()> task = std::move(mTasks.front());
                mTasks.pop_front();
                lock.unlock();
                task();
            }
        }).detach();
    }

    const pid_t mProcess = getpid();
    std::mutex mMutex;
    std::condition_variable mWake;
    std::deque<std::packaged_task<pid_t()>> mTasks;
};

} // namespace

pid_t Start(const std::vector<std::string>& argv, const Options& options)
{
    return options.servesEveryThread ? Starter::Instance().Start(argv, options) : StartHere(argv, options);
}

namespace {

pid_t StartHere(const std::vector<std::string>& argv, const Options& options)
{
    // velmora-spihost was opened when the bridge was loaded, so that it
    // still starts when the bridge's folder has been renamed or removed
    // since. The child executes it as its descriptor 4, which nothing else
    // is put on.
    const HelperProgram& program = Program();
    const bool byDescriptor = options.helper && program.fd >= 0 && access("/proc/self/fd", X_OK) == 0;

    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    const int nullHigh = High(null);
    if (null >= 0)
        close(null);
    // Sources are moved out of the way of the targets first.
    const int sources[4] = {High(options.in >= 0 ? options.in : nullHigh),
                            High(options.out >= 0 ? options.out : nullHigh),
                            High(options.err >= 0 ? options.err : nullHigh), High(options.channel)};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int target = 0; target < 4; ++target)
        if (sources[target] >= 0)
            posix_spawn_file_actions_adddup2(&actions, sources[target], target);
    constexpr int kProgramFd = 4;
    if (byDescriptor)
        posix_spawn_file_actions_adddup2(&actions, program.fd, kProgramFd);
    posix_spawn_file_actions_addclosefrom_np(&actions, byDescriptor ? kProgramFd + 1
                                                       : sources[3] >= 0 ? 4 : 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (options.ownGroup) {
        posix_spawnattr_setpgroup(&attributes, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attributes, flags);

    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (const std::string& e : options.environment)
        env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    const std::string file = byDescriptor     ? "/proc/self/fd/" + std::to_string(kProgramFd)
                             : options.helper ? program.folder + "/velmora-spihost"
                                              : argv.at(0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, file.c_str(), &actions, &attributes, args.data(),
                               options.environment.empty() ? environ : env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    for (const int fd : sources)
        if (fd >= 0)
            close(fd);
    if (nullHigh >= 0)
        close(nullHigh);
    return rc == 0 ? pid : -rc;
}

} // namespace

int Wait(pid_t pid)
{
    int status = -1;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

} // namespace ChildProcess
