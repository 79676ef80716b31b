#pragma once
#include "app/TForm1.h"

#include <QApplication>

#include <functional>
#include <optional>

// The application object: its title comes from the program file's name, and an error that escapes an event
// handler is shown in the error box while the event loop goes on.
class BackupApplication : public QApplication {
  public:
    BackupApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// What the command line asks for.
struct ProgramOptions {
    std::string workspace; // the program folder; empty: the executable's folder
    bool autoBackup = false;
};

// Reads the command line and BACKUPTOOL_WORKSPACE into options; prints help and version itself. An exit code
// when the program is to end at once (help, version, a bad command line).
std::optional<int> parseCommandLine(int argc, char** argv, ProgramOptions& options);

// The automatic backup needs no display: without one it runs on Qt's offscreen platform.
void useOffscreenWithoutDisplay();

struct StartHooks {
    ProgramOptions options;
    std::function<TForm1Parts()> parts = [] { return TForm1Parts{}; };
    // The task-modal "Application Error" box.
    std::function<void(const std::string& text)> fatalError;
    bool runMessageLoop = true;
};

// Builds and shows the main window and runs the message loop until it closes: 0, or 1 when the window
// could not be built or an automatic backup did not back up every company.
int runProgram(BackupApplication& application, const StartHooks& hooks = {});
