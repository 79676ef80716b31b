#pragma once
// Every message box and file dialog of the program goes through this seam, so tests can answer them.
#include <optional>
#include <string>

class QWidget;

struct OpenFileRequest {
    std::string fileName;   // pre-filled name, possibly empty
    std::string initialDir; // start folder
    std::string filter;     // "shown|pattern"
};

enum class DefaultAnswer { Yes, No };

class IDialogs {
  public:
    virtual ~IDialogs() = default;
    // A dialog titled with the application title, no icon, one OK button.
    virtual void plainMessage(const std::string& text) = 0;
    // Title "Warning", exclamation icon, "&Yes" and "&No", the default one marked; true only for Yes.
    virtual bool warningQuestion(const std::string& text,
                                 DefaultAnswer defaultAnswer = DefaultAnswer::Yes) = 0;
    // Title "Information", information icon, one OK button.
    virtual void information(const std::string& text) = 0;
    // The default error handler's box: application title, stop icon, OK.
    virtual void errorBox(const std::string& text) = 0;
    // The open-file dialog; the chosen or typed name, or nothing when cancelled.
    virtual std::optional<std::string> openFile(const OpenFileRequest& request) = 0;
};

class QtDialogs final : public IDialogs {
  public:
    explicit QtDialogs(QWidget* owner) : owner_(owner) {}
    void plainMessage(const std::string& text) override;
    bool warningQuestion(const std::string& text, DefaultAnswer defaultAnswer = DefaultAnswer::Yes) override;
    void information(const std::string& text) override;
    void errorBox(const std::string& text) override;
    std::optional<std::string> openFile(const OpenFileRequest& request) override;

  private:
    QWidget* owner_;
};

// What runs unattended uses this one: each box becomes a line with a time stamp on stderr and in a log file,
// and is answered with its default.
class LoggingDialogs final : public IDialogs {
  public:
    explicit LoggingDialogs(std::string logFile) : logFile_(std::move(logFile)) {}
    void plainMessage(const std::string& text) override;
    bool warningQuestion(const std::string& text, DefaultAnswer defaultAnswer = DefaultAnswer::Yes) override;
    void information(const std::string& text) override;
    void errorBox(const std::string& text) override;
    std::optional<std::string> openFile(const OpenFileRequest& request) override;

  private:
    void log(const std::string& line);
    std::string logFile_;
};

// The error box's text: a full stop is added when the message is not empty and its last character's code is
// above that of the full stop.
std::string errorBoxText(const std::string& message);

// The program file's name without its folder, cut before its first "."; the first character kept, the rest
// lower-cased.
std::string applicationTitle(const std::string& programPath);
