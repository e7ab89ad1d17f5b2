#pragma once
// Shared helpers of the test suite: real folders and files in temporary
// directories, and a program folder laid out like an installed Velmora.
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <ostream>
#include <string>
#include <utility>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

#include "codecs/CodecResult.h"

namespace codec {
// Error kinds by name in test failures.
inline void PrintTo(ErrorKind kind, std::ostream* out) { *out << KindName(kind); }
} // namespace codec

// The build folder (where velmora, libLoadPlugin.so and Plugin/ are built).
QString BuildDir();
// Where the test suite's own plug-ins are built (BuildDir()/tests/pluginhost).
QString TestPluginDir();

// Keeps user data and settings in the build folder and off the session bus,
// then runs the tests inside an application with a decoding service.
int RunTestsInApplication(int& argc, char** argv);

// Runs the event loop until done() holds (true) or ms have passed (false).
bool WaitFor(const std::function<bool()>& done, int ms = 5000);

// Sets an environment variable while the object lives, then restores it.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const QString& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* mName;
    bool mWasSet;
    QByteArray mOld;
};

class TempTree {
public:
    TempTree();
    // The temporary folder, without a trailing "/".
    QString Path() const;
    // Creates the folder rel (and its parents) below Path(); returns its full path.
    QString MakeDir(const QString& rel) const;
    // Writes a file below Path() (parents created); returns its full path.
    QString WriteFile(const QString& rel, const QByteArray& contents) const;

private:
    QTemporaryDir mDir;
};

// A temporary program folder: the bridge library of the build beside an
// empty Plugin/ folder, with AppFolder() pointed at it while the object lives.
class ProgramFolder : public TempTree {
public:
    ProgramFolder();
    ~ProgramFolder();
    QString PluginFolder() const;
    // Copies a built plug-in (a path, or a file name looked up in
    // TestPluginDir() and then BuildDir()/Plugin) into Plugin/ as asName.
    QString AddPlugin(const QString& builtPlugin, const QString& asName = QString()) const;
    QString SettingsFile() const;
    void WriteSettings(const QByteArray& contents) const;
    QByteArray ReadSettings() const;
};

// The lines of Velmora's logging categories (velmora.*) while the object
// lives, from any thread. Turned on, every level of them is taken; otherwise
// the rules are left as they are, so that the quiet default can be checked.
class LogLines {
public:
    explicit LogLines(bool turnOn = true);
    ~LogLines();
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;
    // The messages so far of one category ("velmora.plugins"), or of all of
    // them when category is empty; what is taken is forgotten.
    QStringList Take(const QString& category = QString());

private:
    bool mTurnedOn;
    QtMessageHandler mPrevious;
};

// Whether one of the messages holds all the words.
bool Said(const QStringList& messages, const QStringList& words);

// The command-line tools CI installs (scripts/packages.txt) that are missing
// here, as "tool (Debian package)"; empty when all are installed.
std::string MissingTools(std::initializer_list<std::pair<const char*, const char*>> tools);
// Skips the test for want of tools ({"cjxl", "libjxl-tools"}, ...); in CI it fails.
#define REQUIRE_TOOLS(...)                                                                   \
    do {                                                                                     \
        const std::string missing = MissingTools({__VA_ARGS__});                            \
        if (!missing.empty()) {                                                              \
            if (std::getenv("CI"))                                                           \
                FAIL() << "CI must have " << missing;                                        \
            GTEST_SKIP() << "not installed: " << missing;                                    \
        }                                                                                    \
    } while (false)

// Runs a tool of the machine (an archiver, an encoder) in a folder (the
// current one when empty); the test fails when the tool is missing or fails.
void RunTool(const QString& folder, const QString& tool, const QStringList& args);
// Runs a tool that writes the file out; that file's contents. A failed run
// or an empty file fails the test.
QByteArray RunTool(const QString& tool, const QStringList& args, const QString& out);
