#include "pluginrunner/WindowsWriteGuard.h"

#include <fcntl.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace WindowsWriteGuard {
namespace {

// The folder's full path, ending in "\".
std::wstring gFolder;

std::wstring FullPath(const wchar_t* path)
{
    const DWORD n = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (n == 0)
        return {};
    std::wstring full(n, L'\0');
    const DWORD got = GetFullPathNameW(path, n, full.data(), nullptr);
    full.resize(got < n ? got : 0);
    return full;
}

// A narrow name as the plug-in's file functions read it: in the ANSI code page.
std::wstring FromAnsi(const char* text)
{
    if (!text)
        return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(std::size_t(n > 0 ? n : 1), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), n);
    wide.resize(wide.size() - 1);
    return wide;
}

// Told on standard error, which the helper copies to its log under the
// plug-in's name.
void Told(const std::wstring& path)
{
    const std::wstring line = L"refused a write outside the scratch folder: " + path + L"\n";
    const int n = WideCharToMultiByte(CP_ACP, 0, line.data(), int(line.size()), nullptr, 0, nullptr, nullptr);
    std::string text(std::size_t(n > 0 ? n : 0), '\0');
    WideCharToMultiByte(CP_ACP, 0, line.data(), int(line.size()), text.data(), n, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), DWORD(text.size()), &written, nullptr);
}

bool Allowed(const wchar_t* path)
{
    if (Inside(path))
        return true;
    Told(path ? path : L"(null)");
    return false;
}

bool Allowed(const char* path) { return Allowed(path ? FromAnsi(path).c_str() : nullptr); }

// What CreateFile may do to a file other than read it.
bool Writes(DWORD access, DWORD disposition, DWORD flags)
{
    constexpr DWORD kWriting = GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED | FILE_WRITE_DATA |
                               FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | DELETE |
                               WRITE_DAC | WRITE_OWNER;
    return (access & kWriting) != 0 || disposition != OPEN_EXISTING || (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0;
}

bool WritesMode(const char* mode) { return mode && std::strpbrk(mode, "wa+") != nullptr; }
bool WritesMode(const wchar_t* mode) { return mode && std::wcspbrk(mode, L"wa+") != nullptr; }
bool WritesFlags(int flags) { return (flags & (_O_WRONLY | _O_RDWR | _O_CREAT | _O_TRUNC | _O_APPEND)) != 0; }

// The C runtime's errno, of the runtime whose function is refused.
using ErrnoFn = int*(__cdecl*)();
ErrnoFn gErrno = nullptr;

template <typename T>
T Refuse(T failed)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return failed;
}

template <typename T>
T RefuseInRuntime(T failed)
{
    if (gErrno)
        *gErrno() = EACCES;
    return failed;
}

// The imports' own functions, filled in as their slots are patched.
#define VELMORA_REAL(name) decltype(&name) real_##name = nullptr
VELMORA_REAL(CreateFileA);
VELMORA_REAL(CreateFileW);
VELMORA_REAL(CreateDirectoryA);
VELMORA_REAL(CreateDirectoryW);
VELMORA_REAL(RemoveDirectoryA);
VELMORA_REAL(RemoveDirectoryW);
VELMORA_REAL(DeleteFileA);
VELMORA_REAL(DeleteFileW);
VELMORA_REAL(MoveFileA);
VELMORA_REAL(MoveFileW);
VELMORA_REAL(MoveFileExA);
VELMORA_REAL(MoveFileExW);
VELMORA_REAL(CopyFileA);
VELMORA_REAL(CopyFileW);
VELMORA_REAL(CopyFileExA);
VELMORA_REAL(CopyFileExW);
VELMORA_REAL(MoveFileWithProgressA);
VELMORA_REAL(MoveFileWithProgressW);
#undef VELMORA_REAL

using FopenFn = FILE*(__cdecl*)(const char*, const char*);
using WfopenFn = FILE*(__cdecl*)(const wchar_t*, const wchar_t*);
using OpenFn = int(__cdecl*)(const char*, int, ...);
using WopenFn = int(__cdecl*)(const wchar_t*, int, ...);
using CreatFn = int(__cdecl*)(const char*, int);
using PathFn = int(__cdecl*)(const char*);
using WpathFn = int(__cdecl*)(const wchar_t*);
using RenameFn = int(__cdecl*)(const char*, const char*);
using WrenameFn = int(__cdecl*)(const wchar_t*, const wchar_t*);
FopenFn real_fopen = nullptr;
WfopenFn real_wfopen = nullptr;
OpenFn real_open = nullptr;
WopenFn real_wopen = nullptr;
CreatFn real_creat = nullptr;
PathFn real_remove = nullptr, real_unlink = nullptr;
WpathFn real_wremove = nullptr, real_wunlink = nullptr;
RenameFn real_rename = nullptr;
WrenameFn real_wrename = nullptr;

