#include "app/Settings.h"

#include "common/AppPaths.h"
#include "common/CodePage.h"
#include "platform/NumberRules.h"
#include "platform/ProfileFile.h"

#include <QDir>

#include <cmath>
#include <cstring>

namespace Settings {

namespace {

constexpr char kSection[] = "Main";
constexpr std::uint32_t kBufferSize = 513;

} // namespace

QString SettingsFilePath()
{
    // Plain concatenation: SettingsFolder() never ends in a separator.
    return SettingsFolder() + QStringLiteral("/SlideShow.ini");
}

QString ReadValue(const QString& key, const QString& def)
{
    char buffer[kBufferSize] = {};
    GetPrivateProfileStringA(kSection, ToCodePage(key).constData(), ToCodePage(def).constData(), buffer,
                             kBufferSize, ToCodePage(SettingsFilePath()).constData());
    // A value may hold a NUL of its own; the text ends there.
    return FromCodePage(QByteArrayView(buffer, qsizetype(strnlen(buffer, kBufferSize))));
}

void WriteValue(const QString& key, const QString& value)
{
    // The user's configuration folder may not exist yet.
    QDir().mkpath(SettingsFolder());
    WritePrivateProfileStringA(kSection, ToCodePage(key).constData(), ToCodePage(value).constData(),
                               ToCodePage(SettingsFilePath()).constData());
}

QString ReadDirPath() { return ReadValue(QStringLiteral("DirPath"), AppFolder()); }

QString ReadTime() { return ReadValue(QStringLiteral("Time"), QStringLiteral("4")); }

bool ReadStretch()
{
    const double number = Val(ReadValue(QStringLiteral("Stretch"), QStringLiteral("0")));
    return number != 0.0 && !std::isnan(number);
}

bool ReadOption(const QString& key) { return ReadValue(key, QString()) == QLatin1String("1"); }

void WriteDirPath(const QString& folder) { WriteValue(QStringLiteral("DirPath"), folder); }

void WriteTime(const QString& text) { WriteValue(QStringLiteral("Time"), text); }

void WriteOption(const QString& key, bool on)
{
    // No value of a line in the file can hold a line break: it marks a missing key.
    const QString missing = QStringLiteral("\n");
    if (on || ReadValue(key, missing) != missing)
        WriteValue(key, on ? QStringLiteral("1") : QStringLiteral("0"));
}

std::int32_t TimeValueNumber(const QString& value)
{
    const std::optional<std::int32_t> number = VarI4FromStr(value);
    if (!number || *number < 1 || *number > 50)
        return 4;
    return *number;
}

} // namespace Settings
