#include "pluginhost/PluginLog.h"

// Only messages turned on by rules are printed.
Q_LOGGING_CATEGORY(lcPlugins, "velmora.plugins", QtCriticalMsg)
Q_LOGGING_CATEGORY(lcWine, "velmora.wine", QtCriticalMsg)