template <typename Char>
HANDLE CheckedCreateFile(HANDLE(WINAPI* real)(const Char*, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE),
                         const Char* name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                         DWORD disposition, DWORD flags, HANDLE pattern)
{
    if (Writes(access, disposition, flags) && !Allowed(name))
        return Refuse(INVALID_HANDLE_VALUE);
    return real(name, access, share, security, disposition, flags, pattern);
}

HANDLE WINAPI GuardCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE pattern)
{
    return CheckedCreateFile(real_CreateFileA, name, access, share, security, disposition, flags, pattern);
}

HANDLE WINAPI GuardCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE pattern)
{
    return CheckedCreateFile(real_CreateFileW, name, access, share, security, disposition, flags, pattern);
}

BOOL WINAPI GuardCreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security)
{
    return Allowed(path) ? real_CreateDirectoryA(path, security) : Refuse(FALSE);
}
BOOL WINAPI GuardCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
{
    return Allowed(path) ? real_CreateDirectoryW(path, security) : Refuse(FALSE);
}
BOOL WINAPI GuardRemoveDirectoryA(LPCSTR path) { return Allowed(path) ? real_RemoveDirectoryA(path) : Refuse(FALSE); }
BOOL WINAPI GuardRemoveDirectoryW(LPCWSTR path) { return Allowed(path) ? real_RemoveDirectoryW(path) : Refuse(FALSE); }
BOOL WINAPI GuardDeleteFileA(LPCSTR path) { return Allowed(path) ? real_DeleteFileA(path) : Refuse(FALSE); }
BOOL WINAPI GuardDeleteFileW(LPCWSTR path) { return Allowed(path) ? real_DeleteFileW(path) : Refuse(FALSE); }
BOOL WINAPI GuardMoveFileA(LPCSTR from, LPCSTR to)
{
    return Allowed(from) && Allowed(to) ? real_MoveFileA(from, to) : Refuse(FALSE);
}
BOOL WINAPI GuardMoveFileW(LPCWSTR from, LPCWSTR to)
{
    return Allowed(from) && Allowed(to) ? real_MoveFileW(from, to) : Refuse(FALSE);
}
// No target deletes the source (at the next start, as wine does it).
BOOL WINAPI GuardMoveFileExA(LPCSTR from, LPCSTR to, DWORD flags)
{
    return Allowed(from) && (!to || Allowed(to)) ? real_MoveFileExA(from, to, flags) : Refuse(FALSE);
}
BOOL WINAPI GuardMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    return Allowed(from) && (!to || Allowed(to)) ? real_MoveFileExW(from, to, flags) : Refuse(FALSE);
}
BOOL WINAPI GuardCopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists)
{
    return Allowed(to) ? real_CopyFileA(from, to, failIfExists) : Refuse(FALSE);
}
BOOL WINAPI GuardCopyFileW(LPCWSTR from, LPCWSTR to, BOOL failIfExists)
{
    return Allowed(to) ? real_CopyFileW(from, to, failIfExists) : Refuse(FALSE);
}

BOOL WINAPI GuardCopyFileExA(LPCSTR from, LPCSTR to, LPPROGRESS_ROUTINE progress, LPVOID data, LPBOOL cancel,
                             DWORD flags)
{
    return Allowed(to) ? real_CopyFileExA(from, to, progress, data, cancel, flags) : Refuse(FALSE);
}
BOOL WINAPI GuardCopyFileExW(LPCWSTR from, LPCWSTR to, LPPROGRESS_ROUTINE progress, LPVOID data, LPBOOL cancel,
                             DWORD flags)
{
    return Allowed(to) ? real_CopyFileExW(from, to, progress, data, cancel, flags) : Refuse(FALSE);
}
BOOL WINAPI GuardMoveFileWithProgressA(LPCSTR from, LPCSTR to, LPPROGRESS_ROUTINE progress, LPVOID data, DWORD flags)
{
    return Allowed(from) && (!to || Allowed(to)) ? real_MoveFileWithProgressA(from, to, progress, data, flags)
                                                 : Refuse(FALSE);
}
BOOL WINAPI GuardMoveFileWithProgressW(LPCWSTR from, LPCWSTR to, LPPROGRESS_ROUTINE progress, LPVOID data, DWORD flags)
{
    return Allowed(from) && (!to || Allowed(to)) ? real_MoveFileWithProgressW(from, to, progress, data, flags)
                                                 : Refuse(FALSE);
}
// A link inside the folder would let writes through to what it leads to:
// an extractor gets none.
BOOL WINAPI GuardCreateHardLinkA(LPCSTR, LPCSTR, LPSECURITY_ATTRIBUTES) { return Refuse(FALSE); }
BOOL WINAPI GuardCreateHardLinkW(LPCWSTR, LPCWSTR, LPSECURITY_ATTRIBUTES) { return Refuse(FALSE); }
BOOLEAN WINAPI GuardCreateSymbolicLinkA(LPCSTR, LPCSTR, DWORD) { return Refuse(BOOLEAN(FALSE)); }
BOOLEAN WINAPI GuardCreateSymbolicLinkW(LPCWSTR, LPCWSTR, DWORD) { return Refuse(BOOLEAN(FALSE)); }

