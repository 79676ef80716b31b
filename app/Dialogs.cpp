#include "app/Dialogs.h"

#include "fsutil/Paths.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include <cstdio>
#include <fstream>

namespace {

QString title() {
    return QCoreApplication::applicationName();
}

int showBox(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const std::string& text,
            bool question, DefaultAnswer defaultAnswer = DefaultAnswer::Yes) {
    QMessageBox box(icon, caption, QString::fromStdString(text), QMessageBox::NoButton, owner);
    QPushButton* first = box.addButton(question ? QObject::tr("&Yes") : QObject::tr("OK"),
                                       question ? QMessageBox::YesRole : QMessageBox::AcceptRole);
    QPushButton* second = question ? box.addButton(QObject::tr("&No"), QMessageBox::NoRole) : nullptr;
    box.setDefaultButton(second && defaultAnswer == DefaultAnswer::No ? second : first);
    box.setEscapeButton(second ? second : first);
    box.adjustSize();
    if (QScreen* screen = QGuiApplication::primaryScreen())
        box.move(screen->geometry().center() - box.rect().center());
    box.exec();
    return box.clickedButton() == first ? 1 : 0;
}

} // namespace

void QtDialogs::plainMessage(const std::string& text) {
    showBox(owner_, QMessageBox::NoIcon, title(), text, false);
}

bool QtDialogs::warningQuestion(const std::string& text, DefaultAnswer defaultAnswer) {
    return showBox(owner_, QMessageBox::Warning, QObject::tr("Warning"), text, true, defaultAnswer) == 1;
}

void QtDialogs::information(const std::string& text) {
    showBox(owner_, QMessageBox::Information, QObject::tr("Information"), text, false);
}

void QtDialogs::errorBox(const std::string& text) {
    QWidget* active = QApplication::activeWindow();
    showBox(active ? active : owner_, QMessageBox::Critical, title(), text, false);
}

std::optional<std::string> QtDialogs::openFile(const OpenFileRequest& request) {
    const QString current = QDir::currentPath(); // the program's folder is kept as it was
    QFileDialog dialog(owner_);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile); // neither the file nor its folder has to exist
    const auto bar = request.filter.find('|');
    dialog.setNameFilter(
        QString::fromStdString(request.filter.substr(0, bar)) + " (" +
        QString::fromStdString(bar == std::string::npos ? request.filter : request.filter.substr(bar + 1)) +
        ")");
    dialog.setOption(QFileDialog::HideNameFilterDetails); // the filter shows as the layout gives it: "*.ZIP"
    dialog.setDirectory(QString::fromStdString(fsutil::toNative(request.initialDir).string()));
    if (!request.fileName.empty()) dialog.selectFile(QString::fromStdString(request.fileName));
    dialog.setSizeGripEnabled(false);
    const bool confirmed = dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty();
    QDir::setCurrent(current);
    if (!confirmed) return std::nullopt;
    return QDir::toNativeSeparators(dialog.selectedFiles().first()).toStdString();
}

void LoggingDialogs::log(const std::string& line) {
    const std::string stamped =
        QDateTime::currentDateTime().toString(Qt::ISODate).toStdString() + " backuptool: " + line + "\n";
    std::fputs(stamped.c_str(), stderr);
    std::ofstream(logFile_, std::ios::app) << stamped;
}

void LoggingDialogs::plainMessage(const std::string& text) {
    log("message: " + text);
}

bool LoggingDialogs::warningQuestion(const std::string& text, DefaultAnswer defaultAnswer) {
    const bool yes = defaultAnswer == DefaultAnswer::Yes;
    log("question: " + text + " (answered " + (yes ? "Yes" : "No") + ", its default)");
    return yes;
}

void LoggingDialogs::information(const std::string& text) {
    log("information: " + text);
}

void LoggingDialogs::errorBox(const std::string& text) {
    log("error: " + text);
}

std::optional<std::string> LoggingDialogs::openFile(const OpenFileRequest&) {
    log("a file dialog was cancelled: nobody is there to answer it");
    return std::nullopt;
}

std::string errorBoxText(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
    return message;
}

std::string applicationTitle(const std::string& programPath) {
    const size_t folderEnd = programPath.find_last_of("/\\:");
    std::string name = programPath.substr(folderEnd == std::string::npos ? 0 : folderEnd + 1);
    name = name.substr(0, name.find('.'));
    for (size_t i = 1; i < name.size(); ++i)
        name[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
    return name;
}
