#include "app/Program.h"
#include "tests/WindowFixture.h"

#include <QStyle>

#include <QToolButton>

using archive::IZipControl;
using archive::ZipValue;
using fsutil::toUtf16;
using testsupport::readFile;

namespace {

// The real component, with a setting that can be made to fail and operations that can be made to return a
// code.
class ScriptedZip final : public IZipControl {
  public:
    ScriptedZip() {
        inner.OnFileStatus = [this](IZipControl&, const std::u16string& name, std::int32_t size,
                                    std::int32_t compressed, std::int32_t processed, std::int16_t percent,
                                    std::int16_t ratio, bool completed) {
            if (OnFileStatus)
                OnFileStatus(*this, name, size, compressed, processed, percent, ratio, completed);
        };
        inner.OnProgress = [this](IZipControl&, std::uint64_t done, std::uint64_t total) {
            if (OnProgress) OnProgress(*this, done, total);
        };
    }
    void SetProperty(int id, const ZipValue& value) override {
        if (id == refusedId) throw archive::ZipError("The zip setting cannot take this value");
        inner.SetProperty(id, value);
    }
    void SetProperty(std::string_view name, const ZipValue& value) override {
        inner.SetProperty(name, value);
    }
    ZipValue GetProperty(int id) const override { return inner.GetProperty(id); }
    ZipValue GetProperty(std::string_view name) const override { return inner.GetProperty(name); }
    std::int32_t ZipFiles() override { return zipResult ? *zipResult : inner.ZipFiles(); }
    std::int32_t UnzipFiles() override { return inner.UnzipFiles(); }
    std::int32_t TestZipFile() override { return inner.TestZipFile(); }
    std::int32_t ListZipFile(std::vector<archive::ZipEntryInfo>& entries) override {
        return inner.ListZipFile(entries);
    }
    std::u16string DescribeResult(std::int32_t kind, std::int32_t code) const override {
        return inner.DescribeResult(kind, code);
    }
    std::int32_t ActiveOperation() const override { return operation ? *operation : inner.ActiveOperation(); }
    void Abort() override { inner.Abort(); }
    void CheckLibraries() override { ++startupCalls; }
    void ResetStatistics() override { ++startupCalls; }
    void ClearLastResult() override { ++startupCalls; }

    archive::TZipControl inner;
    int refusedId = -1;
    std::optional<std::int32_t> zipResult;
    std::optional<std::int32_t> operation;
    int startupCalls = 0;
};

std::u16string property(TForm1& form, int id) {
    return std::get<std::u16string>(form.xZip->GetProperty(id));
}

TEST_F(WindowTest, StartState) {
    TForm1& w = makeForm();
    w.show();
    w.activateWindow();
    QApplication::processEvents();
    EXPECT_EQ(w.windowTitle(), "Backup & Restore Utility");
    EXPECT_EQ(w.size(), QSize(761, 334));
    const std::pair<QLineEdit*, const char*> edits[] = {
        {w.edtBackup, "D:\\DRAVELL\\BACKUP_DBNAME\\"},
        {w.edtDatabaselbledt2, "D:\\DRAVELL\\COMPANY\\abc\\abc.add"},
        {w.edtComID, ""},
        {w.DataEdit1, "C:\\TEMP\\ABC.ZIP"},
        {w.edtPwd, ""}};
    for (const auto& [edit, text] : edits)
        EXPECT_EQ(edit->text().toStdString(), text) << edit->objectName().toStdString();
    EXPECT_EQ(w.edtPwd->echoMode(), QLineEdit::Password);
    EXPECT_EQ(w.Label1->text(), "To backup Enter the  path eg : D:\\VELMORIS\\NW4\\BACKUP_FOLDER\\");
    EXPECT_EQ(w.StatusLb->text(), "Msg:");
    EXPECT_EQ(w.ProgressBar1->value(), 0);
    EXPECT_FALSE(w.Animate1->Active());
    EXPECT_FALSE(w.Timer1->isActive());
    EXPECT_EQ(w.Timer1->interval(), 2000);
    EXPECT_EQ(QApplication::focusWidget(), w.btnRestore_btn1);
    for (QPushButton* button : {w.btnRestore_btn1, w.btn2})
        EXPECT_FALSE(button->isDefault() || button->autoDefault());

    const std::pair<QWidget*, QRect> places[] = {
        {w.edtBackup, {115, 4, 569, 21}},     {w.DataEdit1, {115, 154, 559, 21}},
        {w.SpeedButton1, {676, 154, 25, 21}}, {w.Panel3, {0, 230, 761, 31}},
        {w.StatusPn, {0, 261, 761, 32}},      {w.pnl1, {0, 293, 761, 41}},
        {w.StatusLb, {8, 8, 705, 13}},        {w.btn2, {96, 8, 75, 25}},
    };
    for (const auto& [widget, place] : places)
        EXPECT_EQ(widget->geometry(), place) << widget->objectName().toStdString();

    // Keyboard order: Restore, Backup, image folder, database path, zip file name, password, company code.
    std::vector<QWidget*> order;
    for (QWidget* next = w.btnRestore_btn1; order.size() < 7; next = next->nextInFocusChain())
        if (next->focusPolicy() & Qt::TabFocus) order.push_back(next);
    const std::vector<QWidget*> expected = {w.btnRestore_btn1, w.btn2,   w.edtBackup, w.edtDatabaselbledt2,
                                            w.DataEdit1,       w.edtPwd, w.edtComID};
    EXPECT_EQ(order, expected);

    w.resize(900, 400);
    QApplication::processEvents();
    EXPECT_EQ(w.pnl1->geometry(), QRect(0, 359, 900, 41));
    EXPECT_EQ(w.Panel3->geometry(), QRect(0, 296, 900, 31));
    EXPECT_EQ(w.Panel1->width(), 892);
    EXPECT_EQ(w.edtBackup->geometry(), QRect(115, 4, 569, 21));
    EXPECT_EQ(w.AbortSb->geometry(), QRect(726, 2, 22, 21));
    EXPECT_EQ(w.edtPwd->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, w.edtPwd), '*');
}

