#pragma once
// velmora.plugins: what the plug-in code does quietly for the user (a
// plug-in left out, an answer cut short, a plug-in that hung, a helper
// started again). velmora.wine: which wine runs the Windows plug-ins, and
// why they cannot run. Both are quiet unless turned on, e.g.
// QT_LOGGING_RULES="velmora.*=true".
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcPlugins)
Q_DECLARE_LOGGING_CATEGORY(lcWine)
