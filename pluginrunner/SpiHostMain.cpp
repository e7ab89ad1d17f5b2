// velmora-spihost PLUGIN [SCRATCH]: runs one plug-in file (a Linux shared object) for
// the bridge, so that a plug-in that crashes, hangs or scribbles over memory
// takes only this process down. It answers the requests that arrive on
// descriptor 3 (pluginrunner/SpiProtocol.h) until the bridge closes its end, and
// provides LocalAlloc and its relatives to the plug-in (exported from this
// program). What the plug-in prints reaches the program's standard error,
// each line led by the plug-in's name.
//
// velmora-spihost --exec PROGRAM ARG...: the launcher of wine's programs.
// It ties PROGRAM to the life of the process that started it, then becomes
// it. --windows PROGRAM ARG...: the same for a Windows helper (PROGRAM is
// wine), which also gets a guard and the memory limit.
//
// SCRATCH: the folder where an archive plug-in that cannot hand over memory
// writes the files it unpacks; the helper writes nowhere else once it has
// called an archive function.
//
// A helper's memory is limited (SpiProtocol::kDefaultMemoryMb): a plug-in
// that goes past it fails that picture only.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "pluginrunner/SpiHostCore.h"
#include "platform/LocalMemory.h"

extern char** environ;

using namespace SpiProtocol;

namespace {

#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14) // Linux 6.2; older headers lack it
#endif

// Lets this thread, and every thread and process it starts from now on,
// write beneath folder only: a plug-in that writes where it was not asked to
// fails instead. False where the kernel lacks Landlock.
bool RestrictWritesTo(const char* folder)
{
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1)
        return false;
    std::uint64_t writes = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                           LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
                           LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                           LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
                           LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
    if (abi >= 2)
        writes |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3)
        writes |= LANDLOCK_ACCESS_FS_TRUNCATE;
    const landlock_ruleset_attr attributes{writes};
    const int ruleset = int(syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0));
    if (ruleset < 0)
        return false;
    bool done = false;
    const int beneath = open(folder, O_PATH | O_CLOEXEC | O_DIRECTORY);
    if (beneath >= 0) {
        landlock_path_beneath_attr rule{writes, beneath};
        done = syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0 &&
               prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
               syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
        close(beneath);
    }
    close(ruleset);
    return done;
}

// Keeps writes in the scratch folder (made private to this user) and works
// in work, inside it.
void EnterScratchFolder(const std::string& folder, const std::string& work)
{
    std::error_code error;
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "velmora-spihost: cannot make %s: %s\n", folder.c_str(), std::strerror(errno));
        return;
    }
    if (!RestrictWritesTo(folder.c_str()))
        std::fprintf(stderr, "velmora-spihost: cannot keep the plug-in's writes in %s: %s\n", folder.c_str(),
                     std::strerror(errno));
    std::filesystem::create_directories(work, error);
    if (chdir(work.c_str()) != 0)
        std::fprintf(stderr, "velmora-spihost: cannot work in %s: %s\n", work.c_str(), std::strerror(errno));
}

class NativePlatform : public SpiHost::HostPlatform {
public:
    explicit NativePlatform(const char* pluginPath) : mPluginPath(pluginPath) {}

    void Read(void* data, std::size_t size) override
    {
        auto* at = static_cast<char*>(data);
        while (size) {
            const ssize_t n = read(kChannelFd, at, size);
            if (n > 0) {
                at += n;
                size -= std::size_t(n);
            } else if (n == 0 || errno != EINTR) {
                Quit(0); // the bridge is gone
            }
        }
    }

    void Write(const void* data, std::size_t size) override
    {
        const auto* at = static_cast<const char*>(data);
        while (size) {
            const ssize_t n = send(kChannelFd, at, size, MSG_NOSIGNAL);
            if (n > 0) {
                at += n;
                size -= std::size_t(n);
            } else if (n < 0 && errno != EINTR) {
                Quit(0);
            }
        }
    }

