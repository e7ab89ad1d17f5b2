#include "common/AppPaths.h"

#include <QCoreApplication>

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
