// zipctl: packs, unpacks, tests and lists backup zip files with the window's start-up settings.
#include "archive/StartupSettings.h"
#include "archive/TZipControl.h"
#include "cli/CommandLine.h"
#include "fsutil/StopSignals.h"
#include "fsutil/Utf.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>

using namespace archive;
using fsutil::toUtf16;
using fsutil::toUtf8;

namespace {

constexpr const char* kProgram = "zipctl";

struct Command {
    const char* arguments;
    const char* description;
    size_t count;
};

const std::map<std::string, Command>& commands() {
    static const std::map<std::string, Command> table = {
        {"zip", {"ZIPFILE FOLDER", "pack the folder's own files (TEMP_* left out) into a new zip file", 2}},
        {"unzip", {"ZIPFILE FOLDER", "extract every entry into the folder, all or nothing", 2}},
        {"test", {"ZIPFILE", "read every entry back: decrypt, authenticate, inflate and check it", 1}},
        {"list", {"ZIPFILE", "each entry's name, size, stored size and encryption", 1}},
    };
    return table;
}

const char* const kOptions =
    "options:\n"
    "  --password P         the zip password (shown by ps: prefer the next two)\n"
    "  --password-file FILE the password is the first line of FILE\n"
    "                       (without either, $ZIPCTL_PASSWORD, else the program's fixed password)\n"
    "  --force              zip: replace an existing zip file\n"
    "  --quiet              no progress line on stderr\n"
    "  -h, --help           this text (after a command: that command's)\n"
    "  --version            the version\n";

std::string usage() {
    std::string text = "usage: zipctl [OPTIONS] COMMAND ARGUMENTS...\n\n";
    for (const auto& [name, command] : commands())
        text += "  zipctl " + name + " " + command.arguments + "\n    " + command.description + "\n";
    return text + "\n" + kOptions + "\n" + cli::exitCodesHelp();
}

int exitCodeOf(std::int32_t code) {
    switch (code) {
    case result::Success:
        return cli::exitcode::Ok;
    case result::ZipFileNotFound:
    case result::FolderNotFound:
        return cli::exitcode::NotFound;
    case result::WrongPassword:
    case result::PasswordRequired:
        return cli::exitcode::WrongPassword;
    case result::DamagedArchive:
    case result::NotAZipFile:
    case result::VerifyFailed:
    case result::UnsafeEntryName:
    case result::UnsupportedEntry:
        return cli::exitcode::Damaged;
    case result::DiskFull:
    case result::DeviceError:
    case result::CannotCreateZip:
    case result::CannotReadFile:
    case result::CannotWriteFile:
        return cli::exitcode::IoError;
    default:
        return cli::exitcode::Failure;
    }
}

std::string megabytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

TZipControl* running = nullptr;

int run(std::vector<std::string> args) {
    std::optional<std::string> password;
    bool force = false, quiet = false, help = false;
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) throw cli::UsageError(arg + " needs a value");
            return args[++i];
        };
        if (cli::isHelp(arg)) {
            help = true;
        } else if (arg == "--version") {
            std::cout << cli::versionLine(kProgram) << "\n";
            return cli::exitcode::Ok;
        } else if (arg == "--password") {
            password = value();
        } else if (arg == "--password-file") {
            const std::string file = value();
            std::ifstream in(file);
            if (!in) throw cli::UsageError("cannot read the password file '" + file + "'");
            std::getline(in, password.emplace());
        } else if (arg == "--force") {
            force = true;
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (arg.starts_with("--")) {
            throw cli::UsageError("unknown option '" + arg + "'");
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty()) {
        if (help) {
            std::cout << usage();
            return cli::exitcode::Ok;
        }
        throw cli::UsageError("no command given");
    }
    const auto found = commands().find(words[0]);
    if (found == commands().end()) throw cli::UsageError("unknown command '" + words[0] + "'");
    const auto& [name, command] = *found;
    if (help) {
        std::cout << "usage: zipctl [OPTIONS] " << name << " " << command.arguments << "\n  "
                  << command.description << "\n\n"
                  << kOptions;
        return cli::exitcode::Ok;
    }
    if (words.size() - 1 < command.count)
        throw cli::UsageError(name + " needs " + command.arguments + "; " + std::to_string(words.size() - 1) +
                              " argument(s) given");
    if (words.size() - 1 > command.count)
        throw cli::UsageError(name + ": unexpected argument '" + words[command.count + 1] + "'");
    if (!password) {
        const char* fromEnvironment = std::getenv("ZIPCTL_PASSWORD");
        password = fromEnvironment ? fromEnvironment : kFixedPassword;
    }

    TZipControl zip;
    running = &zip;
    for (const auto& [id, value] : startupSettings(toUtf16(*password)))
        zip.SetProperty(id, value);
    zip.OnFileStatus = [](IZipControl&, const std::u16string& entry, std::int32_t size,
                          std::int32_t compressed, std::int32_t, std::int16_t, std::int16_t ratio,
                          bool completed) {
        if (completed)
            std::cout << toUtf8(entry) << "  " << size << " -> " << compressed << " bytes (" << ratio
                      << "% saved)\n"
                      << std::flush;
    };
    const bool progressLine = !quiet && ::isatty(STDERR_FILENO);
    const auto started = std::chrono::steady_clock::now();
    if (progressLine)
        zip.OnProgress = [started](IZipControl&, std::uint64_t done, std::uint64_t total) {
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            std::fprintf(
                stderr, "\r%3d%%  %s of %s  %s/s   ", total ? static_cast<int>(done * 100 / total) : 100,
                megabytes(done).c_str(), megabytes(total).c_str(),
                megabytes(seconds > 0 ? static_cast<std::uint64_t>(static_cast<double>(done) / seconds) : 0)
                    .c_str());
        };
    zip.setZipFilename(toUtf16(words[1]));
    std::int32_t code;
    if (name == "zip") {
        if (std::filesystem::exists(words[1]) && !force) {
            cli::printError(kProgram, words[1] + " exists; add --force to replace it");
            return cli::exitcode::Failure;
        }
        zip.setFilesToProcess(toUtf16(words[2] + "/*.*"));
        code = zip.ZipFiles();
    } else if (name == "unzip") {
        zip.setUnzipToFolder(toUtf16(words[2]));
        code = zip.UnzipFiles();
    } else if (name == "test") {
        code = zip.TestZipFile();
        if (code == result::Success) std::cout << "ok\n";
    } else {
        std::vector<ZipEntryInfo> entries;
        code = zip.ListZipFile(entries);
        for (const auto& entry : entries)
            std::cout << toUtf8(entry.name) << "  " << entry.size << "  " << entry.compressedSize << "  "
                      << toUtf8(entry.method) << "\n";
    }
    running = nullptr;
    if (progressLine) std::fputs("\n", stderr);
    if (code != result::Success) {
        cli::printError(kProgram,
                        "result " + std::to_string(code) + ": " + toUtf8(zip.DescribeResult(0, code)));
        return fsutil::stopSignal() ? 128 + fsutil::stopSignal() : exitCodeOf(code);
    }
    return cli::exitcode::Ok;
}

} // namespace

int main(int argc, char** argv) {
    fsutil::stopOnSignals([] {
        if (running) running->Abort();
    });
    return cli::run(
        kProgram, [&] { return run(std::vector<std::string>(argv + 1, argv + argc)); },
        [](const std::exception&) { return cli::exitcode::Failure; });
}
