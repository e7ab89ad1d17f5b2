#include "common/AppPaths.h"

#include "common/CodePage.h"

#include <QCoreApplication>
#include <QStandardPaths>

#include <unistd.h>

namespace {
QString& OverrideFolder()
{
    static QString folder;
    return folder;
}
} // namespace

QString AppFolder()
{
    if (!OverrideFolder().isEmpty())
        return OverrideFolder();
    return QCoreApplication::applicationDirPath();
}

void SetAppFolder(const QString& folder)
{
    QString f = folder;
    while (f.size() > 1 && f.endsWith(u'/'))
        f.chop(1);
    OverrideFolder() = f;
}

QString SettingsFolder()
{
    const QString folder = AppFolder();
    if (::access(ToCodePage(folder).constData(), W_OK) == 0)
        return folder;
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/velmora");
}

QStringList PluginFolders()
{
    return {AppFolder() + QStringLiteral("/Plugin/"),
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/velmora/Plugin/")};
}
