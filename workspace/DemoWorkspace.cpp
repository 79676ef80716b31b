#include "workspace/DemoWorkspace.h"

#include "dbserver/DbAdmin.h"
#include "fsutil/Paths.h"

#include <filesystem>
#include <fstream>

namespace workspace {

namespace fs = std::filesystem;
using dbserver::admin::createDictionary;
using dbserver::admin::createTable;
using dbserver::admin::insertRows;
using dbserver::admin::Row;

void makeDemoWorkspace(const std::string& folder, const std::string& adminPassword) {
    const fs::path root = fs::absolute(fsutil::toNative(folder));
    if (fs::exists(root) && !fs::is_empty(root))
        throw dbserver::DbError("The demo folder " + root.string() + " exists and is not empty");
    fs::create_directories(root);

    dbserver::TDbConnection programFolder("demo");
    programFolder.setConnectPath(root.string());
    createTable(programFolder, "MCOMPANY",
                {{"COMPANY_CODE", "CHAR(8)"},
                 {"COMPANY_NAME", "CHAR(40)"},
                 {"TOTAL_STAFF", "INTEGER"},
                 {"PAYROLL_ACCESS_NO", "INTEGER"},
                 {"MERGE", "CHAR(1)"},
                 {"BACKUPDATE2", "DATE"},
                 {"BACKUPDATE", "DATE"},
                 {"image", "BLOB"}},
                {{"PRIMARY", {"COMPANY_CODE"}, true}});
    const std::vector<std::pair<std::string, std::string>> companies = {{"NORTH", "Northwind Traders"},
                                                                        {"abc", "ABC Trading"},
                                                                        {"ACME   ", "Acme Supplies"},
                                                                        {"BETA", "Beta Foods"}};
    std::vector<Row> rows;
    int staff = 12;
    for (const auto& [code, name] : companies)
        rows.push_back(
            {code, name, std::to_string(staff += 7), "1", "N", "2026-01-31", "2026-02-28", std::nullopt});
    insertRows(programFolder, "MCOMPANY", rows);

    for (const auto& [paddedCode, name] : companies) {
        const std::string code = paddedCode.substr(0, paddedCode.find_last_not_of(' ') + 1);
        const fs::path dictionary = root / "COMPANY" / code / (code + ".ADD");
        createDictionary(dictionary.string(), adminPassword);
        dbserver::TDbConnection company("demo");
        company.setConnectPath(dictionary.string());
        company.Username = "DBSYS";
        company.Password = adminPassword;
        createTable(company, "CUSTOMER",
                    {{"CUST_ID", "CHAR(10)"}, {"NAME", "CHAR(40)"}, {"BALANCE", "INTEGER"}},
                    {{"PRIMARY", {"CUST_ID"}, true}});
        createTable(
            company, "INVOICE",
            {{"INV_NO", "INTEGER"}, {"CUST_ID", "CHAR(10)"}, {"AMOUNT", "INTEGER"}, {"INV_DATE", "DATE"}},
            {{"PRIMARY", {"INV_NO"}, true}, {"BY_CUSTOMER", {"CUST_ID"}, false}});
        std::vector<Row> customers, invoices;
        for (int i = 1; i <= 5; ++i) {
            const std::string id = "C" + std::to_string(100 + i);
            customers.push_back({id, name + " customer " + std::to_string(i), std::to_string(i * 250)});
            for (int j = 1; j <= 3; ++j)
                invoices.push_back({std::to_string(i * 10 + j), id, std::to_string(i * 100 + j * 7),
                                    "2026-0" + std::to_string(j) + "-1" + std::to_string(i)});
        }
        insertRows(company, "CUSTOMER", customers);
        insertRows(company, "INVOICE", invoices);
    }

    std::ofstream(root / "KORVA.ini") << "[BACKUP]\nBACKUP_FOLDER=" << (root / "AUTOBACKUP").string() << "\n";
    // The window's stored defaults name D:\DRAVELL\..., C:\TEMP\ABC.ZIP; inside the workspace those lead
    // here.
    fs::create_directories(root / "D:");
    fs::create_directory_symlink("..", root / "D:" / "DRAVELL");
    fs::create_directories(root / "BACKUP_DBNAME");
    fs::create_directories(root / "C:" / "TEMP");
}

} // namespace workspace
