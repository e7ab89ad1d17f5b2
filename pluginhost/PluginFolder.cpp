#include "pluginhost/PluginFolder.h"

#include <cstring>
#include <mutex>
#include <set>

#include <QCoreApplication>
#include <QThread>

#include "common/CodePage.h"
#include "common/PathText.h"
#include "platform/DirSearch.h"
#include "pluginhost/PluginLog.h"

namespace PluginFolder {
namespace {

bool IsPluginName(const QString& name)
{
    return name.endsWith(QStringLiteral(".spi"), Qt::CaseInsensitive) ||
           name.endsWith(QStringLiteral(".sph"), Qt::CaseInsensitive);
}

} // namespace

void LeftOut(const QString& path, const QString& why)
{
    // Not counted as told while the category is off.
    if (!lcPlugins().isWarningEnabled())
        return;
    static std::mutex mutex;
    static std::set<QString> told;
    {
        std::lock_guard lock(mutex);
        if (!told.insert(path + u'\n' + why).second)
            return;
    }
    qCWarning(lcPlugins).noquote() << "plug-in" << path << "is left out:" << why;
}

void Scan(const QString& PluginDir, QStringList& seen, const std::function<void(const QString& path)>& take)
{
    const QString folder = AddPathSeparator(PluginDir);
    FindData data{};
    const QByteArray pattern = ToCodePage(folder + QStringLiteral("*.sp?"));
    const FindHandle handle = FindFirstFileA(pattern.constData(), &data);
    if (static_cast<std::int32_t>(handle) > 0) {
        for (;;) {
            const auto nameLength = strnlen(data.cFileName, sizeof data.cFileName);
            const QString name = FromCodePage(QByteArrayView(data.cFileName, nameLength));
            if (name != QStringLiteral(".") && name != QStringLiteral("..") &&
                !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsPluginName(name) && !seen.contains(name)) {
                seen.append(name);
                take(AddPathSeparator(folder) + name);
            }
            // Keep the windows responsive while plug-ins load; another
            // thread's events are left to that thread's own loop.
            if (const QCoreApplication* app = QCoreApplication::instance();
                app && QThread::currentThread() == app->thread())
                QCoreApplication::processEvents();
            if (FindNextFileA(handle, &data) == 0)
                break;
        }
    }
    FindClose(handle);
}

} // namespace PluginFolder