    // The header goes with the descriptors of the shared blocks, which are
    // closed here once sent.
    void WriteHeader(const Header& header, const std::vector<int>& files) override
    {
        if (files.empty())
            return Write(&header, sizeof header);
        char control[CMSG_SPACE(sizeof(int) * kMaxFiles)] = {};
        iovec part{const_cast<Header*>(&header), sizeof header};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(sizeof(int) * files.size());
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * files.size());
        std::memcpy(CMSG_DATA(c), files.data(), sizeof(int) * files.size());
        ssize_t n;
        while ((n = sendmsg(kChannelFd, &message, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
        }
        if (n < 0)
            Quit(0);
        for (const int file : files)
            close(file);
        if (std::size_t(n) < sizeof header)
            Write(reinterpret_cast<const char*>(&header) + n, sizeof header - std::size_t(n));
    }

    // The scratch folder is the bridge's to remove.
    [[noreturn]] void Quit(int code) override { _exit(code); }

    void EnterScratch(const std::string& work) override { EnterScratchFolder(scratch, work); }

    // A file that cannot be loaded is tried again on the next request, as in
    // the bridge itself.
    void* Export(const char* name, std::string& error) override
    {
        if (!mModule) {
            mModule = dlopen(mPluginPath, RTLD_NOW | RTLD_LOCAL);
            if (!mModule) {
                const char* why = dlerror();
                error = std::string("cannot load plug-in ") + mPluginPath + ": " +
                        (why ? why : "unknown reason");
                return nullptr;
            }
        }
        dlerror();
        void* symbol = dlsym(mModule, name);
        if (!symbol)
            error = std::string("plug-in ") + mPluginPath + " has no function " + name;
        return symbol;
    }

    // The address space in use, which the limit counts (the resident
    // memory in address-checked builds).
    bool Exhausted() override
    {
        unsigned long size = 0, pages = 0;
        FILE* statm = std::fopen("/proc/self/statm", "r");
        if (!statm)
            return false;
        const bool read = std::fscanf(statm, "%lu %lu", &size, &pages) == 2;
#ifndef __SANITIZE_ADDRESS__
        pages = size;
#endif
        std::fclose(statm);
        return read && std::uint64_t(pages) * std::uint64_t(sysconf(_SC_PAGESIZE)) >
                           SpiHost::MemoryLimit() / 2;
    }

    void* Lock(void* handle) override { return LocalLock(handle); }
    void Unlock(void* handle) override { LocalUnlock(handle); }
    std::size_t Size(void* handle) override { return LocalSize(handle); }
    void Free(void* handle) override { LocalFree(handle); }

    // A large block crosses as its sealed file (and is freed here); any
    // other block is described for a copy.
    SpiHost::Outgoing Share(void* handle, std::vector<int>& files) override
    {
        if (!handle)
            return {};
        const std::size_t size = LocalSize(handle);
        void* data = LocalLock(handle);
        const bool moveable = data && data != handle;
        if (data)
            LocalUnlock(handle);
        const int file = LocalReleaseToFile(handle);
        if (file == -1)
            return Describe(handle);
        if (file < 0)
            return {BlockKind::Invalid};
        files.push_back(file);
        return {moveable ? BlockKind::SharedMoveable : BlockKind::SharedFixed, size};
    }

private:
    const char* mPluginPath;
    void* mModule = nullptr;
};

void WriteErrors(const std::string& text)
{
    for (std::size_t at = 0; at < text.size();) {
        const ssize_t n = write(2, text.data() + at, text.size() - at);
        if (n > 0)
            at += std::size_t(n);
        else if (errno != EINTR)
            return;
    }
}

// Reads what arrived on from and writes each whole line to descriptor 2, led
// by lead; pending keeps the rest. False at the end of from, or when nothing
// is there (non-blocking).
bool CopyLines(int from, const std::string& lead, std::string& pending)
{
    char chunk[4096];
    const ssize_t n = read(from, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
        return true;
    if (n > 0)
        pending.append(chunk, std::size_t(n));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        WriteErrors(lead + pending.substr(0, end + 1));
        pending.erase(0, end + 1);
    }
    return n > 0;
}

// Starts a guard: a child that ends the helper's whole process group when
// the program or the helper ends, even by a crash or SIGKILL, so that
// nothing a plug-in started outlives them. It watches both through process
// descriptors, since the helper may become wine, whose first thread ends
// early (a parent-death signal would fire then). With lead, it also takes
// the helper's standard output and errors, what the plug-in prints, to the
// program's standard error, each line led by lead.
void Guard(const char* lead)
{
    if (getpgrp() != getpid())
        return; // not a group of its own, which the bridge gives its helpers
    const pid_t program = getppid();
    const int watched[2] = {int(syscall(SYS_pidfd_open, program, 0)),
                            int(syscall(SYS_pidfd_open, getpid(), 0))};
    int printed[2] = {-1, -1};
    if (watched[0] < 0 || watched[1] < 0 || (lead && pipe2(printed, O_CLOEXEC) != 0)) {
        close(watched[0]);
        close(watched[1]);
        return;
    }
    if (getppid() != program)
        kill(0, SIGKILL); // the program is gone already
    const pid_t guard = fork();
    if (guard != 0) {
        close(watched[0]);
        close(watched[1]);
        if (lead) {
            close(printed[0]);
            if (guard > 0) {
                dup2(printed[1], 1);
                dup2(printed[1], 2);
            }
            close(printed[1]);
        }
        return;
    }
    // Holds nothing of the helper's, the channel least of all; only the
    // program's standard error, to log on.
    close(printed[1]);
    const int keep[3] = {watched[0], watched[1], printed[0]};
    const int last = std::max({watched[0], watched[1], printed[0]});
    for (int fd = 0; fd < last; ++fd)
        if (fd != 2 && std::find(keep, keep + 3, fd) == keep + 3)
            close(fd);
    close_range(unsigned(last) + 1, ~0u, 0);
    const std::string leading = lead ? lead : "";
    std::string pending;
    pollfd events[3] = {{watched[0], POLLIN, 0}, {watched[1], POLLIN, 0}, {printed[0], POLLIN, 0}};
    for (;;) {
        if (poll(events, 3, -1) < 0 && errno != EINTR)
            break;
        if (events[2].revents && !CopyLines(printed[0], leading, pending))
            events[2].fd = -1; // everything that could print has ended
        if (events[0].revents || events[1].revents) {
            // The helper's last words, then the end.
            fcntl(printed[0], F_SETFL, O_NONBLOCK);
            while (events[2].fd >= 0 && CopyLines(printed[0], leading, pending)) {
            }
            break;
        }
    }
    if (!pending.empty())
        WriteErrors(leading + pending + "\n");
    kill(0, SIGKILL);
    _exit(0);
}

// Sets a resource limit, soft and hard, so that the plug-in cannot raise it.
void Limit(int resource, std::uint64_t bytes)
{
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0)
        return;
    const rlim_t want = limit.rlim_max == RLIM_INFINITY || bytes < limit.rlim_max ? rlim_t(bytes)
                                                                                 : limit.rlim_max;
    limit.rlim_cur = limit.rlim_max = want;
    if (setrlimit(resource, &limit) != 0)
        std::fprintf(stderr, "velmora-spihost: cannot limit memory: %s\n", std::strerror(errno));
}

