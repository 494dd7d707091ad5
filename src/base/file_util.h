#pragma once
// Files and messages: quoting for messages and shells, the executable's and the shaders'
// directories, checked writes, and RAII handles of stdio files and pipes.
#include <cstdio>
#include <filesystem>
#include <fmt/printf.h>
#include <string>

using std::filesystem::path;

// A path as messages show it: in double quotes, inner quotes and backslashes escaped.
std::string quoted(const path& p);

// Text as one word of a POSIX shell command: in single quotes, inner ones closed and escaped.
std::string shellQuote(const std::string& text);

// The running executable's directory (with its trailing "/") followed by name.
std::string exeDir(const std::string& name);

// The shader file name: beside the executable in a build tree, else in ../share/korvel/shaders
// relative to it, where an installed tree keeps it.
std::string shaderPath(const std::string& name);

// The file's extension, lower-cased and without its dot ("" when there is none).
std::string pathExt(const path& file);

// Throws runtime_error "Error <doing> '<file>': <reason>" unless file (after links) is a regular
// file: a missing file, a folder, a FIFO, a device or a socket is refused before anything opens
// it, so that no read blocks and no device is taken for data.
void requireRegularFile(const path& file, const std::string& doing);

// Why file cannot be an output that is replaced or written as data: "" when it does not exist or
// is a regular file, else what it is (a folder, a FIFO, a device, a socket).
std::string notRegularReason(const path& file);

// True when a and b name the same file: the same inode where both exist, else the same
// normalised absolute path.
bool sameFile(const path& a, const path& b);

// Throws runtime_error "Error writing <what>: <the system's reason for errno>".
[[noreturn]] void throwWriteError(const std::string& what);

// printf-style write to f; a failed write throws as throwWriteError names what.
template <class... Args>
void writeChecked(FILE* f, const std::string& what, const char* format, const Args&... args) {
    if (fmt::fprintf(f, format, args...) < 0) throwWriteError(what);
}

// Flushes f and closes it unless it is standard output; throws as throwWriteError when the
// flush, the close or an earlier write failed.
void finishOutput(FILE* f, const std::string& what);

// Scoped C file handle; "-" stands for standard output, which is never closed.
class Fopen {
public:
    // Opens file with the fopen mode; throws runtime_error on failure.
    Fopen(const path& file, const char* mode);
    ~Fopen();
    Fopen(const Fopen&) = delete;
    Fopen& operator=(const Fopen&) = delete;
    operator FILE*() const { return f; }
    FILE* get() const { return f; }
    // Flushes and closes the file now (see finishOutput); the handle is empty afterwards.
    void close();

private:
    FILE* f = nullptr;
    path name;
};

// Scoped pipe reading a shell command's standard output.
class Popen {
public:
    // Starts command through the shell; throws runtime_error on failure.
    explicit Popen(const std::string& command);
    ~Popen();
    Popen(const Popen&) = delete;
    Popen& operator=(const Popen&) = delete;
    operator FILE*() const { return f; }
    FILE* get() const { return f; }

private:
    FILE* f = nullptr;
};
