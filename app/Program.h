#pragma once
#include "app/TForm1.h"

#include <QApplication>

#include <functional>

// The application object: its title comes from the program file's name, and an error that escapes an event
// handler is shown in the error box while the event loop goes on.
class BackupApplication : public QApplication {
  public:
    BackupApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

struct StartHooks {
    std::function<TForm1Parts()> parts = [] { return TForm1Parts{}; };
    // The task-modal "Application Error" box.
    std::function<void(const std::string& text)> fatalError;
    bool runMessageLoop = true;
};

// Builds and shows the main window and runs the message loop until it closes: 0, or 1 when the window
// could not be built.
int runProgram(BackupApplication& application, const StartHooks& hooks = {});
