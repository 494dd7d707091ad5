#include "project/pto.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fmt/printf.h>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "project/lens.h"
#include "base/file_util.h"
#include "project/hugin_lens.h"

namespace {

// The values of one "i" or "c" line by key; a file name keeps its quotes off.
using Fields = std::map<std::string, std::string>;

// Splits a line after its type letter into key-value words; n"..." may hold blanks.
Fields splitFields(const std::string& line) {
    Fields fields;
    size_t k = 1;
    while (k < line.size()) {
        if (line[k] == ' ' || line[k] == '\t') {
            ++k;
            continue;
        }
        size_t keyEnd = k;
        while (keyEnd < line.size() && std::isalpha(static_cast<unsigned char>(line[keyEnd])))
            ++keyEnd;
        std::string key = line.substr(k, keyEnd - k);
        size_t end = keyEnd;
        if (key == "n" && end < line.size() && line[end] == '"') {
            size_t close = line.find('"', end + 1);
            end = close == std::string::npos ? line.size() : close + 1;
            fields[key] = line.substr(
                keyEnd + 1, close == std::string::npos ? std::string::npos : close - keyEnd - 1);
            k = end;
            continue;
        }
        while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
        fields[key] = line.substr(keyEnd, end - keyEnd);
        k = end;
    }
    return fields;
}

// Where in the project a value comes from, for messages.
struct Place {
    int line;
    const std::filesystem::path& path;
    const std::string& text;
};

std::string excerpt(const std::string& line) {
    return line.size() <= 60 ? line : line.substr(0, 60) + "...";
}

// A finite number written whole.
double number(const std::string& value, const Place& at) {
    const char* begin = value.c_str();
    char* end = nullptr;
    errno = 0;
    double x = std::strtod(begin, &end);
    if (value.empty() || *end != '\0' || std::isnan(x))
        throw std::invalid_argument(fmt::sprintf("invalid number in line %d of project '%s': %s",
                                                 at.line, quoted(at.path), excerpt(at.text)));
    // Values are kept as floats.
    if (errno == ERANGE || !(std::fabs(x) <= std::numeric_limits<float>::max()))
        throw std::out_of_range(fmt::sprintf("number out of range in line %d of project '%s': %s",
                                             at.line, quoted(at.path), excerpt(at.text)));
    return x;
}

// A value that must be on the line.
const std::string& required(const Fields& fields, const char* key, const Place& at) {
    auto it = fields.find(key);
    if (it == fields.end())
        throw std::runtime_error(fmt::sprintf("line %d of project '%s' has no value %s: %s",
                                              at.line, quoted(at.path), key, excerpt(at.text)));
    return it->second;
}

// The numbers of the images read so far, by key, for "=k" references.
using ImageValues = std::map<std::string, double>;

// Value key of an "i" line: a number, "=k" for image k's (counted from 0), fallback when absent.
double imageValue(const Fields& fields, const std::string& key, double fallback,
                  const std::vector<ImageValues>& images, const Place& at) {
    auto it = fields.find(key);
    if (it == fields.end()) return fallback;
    const std::string& value = it->second;
    if (value.empty() || value[0] != '=') return number(value, at);
    double k = number(value.substr(1), at);
    if (k < 0 || k >= double(images.size()) || k != std::floor(k))
        throw std::runtime_error(fmt::sprintf(
            "reference '%s' in line %d of project '%s' names no image read so far (%d images)",
            value, at.line, quoted(at.path), int(images.size())));
    auto found = images[size_t(k)].find(key);
    return found == images[size_t(k)].end() ? fallback : found->second;
}

// A whole number of pixels.
int pixels(const std::string& value, const Place& at) {
    double x = number(value, at);
    if (x != std::floor(x) || x < 0 || x > 1e9)
        throw std::invalid_argument(
            fmt::sprintf("invalid image size in line %d of project '%s': %s", at.line,
                         quoted(at.path), excerpt(at.text)));
    return int(x);
}

// The values of an "i" line that korvel models, besides the lens type f.
const std::pair<const char*, float ImageParameters::*> imageKeys[] = {
    {"v", &ImageParameters::v},   {"y", &ImageParameters::y},
    {"p", &ImageParameters::p},   {"r", &ImageParameters::r},
    {"a", &ImageParameters::a},   {"b", &ImageParameters::b},
    {"c", &ImageParameters::c},   {"d", &ImageParameters::d},
    {"e", &ImageParameters::e},   {"Va", &ImageParameters::Va},
    {"Vb", &ImageParameters::Vb}, {"Vc", &ImageParameters::Vc},
    {"Vd", &ImageParameters::Vd}, {"Eev", &ImageParameters::exposureValue}};

// The image of an "i" line, in project-file terms.
ImageParameters readImage(const Fields& fields, std::vector<ImageValues>& images, const Place& at) {
    ImageParameters image;
    image.width = pixels(required(fields, "w", at), at);
    image.height = pixels(required(fields, "h", at), at);
    image.file = required(fields, "n", at);
    required(fields, "f", at);
    required(fields, "v", at);
    ImageValues values;
    values["f"] = imageValue(fields, "f", 0, images, at);
    for (const auto& [key, target] : imageKeys) {
        values[key] = imageValue(fields, key, std::string(key) == "Va" ? 1 : 0, images, at);
        image.*target = float(values[key]);
    }
    images.push_back(values);
    // Korvel tells its two lenses apart by their field of view.
    double f = values["f"];
    bool fisheye = f == 2 || f == 3;
    if ((f != 0 && !fisheye) || fisheye != (image.v > kFisheyeAboveFov))
        throw std::runtime_error(fmt::sprintf(
            "image %d ('%s', line %d of project '%s'): lens f%g with v%g is none that korvel "
            "models (rectilinear, f0, up to %g degrees; equidistant fisheye, f2 or f3, wider)",
            int(images.size()) - 1, image.file, at.line, quoted(at.path), f, image.v,
            kFisheyeAboveFov));
    if (image.width == 0 || image.height == 0) return image;
    ImageParameters lens = fromHuginLens(image);
    if (!std::isfinite(lens.v) || !std::isfinite(lens.a) || !std::isfinite(lens.b) ||
        !std::isfinite(lens.c))
        throw std::runtime_error(fmt::sprintf(
            "image %d ('%s', line %d of project '%s'): its lens polynomial has no equal "
            "normalised by half the image width",
            int(images.size()) - 1, image.file, at.line, quoted(at.path)));
    return lens;
}

// The point of a "c" line in project-file terms; false for the line types Hugin draws.
bool readPoint(const Fields& fields, const Place& at, ControlPoint& cp) {
    if (number(required(fields, "t", at), at) != 0) return false;
    double n = number(required(fields, "n", at), at), N = number(required(fields, "N", at), at);
    if (n != std::floor(n) || N != std::floor(N) || std::fabs(n) > 1e6 || std::fabs(N) > 1e6)
        throw std::invalid_argument(
            fmt::sprintf("invalid image number in line %d of project '%s': %s", at.line,
                         quoted(at.path), excerpt(at.text)));
    cp.n = int(n);
    cp.N = int(N);
    cp.x = float(number(required(fields, "x", at), at)) + kHuginPixelShift;
    cp.y = float(number(required(fields, "y", at), at)) + kHuginPixelShift;
    cp.X = float(number(required(fields, "X", at), at)) + kHuginPixelShift;
    cp.Y = float(number(required(fields, "Y", at), at)) + kHuginPixelShift;
    return true;
}

}  // namespace

bool isHuginProject(const std::string& text) {
    return text.rfind("i ", 0) == 0 || text.find("\ni ") != std::string::npos;
}

Project parseHuginProject(const std::string& text, const std::filesystem::path& path) {
    Project project;
    project.hugin = true;
    std::vector<ImageValues> values;
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Place at{number, path, line};
        if (line.rfind("i ", 0) == 0) {
            project.images.push_back(readImage(splitFields(line), values, at));
        } else if (line.rfind("c ", 0) == 0) {
            ControlPoint cp;
            if (readPoint(splitFields(line), at, cp)) project.cps.push_back(cp);
        }
    }
    dropInvalidControlPoints(project, path);
    return project;
}
