#include "project/project_copy.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fmt/printf.h>
#include <memory>
#include <optional>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "base/file_util.h"
#include "project/pto_write.h"
#include "base/signal_cleanup.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const char* what, const fs::path& file) {
    throw std::runtime_error(
        fmt::sprintf("Error %s '%s': %s", what, quoted(file), std::strerror(errno)));
}

// The temporary file beside the output; removed unless released.
class TempFile {
public:
    explicit TempFile(const fs::path& output) {
        name_ = output.string() + ".XXXXXX";
        int fd = mkstemp(name_.data());
        if (fd < 0) fail("creating a temporary file beside", output);
        mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        removal_.emplace(name_);
        file_ = fdopen(fd, "wb");
        if (!file_) {
            ::close(fd);
            std::remove(name_.c_str());
            fail("opening", name_);
        }
    }
    ~TempFile() {
        if (file_) std::fclose(file_);
        if (!name_.empty()) std::remove(name_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    FILE* get() const { return file_; }
    // Closes the file and renames it to output.
    void commit(const fs::path& output) {
        FILE* f = file_;
        file_ = nullptr;
        bool ok = std::fflush(f) == 0 && fsync(fileno(f)) == 0;
        if (std::fclose(f) != 0 || !ok) fail("writing", name_);
        if (std::rename(name_.c_str(), output.c_str()) != 0) fail("renaming the copy to", output);
        name_.clear();
        removal_.reset();
    }

private:
    std::string name_;
    FILE* file_ = nullptr;
    std::optional<RemovedOnSignal> removal_;  // a run ended by a signal leaves no file behind
};

// Copies input into file, ending its last line.
void copyBytes(const fs::path& input, const fs::path& output, FILE* file) {
    std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(input.c_str(), "rb"), std::fclose);
    if (!in) fail("opening project", input);
    char buffer[65536];
    char last = '\n';
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), in.get())) > 0) {
        if (std::fwrite(buffer, 1, n, file) != n) fail("writing", output);
        last = buffer[n - 1];
    }
    if (std::ferror(in.get())) fail("reading project", input);
    if (last != '\n') std::fputc('\n', file);
}

}  // namespace

void checkProjectCopyTarget(const fs::path& input, const fs::path& output) {
    std::error_code ec;
    if (fs::equivalent(input, output, ec))
        throw std::runtime_error(
            fmt::sprintf("the project copy '%s' would replace the input project", quoted(output)));
    // The rename would put a regular file in a device's or a FIFO's place.
    if (std::string reason = notRegularReason(output); !reason.empty())
        throw std::runtime_error(
            fmt::sprintf("Error writing the project copy '%s': %s", quoted(output), reason));
    fs::path dir = output.parent_path().empty() ? "." : output.parent_path();
    if (access(dir.c_str(), W_OK) != 0) fail("writing the project copy into", dir);
}

void writeProjectCopy(const Project& project, const fs::path& input, const fs::path& output,
                      const std::vector<ControlPoint>& cps) {
    checkProjectCopyTarget(input, output);
    bool toHugin = project.hugin || pathExt(output) == "pto";
    TempFile temp(output);
    if (project.hugin || !toHugin) {
        copyBytes(input, output, temp.get());
    } else if (std::fputs(huginProjectText(project).c_str(), temp.get()) == EOF) {
        fail("writing", output);
    }
    for (const ControlPoint& c : cps) {
        std::string line = toHugin ? huginControlPointLine(c)
                                   : fmt::sprintf("c n%d N%d x%.3f y%.3f X%.3f Y%.3f t0\n", c.n + 1,
                                                  c.N + 1, c.x, c.y, c.X, c.Y);
        std::fputs(line.c_str(), temp.get());
    }
    if (std::ferror(temp.get())) fail("writing", output);
    temp.commit(output);
}
