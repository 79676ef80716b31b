#pragma once
// Conventions shared by the program's command-line front ends: help on stdout with exit 0, one version,
// usage errors that name the bad argument and exit 2, documented exit codes, and error lines prefixed with
// the program's name.
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace cli {

namespace exitcode {
enum : int {
    Ok = 0,
    Failure = 1,       // any other failure
    Usage = 2,         // a bad command line
    NotFound = 3,      // a file, folder or database that does not exist
    WrongPassword = 4, // a wrong or missing password, a refused login
    Damaged = 5,       // a damaged or invalid archive, image or database
    IoError = 6,       // the disk is full or reported an error
};
}

// The text for the exit codes, for help texts and man pages.
std::string exitCodesHelp();

// A bad command line; main prints "<program>: <message>; try --help" and exits with exitcode::Usage.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

inline bool isHelp(std::string_view argument) {
    return argument == "-h" || argument == "--help";
}

// "<program> <version>"
std::string versionLine(std::string_view program);

// Prints "<program>: <message>" on stderr.
void printError(std::string_view program, std::string_view message);

// Runs a front end's body: a UsageError exits 2, any other exception is printed and exits with the code
// `classify` gives it (a signal that stopped the program gives 128 + the signal).
int run(std::string_view program, const std::function<int()>& body,
        const std::function<int(const std::exception&)>& classify);

} // namespace cli
