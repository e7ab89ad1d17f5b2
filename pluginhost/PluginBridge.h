#pragma once
// The host's way to the plug-in bridge libLoadPlugin.so beside the program,
// opened at run time on first use. Every call raises RuntimeError when the
// bridge or one of its functions is missing (LibraryNotFound,
// EntryPointNotFound) or when the bridge could not reach the plug-in
// (PluginFailed; a plug-in that did not answer within the call limit raises
// PluginBridge::Timeout, of the same kind).
//
// Usable on any thread. What is shared between threads: the bridge library
// and its function pointers, each found once (thread-safe statics; a failed
// look-up raises and is tried again next time), and the bridge's own state,
// which it guards itself. The last error is the bridge's per thread.
#include <cstdint>

#include <QByteArray>
#include <QString>

class QWidget;

#include "common/RuntimeError.h"

namespace PluginBridge {

// The plug-in hung: it did not answer within the call limit and was stopped.
class Timeout : public RuntimeError {
public:
    explicit Timeout(const std::string& message) : RuntimeError(ErrorKind::PluginFailed, message) {}
};

// The user left the wait for the plug-in's answer (see EscapeScope); the
// call goes on alone and what it hands over is freed when it ends.
class Abandoned : public RuntimeError {
public:
    Abandoned() : RuntimeError(ErrorKind::PluginFailed, "the user did not wait for the plug-in") {}
};

// Lets the user leave waits for plug-ins on the user-interface thread (the
// plug-in scan, the about box, a picture a step draws itself). While one
// lives there, a call that takes a while keeps every window painting, and
// Esc in any window ends the wait: that call and every later one until the
// scope ends raise Abandoned at once. Input to `window`, when given, is
// delivered as usual (that window takes its own exits and ignores the rest
// while busy) and Escape() ends the wait from there; all other input during
// a wait is dropped. Scopes nest; only the innermost counts.
// A wait shows Qt's hourglass over every window after a moment, unless
// ownPointer says that window shows its own (and may have hidden it).
class EscapeScope {
public:
    explicit EscapeScope(QWidget* window = nullptr, bool ownPointer = false);
    ~EscapeScope();
    EscapeScope(const EscapeScope&) = delete;
    EscapeScope& operator=(const EscapeScope&) = delete;

    void Escape() { mEscaped = true; }
    bool Escaped() const { return mEscaped; }
    QWidget* Window() const { return mWindow; }
    bool OwnPointer() const { return mOwnPointer; }

private:
    QWidget* mWindow;
    bool mOwnPointer;
    EscapeScope* mOuter;
    bool mEscaped = false;
};

// The plug-in writes its NUL-terminated answer into buffer (bytes in the
// system code page, its size is the length passed); what it does not
// overwrite stays as it was.
std::int32_t GetPluginInfo(const QString& pluginPath, std::int32_t infono, QByteArray& buffer);
std::int32_t IsSupported(const QString& pluginPath, const QString& fileName);
std::int32_t GetPicture(const QString& pluginPath, const QString& fileName, std::intptr_t len,
                        std::uint32_t flag, void** hInfo, void** hBits);
// A picture in memory: IsSupported with its first 2 KiB (name only names
// it), GetPicture with flag 1 (memory input). The bytes go to the plug-in's
// helper as they are, without a copy on this side.
std::int32_t IsSupported(const QString& pluginPath, const QString& name, const QByteArray& bytes);
std::int32_t GetPicture(const QString& pluginPath, const QByteArray& bytes, void** hInfo, void** hBits);

// While one lives, this thread's calls go to the helpers of archive
// plug-ins, which every thread shares (one helper per plug-in, one call at
// a time) and whose plug-ins may write only into a private scratch folder.
class ArchiveCalls {
public:
    ArchiveCalls();
    ~ArchiveCalls();
    ArchiveCalls(const ArchiveCalls&) = delete;
    ArchiveCalls& operator=(const ArchiveCalls&) = delete;

private:
    bool mOuter;
};

// The key of this thread's own helpers, for CallsAs.
std::uintptr_t ThreadHelpers();

// While one lives, this thread's calls go to the helpers of the thread whose
// ThreadHelpers() is given, as that thread's own calls do: work done for a
// window on another thread (its plug-in scan) uses the window's helpers. In
// a decoding job, stopping the job ends the call under way on them.
class CallsAs {
public:
    explicit CallsAs(std::uintptr_t owner);
    ~CallsAs();
    CallsAs(const CallsAs&) = delete;
    CallsAs& operator=(const CallsAs&) = delete;

private:
    std::uintptr_t mBefore;
};

// Archive plug-ins (always through ArchiveCalls). GetArchiveInfo gives the
// listing in the bridge's form (pluginrunner/SpiArchive.h); *gaveListing
// tells whether the plug-in gave one at all, whatever its code. GetFile
// gives the bytes of the entry at position of the archive in fileName;
// more than maxBytes are refused with 4 before they are copied.
std::int32_t GetArchiveInfo(const QString& pluginPath, const QString& fileName, QByteArray& listing,
                            bool* gaveListing);
std::int32_t GetFile(const QString& pluginPath, const QString& fileName, std::uint64_t position,
                     std::uint64_t maxBytes, QByteArray& bytes);

// How long one plug-in call may take, in milliseconds.
int CallLimitMs();

// Starts, in the background, what the Windows plug-ins in pluginDir need
// (wine's prefix); returns at once. Calls to a Windows plug-in before that
// is done wait for it.
void PreparePlugins(const QString& pluginDir);
// Whether the plug-in can be called without waiting for wine's prefix
// (always for Linux plug-ins).
bool Ready(const QString& pluginPath);
// Waits until it can: on the user-interface thread the windows keep
// painting under the wait cursor, on other threads the thread just waits.
// Every call above does this first.
void WaitUntilReady(const QString& pluginPath);
// For a Windows plug-in, the folder of the wine that runs it when that is
// not Debian's own; empty otherwise.
QString WineOf(const QString& pluginPath);

// The bridge's local memory functions, for the blocks GetPicture hands over.
void* LocalLock(void* hMem);
int LocalUnlock(void* hMem);
void* LocalFree(void* hMem);
std::size_t LocalSize(void* hMem);

} // namespace PluginBridge
