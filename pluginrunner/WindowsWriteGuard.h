#pragma once
// Keeps a Windows archive plug-in's writes inside its scratch folder. Under
// wine the wine server opens files for its clients, so the Linux helper's
// confinement cannot be used without confining import filters too; instead
// the plug-in's import address table is pointed at checks of our own for
// the functions that create, change, move, link or delete files (kernel32's and
// the C runtime's). A write whose full path is not beneath the folder is
// refused with ERROR_ACCESS_DENIED (EACCES from the C runtime); reads pass.
#include <windows.h>

#include <string>

namespace WindowsWriteGuard {

// folder: the scratch folder as a Windows path. Returns how many imports of
// plugin now go through the checks.
int Confine(HMODULE plugin, const std::wstring& folder);

// Whether path (as the plug-in gave it, relative ones against the current
// folder) lies beneath the folder given to Confine.
bool Inside(const wchar_t* path);

} // namespace WindowsWriteGuard
