#include "base/file_util.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fmt/printf.h>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

std::string quoted(const path& p) {
    std::ostringstream s;
    s << std::quoted(p.string());
    return s.str();
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string exeDir(const std::string& name) {
    char buffer[4096];
#ifdef __APPLE__
    uint32_t size = sizeof(buffer);
    if (_NSGetExecutablePath(buffer, &size) != 0)
        fmt::printf("ERROR: _NSGetExecutablePath needs %d bytes buffer.", size);
#else
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    buffer[n > 0 ? n : 0] = 0;
#endif
    std::string dir(buffer);
    auto slash = dir.rfind('/');
    dir = slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
    return dir + name;
}

std::string shaderPath(const std::string& name) {
    static const std::string dir = std::filesystem::exists(exeDir("stdlib.frag"))
                                       ? exeDir("")
                                       : exeDir("../share/korvel/shaders/");
    return dir + name;
}

std::string pathExt(const path& file) {
    std::string ext = file.filename().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return ext.empty() ? ext : ext.substr(1);
}

namespace {

// What a file of the given mode is, for messages; "" for a regular file.
std::string kindOf(mode_t mode) {
    if (S_ISREG(mode)) return "";
    if (S_ISDIR(mode)) return std::strerror(EISDIR);
    if (S_ISFIFO(mode)) return "is a FIFO (named pipe), not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device, not a regular file";
    if (S_ISSOCK(mode)) return "is a socket, not a regular file";
    return "is not a regular file";
}

}  // namespace

void requireRegularFile(const path& file, const std::string& doing) {
    struct stat status;
    std::string reason =
        stat(file.c_str(), &status) != 0 ? std::strerror(errno) : kindOf(status.st_mode);
    if (!reason.empty())
        throw std::runtime_error(fmt::sprintf("Error %s '%s': %s", doing, quoted(file), reason));
}

std::string notRegularReason(const path& file) {
    struct stat status;
    return stat(file.c_str(), &status) != 0 ? "" : kindOf(status.st_mode);
}

bool sameFile(const path& a, const path& b) {
    std::error_code ec;
    if (std::filesystem::exists(a, ec) && std::filesystem::exists(b, ec))
        return std::filesystem::equivalent(a, b, ec);
    path normalA = std::filesystem::weakly_canonical(std::filesystem::absolute(a, ec), ec);
    path normalB = std::filesystem::weakly_canonical(std::filesystem::absolute(b, ec), ec);
    return normalA == normalB;
}

void throwWriteError(const std::string& what) {
    int error = errno ? errno : EIO;
    throw std::runtime_error(fmt::sprintf("Error writing %s: %s", what, std::strerror(error)));
}

void finishOutput(FILE* f, const std::string& what) {
    errno = 0;
    bool failed = std::fflush(f) != 0 || std::ferror(f);
    int error = errno;
    if (f != stdout && std::fclose(f) != 0 && !failed) {
        failed = true;
        error = errno;
    }
    errno = error;
    if (failed) throwWriteError(what);
}

Fopen::Fopen(const path& file, const char* mode) : name(file) {
    if (file == "-") {
        f = stdout;
        return;
    }
    f = fopen(file.c_str(), mode);
    if (!f)
        throw std::runtime_error(fmt::sprintf("Error opening file '%s' (with mode '%s'): %s",
                                              quoted(file), mode, strerror(errno)));
}

void Fopen::close() {
    FILE* open = f;
    f = nullptr;
    if (open) finishOutput(open, fmt::sprintf("file '%s'", quoted(name)));
}

Fopen::~Fopen() {
    if (f && f != stdout) fclose(f);
}

Popen::Popen(const std::string& command) {
    f = popen(command.c_str(), "r");
    if (!f)
        throw std::runtime_error(
            fmt::sprintf("Error opening/executing '%s': %s", command, strerror(errno)));
}

Popen::~Popen() {
    if (f) pclose(f);
}
