#pragma once
#include <QString>

// The folder that holds the executable, without a trailing "/". The settings
// file, the plug-in folder and Help.txt live there.
QString AppFolder();

// Points AppFolder() at another folder (tests lay out a program folder in a
// temporary directory); an empty path restores the executable's folder.
void SetAppFolder(const QString& folder);
