#include "app/Program.h"

int main(int argc, char** argv) {
    BackupApplication application(argc, argv);
    return runProgram(application);
}
