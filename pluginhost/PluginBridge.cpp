#include "pluginhost/PluginBridge.h"

#include <dlfcn.h>
#include <pthread.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>
#include <utility>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QWidget>
#include <QWindow>
#include <QThread>

#include "pluginrunner/LoadPlugin.h"
#include "common/AppPaths.h"
#include "common/CodePage.h"
#include "common/RuntimeError.h"
#include "imaging/DecodeService.h"
#include "pluginhost/PluginLog.h"

namespace PluginBridge {
namespace {

void BridgeSays(int topic, const char* text)
{
    if (topic == LOADPLUGIN_LOG_WINE)
        qCWarning(lcWine).noquote() << text;
    else if (topic == LOADPLUGIN_LOG_WINE_TAKEN)
        qCInfo(lcWine).noquote() << text;
    else
        qCInfo(lcPlugins).noquote() << text;
}

void* OpenLibrary()
{
    // Opened globally so that the plug-ins' references to LocalAlloc and its
    // relatives resolve to the bridge.
    const QByteArray path = ToCodePage(AppFolder() + "/libLoadPlugin.so");
    void* library = dlopen(path.constData(), RTLD_NOW | RTLD_GLOBAL);
    if (!library) {
        const char* why = dlerror();
        throw RuntimeError(ErrorKind::LibraryNotFound, "cannot load the plug-in bridge " +
                                                           path.toStdString() + ": " +
                                                           (why ? why : "unknown reason"));
    }
    // The bridge has no Qt: what it has to tell comes here, into our
    // logging categories, instead of going to standard error.
    if (auto setLog = reinterpret_cast<decltype(&::LoadPluginSetLog)>(dlsym(library, "LoadPluginSetLog")))
        setLog(&BridgeSays);
    return library;
}

void* Library()
{
    // A failed opening raises and is tried again on the next call.
    static void* const library = OpenLibrary();
    return library;
}

template <typename Fn>
Fn Function(const char* name)
{
    void* library = Library();
    dlerror();
    void* symbol = dlsym(library, name);
    if (!symbol)
        throw RuntimeError(ErrorKind::EntryPointNotFound,
                           std::string("the plug-in bridge has no function ") + name);
    return reinterpret_cast<Fn>(symbol);
}

auto ReadyFunction()
{
    static const auto ready = Function<decltype(&::LoadPluginReady)>("LoadPluginReady");
    return ready;
}

void CheckBridge()
{
    static const auto lastError = Function<decltype(&::LoadPluginLastError)>("LoadPluginLastError");
    static const auto timedOut =
        Function<decltype(&::LoadPluginLastErrorTimedOut)>("LoadPluginLastErrorTimedOut");
    if (const char* message = lastError()) {
        if (timedOut())
            throw Timeout(message);
        throw RuntimeError(ErrorKind::PluginFailed, message);
    }
}

EscapeScope* gEscapeScope = nullptr; // the innermost, on the user-interface thread
thread_local bool tArchiveCalls = false;

// Input during a wait for a plug-in: the scope's window gets its own (it
// takes its exits and drops the rest while busy); elsewhere Esc gives up the
// wait and everything else is dropped.
class WaitInput : public QObject {
public:
    explicit WaitInput(EscapeScope& scope) : mScope(scope) { QCoreApplication::instance()->installEventFilter(this); }
    ~WaitInput() override { QCoreApplication::instance()->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!event->isInputEvent())
            return false;
        if (InScopeWindow(watched))
            return false;
        if (event->type() == QEvent::ShortcutOverride) {
            // Accepted, so no menu shortcut fires from it.
            event->accept();
            return true;
        }
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape)
            mScope.Escape();
        return true;
    }

private:
    bool InScopeWindow(QObject* watched) const
    {
        const QWidget* window = mScope.Window();
        if (!window)
            return false;
        if (const auto* widget = qobject_cast<QWidget*>(watched))
            return widget->window() == window;
        return watched == static_cast<QObject*>(window->windowHandle());
    }

    EscapeScope& mScope;
};

// The key of the helpers this thread's calls go to now.
std::uintptr_t CurrentHelpers()
{
    static const auto callFor = Function<decltype(&::LoadPluginCallFor)>("LoadPluginCallFor");
    const std::uintptr_t set = callFor(0);
    callFor(set);
    return set ? set : std::uintptr_t(pthread_self());
}

