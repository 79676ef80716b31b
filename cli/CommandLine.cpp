#include "cli/CommandLine.h"

#include "fsutil/StopSignals.h"

#include <iostream>

namespace cli {

std::string exitCodesHelp() {
    return "exit status:\n"
           "  0  success\n"
           "  1  another failure\n"
           "  2  a bad command line\n"
           "  3  a file, folder or database that does not exist\n"
           "  4  a wrong or missing password, or a refused login\n"
           "  5  a damaged or invalid archive, image or database\n"
           "  6  the disk is full or reported an error\n"
           "  128+N  stopped by signal N (SIGINT, SIGTERM), after cleaning up\n";
}

std::string versionLine(std::string_view program) {
    return std::string(program) + " " + PROJECT_VERSION;
}

void printError(std::string_view program, std::string_view message) {
    std::cerr << program << ": " << message << "\n";
}

int run(std::string_view program, const std::function<int()>& body,
        const std::function<int(const std::exception&)>& classify) {
    try {
        return body();
    } catch (const UsageError& error) {
        printError(program, std::string(error.what()) + "; try " + std::string(program) + " --help");
        return exitcode::Usage;
    } catch (const std::exception& error) {
        printError(program, error.what());
        if (fsutil::stopSignal()) return 128 + fsutil::stopSignal();
        return classify(error);
    }
}

} // namespace cli
