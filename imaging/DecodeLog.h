#pragma once
// velmora.decode: what became of a picture the show could not simply show
// (left to the plug-ins, or black) and decoding errors. Quiet unless turned
// on, e.g. QT_LOGGING_RULES="velmora.*=true".
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcDecode)
