// dbadmin: the embedded database server's command-line tool for operators, tests and demos.
#include "dbserver/DbAdmin.h"
#include "fsutil/StopSignals.h"

#include <fstream>
#include <iostream>
#include <sstream>

using namespace dbserver;

namespace {

const char* const kUsage =
    "usage:\n"
    "  dbadmin demo FOLDER [DBSYS_PASSWORD]\n"
    "  dbadmin exec CONNECT_PATH USER PASSWORD STATEMENT\n"
    "  dbadmin dump CONNECT_PATH USER PASSWORD\n"
    "  dbadmin check CONNECT_PATH USER PASSWORD\n"
    "  dbadmin create-dictionary DICTIONARY DBSYS_PASSWORD\n"
    "  dbadmin create-table CONNECT_PATH USER PASSWORD TABLE NAME:TYPE,... [INDEX:FIELD;...[:unique] ...]\n"
    "  dbadmin load CONNECT_PATH USER PASSWORD TABLE CSV_FILE\n"
    "  dbadmin undo-restore DICTIONARY USER PASSWORD\n"
    "  dbadmin verify-image DICTIONARY\n";

constexpr const char* kDemoPassword = "KESTA7946";

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);)
        parts.push_back(part);
    return parts;
}

// One CSV record: fields separated by commas, "..." quoting with "" for a quote; an empty field is NULL.
admin::Row parseCsvLine(const std::string& line) {
    admin::Row row;
    std::string field;
    bool quoted = false, wasQuoted = false;
    for (size_t i = 0; i <= line.size(); ++i) {
        const char c = i < line.size() ? line[i] : ',';
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = wasQuoted = true;
        } else if (c == ',') {
            row.push_back(field.empty() && !wasQuoted ? std::nullopt : std::optional<std::string>(field));
            field.clear();
            wasQuoted = false;
        } else if (c != '\r') {
            field += c;
        }
    }
    return row;
}

int run(const std::vector<std::string>& args) {
    const auto need = [&](size_t count) {
        if (args.size() < count) throw std::invalid_argument(kUsage);
    };
    need(1);
    const std::string& command = args[0];
    if (command == "demo") {
        need(2);
        admin::makeDemoWorkspace(args[1], args.size() > 2 ? args[2] : kDemoPassword);
        std::cout << "Demo workspace created in " << args[1] << "\n";
        return 0;
    }
    if (command == "verify-image") {
        need(2);
        admin::verifyImage(args[1]);
        std::cout << "ok: every file of the image matches its manifest\n";
        return 0;
    }
    if (command == "create-dictionary") {
        need(3);
        admin::createDictionary(args[1], args[2]);
        return 0;
    }
    need(4);
    if (command == "undo-restore") {
        admin::undoRestore(args[1], args[2], args[3]);
        std::cout << "The database replaced by the last restore is back in " << args[1]
                  << "; the one it replaced is now the pre-restore copy\n";
        return 0;
    }
    TDbConnection connection("dbadmin");
    connection.setConnectPath(args[1]);
    connection.Username = args[2];
    connection.Password = args[3];
    if (command == "exec") {
        need(5);
        TDbQuery query("dbadmin");
        query.Connection = &connection;
        query.SQL.Add(args[4]);
        query.ExecSQL();
    } else if (command == "dump") {
        std::cout << admin::dump(connection);
    } else if (command == "check") {
        admin::check(connection);
        std::cout << "ok\n";
    } else if (command == "create-table") {
        need(6);
        std::vector<admin::FieldDef> fields;
        for (const auto& field : split(args[5], ',')) {
            const auto colon = field.find(':');
            if (colon == std::string::npos) throw std::invalid_argument("a field is NAME:TYPE, not " + field);
            fields.push_back({field.substr(0, colon), field.substr(colon + 1)});
        }
        std::vector<admin::IndexDef> indexes;
        for (size_t i = 6; i < args.size(); ++i) {
            const auto parts = split(args[i], ':');
            if (parts.size() < 2)
                throw std::invalid_argument("an index is NAME:FIELD;...[:unique], not " + args[i]);
            indexes.push_back({parts[0], split(parts[1], ';'), parts.size() > 2 && parts[2] == "unique"});
        }
        admin::createTable(connection, args[4], fields, indexes);
    } else if (command == "load") {
        need(6);
        std::ifstream csv(args[5]);
        if (!csv) throw std::invalid_argument("cannot read " + args[5]);
        std::vector<admin::Row> rows;
        for (std::string line; std::getline(csv, line);)
            if (!line.empty()) rows.push_back(parseCsvLine(line));
        admin::insertRows(connection, args[4], rows);
    } else {
        throw std::invalid_argument(kUsage);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    fsutil::stopOnSignals();
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        return fsutil::stopSignal() ? 128 + fsutil::stopSignal() : 1;
    }
}
