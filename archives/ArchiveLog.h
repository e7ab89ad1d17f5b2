#pragma once
// velmora.archive: archives, and files inside them, that cannot be read, with
// why. Quiet unless turned on, e.g. QT_LOGGING_RULES="velmora.*=true".
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcArchive)
