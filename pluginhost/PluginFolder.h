#pragma once
// The plug-in files of one folder, in the order the folder search meets
// them (*.spi, Linux and 32-bit Windows, and *.sph, 64-bit Windows, in one
// search), for the managers of import filters and of archive plug-ins.
#include <functional>

#include <QString>
#include <QStringList>

namespace PluginFolder {

// Calls take(path) for each plug-in file whose name is not in seen yet (a
// file name an earlier folder gave is left out), adding it to seen. On the
// user interface's thread, events are handled between plug-ins.
void Scan(const QString& PluginDir, QStringList& seen, const std::function<void(const QString& path)>& take);

// Logs once per run that a plug-in is left out and why: every decoding
// thread loads the plug-ins again for each show.
void LeftOut(const QString& path, const QString& why);

} // namespace PluginFolder
