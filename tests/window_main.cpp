// Window tests run on Qt's offscreen platform: no display is needed and no dialog blocks.
#include "app/Program.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    BackupApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
