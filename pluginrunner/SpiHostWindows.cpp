// velmora-spihost32.exe / velmora-spihost64.exe PLUGIN [SCRATCH]: the Windows build of
// the plug-in helper, run under wine. It loads one Windows Susie plug-in (a
// DLL) and answers the bridge's requests on the standard input and output it
// was started with (pluginrunner/SpiProtocol.h); big blocks travel inline, since
// descriptors cannot cross into wine. PLUGIN is the plug-in's Linux path.
//
// Plug-ins print (debug builds in DllMain, GetPicture...): the channel is
// kept on private handles, and the standard handles and the C runtime's
// descriptors 0 to 2 are pointed elsewhere before the plug-in is loaded.
// What is printed reaches standard error a line at a time, each line led by
// the plug-in's name.
//
// The plug-in sees a Windows program: file names as "Z:\..." in the ANSI code
// page (the 8.3 short name where the code page cannot spell a name), its
// texts in that code page, memory from kernel32's LocalAlloc. The bridge sees
// UTF-8, as from a native plug-in.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <psapi.h>

#include <string>
#include <vector>

#include "pluginrunner/SpiHostCore.h"
#include "pluginrunner/WindowsWriteGuard.h"

namespace {

std::wstring Widen(const std::string& text, UINT codePage)
{
    if (text.empty())
        return {};
    const int n = MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(std::size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), wide.data(), n);
    return wide;
}

