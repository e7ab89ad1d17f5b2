#pragma once
#include <QString>

#include <QStringList>

// The folder that holds the executable, without a trailing "/". The settings
// file, the plug-in folder and Help.txt live there.
QString AppFolder();

// The folder of the settings file: the executable's folder when it can be
// written, otherwise $XDG_CONFIG_HOME/velmora (an install owned by root run
// by a user). Without a trailing "/".
QString SettingsFolder();

// The plug-in folders in the order they are searched: the executable's
// folder's Plugin, then $XDG_DATA_HOME/velmora/Plugin. Each ends in "/".
QStringList PluginFolders();

// Points AppFolder() at another folder (tests lay out a program folder in a
// temporary directory); an empty path restores the executable's folder.
void SetAppFolder(const QString& folder);
