#include "plugins/PluginBridge.h"

#include <dlfcn.h>
#include <pthread.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QCursor>
#include <QGuiApplication>
#include <QThread>

#include "bridge/LoadPlugin.h"
#include "common/AppPaths.h"
#include "common/CodePage.h"
#include "common/RuntimeError.h"
#include "imaging/DecodeService.h"

namespace PluginBridge {
namespace {

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

// Runs a call to the bridge. On the user interface thread it runs on a
// decoding thread, in front of the pictures decoded ahead, while the windows
// go on painting (under the wait cursor once it takes a while); input waits
// until the answer, so no handler runs in the middle of a plug-in call.
template <typename Call>
auto Answered(Call&& call) -> decltype(call())
{
    DecodeService* service = DecodeService::Instance();
    QCoreApplication* app = QCoreApplication::instance();
    if (!service || !app || QThread::currentThread() != app->thread())
        return call();
    std::optional<decltype(call())> result;
    std::exception_ptr error;
    static const auto callFor = Function<decltype(&::LoadPluginCallFor)>("LoadPluginCallFor");
    // The window's own helpers answer, whichever decoding thread asks them.
    const auto owner = std::uintptr_t(pthread_self());
    const DecodeService::Job job = service->Submit(
        [&] {
            const std::uintptr_t before = callFor(owner);
            try {
                result = call();
            } catch (...) {
                error = std::current_exception();
            }
            callFor(before);
        },
        {}, true);
    const bool gui = qobject_cast<QGuiApplication*>(app) != nullptr;
    bool cursor = false;
    const auto start = std::chrono::steady_clock::now();
    while (!job.WaitDone(10)) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        if (gui && !cursor && std::chrono::steady_clock::now() - start > std::chrono::milliseconds(200)) {
            QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
            cursor = true;
        }
    }
    if (cursor)
        QGuiApplication::restoreOverrideCursor();
    if (error)
        std::rethrow_exception(error);
    if (!result)
        throw RuntimeError(ErrorKind::PluginFailed, "the program ends: the plug-in was not called");
    return *result;
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
        const bool gui = qobject_cast<QGuiApplication*>(app) != nullptr;
        if (gui)
            QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        while (!ready(path.constData(), 50))
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        if (gui)
            QGuiApplication::restoreOverrideCursor();
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
    // One byte more than the plug-in is told keeps the answer terminated even
    // when a plug-in fills every byte.
    buffer.append('\0');
    struct Restore {
        QByteArray& buffer;
        int length;
        ~Restore() { buffer.truncate(length); }
    } restore{buffer, length};
    return Answered([&] {
        WaitUntilReady(pluginPath);
        const int r = fn(path.constData(), infono, buffer.data(), length);
        CheckBridge();
        return r;
    });
}

std::int32_t IsSupported(const QString& pluginPath, const QString& fileName)
{
    static const auto fn = Function<decltype(&::IsSupported)>("IsSupported");
    const QByteArray path = ToCodePage(pluginPath);
    const QByteArray file = ToCodePage(fileName);
    return Answered([&] {
        WaitUntilReady(pluginPath);
        const int r = fn(path.constData(), file.constData());
        CheckBridge();
        return r;
    });
}

std::int32_t GetPicture(const QString& pluginPath, const QString& fileName, std::intptr_t len,
                        std::uint32_t flag, void** hInfo, void** hBits)
{
    static const auto fn = Function<decltype(&::GetPicture)>("GetPicture");
    *hInfo = nullptr;
    *hBits = nullptr;
    const QByteArray path = ToCodePage(pluginPath);
    const QByteArray file = ToCodePage(fileName);
    return Answered([&] {
        WaitUntilReady(pluginPath);
        const int r = fn(path.constData(), file.constData(), len, flag, hInfo, hBits, nullptr, 0);
        CheckBridge();
        return r;
    });
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

} // namespace PluginBridge
