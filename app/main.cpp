#include "app/Program.h"

int main(int argc, char** argv) {
    StartHooks hooks;
    if (const auto done = parseCommandLine(argc, argv, hooks.options)) return *done;
    if (hooks.options.autoBackup) useOffscreenWithoutDisplay();
    BackupApplication application(argc, argv);
    return runProgram(application, hooks);
}
