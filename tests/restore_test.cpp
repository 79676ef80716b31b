#include "tests/WindowFixture.h"

using testsupport::folderContents;

namespace {

class RestoreTest : public WindowTest {
  protected:
    // A backup of company abc made through the window: the image in BACKUP_DBNAME, the zip in C:\TEMP.
    void backupFirst(TForm1& w) {
        w.btn2->click();
        ASSERT_EQ(dialogs->shown.back(), "plain: - Backup database completed -");
        dialogs->shown.clear();
    }
    void fillRestore(TForm1& w, const char* code = "abc") {
        w.edtPwd->setText(fixed::kRestoreAccessCode);
        w.edtComID->setText(code);
    }
};

TEST_F(RestoreTest, AccessCodeAndCompanyCodeChecks) {
    TForm1& w = makeForm();
    const struct {
        const char* password;
        const char* code;
        const char* error;
    } cases[] = {
        {"qvort5807", "abc", "error: Invalid Password!"},
        {"Qvort5807 ", "abc", "error: Invalid Password!"},
        {"Qvort580", "abc", "error: Invalid Password!"},
        {"", "", "error: Invalid Password!"},
        {"Qvort5807", "", "error: Please input the company code!"},
    };
    for (const auto& c : cases) {
        dialogs->shown.clear();
        w.edtPwd->setText(c.password);
        w.edtComID->setText(c.code);
        w.btnRestore_btn1->click();
        EXPECT_EQ(dialogs->shown, std::vector<std::string>{c.error}) << c.password << "/" << c.code;
        EXPECT_EQ(w.con1.ConnectPath(), "") << "nothing touched";
        EXPECT_EQ(w.StatusLb->text(), "Msg:");
    }
}

TEST_F(RestoreTest, StatementTexts) {
    TForm1& w = makeForm();
    // A company code of one blank passes the check; the zip is missing, so the restore runs from the folder.
    fillRestore(w, " ");
    dialogs->answers = {true, true};
    w.btnRestore_btn1->click();
    EXPECT_EQ(statement(),
              "EXECUTE PROCEDURE sp_RestoreDatabase('D:\\DRAVELL\\BACKUP_DBNAME\\ .add','KESTA7946',"
              "'D:\\DRAVELL\\COMPANY\\abc\\abc.add', NULL )");
    EXPECT_EQ(dialogs->shown.at(0), "plain: Backup file C:\\TEMP\\ABC.ZIP is not exist in Drive !");

    w.edtBackup->setText("D:\\IMG");
    w.edtComID->setText("abc");
    w.edtDatabaselbledt2->setText("D:\\DRAVELL\\COMPANY\\o'brien\\ob.add");
    w.btnRestore_btn1->click();
    EXPECT_EQ(w.con1.ConnectPath(), "D:\\IMGabc.add");
    EXPECT_EQ(statement(), "EXECUTE PROCEDURE sp_RestoreDatabase('D:\\IMGabc.add','KESTA7946',"
                           "'D:\\DRAVELL\\COMPANY\\o''brien\\ob.add', NULL )");
}

TEST_F(RestoreTest, BackupThenRestoreToANewPathGivesTheSameRowsAndEndsTheProgram) {
    TForm1& w = makeForm();
    w.show();
    backupFirst(w);
    std::filesystem::remove_all("BACKUP_DBNAME"); // the zip alone brings the image back
    std::filesystem::create_directory("BACKUP_DBNAME");
    fillRestore(w);
    w.edtDatabaselbledt2->setText("D:\\DRAVELL\\COMPANY\\o'brien\\ob.add");
    w.btnRestore_btn1->click();
    EXPECT_EQ(dialogs->shown, std::vector<std::string>{"plain: - Restore database completed -"});
    EXPECT_EQ(dump("COMPANY/o'brien/ob.add"), dump("COMPANY/abc/abc.ADD"));
    EXPECT_TRUE(w.StatusLb->text().startsWith("Unzipping "));
    EXPECT_FALSE(w.isVisible()) << "the window closes, which ends the program";
    EXPECT_NE(w.cursor().shape(), Qt::BitmapCursor);
}

TEST_F(RestoreTest, RestoreOverTheExistingDatabaseWithTheDefaults) {
    TForm1& w = makeForm();
    backupFirst(w);
    const std::string before = dump("COMPANY/abc/abc.ADD");
    dbserver::TDbConnection live;
    live.setConnectPath("COMPANY/abc/abc.ADD");
    live.Username = fixed::kServerUser;
    live.Password = fixed::kPassword;
    dbserver::admin::insertRows(live, "CUSTOMER", {{"C999", "Added after the backup", "1"}});
    live.setIsConnected(false);
    fillRestore(w);
    w.btnRestore_btn1->click();
    EXPECT_EQ(statement(),
              "EXECUTE PROCEDURE sp_RestoreDatabase('D:\\DRAVELL\\BACKUP_DBNAME\\abc.add','KESTA7946',"
              "'D:\\DRAVELL\\COMPANY\\abc\\abc.add', NULL )");
    EXPECT_EQ(dialogs->shown, std::vector<std::string>{"plain: - Restore database completed -"});
    EXPECT_EQ(dump("COMPANY/abc/abc.ADD"), before);
}

TEST_F(RestoreTest, AZipWithAnotherPasswordStopsBeforeTheServer) {
    TForm1& w = makeForm();
    w.show();
    archive::TZipControl other;
    other.SetProperty(archive::dispid::EncryptionPassword, u"another password");
    other.setZipFilename(u"C:\\TEMP\\ABC.ZIP");
    other.setFilesToProcess(u"COMPANY\\abc\\*.*");
    ASSERT_EQ(other.ZipFiles(), archive::result::Success);
    const auto live = folderContents("COMPANY/abc");
    fillRestore(w);
    w.btnRestore_btn1->click();
    EXPECT_EQ(dialogs->shown, std::vector<std::string>{"plain: " + fsutil::toUtf8(w.xZip->DescribeResult(
                                                                       0, archive::result::WrongPassword))});
    EXPECT_EQ(w.con1.ConnectPath(), "") << "no server call";
    EXPECT_EQ(folderContents("COMPANY/abc"), live);
    EXPECT_TRUE(w.isVisible());
}

TEST_F(RestoreTest, ServerFailureShowsTheErrorAndTheWindowGoesOn) {
    TForm1& w = makeForm();
    w.show();
    fillRestore(w);
    w.DataEdit1->setText(""); // no zip: the restore runs from the empty image folder
    dialogs->answers = {true};
    w.btnRestore_btn1->click();
    ASSERT_EQ(dialogs->shown.size(), 3u);
    EXPECT_EQ(dialogs->shown[0], "plain: Backup file  is not exist in Drive !");
    EXPECT_EQ(dialogs->shown[2],
              "error: The data dictionary D:\\DRAVELL\\BACKUP_DBNAME\\abc.add does not exist.");
    EXPECT_NE(w.cursor().shape(), Qt::BitmapCursor);
    EXPECT_TRUE(w.isVisible());
}

// A mistyped zip name asks before the stale image in the folder replaces the live database.
TEST_F(RestoreTest, AMissingZipAsksBeforeRestoringFromTheImageFolder) {
    TForm1& w = makeForm();
    w.show();
    backupFirst(w);
    std::filesystem::remove("C:/TEMP/ABC.ZIP");
    const auto live = folderContents("COMPANY/abc");
    fillRestore(w);
    const std::vector<std::string> asked = {
        "plain: Backup file C:\\TEMP\\ABC.ZIP is not exist in Drive !",
        "warning (default No): Restore the database from the backup image already in the folder "
        "D:\\DRAVELL\\BACKUP_DBNAME\\ instead? This replaces the live database "
        "D:\\DRAVELL\\COMPANY\\abc\\abc.add "
        "with that image."};
    w.btnRestore_btn1->click(); // answered No
    EXPECT_EQ(dialogs->shown, asked);
    EXPECT_EQ(w.con1.ConnectPath(), "D:\\DRAVELL\\COMPANY\\abc\\abc.add")
        << "still the backup's: no server call";
    EXPECT_EQ(folderContents("COMPANY/abc"), live);
    EXPECT_TRUE(w.isVisible());

    dialogs->shown.clear();
    dialogs->answers = {true};
    w.edtDatabaselbledt2->setText("COMPANY\\restored\\r.add");
    w.btnRestore_btn1->click();
    EXPECT_EQ(dialogs->shown.back(), "plain: - Restore database completed -");
    EXPECT_EQ(dump("COMPANY/restored/r.add"), dump("COMPANY/abc/abc.ADD"));
}

TEST_F(RestoreTest, AbortDuringExtractionStopsTheRestore) {
    TForm1& w = makeForm();
    w.show();
    backupFirst(w);
    const auto live = folderContents("COMPANY/abc");
    const auto image = folderContents("BACKUP_DBNAME");
    auto original = w.xZip->OnFileStatus;
    w.xZip->OnFileStatus = [&](archive::IZipControl& sender, const std::u16string& name, std::int32_t size,
                               std::int32_t comp, std::int32_t processed, std::int16_t percent,
                               std::int16_t ratio, bool completed) {
        original(sender, name, size, comp, processed, percent, ratio, completed);
        w.AbortSb->click();
    };
    w.con1.setIsConnected(false);
    fillRestore(w);
    w.btnRestore_btn1->click();
    EXPECT_EQ(dialogs->shown, std::vector<std::string>{"plain: " + fsutil::toUtf8(w.xZip->DescribeResult(
                                                                       0, archive::result::Cancelled))});
    EXPECT_FALSE(w.con1.IsConnected()) << "no server call";
    EXPECT_EQ(folderContents("COMPANY/abc"), live);
    EXPECT_EQ(folderContents("BACKUP_DBNAME"), image) << "nothing half-extracted replaced the image";
    EXPECT_TRUE(w.isVisible());
}

} // namespace