FILE* __cdecl GuardFopen(const char* name, const char* mode)
{
    return WritesMode(mode) && !Allowed(name) ? RefuseInRuntime<FILE*>(nullptr) : real_fopen(name, mode);
}
FILE* __cdecl GuardWfopen(const wchar_t* name, const wchar_t* mode)
{
    return WritesMode(mode) && !Allowed(name) ? RefuseInRuntime<FILE*>(nullptr) : real_wfopen(name, mode);
}
int __cdecl GuardOpen(const char* name, int flags, ...)
{
    va_list more;
    va_start(more, flags);
    const int permission = (flags & _O_CREAT) ? va_arg(more, int) : 0;
    va_end(more);
    return WritesFlags(flags) && !Allowed(name) ? RefuseInRuntime(-1) : real_open(name, flags, permission);
}
int __cdecl GuardWopen(const wchar_t* name, int flags, ...)
{
    va_list more;
    va_start(more, flags);
    const int permission = (flags & _O_CREAT) ? va_arg(more, int) : 0;
    va_end(more);
    return WritesFlags(flags) && !Allowed(name) ? RefuseInRuntime(-1) : real_wopen(name, flags, permission);
}
int __cdecl GuardCreat(const char* name, int permission)
{
    return Allowed(name) ? real_creat(name, permission) : RefuseInRuntime(-1);
}
int __cdecl GuardRemove(const char* name) { return Allowed(name) ? real_remove(name) : RefuseInRuntime(-1); }
int __cdecl GuardUnlink(const char* name) { return Allowed(name) ? real_unlink(name) : RefuseInRuntime(-1); }
int __cdecl GuardWremove(const wchar_t* name) { return Allowed(name) ? real_wremove(name) : RefuseInRuntime(-1); }
int __cdecl GuardWunlink(const wchar_t* name) { return Allowed(name) ? real_wunlink(name) : RefuseInRuntime(-1); }
int __cdecl GuardRename(const char* from, const char* to)
{
    return Allowed(from) && Allowed(to) ? real_rename(from, to) : RefuseInRuntime(-1);
}
int __cdecl GuardWrename(const wchar_t* from, const wchar_t* to)
{
    return Allowed(from) && Allowed(to) ? real_wrename(from, to) : RefuseInRuntime(-1);
}

struct Hook {
    const char* name;
    void* guard;
    void** real; // null where the call is always refused
    bool runtime; // a C runtime function (else kernel32's)
};