// Runs a call to the bridge. On the user interface thread it runs on a
// decoding thread, in front of the pictures decoded ahead, while the windows
// go on painting (under the wait cursor once it takes a while); input waits
// until the answer, so no handler runs in the middle of a plug-in call.
// Within an EscapeScope the user can leave the wait instead: the call then
// raises Abandoned and goes on alone; discard(result) frees what it hands
// over once it ends.
template <typename Call, typename Discard>
auto Answered(Call call, Discard discard) -> decltype(call())
{
    using Result = decltype(call());
    DecodeService* service = DecodeService::Instance();
    QCoreApplication* app = QCoreApplication::instance();
    static const auto giveUp = Function<decltype(&::LoadPluginGiveUp)>("LoadPluginGiveUp");
    if (!service || !app || QThread::currentThread() != app->thread()) {
        // In a decoding job that was stopped (the picture is no longer
        // wanted), no plug-in is asked any more, and stopping it ends the
        // call under way.
        if (DecodeStopRequested())
            throw Abandoned();
        if (tArchiveCalls) {
            // The archive helpers serve every thread: a stopped job waits
            // for its call, which the call limit bounds.
            static const auto callFor = Function<decltype(&::LoadPluginCallFor)>("LoadPluginCallFor");
            struct Restore {
                std::uintptr_t before;
                ~Restore() { callFor(before); }
            } restore{callFor(LOADPLUGIN_ARCHIVE_CALLS)};
            return call();
        }
        const DecodeService::StopHook hook([helpers = CurrentHelpers()] { giveUp(helpers); });
        return call();
    }
    EscapeScope* scope = gEscapeScope;
    if (scope && scope->Escaped())
        throw Abandoned();
    // Shared with the job, which may outlive this wait.
    struct State {
        std::mutex lock;
        std::optional<Result> result;
        std::exception_ptr error;
        bool abandoned = false;
    };
    auto state = std::make_shared<State>();
    static const auto callFor = Function<decltype(&::LoadPluginCallFor)>("LoadPluginCallFor");
    // The window's own helpers answer, whichever decoding thread asks them.
    const auto owner = tArchiveCalls ? LOADPLUGIN_ARCHIVE_CALLS : std::uintptr_t(pthread_self());
    const DecodeService::Job job = service->Submit(
        [state, call = std::move(call), discard, owner]() mutable {
            const std::uintptr_t before = callFor(owner);
            std::optional<Result> result;
            std::exception_ptr error;
            try {
                result = call();
            } catch (...) {
                error = std::current_exception();
            }
            callFor(before);
            const std::lock_guard<std::mutex> hold(state->lock);
            if (state->abandoned) {
                if (result)
                    discard(*result);
                return;
            }
            state->result = std::move(result);
            state->error = error;
        },
        {}, true);
    const bool gui = qobject_cast<QGuiApplication*>(app) != nullptr && !(scope && scope->OwnPointer());
    bool cursor = false;
    std::optional<WaitInput> input;
    if (scope)
        input.emplace(*scope);
    const auto start = std::chrono::steady_clock::now();
    bool escaped = false;
    while (!job.WaitDone(10)) {
        QCoreApplication::processEvents(scope ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
        if (scope && scope->Escaped()) {
            escaped = true;
            break;
        }
        if (gui && !cursor && std::chrono::steady_clock::now() - start > std::chrono::milliseconds(200)) {
            QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
            cursor = true;
        }
    }
    input.reset();
    if (cursor)
        QGuiApplication::restoreOverrideCursor();
    if (escaped) {
        {
            const std::lock_guard<std::mutex> hold(state->lock);
            state->abandoned = true;
            // The answer may have come in the meantime.
            if (state->result)
                discard(*state->result);
        }
        // The plug-in's helper is stopped, so the decoding thread is free
        // (archive helpers serve other threads too: their call ends alone).
        if (owner != LOADPLUGIN_ARCHIVE_CALLS)
            giveUp(owner);
        throw Abandoned();
    }
    const std::lock_guard<std::mutex> hold(state->lock);
    if (state->error)
        std::rethrow_exception(state->error);
    if (!state->result)
        throw RuntimeError(ErrorKind::PluginFailed, "the program ends: the plug-in was not called");
    return std::move(*state->result);
}

template <typename Call>
auto Answered(Call call) -> decltype(call())
{
    return Answered(std::move(call), [](auto&) {});
}

} // namespace

bool Ready(const QString& pluginPath)
{
    return ReadyFunction()(ToCodePage(pluginPath).constData(), 0) != 0;
}

