#pragma once
// The one offscreen application the drawing fuzz targets need for fonts and
// painting; created on first use and kept for the life of the process.
#include <QGuiApplication>

inline void EnsureFuzzApplication()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = (qputenv("QT_QPA_PLATFORM", "offscreen"), new QGuiApplication(argc, argv));
    (void)app;
}