#define VELMORA_HOOK(name) {#name, reinterpret_cast<void*>(&Guard##name), reinterpret_cast<void**>(&real_##name), false}
#define VELMORA_LINK_HOOK(name) {#name, reinterpret_cast<void*>(&Guard##name), nullptr, false}
#define VELMORA_CRT_HOOK(name, guard, real) {name, reinterpret_cast<void*>(&guard), reinterpret_cast<void**>(&real), true}
const Hook kHooks[] = {
    VELMORA_HOOK(CreateFileA), VELMORA_HOOK(CreateFileW), VELMORA_HOOK(CreateDirectoryA),
    VELMORA_HOOK(CreateDirectoryW), VELMORA_HOOK(RemoveDirectoryA), VELMORA_HOOK(RemoveDirectoryW),
    VELMORA_HOOK(DeleteFileA), VELMORA_HOOK(DeleteFileW), VELMORA_HOOK(MoveFileA), VELMORA_HOOK(MoveFileW),
    VELMORA_HOOK(MoveFileExA), VELMORA_HOOK(MoveFileExW), VELMORA_HOOK(CopyFileA), VELMORA_HOOK(CopyFileW),
    VELMORA_HOOK(CopyFileExA), VELMORA_HOOK(CopyFileExW), VELMORA_HOOK(MoveFileWithProgressA),
    VELMORA_HOOK(MoveFileWithProgressW), VELMORA_LINK_HOOK(CreateHardLinkA), VELMORA_LINK_HOOK(CreateHardLinkW),
    VELMORA_LINK_HOOK(CreateSymbolicLinkA), VELMORA_LINK_HOOK(CreateSymbolicLinkW),
    VELMORA_CRT_HOOK("fopen", GuardFopen, real_fopen), VELMORA_CRT_HOOK("_wfopen", GuardWfopen, real_wfopen),
    VELMORA_CRT_HOOK("_open", GuardOpen, real_open), VELMORA_CRT_HOOK("_wopen", GuardWopen, real_wopen),
    VELMORA_CRT_HOOK("_creat", GuardCreat, real_creat), VELMORA_CRT_HOOK("remove", GuardRemove, real_remove),
    VELMORA_CRT_HOOK("_unlink", GuardUnlink, real_unlink), VELMORA_CRT_HOOK("_wremove", GuardWremove, real_wremove),
    VELMORA_CRT_HOOK("_wunlink", GuardWunlink, real_wunlink), VELMORA_CRT_HOOK("rename", GuardRename, real_rename),
    VELMORA_CRT_HOOK("_wrename", GuardWrename, real_wrename),
};
#undef VELMORA_HOOK
#undef VELMORA_LINK_HOOK
#undef VELMORA_CRT_HOOK

// The hook of an import known by its name, or (imports without names) by
// the address it was bound to.
const Hook* FindHook(const char* name, ULONG_PTR bound)
{
    for (const Hook& hook : kHooks) {
        if (name) {
            if (std::strcmp(name, hook.name) == 0)
                return &hook;
            continue;
        }
        const HMODULE from = GetModuleHandleA(hook.runtime ? "msvcrt.dll" : "kernel32.dll");
        if (from && bound == reinterpret_cast<ULONG_PTR>(GetProcAddress(from, hook.name)))
            return &hook;
    }
    return nullptr;
}

void Redirect(ULONG_PTR* slot, const Hook& hook)
{
    if (*slot == reinterpret_cast<ULONG_PTR>(hook.guard))
        return;
    DWORD was = 0;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &was))
        return;
    if (hook.real && !*hook.real)
        *hook.real = reinterpret_cast<void*>(*slot);
    if (hook.runtime && !gErrno) {
        // The errno of the runtime the plug-in was bound to.
        HMODULE runtime = nullptr;
        if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               reinterpret_cast<LPCWSTR>(*slot), &runtime))
            gErrno = reinterpret_cast<ErrnoFn>(reinterpret_cast<void*>(GetProcAddress(runtime, "_errno")));
    }
    *slot = reinterpret_cast<ULONG_PTR>(hook.guard);
    VirtualProtect(slot, sizeof *slot, was, &was);
}

} // namespace

bool Inside(const wchar_t* path)
{
    if (!path || gFolder.empty())
        return false;
    const std::wstring full = FullPath(path);
    return full.size() > gFolder.size() &&
           CompareStringOrdinal(full.c_str(), int(gFolder.size()), gFolder.c_str(), int(gFolder.size()), TRUE) ==
               CSTR_EQUAL;
}

int Confine(HMODULE plugin, const std::wstring& folder)
{
    gFolder = FullPath(folder.c_str());
    if (gFolder.empty())
        return 0;
    if (gFolder.back() != L'\\')
        gFolder += L'\\';
    auto* base = reinterpret_cast<BYTE*>(plugin);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (!base || dos->e_magic != IMAGE_DOS_SIGNATURE)
        return 0;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
        return 0;
    int redirected = 0;
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name; ++d) {
        const bool named = d->OriginalFirstThunk != 0;
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + (named ? d->OriginalFirstThunk : d->FirstThunk));
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            const char* name = nullptr;
            if (named && !IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                name = reinterpret_cast<const char*>(
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name);
            else if (named)
                continue; // by ordinal: none of ours
            if (const Hook* hook = FindHook(name, slots->u1.Function)) {
                Redirect(reinterpret_cast<ULONG_PTR*>(&slots->u1.Function), *hook);
                ++redirected;
            }
        }
    }
    return redirected;
}

} // namespace WindowsWriteGuard
