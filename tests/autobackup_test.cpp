#include "tests/WindowFixture.h"

#include <QTimer>

using dbserver::admin::Row;

namespace {

// A program folder of five companies, inserted out of code order, one code stored with trailing blanks.
class AutoBackupTest : public WindowTest {
  protected:
    AutoBackupTest() {
        std::filesystem::remove_all(pf());
        std::filesystem::create_directories(pf());
    }

    std::filesystem::path pf() const { return dir.path() / "program"; }
    std::string folder() const { return pf().string() + "/"; }

    void makeCompanies(const std::vector<std::string>& codes, bool withIndex = true,
                       bool withCodeField = true) {
        dbserver::TDbConnection programFolder;
        programFolder.setConnectPath(folder());
        const std::string codeField = withCodeField ? "COMPANY_CODE" : "COMPANY_ID";
        std::vector<dbserver::admin::IndexDef> indexes;
        if (withIndex) indexes.push_back({"PRIMARY", {codeField}, true});
        dbserver::admin::createTable(
            programFolder, "MCOMPANY",
            {{codeField, "CHAR(8)"}, {"COMPANY_NAME", "CHAR(40)"}, {"TOTAL_STAFF", "INTEGER"}}, indexes);
        std::vector<Row> rows;
        for (const auto& code : codes)
            rows.push_back({code, "Company " + code, "3"});
        dbserver::admin::insertRows(programFolder, "MCOMPANY", rows);
        for (auto code : codes) {
            code.erase(code.find_last_not_of(' ') + 1);
            const std::string dictionary = (pf() / "COMPANY" / code / (code + ".ADD")).string();
            dbserver::admin::createDictionary(dictionary, fixed::kPassword);
            dbserver::TDbConnection company;
            company.setConnectPath(dictionary);
            company.Username = fixed::kServerUser;
            company.Password = fixed::kPassword;
            dbserver::admin::createTable(company, "LEDGER", {{"ID", "INTEGER"}, {"TEXT", "CHAR(20)"}}, {});
            dbserver::admin::insertRows(company, "LEDGER", {{"1", "of " + code}});
        }
    }

    void writeSettings(const std::string& content) { testsupport::writeFile(pf() / "KORVA.ini", content); }

    TForm1& run() {
        auto fake = std::make_unique<FakeDialogs>();
        dialogs = fake.get();
        form = std::make_unique<TForm1>(TForm1Parts{std::move(fake), nullptr, folder()});
        form->show();
        // Nothing in the program enables the timer; the test delivers one tick as the timer would.
        form->Timer1->start();
        QMetaObject::invokeMethod(form->Timer1, "timeout", Qt::DirectConnection);
        return *form;
    }

    std::string companyDump(const std::string& code) {
        return dump(folder() + "COMPANY/" + code + "/" + code + ".ADD");
    }

    void expectControlsHidden(TForm1& w) {
        for (QWidget* control : std::initializer_list<QWidget*>{
                 w.SpeedButton1, w.btnRestore_btn1, w.DataEdit1, w.Label1, w.Label2, w.Label4, w.edtPwd})
            EXPECT_TRUE(control->isHidden()) << control->objectName().toStdString();
        EXPECT_FALSE(w.btn2->isHidden());
    }
};

TEST_F(AutoBackupTest, EveryCompanyInCodeOrderIntoItsOwnFolder) {
    makeCompanies({"E5", "B2", "A1     ", "D4", "C3"});
    const std::string root = (dir.path() / "AUTO").string();
    writeSettings("[backup]\nbackup_folder=" + root + "\n");
    TForm1& w = run();
    for (const char* code : {"A1", "B2", "C3", "D4", "E5"})
        EXPECT_EQ(dump(root + "/" + code + "/" + code + ".ADD"), companyDump(code)) << code;
    EXPECT_EQ(w.edtBackup->text().toStdString(), root + "\\E5");
    EXPECT_EQ(w.edtDatabaselbledt2->text().toStdString(), folder() + "COMPANY\\E5\\E5.ADD");
    EXPECT_EQ(w.edtComID->text(), "E5");
    EXPECT_EQ(statement(), "EXECUTE PROCEDURE sp_BackupDatabase('" + root + "\\E5', NULL )");
    expectControlsHidden(w);
    EXPECT_FALSE(w.isVisible()) << "the window closes, which ends the program";
    EXPECT_FALSE(w.Timer1->isActive());
    EXPECT_TRUE(w.Animate1->Active());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(dialogs->shown.empty());
}

// An operator closing the window during the run does not cut it short: the window stays until the end.
TEST_F(AutoBackupTest, ClosingTheWindowWaitsForTheRunToEnd) {
    makeCompanies({"A1", "B2", "C3"});
    const std::string root = (dir.path() / "AUTO").string();
    writeSettings("[BACKUP]\nBACKUP_FOLDER=" + root + "\n");
    std::vector<bool> visibleAfterClose;
    auto start = std::make_unique<QTimer>();
    start->setInterval(0);
    QObject::connect(start.get(), &QTimer::timeout, [&] {
        if (!form) return;
        form->close();
        visibleAfterClose.push_back(form->isVisible());
    });
    start->start();
    TForm1& w = run();
    ASSERT_FALSE(visibleAfterClose.empty());
    EXPECT_TRUE(visibleAfterClose.front()) << "closed while the run goes on: refused";
    for (const char* code : {"A1", "B2", "C3"})
        EXPECT_EQ(dump(root + "/" + code + "/" + code + ".ADD"), companyDump(code)) << code;
    EXPECT_FALSE(w.isVisible());
}

TEST_F(AutoBackupTest, AnEmptyCompanyTableClosesAtOnce) {
    makeCompanies({});
    writeSettings("[BACKUP]\nBACKUP_FOLDER=" + (dir.path() / "AUTO").string() + "\n");
    TForm1& w = run();
    EXPECT_FALSE(w.isVisible());
    EXPECT_TRUE(w.DbConnection2.IsConnected());
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "AUTO"));
}

