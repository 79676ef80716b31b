#include "app/Program.h"

#include <QFont>
#include <QMessageBox>

#include <cxxabi.h>

#include <cstdlib>
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

BackupApplication::BackupApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QString::fromStdString(applicationTitle(applicationFilePath().toStdString())));
    setQuitOnLastWindowClosed(true);
    // The layout's font is rarely installed here; these narrow faces keep its texts inside their labels.
    QFont::insertSubstitutions("MS Sans Serif", {"Nimbus Sans Narrow", "Liberation Sans Narrow", "Arial Narrow", "Nimbus Sans", "DejaVu Sans"});
}

bool BackupApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        if (Form1) Form1->HandleException(error);
        return false;
    }
}

int runProgram(BackupApplication& application, const StartHooks& hooks) {
    std::unique_ptr<TForm1> window;
    try {
        window = std::make_unique<TForm1>(hooks.parts());
    } catch (const std::exception& error) {
        const std::string text = kindOf(error) + ": " + error.what();
        (hooks.fatalError ? hooks.fatalError : showFatalError)(text);
        return 1;
    }
    window->show();
    if (hooks.runMessageLoop) application.exec();
    return 0;
}
