// dbadmin: the embedded database server's command-line tool for operators, tests and demos.
#include "dbserver/DbAdmin.h"
#include "cli/CommandLine.h"
#include "fsutil/StopSignals.h"
#include "workspace/DemoWorkspace.h"

#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <system_error>

using namespace dbserver;

namespace {

constexpr const char* kProgram = "dbadmin";
constexpr const char* kDemoPassword = "KESTA7946";

struct Command {
    const char* arguments;
    const char* description;
    size_t least, most; // arguments after the command's name
};

const std::map<std::string, Command>& commands() {
    static const std::map<std::string, Command> table = {
        {"demo", {"FOLDER [DBSYS_PASSWORD]", "lay out a demo workspace (a program folder) in FOLDER", 1, 2}},
        {"exec",
         {"CONNECT_PATH USER PASSWORD STATEMENT",
          "run one statement: EXECUTE PROCEDURE sp_BackupDatabase('FOLDER', NULL) or\n"
          "    EXECUTE PROCEDURE sp_RestoreDatabase('IMAGE.ADD', 'PASSWORD', 'DESTINATION.ADD', NULL)",
          4, 4}},
        {"dump", {"CONNECT_PATH USER PASSWORD", "every table and its rows, in a stable text form", 3, 3}},
        {"check", {"CONNECT_PATH USER PASSWORD", "the full integrity check of a database or image", 3, 3}},
        {"create-dictionary", {"DICTIONARY DBSYS_PASSWORD", "a new, empty data dictionary", 2, 2}},
        {"create-table",
         {"CONNECT_PATH USER PASSWORD TABLE NAME:TYPE,... [INDEX:FIELD;...[:unique] ...]",
          "a table of a dictionary, or a free table of a folder", 5, SIZE_MAX}},
        {"load",
         {"CONNECT_PATH USER PASSWORD TABLE CSV_FILE", "append the rows of a CSV file to a table", 5, 5}},
        {"undo-restore",
         {"DICTIONARY USER PASSWORD",
          "put back the database the last restore replaced (its pre-restore copy); the one it replaces\n"
          "    becomes the pre-restore copy in turn. PASSWORD is the DBSYS password of the copy",
          3, 3}},
        {"verify-image", {"DICTIONARY", "check a backup image against the manifest its backup wrote", 1, 1}},
    };
    return table;
}

std::string usage() {
    std::string text =
        "usage: dbadmin COMMAND ARGUMENTS...\n       dbadmin COMMAND --help | --help | --version\n\n";
    for (const auto& [name, command] : commands())
        text += "  dbadmin " + name + " " + command.arguments + "\n    " + command.description + "\n";
    return text + "\nUSER is DBSYS for the server procedures. Paths may use \"\\\" as a separator.\n\n" +
           cli::exitCodesHelp();
}

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

std::unique_ptr<TDbConnection> connection(const std::vector<std::string>& args) {
    auto connection = std::make_unique<TDbConnection>("dbadmin");
    connection->setConnectPath(args[1]);
    connection->Username = args[2];
    connection->Password = args[3];
    return connection;
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) throw cli::UsageError("no command given");
    if (cli::isHelp(args[0])) {
        std::cout << usage();
        return cli::exitcode::Ok;
    }
    if (args[0] == "--version") {
        std::cout << cli::versionLine(kProgram) << "\n";
        return cli::exitcode::Ok;
    }
    const auto found = commands().find(args[0]);
    if (found == commands().end()) throw cli::UsageError("unknown command '" + args[0] + "'");
    const std::string& name = found->first;
    const Command& command = found->second;
    if (args.size() == 2 && cli::isHelp(args[1])) {
        std::cout << "usage: dbadmin " << name << " " << command.arguments << "\n  " << command.description
                  << "\n";
        return cli::exitcode::Ok;
    }
    const size_t given = args.size() - 1;
    if (given < command.least)
        throw cli::UsageError(name + " needs " + command.arguments + "; " + std::to_string(given) +
                              " argument(s) given");
    if (given > command.most)
        throw cli::UsageError(name + ": unexpected argument '" + args[command.most + 1] + "'");

    if (name == "demo") {
        workspace::makeDemoWorkspace(args[1], args.size() > 2 ? args[2] : kDemoPassword);
        std::cout << "Demo workspace created in " << args[1] << "\n";
    } else if (name == "create-dictionary") {
        admin::createDictionary(args[1], args[2]);
    } else if (name == "verify-image") {
        admin::verifyImage(args[1]);
        std::cout << "ok: every file of the image matches its manifest\n";
    } else if (name == "undo-restore") {
        admin::undoRestore(args[1], args[2], args[3]);
        std::cout << "The database replaced by the last restore is back in " << args[1]
                  << "; the one it replaced is now the pre-restore copy\n";
    } else if (name == "exec") {
        auto db = connection(args);
        TDbQuery query("dbadmin");
        query.Connection = db.get();
        query.SQL.Add(args[4]);
        query.ExecSQL();
    } else if (name == "dump") {
        std::cout << admin::dump(*connection(args));
    } else if (name == "check") {
        admin::check(*connection(args));
        std::cout << "ok\n";
    } else if (name == "create-table") {
        std::vector<admin::FieldDef> fields;
        for (const auto& field : split(args[5], ',')) {
            const auto colon = field.find(':');
            if (colon == std::string::npos)
                throw cli::UsageError("a field is NAME:TYPE, not '" + field + "'");
            fields.push_back({field.substr(0, colon), field.substr(colon + 1)});
        }
        std::vector<admin::IndexDef> indexes;
        for (size_t i = 6; i < args.size(); ++i) {
            const auto parts = split(args[i], ':');
            if (parts.size() < 2)
                throw cli::UsageError("an index is NAME:FIELD;...[:unique], not '" + args[i] + "'");
            indexes.push_back({parts[0], split(parts[1], ';'), parts.size() > 2 && parts[2] == "unique"});
        }
        admin::createTable(*connection(args), args[4], fields, indexes);
    } else if (name == "load") {
        std::ifstream csv(args[5]);
        if (!csv) throw DbError("cannot read " + args[5], DbErrorKind::NotFound);
        std::vector<admin::Row> rows;
        for (std::string line; std::getline(csv, line);)
            if (!line.empty()) rows.push_back(parseCsvLine(line));
        admin::insertRows(*connection(args), args[4], rows);
    }
    return cli::exitcode::Ok;
}

int exitCodeOf(const std::exception& error) {
    if (dynamic_cast<const std::system_error*>(&error)) return cli::exitcode::IoError;
    const auto* db = dynamic_cast<const DbError*>(&error);
    switch (db ? db->kind() : DbErrorKind::Other) {
    case DbErrorKind::NotFound:
        return cli::exitcode::NotFound;
    case DbErrorKind::Login:
        return cli::exitcode::WrongPassword;
    case DbErrorKind::Damaged:
        return cli::exitcode::Damaged;
    case DbErrorKind::Io:
        return cli::exitcode::IoError;
    default:
        return cli::exitcode::Failure;
    }
}

} // namespace

int main(int argc, char** argv) {
    fsutil::stopOnSignals();
    return cli::run(
        kProgram, [&] { return run(std::vector<std::string>(argv + 1, argv + argc)); }, exitCodeOf);
}