TEST_F(AutoBackupTest, WithoutSettingsEachImageGoesToTheDriveRoot) {
    makeCompanies({"B2", "A1"});
    const auto driveRoot = dir.path() / "drive";
    std::filesystem::create_directories(driveRoot);
    const ScopedDriveRoot root(driveRoot);
    for (const char* settings : {"", "[BACKUP]\nOTHER_KEY=x\n"}) {
        std::filesystem::remove_all(driveRoot / "A1");
        if (*settings) writeSettings(settings);
        TForm1& w = run();
        EXPECT_EQ(w.edtBackup->text(), "\\B2");
        EXPECT_EQ(dump((driveRoot / "A1/A1.ADD").string()), companyDump("A1")) << settings;
    }
}

TEST_F(AutoBackupTest, ARootEndingInASeparatorGivesTwoInARow) {
    makeCompanies({"A1"});
    const std::string root = (dir.path() / "AUTO").string() + "\\";
    writeSettings("[BACKUP]\nBACKUP_FOLDER=" + root + "\n");
    TForm1& w = run();
    EXPECT_EQ(w.edtBackup->text().toStdString(), root + "\\A1");
    EXPECT_EQ(dump((dir.path() / "AUTO/A1/A1.ADD").string()), companyDump("A1"));
}

TEST_F(AutoBackupTest, AServerFailureStopsTheRunAtThatCompany) {
    makeCompanies({"E5", "B2", "A1", "D4", "C3"});
    std::filesystem::remove(pf() / "COMPANY/C3/LEDGER.tbl");
    const auto root = dir.path() / "AUTO";
    writeSettings("[BACKUP]\nBACKUP_FOLDER=" + root.string() + "\n");
    TForm1& w = run();
    EXPECT_TRUE(std::filesystem::exists(root / "A1/A1.ADD"));
    EXPECT_TRUE(std::filesystem::exists(root / "B2/B2.ADD"));
    for (const char* code : {"C3/C3.ADD", "D4", "E5"})
        EXPECT_FALSE(std::filesystem::exists(root / code)) << code;
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_TRUE(dialogs->shown[0].starts_with("error: dbqry1: sp_BackupDatabase: the table file "))
        << dialogs->shown[0];
    EXPECT_TRUE(w.isVisible());
    expectControlsHidden(w);
    EXPECT_FALSE(w.Timer1->isActive());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "the wait cursor is put back";
    EXPECT_EQ(w.edtComID->text(), "C3");
}

TEST_F(AutoBackupTest, ACompanyTableWithoutItsIndexOrCodeFieldFails) {
    for (const bool withIndex : {false, true}) {
        std::filesystem::remove_all(pf());
        std::filesystem::create_directories(pf());
        makeCompanies({"A1"}, withIndex, /*withCodeField=*/withIndex ? false : true);
        TForm1& w = run();
        const std::string expected =
            withIndex ? "error: DbTableMCompany: Field 'COMPANY_code' not found in table MCOMPANY."
                      : "error: DbTableMCompany: table MCOMPANY has no index on COMPANY_CODE.";
        EXPECT_EQ(dialogs->shown, std::vector<std::string>{expected});
        EXPECT_TRUE(w.isVisible());
    }
}

} // namespace