TEST_F(WindowTest, StartUpSettingsReachTheComponent) {
    TForm1& w = makeForm();
    using namespace archive::dispid;
    EXPECT_EQ(property(w, EncryptionPassword), u"KESTA7946");
    EXPECT_EQ(property(w, FilesToExclude), u"TEMP_*.*");
    EXPECT_EQ(std::get<bool>(w.xZip->GetProperty(PreservePaths)), false);
    EXPECT_EQ(std::get<std::int32_t>(w.xZip->GetProperty(ExcludedFileAttributes)), 0);
    EXPECT_EQ(std::get<std::int32_t>(w.xZip->GetProperty(ExtraHeaders)), 0);
    EXPECT_TRUE(dialogs->shown.empty());
}

TEST_F(WindowTest, ARefusedSettingStopsTheRestAndTheWindowStillOpens) {
    auto zip = std::make_unique<ScriptedZip>();
    ScriptedZip* scripted = zip.get();
    scripted->refusedId = archive::dispid::PreservePaths; // the 13th setting
    TForm1& w = makeForm(std::move(zip));
    EXPECT_EQ(dialogs->shown, std::vector<std::string>{"error: The zip setting cannot take this value."});
    EXPECT_EQ(std::get<std::int32_t>(w.xZip->GetProperty(archive::dispid::ExtraHeaders)), 10)
        << "stored value kept";
    EXPECT_EQ(std::get<bool>(w.xZip->GetProperty(archive::dispid::PreservePaths)), true);
    EXPECT_EQ(property(w, archive::dispid::FilesToExclude), u"TEMP_*.*") << "written before the failure";
    EXPECT_EQ(scripted->startupCalls, 0);
    w.show();
    EXPECT_TRUE(w.isVisible());
}

TEST_F(WindowTest, FatalStartUpErrorEndsWithExitCodeOne) {
    std::string fatal;
    StartHooks hooks;
    hooks.parts = []() -> TForm1Parts { throw archive::ZipError("The zip component cannot be created"); };
    hooks.fatalError = [&](const std::string& text) { fatal = text; };
    hooks.runMessageLoop = false;
    EXPECT_EQ(runProgram(static_cast<BackupApplication&>(*qApp), hooks), 1);
    EXPECT_EQ(fatal, "archive::ZipError: The zip component cannot be created");
    EXPECT_EQ(Form1, nullptr);
}

TEST_F(WindowTest, PickingTheZipFile) {
    TForm1& w = makeForm();
    const struct {
        std::string typedBefore;
        std::optional<std::string> answer;
        std::string expected;
    } cases[] = {
        {"C:\\TEMP\\ABC.ZIP", "D:\\SAVE\\BACKUP1", "D:\\SAVE\\BACKUP1.ZIP"},
        {"C:\\TEMP\\ABC.ZIP", "/new/place/backup.zip", "/new/place/backup.zip"},
        {"typed by hand", std::nullopt, "typed by hand"},
        {"", "D:\\SAVE\\x.ZIP", "D:\\SAVE\\x.ZIP"},
    };
    for (const auto& c : cases) {
        w.DataEdit1->setText(QString::fromStdString(c.typedBefore));
        dialogs->fileAnswer = c.answer;
        w.SpeedButton1->click();
        EXPECT_EQ(dialogs->lastRequest.fileName, c.typedBefore);
        EXPECT_EQ(dialogs->lastRequest.initialDir, "\\VELMORIS\\NW4");
        EXPECT_EQ(dialogs->lastRequest.filter, "*.ZIP|*.ZIP");
        EXPECT_EQ(w.DataEdit1->text().toStdString(), c.expected);
    }
}