// A Windows plug-in can be called once wine has its prefix, which is made
// in the background (10 to 20 s the first time, and again after it broke).
// Asked on every call, as a prefix can start being made again at any time.
void WaitUntilReady(const QString& pluginPath)
{
    const auto ready = ReadyFunction();
    const QByteArray path = ToCodePage(pluginPath);
    if (ready(path.constData(), 0))
        return;
    QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread()) {
        EscapeScope* scope = gEscapeScope;
        std::optional<WaitInput> input;
        if (scope)
            input.emplace(*scope);
        const bool gui = qobject_cast<QGuiApplication*>(app) != nullptr && !(scope && scope->OwnPointer());
        if (gui)
            QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        while (!(scope && scope->Escaped()) && !ready(path.constData(), 50))
            QCoreApplication::processEvents(scope ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
        if (gui)
            QGuiApplication::restoreOverrideCursor();
        if (scope && scope->Escaped())
            throw Abandoned();
    } else {
        ready(path.constData(), 120000);
    }
}

int CallLimitMs()
{
    static const auto limit = Function<decltype(&::LoadPluginCallLimitMs)>("LoadPluginCallLimitMs");
    return limit();
}

std::int32_t GetPluginInfo(const QString& pluginPath, std::int32_t infono, QByteArray& buffer)
{
    static const auto fn = Function<decltype(&::GetPluginInfo)>("GetPluginInfo");
    const QByteArray path = ToCodePage(pluginPath);
    const int length = static_cast<int>(buffer.size());
    // The plug-in writes into a copy the call owns: a call given up by the
    // user may still write after the caller has gone. One byte more than the
    // plug-in is told keeps the answer terminated even when a plug-in fills
    // every byte.
    QByteArray answer = buffer;
    answer.append('\0');
    const auto [r, written] = Answered([path, pluginPath, infono, answer, length]() mutable {
        WaitUntilReady(pluginPath);
        const int r = fn(path.constData(), infono, answer.data(), length);
        CheckBridge();
        answer.truncate(length);
        return std::pair<int, QByteArray>(r, answer);
    });
    buffer = written;
    return r;
}

std::int32_t IsSupported(const QString& pluginPath, const QString& fileName)
{
    static const auto fn = Function<decltype(&::IsSupported)>("IsSupported");
    return Answered([pluginPath, path = ToCodePage(pluginPath), file = ToCodePage(fileName)] {
        WaitUntilReady(pluginPath);
        const int r = fn(path.constData(), file.constData());
        CheckBridge();
        return r;
    });
}

std::int32_t IsSupported(const QString& pluginPath, const QString& name, const QByteArray& bytes)
{
    static const auto fn = Function<decltype(&::IsSupportedMemory)>("IsSupportedMemory");
    QByteArray head = bytes.left(2048);
    head.append(2048 - head.size(), '\0');
    return Answered([pluginPath, path = ToCodePage(pluginPath), file = ToCodePage(name), head] {
        WaitUntilReady(pluginPath);
        const int r = fn(path.constData(), file.constData(), head.constData());
        CheckBridge();
        return r;
    });
}

namespace {

// GetPicture with its source: a file name in the code page (NUL-terminated
// as every QByteArray is) or the picture's bytes, shared with the call
// rather than copied (a call the user gave up may still read them).
std::int32_t GetPictureFrom(const QString& pluginPath, QByteArray source, std::intptr_t len,
                            std::uint32_t flag, void** hInfo, void** hBits)
{
    static const auto fn = Function<decltype(&::GetPicture)>("GetPicture");
    *hInfo = nullptr;
    *hBits = nullptr;
    struct Answer {
        int code = 0;
        void* info = nullptr;
        void* bits = nullptr;
    };
    const Answer answer = Answered(
        [pluginPath, path = ToCodePage(pluginPath), source = std::move(source), len, flag] {
            WaitUntilReady(pluginPath);
            Answer a;
            a.code = fn(path.constData(), source.constData(), len, flag, &a.info, &a.bits, nullptr, 0);
            try {
                CheckBridge();
            } catch (...) {
                if (a.info)
                    LocalFree(a.info);
                if (a.bits)
                    LocalFree(a.bits);
                throw;
            }
            return a;
        },
        [](Answer& a) {
            if (a.info)
                LocalFree(a.info);
            if (a.bits)
                LocalFree(a.bits);
        });
    *hInfo = answer.info;
    *hBits = answer.bits;
    return answer.code;
}

} // namespace

std::int32_t GetPicture(const QString& pluginPath, const QString& fileName, std::intptr_t len,
                        std::uint32_t flag, void** hInfo, void** hBits)
{
    return GetPictureFrom(pluginPath, ToCodePage(fileName), len, flag, hInfo, hBits);
}

