#pragma once
// Velmora's own wine session for the Windows plug-ins: a prefix under
// $XDG_DATA_HOME/velmora/wine (never the user's ~/.wine), made in the
// background on first need, quiet and headless, and a wine server started
// on purpose with nothing of ours open.
#include <string>
#include <vector>

namespace WineSession {

enum class State { Preparing, Ready, Failed };

// The wine loader for a width; empty with why set when it is missing or
// cannot run here. Wine is looked for in VELMORA_WINE (a loader, or a folder
// of loaders), on PATH, in WineHQ's /opt folders, then in Debian's
// /usr/lib/wine (WineSession.cpp, Find); a lone "wine" runs both widths.
// Which one is taken is said once in the bridge's log.
std::string Loader(bool sixtyFour, std::string& why);
// The folder of the wine taken, as people name it ("/opt/wine-stable");
// empty for Debian's own and when there is none.
std::string Installation();

// Starts making the prefix in the background, once per process; later calls
// return at once.
void Prepare();
// Prepare, then waits up to timeoutMs for the prefix; why is set on Failed.
State Wait(int timeoutMs, std::string& why);

// A Windows helper ended before its first answer, perhaps because the
// prefix taken as ready is broken (a file of it removed or cut short). Once
// per process, the prefix is tried in the background and, when wine does not
// start in it, said so through the bridge's log and made again; Wait waits for that.
void HelperFailed(bool sixtyFour);

// Starts the wine server of the prefix unless one runs; true when it runs.
bool StartServer();

// The environment of every wine process of the session.
std::vector<std::string> Environment();
std::string PrefixPath();
// $XDG_DATA_HOME, else ~/.local/share.
std::string DataHome();

// Tells once per reason, through the bridge's log, why Windows plug-ins
// cannot run and how to enable them.
void Advise(const std::string& why);

} // namespace WineSession
