#pragma once
// The settings file "SlideShow.ini" in the executable's folder (or, when that
// cannot be written, in the user's configuration folder), section "Main".
// Every read and write goes to the file; nothing is cached.
#include <cstdint>

#include <QString>

namespace Settings {

// SettingsFolder() followed directly by "/SlideShow.ini".
QString SettingsFilePath();

// One key of section "Main", read into a 513-byte buffer (so cut to 512
// bytes) and cut at its first NUL; def when the file, section or key is missing.
QString ReadValue(const QString& key, const QString& def);
// Writes one key of section "Main"; failures go unreported.
void WriteValue(const QString& key, const QString& value);

QString ReadDirPath(); // default: the executable's folder
QString ReadTime();    // default: "4"
bool ReadStretch();    // the "Stretch" rule: True when its leading number is not 0

// An option of the options menu: on only when its key reads exactly "1".
bool ReadOption(const QString& key);

void WriteDirPath(const QString& folder);
void WriteTime(const QString& text);
// Writes "1" for an option that is on. One that is off is written "0" only
// when its key is there already, so a file that never had it stays as it was.
void WriteOption(const QString& key, bool on);

// The "Time" value rule: the value's number when it converts to a whole number
// from 1 to 50, otherwise 4.
std::int32_t TimeValueNumber(const QString& value);

} // namespace Settings
