#include "pluginrunner/WineSession.h"

#include <fcntl.h>
#include <ftw.h>
#include <locale.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <set>
#include <thread>

#include "pluginrunner/BridgeLog.h"
#include "pluginrunner/ChildProcess.h"

extern char** environ;

namespace WineSession {
namespace {

using Clock = std::chrono::steady_clock;

// Making a prefix takes 10 to 20 s; one that takes this long has failed.
constexpr int kPrepareLimitMs = 180000;

std::string DataHomeFolder()
{
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    std::string base = home && *home ? home : "";
    if (base.empty())
        if (const passwd* user = getpwuid(getuid()))
            base = user->pw_dir ? user->pw_dir : "";
    return base + "/.local/share";
}

bool MakeFolders(const std::string& path)
{
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/')
            continue;
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat info{};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool Executable(const std::string& path)
{
    struct stat info{};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

constexpr char kDebianFolder[] = "/usr/lib/wine";

// The wine that runs the Windows plug-ins: a loader for each width (empty
// with why set when that width cannot run) and the server beside them.
struct Wine {
    std::string loader32, loader64, why32, why64;
    std::string server;
    std::string installation; // as people name it: "/opt/wine-stable"
    std::string how;          // "the wine found on PATH" and the like, for the log
};

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::string RealPath(const std::string& path)
{
    char* real = realpath(path.c_str(), nullptr);
    const std::string result = real ? real : path;
    std::free(real);
    return result;
}

// The first bytes of a file.
std::string Head(const std::string& path, std::size_t size)
{
    std::string head(size, '\0');
    std::FILE* file = std::fopen(path.c_str(), "rb");
    head.resize(file ? std::fread(head.data(), 1, size, file) : 0);
    if (file)
        std::fclose(file);
    return head;
}

// A lone loader (no wine64 beside it) for 64-bit programs too. Told from
// its file rather than by running a 64-bit program, which costs a wine
// start and needs the prefix: a 64-bit ELF is the WoW64 build that Fedora
// and Arch ship, which runs both widths; a 32-bit one runs 64-bit programs
// only by handing them to the wine64 beside its real file, as older wine
// does; a script (a distribution's wrapper) chooses its loader itself.
bool RunsSixtyFour(const std::string& loader, std::string& why)
{
    const std::string real = RealPath(loader);
    const std::string head = Head(real, 5);
    if (head.rfind("#!", 0) == 0 || (head.size() == 5 && head.rfind("\x7f" "ELF", 0) == 0 && head[4] == 2))
        return true;
    if (head.size() == 5 && head.rfind("\x7f" "ELF", 0) == 0 && head[4] == 1 &&
        Executable(FolderOf(real) + "/wine64"))
        return true;
    why = "the wine at " + loader + " runs only 32-bit programs (no wine64 beside it)";
    return false;
}

// Debian's loaders, reached from PATH through its wrapper script
// /usr/bin/wine (which names them) or a link: taken as Debian's own, so
// that no shell stands between, and 64-bit programs need no 32-bit loader.
bool IsDebians(const std::string& loader)
{
    const std::string real = RealPath(loader);
    if (real.rfind(std::string(kDebianFolder) + "/", 0) == 0)
        return true;
    const std::string head = Head(real, 4096);
    return head.rfind("#!", 0) == 0 && head.find("wine32=/usr/lib/wine/wine\n") != std::string::npos;
}

// The first folder of a colon-separated list (PATH and the like), with sub
// appended, that holds one of the programs named; empty when none does.
std::string FirstHolding(const char* list, const std::string& sub, std::initializer_list<const char*> names)
{
    for (const char* at = list; at && *at; at += *at == ':') {
        const char* end = std::strchr(at, ':');
        const std::string entry(at, end ? end : at + std::strlen(at));
        at += entry.size();
        const std::string folder = entry + sub;
        // Never a relative entry: no wine from whatever folder is current.
        if (entry.rfind('/', 0) == 0)
            for (const char* name : names)
                if (Executable(folder + "/" + name))
                    return folder;
    }
    return {};
}

// The wine of a folder of loaders, or of one loader, which then runs both
// widths; empty loaders when it holds none.
Wine FromLoaders(const std::string& folder, std::string lone, const std::string& how)
{
    Wine wine;
    wine.how = how;
    std::string wine64;
    if (lone.empty()) {
        lone = Executable(folder + "/wine") ? folder + "/wine" : "";
        wine64 = Executable(folder + "/wine64") ? folder + "/wine64" : "";
    }
    if (lone.empty() && wine64.empty()) {
        wine.why32 = wine.why64 = "wine is not installed (no wine loader in " + folder + ")";
        return wine;
    }
    wine.loader32 = lone;
    if (lone.empty())
        wine.why32 = "the wine in " + folder + " runs only 64-bit programs (no 32-bit loader wine beside wine64)";
    wine.loader64 = !wine64.empty() ? wine64 : RunsSixtyFour(lone, wine.why64) ? lone : "";
    for (const char* name : {"/wineserver64", "/wineserver"})
        if (wine.server.empty() && Executable(folder + name))
            wine.server = folder + name;
    if (wine.server.empty())
        if (const std::string onPath = FirstHolding(std::getenv("PATH"), "", {"wineserver"}); !onPath.empty())
            wine.server = onPath + "/wineserver";
    const bool bin = folder.size() > 4 && folder.compare(folder.size() - 4, 4, "/bin") == 0;
    // Debian's own goes without a name: it is what Velmora expects.
    if (RealPath(folder) != kDebianFolder)
        wine.installation = bin ? folder.substr(0, folder.size() - 4) : folder;
    return wine;
}

// Where wine is looked for, first found taken: VELMORA_WINE (a loader, or a
// folder holding loaders directly or in bin/), VELMORA_WINE_DIR (the older
// name for a folder of loaders), wine64 or wine on PATH, WineHQ's packages
// (VELMORA_WINEHQ_FOLDERS, by default /opt/wine-stable, -staging, -devel),
// Debian's /usr/lib/wine. Found anew on each use: a few file checks.
Wine Find()
{
    const char* chosen = std::getenv("VELMORA_WINE");
    if (chosen && *chosen) {
        const std::string path = chosen;
        struct stat info{};
        if (stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode))
            return FromLoaders(FolderOf(path), path, "the wine named by VELMORA_WINE");
        const bool bin = !Executable(path + "/wine") && !Executable(path + "/wine64");
        return FromLoaders(bin ? path + "/bin" : path, "", "the wine named by VELMORA_WINE");
    }
    const char* dir = std::getenv("VELMORA_WINE_DIR");
    if (dir && *dir)
        return FromLoaders(dir, "", "the wine named by VELMORA_WINE_DIR");
    const std::string onPath = FirstHolding(std::getenv("PATH"), "", {"wine64", "wine"});
    if (!onPath.empty() && !IsDebians(onPath + "/wine") && !IsDebians(onPath + "/wine64"))
        return FromLoaders(onPath, "", "the wine found on PATH");
    if (onPath.empty()) {
        const char* winehq = std::getenv("VELMORA_WINEHQ_FOLDERS");
        const std::string found = FirstHolding(
            winehq ? winehq : "/opt/wine-stable:/opt/wine-staging:/opt/wine-devel", "/bin", {"wine64", "wine"});
        if (!found.empty())
            return FromLoaders(found, "", "WineHQ's wine");
    }
    Wine wine = FromLoaders(kDebianFolder, "", onPath.empty() ? "Debian's wine" : "Debian's wine (by " + onPath + " on PATH)");
    if (wine.loader32.empty() && wine.loader64.empty())
        wine.why32 = wine.why64 = "wine is not installed (none on PATH, in WineHQ's /opt/wine-stable, -staging "
                                  "or -devel, or in /usr/lib/wine)";
    return wine;
}

// Finds wine and says in the log which one is taken, once for each change.
Wine Taken()
{
    Wine wine = Find();
    if (wine.loader32.empty() && wine.loader64.empty())
        return wine;
    const std::string said =
        "Windows plug-ins run with " + wine.how + ": " +
        (wine.loader32 == wine.loader64 ? wine.loader32 + " (32- and 64-bit)"
                                        : (wine.loader32.empty() ? "no 32-bit loader" : wine.loader32 + " (32-bit)") +
                                              ", " +
                                              (wine.loader64.empty() ? "no 64-bit loader" : wine.loader64 + " (64-bit)")) +
        ", server " + (wine.server.empty() ? "none found" : wine.server);
    static std::mutex mutex;
    static std::string last;
    std::lock_guard lock(mutex);
    if (said != last) {
        last = said;
        BridgeLog::Say(BridgeLog::Topic::WineTaken, said);
    }
    return wine;
}

// Waits up to limitMs for pid; its wait status, or -1 after killing it.
int WaitFor(pid_t pid, int limitMs)
{
    const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
    int status = 0;
    for (;;) {
        const pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid)
            return status;
        if (got < 0 && errno != EINTR)
            return -1;
        if (Clock::now() >= end) {
            kill(pid, SIGKILL);
            ChildProcess::Wait(pid);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Runs a wine program of the session to its end, tied to this process by
// the launcher; true when it exited with 0. complaint, when given, gets what
// the program wrote on standard error.
bool RunWine(const std::vector<std::string>& args, int limitMs, std::string* complaint = nullptr)
{
    ChildProcess::Options options;
    options.environment = Environment();
    options.helper = true;
    const int err = complaint ? memfd_create("wine-stderr", MFD_CLOEXEC) : -1;
    options.err = err;
    std::vector<std::string> argv = {"velmora-spihost", "--exec"};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = ChildProcess::Start(argv, options);
    const int status = pid > 0 ? WaitFor(pid, limitMs) : -1;
    if (err >= 0) {
        char text[1024];
        const ssize_t n = pread(err, text, sizeof text, 0);
        complaint->assign(text, n > 0 ? std::size_t(n) : 0);
        while (!complaint->empty() && std::isspace(static_cast<unsigned char>(complaint->back())))
            complaint->pop_back();
        for (char& c : *complaint)
            c = c == '\n' ? ' ' : c;
        close(err);
    }
    return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Plug-ins are filters without windows: no graphics driver, and a fault ends
// the helper instead of starting a debugger.
const char kSettings[] =
    "REGEDIT4\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]\r\n"
    "\"Graphics\"=\"null\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug]\r\n"
    "\"Auto\"=\"0\"\r\n"
    "\"Debugger\"=\"\"\r\n";

bool WriteFile(const std::string& path, const char* text)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    const bool ok = std::fwrite(text, 1, std::strlen(text), file) == std::strlen(text);
    return std::fclose(file) == 0 && ok;
}

int RemoveEntry(const char* path, const struct stat*, int, FTW*)
{
    std::remove(path);
    return 0;
}

// Makes the prefix unless it is ready; another Velmora making the same
// prefix is waited for. remake: the prefix is broken, whatever its marker
// says; it is moved aside, made anew and the old one removed.
bool MakePrefix(std::string& why, bool remake = false)
{
    const std::string prefix = PrefixPath();
    const std::string parent = prefix.substr(0, prefix.rfind('/'));
    if (!MakeFolders(parent)) {
        why = "cannot make the folder " + parent + ": " + std::strerror(errno);
        return false;
    }
    const std::string marker = prefix + "/.velmora-ready";
    if (!remake && access(marker.c_str(), F_OK) == 0)
        return true;
    const int lock = open((parent + "/wine.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock >= 0)
        while (flock(lock, LOCK_EX) != 0 && errno == EINTR) {
        }
    const std::string aside = prefix + ".broken";
    if (remake) {
        // Its wine server goes first, so that nothing of the old prefix runs on.
        const std::string server = Find().server;
        ChildProcess::Options options;
        options.environment = Environment();
        const pid_t pid = server.empty() ? -1 : ChildProcess::Start({server, "-k"}, options);
        if (pid > 0)
            WaitFor(pid, 10000);
        nftw(aside.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
        std::remove(marker.c_str());
        std::rename(prefix.c_str(), aside.c_str());
    }
    bool ok = access(marker.c_str(), F_OK) == 0;
    if (!ok) {
        std::string loaderWhy;
        std::string loader = Loader(true, loaderWhy);
        if (loader.empty())
            loader = Loader(false, loaderWhy);
        if (loader.empty()) {
            why = loaderWhy;
        } else {
            const std::string settings = parent + "/velmora-wine.reg";
            ok = RunWine({loader, "wineboot", "--init"}, kPrepareLimitMs) &&
                 WriteFile(settings, kSettings) &&
                 RunWine({loader, "regedit", "/S", "Z:" + settings}, kPrepareLimitMs) &&
                 WriteFile(marker, "");
            if (!ok)
                why = "cannot make the wine prefix " + prefix;
        }
    }
    if (lock >= 0)
        close(lock);
    if (remake)
        nftw(aside.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    return ok;
}

// Whether a program of wine's own runs in the prefix with the loader of
// this width; complaint gets what wine said when it does not.
bool PrefixWorks(bool sixtyFour, std::string& complaint)
{
    std::string why;
    const std::string loader = Loader(sixtyFour, why);
    return loader.empty() || RunWine({loader, "cmd", "/c", "exit"}, kPrepareLimitMs, &complaint);
}

struct Session {
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    bool checked = false; // after a helper failed to start
    State state = State::Preparing;
    std::string why;
};

Session& TheSession()
{
    static auto* session = new Session; // outlives a preparation still running at exit
    return *session;
}

} // namespace

std::string DataHome()
{
    return DataHomeFolder();
}

std::string PrefixPath()
{
    return DataHomeFolder() + "/velmora/wine";
}

std::string Loader(bool sixtyFour, std::string& why)
{
    const Wine wine = Taken();
    const std::string path = sixtyFour ? wine.loader64 : wine.loader32;
    if (path.empty()) {
        why = sixtyFour ? wine.why64 : wine.why32;
        return {};
    }
    if (sixtyFour)
        return path;
    // A 64-bit kernel without IA-32 emulation cannot run the 32-bit loader.
    static std::mutex mutex;
    static std::string checked, failure;
    std::lock_guard lock(mutex);
    if (checked != path) {
        ChildProcess::Options options;
        const pid_t pid = ChildProcess::Start({path, "--version"}, options);
        const int status = pid > 0 ? WaitFor(pid, 10000) : -1;
        failure = status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0
                      ? std::string()
                      : "this system cannot run 32-bit programs (" + path +
                            (pid == -ENOEXEC ? ": exec format error)" : " does not start)");
        checked = path;
    }
    why = failure;
    return failure.empty() ? path : std::string();
}

std::string Installation()
{
    const Wine wine = Find();
    return wine.loader32.empty() && wine.loader64.empty() ? std::string() : wine.installation;
}

void Prepare()
{
    Session& session = TheSession();
    std::lock_guard lock(session.mutex);
    if (session.started)
        return;
    session.started = true;
    std::thread([&session] {
        std::string why;
        const bool ok = MakePrefix(why);
        std::lock_guard lock(session.mutex);
        session.state = ok ? State::Ready : State::Failed;
        session.why = why;
        session.changed.notify_all();
    }).detach();
}

State Wait(int timeoutMs, std::string& why)
{
    Prepare();
    Session& session = TheSession();
    std::unique_lock lock(session.mutex);
    session.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return session.state != State::Preparing; });
    why = session.why;
    return session.state;
}

void HelperFailed(bool sixtyFour)
{
    Session& session = TheSession();
    {
        std::lock_guard lock(session.mutex);
        if (session.checked || session.state != State::Ready)
            return;
        session.checked = true;
        session.state = State::Preparing;
    }
    std::thread([&session, sixtyFour] {
        std::string why, complaint;
        bool ok = true;
        if (!PrefixWorks(sixtyFour, complaint)) {
            BridgeLog::Say(BridgeLog::Topic::Wine,
                           "wine does not start in its prefix " + PrefixPath() + " (" +
                               (complaint.empty() ? "no reason given" : complaint) +
                               "); making the prefix again");
            ok = MakePrefix(why, true);
        }
        std::lock_guard lock(session.mutex);
        session.state = ok ? State::Ready : State::Failed;
        session.why = why;
        session.changed.notify_all();
    }).detach();
}

bool StartServer()
{
    const std::string server = Find().server;
    if (server.empty())
        return false; // the loader starts one itself
    ChildProcess::Options options;
    options.environment = Environment();
    const pid_t pid = ChildProcess::Start({server}, options);
    if (pid <= 0)
        return false;
    // 0: started; 2: one runs already. It returns once the server listens.
    const int status = WaitFor(pid, 10000);
    return status >= 0 && WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 2);
}

std::vector<std::string> Environment()
{
    static const char* const kDropped[] = {"WINEPREFIX=", "WINEDEBUG=", "WINEDLLOVERRIDES=",
                                           "WINEARCH=", "WINESERVER=", "WINELOADER=",
                                           "DISPLAY=", "WAYLAND_DISPLAY="};
    // Most Susie plug-ins are Japanese and expect code page 932, which wine
    // takes from a Japanese LC_CTYPE.
    locale_t japanese = newlocale(LC_CTYPE_MASK, "ja_JP.UTF-8", locale_t(0));
    if (japanese)
        freelocale(japanese);
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        bool drop = false;
        for (const char* name : kDropped)
            drop = drop || entry.rfind(name, 0) == 0;
        if (japanese && (entry.rfind("LC_ALL=", 0) == 0 || entry.rfind("LC_CTYPE=", 0) == 0))
            drop = true;
        if (!drop)
            env.push_back(entry);
    }
    env.push_back("WINEPREFIX=" + PrefixPath());
    env.push_back("WINEDEBUG=-all");
    // Wine starts this server when none runs: the one StartServer starts.
    if (const std::string server = Find().server; !server.empty())
        env.push_back("WINESERVER=" + server);
    // No installer dialogs for .NET and Gecko, no menu entries in the desktop.
    env.push_back("WINEDLLOVERRIDES=mscoree,mshtml=;winemenubuilder.exe=d");
    if (japanese)
        env.push_back("LC_CTYPE=ja_JP.UTF-8");
    return env;
}

void Advise(const std::string& why)
{
    static std::mutex mutex;
    static std::set<std::string> told;
    std::lock_guard lock(mutex);
    if (!told.insert(why).second)
        return;
    BridgeLog::Say(BridgeLog::Topic::Wine,
                   "Windows plug-ins cannot run: " + why +
                       "; to enable them, run scripts/setup-deps --windows-plugins from Velmora's "
                       "source folder (it installs wine, wine64, wine32:i386 and a ja_JP.UTF-8 locale)");
}

} // namespace WineSession
