#pragma once
// The plug-ins that hung (did not answer within the call limit), for the
// whole run: a plug-in is not asked again about a file it hung on, and one
// that hung on three files is not asked at all. One record for the process,
// shared by every plug-in manager on every thread, guarded by a mutex.
#include <QString>

namespace PluginHangs {

constexpr int kHangsToLeaveOut = 3;

// Records that pluginPath hung on fileName.
void Hung(const QString& pluginPath, const QString& fileName);
// Whether pluginPath is not to be asked about fileName.
bool Avoided(const QString& pluginPath, const QString& fileName);
// Whether pluginPath is not to be asked at all any more.
bool LeftOut(const QString& pluginPath);

} // namespace PluginHangs