TEST_F(WindowTest, StatusLineRules) {
    auto zip = std::make_unique<ScriptedZip>();
    ScriptedZip* scripted = zip.get();
    TForm1& w = makeForm(std::move(zip));
    const struct {
        std::int32_t operation;
        std::int32_t processed;
        const char* expected;
    } cases[] = {
        {archive::zoZip, 0, "Zipping abc.ADD"},
        {archive::zoUnzip, 0, "Unzipping abc.ADD"},
        {archive::zoZip, 512, "Msg:"},
        {archive::zoNone, 0, "Msg:"},
    };
    for (const auto& c : cases) {
        w.StatusLb->setText("Msg:");
        scripted->operation = c.operation;
        bool pendingHandled = false;
        QMetaObject::invokeMethod(
            &w, [&] { pendingHandled = true; }, Qt::QueuedConnection);
        w.xZipFileStatus(*scripted, u"abc.ADD", 100, 50, c.processed, 0, 50, false);
        EXPECT_EQ(w.StatusLb->text().toStdString(), c.expected);
        EXPECT_TRUE(pendingHandled) << "pending messages are handled at every event";
    }
}

TEST(TextRulesTest, ErrorBoxFullStopAndApplicationTitle) {
    const std::pair<const char*, const char*> messages[] = {
        {"Cannot open", "Cannot open."},
        {"code 7", "code 7."},
        {"done.", "done."},
        {"Invalid Password!", "Invalid Password!"},
        {"f(x)", "f(x)"},
        {"trailing ", "trailing "},
        {"", ""},
    };
    for (const auto& [message, shown] : messages)
        EXPECT_EQ(errorBoxText(message), shown);
    const std::pair<const char*, const char*> titles[] = {{"C:\\APP\\BACKUPTOOL.EXE", "Backuptool"},
                                                          {"/usr/bin/backuptool", "backuptool"},
                                                          {"/x/My.Tool.exe", "My"}};
    for (const auto& [path, title] : titles)
        EXPECT_EQ(applicationTitle(path), title);
}

TEST_F(WindowTest, BackupWithTheDefaults) {
    TForm1& w = makeForm();
    w.btn2->click();
    EXPECT_EQ(w.con1.ConnectPath(), "D:\\DRAVELL\\COMPANY\\abc\\abc.add");
    EXPECT_EQ(statement(), "EXECUTE PROCEDURE sp_BackupDatabase('D:\\DRAVELL\\BACKUP_DBNAME\\', NULL )");
    EXPECT_EQ(property(w, archive::dispid::ZipFilename), u"C:\\TEMP\\ABC.ZIP");
    EXPECT_EQ(property(w, archive::dispid::FilesToProcess), u"D:\\DRAVELL\\BACKUP_DBNAME\\\\*.*");
    EXPECT_EQ(dialogs->shown, (std::vector<std::string>{"information: Add operation completed. ",
                                                        "plain: - Backup database completed -"}));
    EXPECT_TRUE(w.StatusLb->text().startsWith("Zipping "));
    EXPECT_NE(w.cursor().shape(), Qt::BitmapCursor);
    EXPECT_TRUE(w.Animate1->isHidden());
    EXPECT_EQ(dump("BACKUP_DBNAME/abc.add"), dump("COMPANY/abc/abc.ADD"));
    if (std::system("command -v 7z >/dev/null") == 0) {
        EXPECT_EQ(std::system("7z t -pKESTA7946 C:/TEMP/ABC.ZIP >/dev/null"), 0);
    }
}

TEST_F(WindowTest, BackupIntoAFolderWithAQuote) {
    TForm1& w = makeForm();
    w.edtBackup->setText("D:\\DRAVELL\\it's here\\");
    w.btn2->click();
    EXPECT_EQ(statement(), "EXECUTE PROCEDURE sp_BackupDatabase('D:\\DRAVELL\\it''s here\\', NULL )");
    EXPECT_EQ(dump("it's here/abc.add"), dump("COMPANY/abc/abc.ADD"));
    EXPECT_EQ(dialogs->shown.back(), "plain: - Backup database completed -");
}

TEST_F(WindowTest, OverwriteQuestion) {
    TForm1& w = makeForm();
    testsupport::writeFile("C:/TEMP/ABC.ZIP", "an older backup");
    dialogs->answers = {false};
    w.btn2->click();
    EXPECT_EQ(dialogs->shown,
              (std::vector<std::string>{"warning: Zip file already exists,Do you wish to overwrite it?",
                                        "plain: - Backup database completed -"}));
    EXPECT_EQ(readFile("C:/TEMP/ABC.ZIP"), "an older backup");
    EXPECT_EQ(w.StatusLb->text(), "Msg:");

    dialogs->shown.clear();
    dialogs->answers = {true};
    w.btn2->click();
    EXPECT_EQ(dialogs->shown.at(1), "information: Add operation completed. ");
    EXPECT_NE(readFile("C:/TEMP/ABC.ZIP"), "an older backup");
}

