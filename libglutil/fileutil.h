#pragma once
#include <cstdio>
#include <filesystem>
#include <string>

using std::filesystem::path;

// A path as messages show it: in double quotes, inner quotes and backslashes escaped.
std::string quoted(const path& p);

// The running executable's directory (with its trailing "/") followed by name.
std::string exeDir(const std::string& name);

// The shader file name: beside the executable in a build tree, else in ../share/korvel/shaders
// relative to it, where an installed tree keeps it.
std::string shaderPath(const std::string& name);

// The file's extension, lower-cased and without its dot ("" when there is none).
std::string pathExt(const path& file);

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

private:
    FILE* f = nullptr;
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
