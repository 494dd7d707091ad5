#pragma once
#include <filesystem>
#include <map>
#include <string>

namespace fs = std::filesystem;

// What a finished child process left behind.
struct RunResult {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs a shell command line with extra environment variables and captures its output.
RunResult runCommand(const std::string& command,
                     const std::map<std::string, std::string>& env = {});

// Runs the korvel executable with the arguments, each quoted for the shell.
RunResult runKorvel(const std::string& args, const std::map<std::string, std::string>& env = {});

// Quotes text as one shell word.
std::string shellQuote(const std::string& text);

// A fresh empty directory below the system's temporary directory.
fs::path makeTempDir();

// Writes text to a file and returns its path.
fs::path writeFile(const fs::path& file, const std::string& text);

// Reads a whole file.
std::string readFile(const fs::path& file);

// The folder of shared test rigs, or an empty path when it is not there.
fs::path sharedDir();

// Skips the current test when the shared test data is missing.
#define REQUIRE_SHARED()                                                   \
    do {                                                                   \
        if (sharedDir().empty()) GTEST_SKIP() << "no ../shared test data"; \
    } while (0)
