#pragma once
// A main window on a demo workspace, with every dialog answered by the test.
#include "app/TForm1.h"
#include "archive/TZipControl.h"
#include "dbserver/DbAdmin.h"
#include "fsutil/Paths.h"
#include "fsutil/Utf.h"
#include "tests/TestSupport.h"
#include "workspace/DemoWorkspace.h"

#include <gtest/gtest.h>

#include <QApplication>

#include <deque>
#include <unistd.h>

// Records every box and answers as told; nothing blocks.
struct FakeDialogs : IDialogs {
    std::vector<std::string> shown;
    std::deque<bool> answers; // for the warning questions; No when empty
    std::optional<std::string> fileAnswer;
    OpenFileRequest lastRequest;

    void plainMessage(const std::string& text) override { shown.push_back("plain: " + text); }
    bool warningQuestion(const std::string& text, DefaultAnswer defaultAnswer) override {
        shown.push_back(
            std::string(defaultAnswer == DefaultAnswer::No ? "warning (default No): " : "warning: ") + text);
        if (answers.empty()) return false;
        const bool yes = answers.front();
        answers.pop_front();
        return yes;
    }
    void information(const std::string& text) override { shown.push_back("information: " + text); }
    void errorBox(const std::string& text) override { shown.push_back("error: " + text); }
    std::optional<std::string> openFile(const OpenFileRequest& request) override {
        lastRequest = request;
        shown.push_back("open file");
        return fileAnswer;
    }
};

// Runs with the working folder set to a workspace, as the program runs from its own folder.
class WorkingFolder {
  public:
    explicit WorkingFolder(const std::filesystem::path& folder) : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~WorkingFolder() { std::filesystem::current_path(previous_); }
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

  private:
    std::filesystem::path previous_;
};

// Points the drive root somewhere else for a test, and back at "/" however the test ends.
class ScopedDriveRoot {
  public:
    explicit ScopedDriveRoot(const std::filesystem::path& root) { fsutil::setDriveRoot(root); }
    ~ScopedDriveRoot() { fsutil::setDriveRoot("/"); }
    ScopedDriveRoot(const ScopedDriveRoot&) = delete;
    ScopedDriveRoot& operator=(const ScopedDriveRoot&) = delete;
};

class WindowTest : public ::testing::Test {
  protected:
    WindowTest() {
        workspace::makeDemoWorkspace(ws().string(), fixed::kPassword);
        cwd = std::make_unique<WorkingFolder>(ws());
    }
    ~WindowTest() override {
        form.reset();
        cwd.reset();
    }

    std::filesystem::path ws() const { return dir.path() / "ws"; }

    TForm1& makeForm(std::unique_ptr<archive::IZipControl> zip = nullptr) {
        auto fake = std::make_unique<FakeDialogs>();
        dialogs = fake.get();
        form = std::make_unique<TForm1>(TForm1Parts{std::move(fake), std::move(zip), ws().string() + "/"});
        return *form;
    }

    std::string dump(const std::string& dictionary) {
        dbserver::TDbConnection connection;
        connection.setConnectPath(dictionary);
        connection.Username = fixed::kServerUser;
        connection.Password = fixed::kPassword;
        return dbserver::admin::dump(connection);
    }

    std::string statement() const { return form->dbqry1.SQL.Lines().at(0); }

    testsupport::TempDir dir;
    std::unique_ptr<WorkingFolder> cwd;
    std::unique_ptr<TForm1> form;
    FakeDialogs* dialogs = nullptr;
};
