#pragma once
// velmora.walk: folders the walk could not read, whose pictures the show
// leaves out. Quiet unless turned on, e.g. QT_LOGGING_RULES="velmora.*=true".
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcWalk)