TEST_F(WindowTest, ServerFailureShowsTheErrorAndSkipsTheZip) {
    TForm1& w = makeForm();
    w.edtDatabaselbledt2->setText("D:\\DRAVELL\\COMPANY\\nope\\nope.add");
    w.btn2->click();
    EXPECT_EQ(dialogs->shown,
              std::vector<std::string>{
                  "error: The data dictionary D:\\DRAVELL\\COMPANY\\nope\\nope.add does not exist."});
    EXPECT_NE(w.cursor().shape(), Qt::BitmapCursor);
    EXPECT_TRUE(w.Animate1->isHidden());
    EXPECT_FALSE(std::filesystem::exists("C:/TEMP/ABC.ZIP"));
}

TEST_F(WindowTest, CompressionFailureKeepsTheOldZipAndReportsNoCompletion) {
    auto zip = std::make_unique<ScriptedZip>();
    zip->zipResult = archive::result::DiskFull;
    TForm1& w = makeForm(std::move(zip));
    testsupport::writeFile("C:/TEMP/ABC.ZIP", "the previous good backup");
    dialogs->answers = {true};
    w.btn2->click();
    const std::string diskFull = fsutil::toUtf8(w.xZip->DescribeResult(0, archive::result::DiskFull));
    EXPECT_EQ(dialogs->shown,
              (std::vector<std::string>{"warning: Zip file already exists,Do you wish to overwrite it?",
                                        "plain: " + diskFull}));
    EXPECT_EQ(readFile("C:/TEMP/ABC.ZIP"), "the previous good backup");
}

TEST_F(WindowTest, CommandsAreRefusedWhileTheArchiveIsBusy) {
    TForm1& w = makeForm();
    auto original = w.xZip->OnFileStatus;
    bool clicked = false;
    w.xZip->OnFileStatus = [&](IZipControl& sender, const std::u16string& name, std::int32_t size,
                               std::int32_t comp, std::int32_t processed, std::int16_t percent,
                               std::int16_t ratio, bool completed) {
        original(sender, name, size, comp, processed, percent, ratio, completed);
        if (clicked) return;
        clicked = true;
        w.btn2->click();
        w.btnRestore_btn1->click();
    };
    w.btn2->click();
    ASSERT_EQ(dialogs->shown.size(), 4u);
    EXPECT_TRUE(dialogs->shown[0].starts_with("plain: A compression or extraction is still running"));
    EXPECT_EQ(dialogs->shown[1], dialogs->shown[0]);
    EXPECT_EQ(dialogs->shown[2], "information: Add operation completed. ");
    EXPECT_EQ(statement(), "EXECUTE PROCEDURE sp_BackupDatabase('D:\\DRAVELL\\BACKUP_DBNAME\\', NULL )");
}

TEST_F(WindowTest, ProgressBarFillsAndEmptiesAgain) {
    TForm1& w = makeForm();
    auto original = w.xZip->OnProgress;
    int highest = 0;
    w.xZip->OnProgress = [&](IZipControl& sender, std::uint64_t done, std::uint64_t total) {
        original(sender, done, total);
        highest = std::max(highest, w.ProgressBar1->value());
    };
    w.btn2->click();
    EXPECT_EQ(highest, 100);
    EXPECT_EQ(w.ProgressBar1->value(), 0);
}

TEST_F(WindowTest, AbortDuringCompressionKeepsTheOldZip) {
    TForm1& w = makeForm();
    testsupport::writeFile("C:/TEMP/ABC.ZIP", "the previous good backup");
    dialogs->answers = {true};
    w.AbortSb->click(); // no operation running: nothing happens
    auto original = w.xZip->OnFileStatus;
    w.xZip->OnFileStatus = [&](IZipControl& sender, const std::u16string& name, std::int32_t size,
                               std::int32_t comp, std::int32_t processed, std::int16_t percent,
                               std::int16_t ratio, bool completed) {
        original(sender, name, size, comp, processed, percent, ratio, completed);
        w.AbortSb->click();
    };
    w.btn2->click();
    const std::string cancelled = fsutil::toUtf8(w.xZip->DescribeResult(0, archive::result::Cancelled));
    EXPECT_EQ(dialogs->shown,
              (std::vector<std::string>{"warning: Zip file already exists,Do you wish to overwrite it?",
                                        "plain: " + cancelled}));
    EXPECT_EQ(readFile("C:/TEMP/ABC.ZIP"), "the previous good backup");
    EXPECT_EQ(w.ProgressBar1->value(), 0);
}

} // namespace
