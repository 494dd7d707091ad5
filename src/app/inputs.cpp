#include "app/inputs.h"

#include <cstdlib>
#include <fmt/printf.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "base/file_util.h"
#include "imageio/readers.h"

namespace fs = std::filesystem;

namespace {

// The file name of a path written on any system: after the last "/" or "\".
std::string baseName(const std::string& written) {
    size_t slash = written.find_last_of("/\\");
    return slash == std::string::npos ? written : written.substr(slash + 1);
}

std::string describe(const ImageParameters& image, int k) {
    return fmt::sprintf("image %d (%s)", k, image.file);
}

}  // namespace

fs::path resolveImageFile(const fs::path& projectDir, const std::string& written,
                          std::string& note) {
    // An absolute path replaces the folder.
    fs::path asWritten = projectDir / written;
    std::error_code ec;
    if (fs::exists(asWritten, ec)) return asWritten;
    fs::path beside = projectDir / baseName(written);
    if (baseName(written).empty() || beside == asWritten || !fs::exists(beside, ec))
        return asWritten;
    note = fmt::sprintf("image file '%s' does not exist; read '%s' beside the project instead",
                        quoted(path(written)), quoted(beside));
    return beside;
}

void checkSourceSize(const ImageParameters& image, int k, const fs::path& file, int width,
                     int height, bool preview) {
    long long w = width, h = height, W = image.width, H = image.height;
    bool fits = w == W && h == H;
    // A raw preview is the picture at a smaller scale, each side rounded.
    if (!fits && preview)
        fits = w > 0 && h > 0 && w <= W && h <= H && std::llabs(h * W - H * w) <= std::max(W, H);
    if (!fits)
        throw std::runtime_error(fmt::sprintf(
            "Error reading %s: file '%s' holds %d x %d pixels, but the project states %d x %d%s",
            describe(image, k), quoted(file), width, height, image.width, image.height,
            preview ? " (a preview must keep that shape)" : ""));
}

std::vector<fs::path> checkSources(const Project& project, const fs::path& projectPath,
                                   std::vector<std::string>& notes) {
    std::vector<fs::path> files;
    for (size_t k = 0; k < project.images.size(); ++k) {
        const ImageParameters& image = project.images[k];
        if (image.width <= 0 || image.height <= 0 || image.width > maxImageSide ||
            image.height > maxImageSide || (long long)image.width * image.height > maxImagePixels)
            throw std::runtime_error(fmt::sprintf(
                "%s of project '%s' states %d x %d pixels: sizes from 1 to %d a side and %d "
                "megapixels are read",
                describe(image, int(k)), quoted(projectPath), image.width, image.height,
                maxImageSide, int(maxImagePixels >> 20)));
        std::string note;
        fs::path file = resolveImageFile(projectPath.parent_path(), image.file, note);
        if (!note.empty()) notes.push_back(fmt::sprintf("image %d: %s", int(k), note));
        ImageSize size = readImageSize(file);
        if (size.width != 0) checkSourceSize(image, int(k), file, size.width, size.height, false);
        files.push_back(file);
    }
    return files;
}

void checkOutputTarget(const fs::path& target, const std::string& what,
                       bool standardOutputAllowed) {
    std::string reason = notRegularReason(target);
    if (reason.empty()) return;
    struct stat out, file;
    if (standardOutputAllowed && fstat(STDOUT_FILENO, &out) == 0 &&
        stat(target.c_str(), &file) == 0 && out.st_dev == file.st_dev && out.st_ino == file.st_ino)
        return;
    throw std::runtime_error(
        fmt::sprintf("Error opening %s '%s': %s", what, quoted(target), reason));
}