// The process that started us: when it ends, so does PROGRAM, even while a
// plug-in hangs in it. The death signal survives the exec, the guard too.
int Launch(char** argv)
{
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(0); // it is gone already
    close_range(3, ~0u, 0); // PROGRAM gets the standard descriptors only
    execve(argv[0], argv, environ);
    std::fprintf(stderr, "velmora-spihost: cannot start %s: %s\n", argv[0], std::strerror(errno));
    return 127;
}

} // namespace

#ifdef __SANITIZE_ADDRESS__
// The memory limit as the address checker's RSS limit. Called before the
// checker is ready, so with system calls and no C library.
extern "C" __attribute__((no_sanitize("address", "undefined"))) const char* __asan_default_options()
{
    static char environment[1 << 16];
    static char options[64] = "hard_rss_limit_mb=";
    const long fd = syscall(SYS_openat, AT_FDCWD, "/proc/self/environ", O_RDONLY);
    const long n = fd >= 0 ? syscall(SYS_read, fd, environment, sizeof environment - 1) : -1;
    if (fd >= 0)
        syscall(SYS_close, fd);
    static const char kName[] = "VELMORA_SPI_MEMORY_MB=";
    unsigned long mb = 0;
    for (long at = 0; at < n;) {
        long i = 0;
        while (kName[i] && at + i < n && environment[at + i] == kName[i])
            ++i;
        if (!kName[i])
            for (long d = at + i; d < n && environment[d] >= '0' && environment[d] <= '9' && mb < (1UL << 20); ++d)
                mb = mb * 10 + unsigned(environment[d] - '0');
        while (at < n && environment[at])
            ++at;
        ++at;
    }
    if (mb < 64 || mb >= (1UL << 20))
        mb = kDefaultMemoryMb;
    char digits[16];
    int count = 0;
    for (; mb; mb /= 10)
        digits[count++] = char('0' + mb % 10);
    char* out = options + sizeof "hard_rss_limit_mb=" - 1;
    while (count)
        *out++ = digits[--count];
    *out = '\0';
    return options;
}
#endif

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--exec") == 0)
        return Launch(argv + 2);
    if (argc >= 3 && std::strcmp(argv[1], "--windows") == 0) {
        Guard(nullptr); // its standard output is the channel; it logs itself
        // Wine reserves most of the address space at start, so RLIMIT_AS
        // would stop it; RLIMIT_DATA counts only what is committed.
        Limit(RLIMIT_DATA, SpiHost::MemoryLimit());
        return Launch(argv + 2);
    }
    if (argc < 2 || argc > 3 || fcntl(kChannelFd, F_GETFD) < 0) {
        std::fprintf(stderr, "velmora-spihost runs a plug-in for Velmora's plug-in bridge\n");
        return 2;
    }
    // Nothing but the channel and the standard streams, whatever was inherited.
    close_range(kChannelFd + 1, ~0u, 0);
    const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nothing >= 0) {
        dup2(nothing, 0);
        close(nothing);
    }
    fcntl(kChannelFd, F_SETFD, FD_CLOEXEC);
    // Ends with the program, with all it started, even while the plug-in hangs.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const char* name = std::strrchr(argv[1], '/');
    Guard(("velmora-spihost: " + std::string(name ? name + 1 : argv[1]) + ": ").c_str());
    signal(SIGPIPE, SIG_IGN);
#ifndef __SANITIZE_ADDRESS__
    // Address space, which counts the shared blocks too. Address checks
    // reserve terabytes of it: those builds are held by their RSS limit.
    Limit(RLIMIT_AS, SpiHost::MemoryLimit());
#endif
    LocalShareLargeBlocks(1);
    NativePlatform platform(argv[1]);
    if (argc == 3)
        platform.scratch = argv[2];
    SpiHost::Serve(platform);
}
