#include "app/Program.h"

#include "fsutil/Paths.h"

#include <QFont>
#include <QIcon>
#include <QMessageBox>
#include <QTimer>

#include <cxxabi.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>

namespace {

void showFatalError(const std::string& text) {
    QMessageBox box(QMessageBox::Critical, "Application Error", QString::fromStdString(text),
                    QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

// The kind of error, by its class name.
std::string kindOf(const std::exception& error) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(typeid(error).name(), nullptr, nullptr, &status), &std::free);
    return status == 0 && name ? name.get() : typeid(error).name();
}

} // namespace

// The icon's resource sits in a static library, which the linker would otherwise leave out.
static void initResources() {
    Q_INIT_RESOURCE(app);
}

BackupApplication::BackupApplication(int& argc, char** argv) : QApplication(argc, argv) {
    initResources();
    setApplicationName(QString::fromStdString(applicationTitle(applicationFilePath().toStdString())));
    setApplicationVersion(PROJECT_VERSION);
    setWindowIcon(QIcon(":/backuptool.svg"));
    setQuitOnLastWindowClosed(true);
    // The layout's font is rarely installed here; these narrow faces keep its texts inside their labels.
    QFont::insertSubstitutions("MS Sans Serif", {"Nimbus Sans Narrow", "Liberation Sans Narrow",
                                                 "Arial Narrow", "Nimbus Sans", "DejaVu Sans"});
}

bool BackupApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        if (Form1) Form1->HandleException(error);
        return false;
    }
}

std::optional<int> parseCommandLine(int argc, char** argv, ProgramOptions& options) {
    if (const char* fromEnvironment = std::getenv("BACKUPTOOL_WORKSPACE"))
        options.workspace = fromEnvironment;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::cout
                << "usage: backuptool [--workspace DIR] [--auto-backup]\n"
                   "       backuptool -h | --help | --version\n\n"
                   "The window \"Backup & Restore Utility\".\n"
                   "  --workspace DIR  the program folder (MCOMPANY, COMPANY/, KORVA.ini), also the working\n"
                   "                   folder; default $BACKUPTOOL_WORKSPACE, else the executable's folder\n"
                   "  --auto-backup    back up every company of MCOMPANY into KORVA.ini's BACKUP_FOLDER, "
                   "then\n"
                   "                   end; needs no display; messages go to stderr and backuptool.log in "
                   "the\n"
                   "                   program folder; exit status 0 when every company was backed up\n";
            return 0;
        }
        if (arg == "--version") {
            std::cout << "backuptool " << PROJECT_VERSION << "\n";
            return 0;
        }
        if (arg == "--auto-backup") {
            options.autoBackup = true;
        } else if (arg == "--workspace" && i + 1 < argc) {
            options.workspace = argv[++i];
        } else {
            std::cerr << "backuptool: "
                      << (arg == "--workspace" ? "--workspace needs a folder"
                                               : "unknown argument '" + arg + "'")
                      << "; try backuptool --help\n";
            return 2;
        }
    }
    return std::nullopt;
}

void useOffscreenWithoutDisplay() {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

int runProgram(BackupApplication& application, const StartHooks& hooks) {
    const ProgramOptions& options = hooks.options;
    const auto fatal = [&](const std::string& text) {
        if (options.autoBackup)
            std::cerr << "backuptool: Application Error: " << text << "\n"; // nobody is there to see a box
        else
            (hooks.fatalError ? hooks.fatalError : showFatalError)(text);
        return 1;
    };
    std::unique_ptr<TForm1> window;
    try {
        TForm1Parts parts = hooks.parts();
        if (!options.workspace.empty()) {
            std::filesystem::current_path(options.workspace); // the window's relative paths lead inside it
            parts.programFolder = std::filesystem::current_path().string() + "/";
        }
        if (options.autoBackup)
            parts.dialogs = std::make_unique<LoggingDialogs>(
                (parts.programFolder.empty() ? fsutil::programFolder() : parts.programFolder) +
                "backuptool.log");
        window = std::make_unique<TForm1>(std::move(parts));
    } catch (const std::exception& error) {
        return fatal(kindOf(error) + ": " + error.what());
    }
    window->show();
    if (options.autoBackup) {
        // After the run the window has closed, unless a company's backup failed and its error was logged.
        QObject::connect(window->Timer1, &QTimer::timeout, &application, [&] {
            QTimer::singleShot(0, &application, [&] {
                if (window->isVisible()) application.exit(1);
            });
        });
        window->Timer1->start();
    }
    if (!hooks.runMessageLoop) return 0;
    const int status = application.exec();
    if (options.autoBackup) return window->AutoBackupCompleted ? 0 : 1;
    return status == 0 ? 0 : 1;
}
