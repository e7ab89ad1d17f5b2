#include <gtest/gtest.h>

#include <QApplication>

#include "imaging/DecodeService.h"

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // User data (the Windows plug-ins' wine prefix) and settings stay in
    // the build folder, whatever the user's own setting.
    qputenv("XDG_DATA_HOME", VELMORA_BUILD_DIR "/tests/xdg-data");
    qputenv("XDG_CONFIG_HOME", VELMORA_BUILD_DIR "/tests/xdg-config");
    // Shows never reach the user's session bus (its screen saver) from a test.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    QApplication app(argc, argv);
    DecodeService decoding;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