// The text in codePage; *lossy tells whether a character had no spelling.
std::string Narrow(const std::wstring& wide, UINT codePage, bool* lossy = nullptr)
{
    if (lossy)
        *lossy = false;
    if (wide.empty())
        return {};
    BOOL usedDefault = FALSE;
    const bool utf8 = codePage == CP_UTF8;
    BOOL* used = utf8 ? nullptr : &usedDefault;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int n = WideCharToMultiByte(codePage, flags, wide.data(), int(wide.size()), nullptr, 0,
                                      nullptr, used);
    std::string text(std::size_t(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(codePage, flags, wide.data(), int(wide.size()), text.data(), n,
                            nullptr, used);
    if (lossy)
        *lossy = usedDefault != FALSE || n <= 0;
    return text;
}

// A Linux path (UTF-8) as a Windows one, through wine's own mapping.
std::wstring DosPath(const std::string& unixPath)
{
    using ToDos = WCHAR*(CDECL*)(LPCSTR);
    static const auto toDos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_dos_file_name")));
    if (!unixPath.empty() && unixPath[0] == '/' && toDos) {
        if (WCHAR* dos = toDos(unixPath.c_str())) {
            std::wstring path(dos);
            HeapFree(GetProcessHeap(), 0, dos);
            return path;
        }
    }
    std::wstring path = Widen(unixPath, CP_UTF8);
    for (auto& c : path)
        if (c == L'/')
            c = L'\\';
    return unixPath.empty() || unixPath[0] != '/' ? path : L"Z:" + path;
}

class WindowsPlatform : public SpiHost::HostPlatform {
public:
    WindowsPlatform(std::wstring pluginPath, HANDLE in, HANDLE out)
        : mPluginPath(std::move(pluginPath)), mIn(in), mOut(out)
    {
    }

    void Read(void* data, std::size_t size) override
    {
        auto* at = static_cast<char*>(data);
        while (size) {
            DWORD n = 0;
            const DWORD want = size > (1u << 30) ? (1u << 30) : DWORD(size);
            if (!ReadFile(mIn, at, want, &n, nullptr) || n == 0)
                Quit(0); // the bridge is gone
            at += n;
            size -= n;
        }
    }

    void Write(const void* data, std::size_t size) override
    {
        const auto* at = static_cast<const char*>(data);
        while (size) {
            DWORD n = 0;
            const DWORD want = size > (1u << 30) ? (1u << 30) : DWORD(size);
            if (!WriteFile(mOut, at, want, &n, nullptr) || n == 0)
                Quit(0);
            at += n;
            size -= n;
        }
    }

    [[noreturn]] void Quit(int code) override { TerminateProcess(GetCurrentProcess(), UINT(code)); for (;;) {} }

    void* Export(const char* name, std::string& error) override
    {
        if (!Load(error))
            return nullptr;
        if (void* symbol = Find(name, ""))
            return symbol;
        error = "plug-in " + Narrow(mPluginPath, CP_UTF8) + " has no function " + name;
        return nullptr;
    }

    void* WideExport(const char* name) override
    {
        std::string error;
        return Load(error) ? Find(name, "W") : nullptr;
    }

    // The memory in use, as wine counts it from the process's own figures.
    bool Exhausted() override
    {
        PROCESS_MEMORY_COUNTERS counters{};
        counters.cb = sizeof counters;
        return K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) &&
               std::uint64_t(counters.WorkingSetSize) > SpiHost::MemoryLimit() / 2;
    }

    void* Lock(void* handle) override { return LocalLock(HLOCAL(handle)); }
    void Unlock(void* handle) override { LocalUnlock(HLOCAL(handle)); }
    std::size_t Size(void* handle) override { return LocalSize(HLOCAL(handle)); }
    void Free(void* handle) override { LocalFree(HLOCAL(handle)); }

    std::string FileName(const std::string& name, bool* whole) override
    {
        if (whole)
            *whole = true;
        const std::wstring dos = DosPath(name);
        bool lossy = false;
        std::string ansi = Narrow(dos, CP_ACP, &lossy);
        if (!lossy)
            return ansi;
        const DWORD n = GetShortPathNameW(dos.c_str(), nullptr, 0);
        if (n > 0) {
            std::wstring shortPath(n, L'\0');
            const DWORD got = GetShortPathNameW(dos.c_str(), shortPath.data(), n);
            shortPath.resize(got < n ? got : 0);
            std::string shortAnsi = Narrow(shortPath, CP_ACP, &lossy);
            if (!shortPath.empty() && !lossy)
                return shortAnsi;
        }
        if (whole)
            *whole = false;
        return ansi;
    }

    std::u16string WideFileName(const std::string& name) override { return Units(DosPath(name)); }
    std::u16string ToWide(const std::string& text) override { return Units(Widen(text, CP_UTF8)); }
    std::string FromWide(const std::u16string& text) override
    {
        return Narrow(std::wstring(text.begin(), text.end()), CP_UTF8);
    }

    // Only the text up to the first NUL matters to either side; the rest of
    // the buffer goes as zeros.
    void BufferToPlugin(std::vector<char>& buffer) override { Recode(buffer, CP_UTF8, CP_ACP); }
    void BufferFromPlugin(std::vector<char>& buffer) override { Recode(buffer, CP_ACP, CP_UTF8); }
    std::string TextFromPlugin(const std::string& text) override { return Narrow(Widen(text, CP_ACP), CP_UTF8); }

    std::filesystem::path LocalPath(const std::string& path) override { return DosPath(path); }
    // Relative names a plug-in writes land in the scratch folder, and the
    // plug-in writes nowhere else (the wine server, which opens files for
    // wine's processes, cannot be confined without confining import
    // filters too).
    void EnterScratch(const std::string& work) override
    {
        std::error_code error;
        std::filesystem::create_directories(DosPath(work), error);
        SetCurrentDirectoryW(DosPath(work).c_str());
        // Temporary files, which many extractors write first, go there too
        // (the work folder stays; what is in it goes after every call).
        for (const wchar_t* name : {L"TMP", L"TEMP"}) {
            SetEnvironmentVariableW(name, DosPath(work).c_str());
            _wputenv_s(name, DosPath(work).c_str());
        }
        if (mModule)
            WindowsWriteGuard::Confine(mModule, DosPath(scratch));
    }

private:
    static std::u16string Units(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

    bool Load(std::string& error)
    {
        if (!mModule) {
            // Libraries that the plug-in brings along are found beside it.
            mModule = LoadLibraryExW(mPluginPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
            if (!mModule)
                error = "cannot load plug-in " + Narrow(mPluginPath, CP_UTF8) + ": error " +
                        std::to_string(GetLastError());
        }
        return mModule != nullptr;
    }

    // name + suffix, or its decorated __stdcall name, which some 32-bit
    // plug-ins export.
    void* Find(const char* name, const char* suffix)
    {
        const std::string plain = std::string(name) + suffix;
        if (FARPROC symbol = GetProcAddress(mModule, plain.c_str()))
            return reinterpret_cast<void*>(symbol);
        static const struct {
            const char* name;
            int argumentBytes;
        } kArguments[] = {{"GetPluginInfo", 12}, {"IsSupported", 8}, {"GetPictureInfo", 16},
                          {"GetPicture", 28},    {"GetArchiveInfo", 16}, {"GetFile", 24}};
        for (const auto& a : kArguments)
            if (std::string(name) == a.name) {
                const std::string decorated = "_" + plain + "@" + std::to_string(a.argumentBytes);
                if (FARPROC symbol = GetProcAddress(mModule, decorated.c_str()))
                    return reinterpret_cast<void*>(symbol);
            }
        return nullptr;
    }

    static void Recode(std::vector<char>& buffer, UINT from, UINT to)
    {
        if (buffer.size() < 2)
            return;
        const std::size_t room = buffer.size() - 2; // one for the NUL, one kept by the host
        std::string text(buffer.data());
        text = Narrow(Widen(text, from), to);
        if (to == CP_UTF8)
            SpiHost::CutUtf8(text, room);
        else if (text.size() > room)
            text.resize(room);
        std::fill(buffer.begin(), buffer.end(), '\0');
        std::copy(text.begin(), text.end(), buffer.begin());
    }

    std::wstring mPluginPath;
    HMODULE mModule = nullptr;
    HANDLE mIn;
    HANDLE mOut;
};

// A copy of a standard handle that nothing else knows of.
HANDLE Private(DWORD which)
{
    HANDLE copy = nullptr;
    const HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, GetStdHandle(which), self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return INVALID_HANDLE_VALUE;
    return copy;
}

struct Log {
    HANDLE from;     // what the plug-in prints
    HANDLE to;       // the helper's standard error as it was given
    std::string lead; // "velmora-spihost: NAME: "
};

void WriteAll(HANDLE to, const std::string& text)
{
    DWORD n = 0;
    for (std::size_t at = 0; at < text.size(); at += n)
        if (!WriteFile(to, text.data() + at, DWORD(text.size() - at), &n, nullptr) || n == 0)
            return;
}

// Copies what the plug-in prints to standard error, line by line, each led by
// the plug-in's name and recoded from its code page.
DWORD WINAPI CopyLog(void* argument)
{
    const Log& log = *static_cast<const Log*>(argument);
    std::string pending;
    char chunk[4096];
    DWORD n = 0;
    for (;;) {
        const bool more = ReadFile(log.from, chunk, sizeof chunk, &n, nullptr) && n > 0;
        if (more)
            pending.append(chunk, n);
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos || (!more && !pending.empty())) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end == std::string::npos ? pending.size() : end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            WriteAll(log.to, log.lead + Narrow(Widen(line, CP_ACP), CP_UTF8) + "\n");
        }
        if (!more)
            return 0;
    }
}

// Points the standard handles and the C runtime's descriptors 0 to 2 away
// from the channel: input at NUL, output and errors at the log.
void SeparateChannel(const std::wstring& pluginName)
{
    static Log log;
    HANDLE printed = nullptr;
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    log.to = Private(STD_ERROR_HANDLE);
    log.lead = "velmora-spihost: " + Narrow(pluginName, CP_UTF8) + ": ";
    if (CreatePipe(&log.from, &printed, nullptr, 0)) {
        if (!CreateThread(nullptr, 0, CopyLog, &log, 0, nullptr)) {
            CloseHandle(log.from);
            CloseHandle(printed);
            printed = nul;
        }
    } else {
        printed = nul;
    }
    // The runtime's descriptors own copies of the handles they are given.
    const auto point = [](int fd, HANDLE handle, int flags) {
        HANDLE copy = nullptr;
        const HANDLE self = GetCurrentProcess();
        if (!DuplicateHandle(self, handle, self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
            return;
        const int opened = _open_osfhandle(reinterpret_cast<intptr_t>(copy), flags);
        if (opened < 0) {
            CloseHandle(copy);
            return;
        }
        _dup2(opened, fd);
        _close(opened);
    };
    point(0, nul, _O_RDONLY | _O_BINARY);
    point(1, printed, _O_WRONLY | _O_BINARY);
    point(2, printed, _O_WRONLY | _O_BINARY);
    SetStdHandle(STD_INPUT_HANDLE, nul);
    SetStdHandle(STD_OUTPUT_HANDLE, printed);
    SetStdHandle(STD_ERROR_HANDLE, printed);
}

// A plug-in that faults ends this process at once, with no debugger and no
// dialog; the bridge sees the channel close.
LONG WINAPI EndOnFault(EXCEPTION_POINTERS*)
{
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

// The arguments in UTF-16, so that a plug-in path outside the code page survives.
int wmain(int argc, wchar_t** argv)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(EndOnFault);
    if (argc < 2 || argc > 3) {
        const char usage[] = "velmora-spihost runs a Windows plug-in for Velmora's plug-in bridge\n";
        DWORD n;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), usage, sizeof usage - 1, &n, nullptr);
        return 2;
    }
    const HANDLE in = Private(STD_INPUT_HANDLE), out = Private(STD_OUTPUT_HANDLE);
    std::wstring name = argv[1];
    name.erase(0, name.find_last_of(L'/') + 1);
    SeparateChannel(name);
    WindowsPlatform platform(DosPath(Narrow(argv[1], CP_UTF8)), in, out);
    if (argc == 3)
        platform.scratch = Narrow(argv[2], CP_UTF8);
    SpiHost::Serve(platform);
}