std::int32_t GetPicture(const QString& pluginPath, const QByteArray& bytes, void** hInfo, void** hBits)
{
    return GetPictureFrom(pluginPath, bytes, std::intptr_t(bytes.size()), 1, hInfo, hBits);
}

std::uintptr_t ThreadHelpers() { return std::uintptr_t(pthread_self()); }

CallsAs::CallsAs(std::uintptr_t owner)
{
    static const auto callFor = Function<decltype(&::LoadPluginCallFor)>("LoadPluginCallFor");
    mBefore = callFor(owner);
}

CallsAs::~CallsAs()
{
    // Found when this was made.
    static const auto callFor = Function<decltype(&::LoadPluginCallFor)>("LoadPluginCallFor");
    callFor(mBefore);
}

ArchiveCalls::ArchiveCalls() : mOuter(tArchiveCalls)
{
    tArchiveCalls = true;
}

ArchiveCalls::~ArchiveCalls()
{
    tArchiveCalls = mOuter;
}

namespace {

// A block the bridge handed over, copied out and freed at once, whatever follows.
QByteArray TakeBlock(void* block)
{
    QByteArray bytes;
    if (void* data = block ? LocalLock(block) : nullptr) {
        bytes = QByteArray(static_cast<const char*>(data), qsizetype(LocalSize(block)));
        LocalUnlock(block);
    }
    LocalFree(block);
    return bytes;
}

} // namespace

std::int32_t GetArchiveInfo(const QString& pluginPath, const QString& fileName, QByteArray& listing,
                            bool* gaveListing)
{
    static const auto fn = Function<decltype(&::GetArchiveInfo)>("GetArchiveInfo");
    const ArchiveCalls archive;
    const auto [code, answer, gave] = Answered(
        [pluginPath, path = ToCodePage(pluginPath), file = ToCodePage(fileName)] {
            WaitUntilReady(pluginPath);
            void* block = nullptr;
            const int r = fn(path.constData(), file.constData(), 0, 0, &block);
            const bool gave = block != nullptr;
            QByteArray bytes = TakeBlock(block);
            CheckBridge();
            return std::tuple<int, QByteArray, bool>(r, bytes, gave);
        });
    listing = answer;
    if (gaveListing)
        *gaveListing = gave;
    return code;
}

std::int32_t GetFile(const QString& pluginPath, const QString& fileName, std::uint64_t position,
                     std::uint64_t maxBytes, QByteArray& bytes)
{
    static const auto fn = Function<decltype(&::GetFileMemory)>("GetFileMemory");
    const ArchiveCalls archive;
    const auto [code, answer] = Answered(
        [pluginPath, path = ToCodePage(pluginPath), file = ToCodePage(fileName), position, maxBytes] {
            WaitUntilReady(pluginPath);
            void* block = nullptr;
            const int r = fn(path.constData(), file.constData(), std::intptr_t(position), 0, &block, maxBytes);
            QByteArray copy = TakeBlock(block);
            CheckBridge();
            return std::pair<int, QByteArray>(r, copy);
        });
    bytes = answer;
    return code;
}

void PreparePlugins(const QString& pluginDir)
{
    static const auto prepare = Function<decltype(&::LoadPluginPrepare)>("LoadPluginPrepare");
    const QDir folder(pluginDir);
    const QStringList names =
        folder.entryList({QStringLiteral("*.spi"), QStringLiteral("*.sph")}, QDir::Files);
    for (const QString& name : names)
        prepare(ToCodePage(folder.filePath(name)).constData());
}

QString WineOf(const QString& pluginPath)
{
    static const auto wine = Function<decltype(&::LoadPluginWine)>("LoadPluginWine");
    return FromCodePage(wine(ToCodePage(pluginPath).constData()));
}

void* LocalLock(void* hMem)
{
    static const auto fn = Function<void* (*)(void*)>("LocalLock");
    return fn(hMem);
}

int LocalUnlock(void* hMem)
{
    static const auto fn = Function<int (*)(void*)>("LocalUnlock");
    return fn(hMem);
}

void* LocalFree(void* hMem)
{
    static const auto fn = Function<void* (*)(void*)>("LocalFree");
    return fn(hMem);
}

std::size_t LocalSize(void* hMem)
{
    static const auto fn = Function<std::size_t (*)(void*)>("LocalSize");
    return fn(hMem);
}

EscapeScope::EscapeScope(QWidget* window, bool ownPointer)
    : mWindow(window), mOwnPointer(ownPointer), mOuter(gEscapeScope)
{
    gEscapeScope = this;
}

EscapeScope::~EscapeScope() { gEscapeScope = mOuter; }

} // namespace PluginBridge
