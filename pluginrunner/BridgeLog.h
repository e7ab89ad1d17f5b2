#pragma once
// What the bridge has to tell that no call's result carries (a helper
// started again, wine missing). The bridge has no Qt: the host sets a sink
// that puts the lines into its logging categories; without one they go to
// standard error.
#include <string>

#include "pluginrunner/LoadPlugin.h"

namespace BridgeLog {

enum class Topic { Plugins = LOADPLUGIN_LOG_PLUGINS, Wine = LOADPLUGIN_LOG_WINE, WineTaken = LOADPLUGIN_LOG_WINE_TAKEN };

void SetSink(LoadPluginLogSink sink);
// From any thread.
void Say(Topic topic, const std::string& text);

} // namespace BridgeLog
