// plugin_load_once PROGRAM_FOLDER PLUGIN...: loads plug-ins through the
// bridge of PROGRAM_FOLDER in a process of its own, as a start of the
// program does. Exit code 0 when every plug-in was loaded, 1 when not (why
// on standard error).
#include <cstdio>

#include "common/AppPaths.h"
#include "pluginhost/ClsPlugin.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: plugin_load_once PROGRAM_FOLDER PLUGIN...\n");
        return 2;
    }
    SetAppFolder(QString::fromLocal8Bit(argv[1]));
    for (int i = 2; i < argc; ++i) {
        ClsPlugin plugin;
        try {
            if (plugin.Initialize(QString::fromLocal8Bit(argv[i])) < 1)
                return 1;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            return 1;
        }
    }
    return 0;
}
