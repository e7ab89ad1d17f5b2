#include "pluginhost/PluginHangs.h"

#include <QHash>
#include <QMutex>
#include <QSet>

#include "pluginhost/PluginLog.h"

namespace PluginHangs {
namespace {

struct Record {
    QMutex mutex;
    QHash<QString, QSet<QString>> files; // by plug-in: the files it hung on
};

Record& TheRecord()
{
    static auto* record = new Record; // for threads still running at exit
    return *record;
}

} // namespace

void Hung(const QString& pluginPath, const QString& fileName)
{
    Record& record = TheRecord();
    QMutexLocker lock(&record.mutex);
    QSet<QString>& files = record.files[pluginPath];
    // Once left out, the list stops growing.
    if (files.size() >= kHangsToLeaveOut || files.contains(fileName))
        return;
    files.insert(fileName);
    qCWarning(lcPlugins).noquote() << "plug-in" << pluginPath << "hung on" << fileName
                                   << "and is not asked about it again";
    if (files.size() == kHangsToLeaveOut)
        qCWarning(lcPlugins).noquote() << "plug-in" << pluginPath << "hung" << kHangsToLeaveOut
                                       << "times and is left out for the rest of the run";
}

bool Avoided(const QString& pluginPath, const QString& fileName)
{
    Record& record = TheRecord();
    QMutexLocker lock(&record.mutex);
    const auto it = record.files.constFind(pluginPath);
    return it != record.files.cend() &&
           (it->size() >= kHangsToLeaveOut || it->contains(fileName));
}

bool LeftOut(const QString& pluginPath)
{
    Record& record = TheRecord();
    QMutexLocker lock(&record.mutex);
    const auto it = record.files.constFind(pluginPath);
    return it != record.files.cend() && it->size() >= kHangsToLeaveOut;
}

} // namespace PluginHangs
