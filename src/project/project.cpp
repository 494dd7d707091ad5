#include "project/project.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fmt/printf.h>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/file_util.h"
#include "project/line_pattern.h"
#include "project/pto.h"

namespace {

// The recognised lines, as matchLine reads them.
const char* const vignettingLine = "#-libpano_vignettingparams Va%f *Vb%f *Vc%f *Vd%f";
const char* const referenceLine = "o w1 h1 y%f *r%f *p%f *v%f *a%f *b%f *c%f *f%d d%f *e%f";
const char* const imgfileLine = "#-imgfile %i %i %q";
const char* const exposureLine = "#-exposureparams 0 0 0 %x";
const char* const imageLine = "o f%d y%f *r%f *p%f *v%f *a%f *b%f *c%f *d%f *e%f";
const char* const cpLine = "c n%n N%n x%f *y%f *X%f *Y%f *t0";
const char* const orientationLine = "#orientation_abs_slot1 y%f *r%f *p%f *t%f";

// The nine lens and orientation fields of an "o" line, in line order.
float ImageParameters::*const lensFields[9] = {
    &ImageParameters::y, &ImageParameters::r, &ImageParameters::p,
    &ImageParameters::v, &ImageParameters::a, &ImageParameters::b,
    &ImageParameters::c, &ImageParameters::d, &ImageParameters::e};

// A value of an image line: a number, "=0" for the reference line or "=k" for image k.
float resolve(const std::string& text, float ImageParameters::*field,
              const ImageParameters& reference, const std::vector<ImageParameters>& images,
              const std::filesystem::path& path) {
    if (text.empty() || text[0] != '=') return std::stof(text);
    if (text.size() > 1 && text[1] == '0') return reference.*field;
    unsigned long k = std::stoul(text.substr(1), nullptr, 10);
    if (k < 1 || k > images.size())
        throw std::runtime_error(
            fmt::sprintf("reference '%s' in project '%s' names no image read so far (%d images)",
                         text, quoted(path), int(images.size())));
    return images[k - 1].*field;
}

// The start of a line for a message.
std::string excerpt(const std::string& line) {
    return line.size() <= 60 ? line : line.substr(0, 60) + "...";
}

}  // namespace

void dropInvalidControlPoints(Project& project, const std::filesystem::path& path) {
    int count = int(project.images.size());
    auto invalid = [count](const ControlPoint& cp) {
        return cp.n < 0 || cp.n >= count || cp.N < 0 || cp.N >= count;
    };
    auto end = std::remove_if(project.cps.begin(), project.cps.end(), invalid);
    size_t dropped = size_t(project.cps.end() - end);
    if (dropped == 0) return;
    project.cps.erase(end, project.cps.end());
    fmt::fprintf(stderr,
                 "Warning: dropped %d control point(s) of project '%s' whose image numbers are "
                 "not between 1 and %d\n",
                 int(dropped), quoted(path), count);
}

Project readProject(const std::filesystem::path& path) {
    // A FIFO or a device would block the read or never end it.
    requireRegularFile(path, "opening project");
    std::error_code ec;
    if (std::filesystem::file_size(path, ec) > maxProjectBytes)
        throw std::runtime_error(
            fmt::sprintf("Error reading project '%s': larger than %d MiB, the most a project holds",
                         quoted(path), int(maxProjectBytes >> 20)));
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error(
            fmt::sprintf("Error opening project '%s': %s", quoted(path), std::strerror(errno)));
    return parseProject(in, path);
}

Project parseProject(std::istream& in, const std::filesystem::path& path) {
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw std::runtime_error(
            fmt::sprintf("Error reading project '%s': %s", quoted(path), std::strerror(errno)));
    std::string content = text.str();
    Project project;
    if (isHuginProject(content)) {
        project = parseHuginProject(content, path);
    } else {
        std::istringstream lines(content);
        project = parsePTGuiProject(lines, path);
    }
    if (project.images.empty())
        throw std::runtime_error(fmt::sprintf("failed to parse project '%s'", quoted(path)));
    return project;
}

Project parsePTGuiProject(std::istream& in, const std::filesystem::path& path) {
    Project project;
    ImageParameters pending;
    ImageParameters reference;
    std::string line;
    std::vector<std::string> m;
    for (int number = 1; std::getline(in, line); ++number) {
        // Files saved with CR LF ends read like LF ones.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // A number that does not convert is reported with its line, in the type it came with.
        try {
            if (matchLine(vignettingLine, line, m)) {
                pending.Va = std::stof(m[0]);
                pending.Vb = std::stof(m[1]);
                pending.Vc = std::stof(m[2]);
                pending.Vd = std::stof(m[3]);
            } else if (matchLine(referenceLine, line, m)) {
                for (int k = 0; k < 9; ++k) reference.*lensFields[k] = std::stof(m[k]);
            } else if (matchLine(imgfileLine, line, m)) {
                pending.width = std::stoi(m[0]);
                pending.height = std::stoi(m[1]);
                pending.file = m[2];
            } else if (matchLine(exposureLine, line, m)) {
                pending.exposureValue = std::stof(m[0]);
            } else if (matchLine(imageLine, line, m)) {
                for (int k = 0; k < 9; ++k)
                    pending.*lensFields[k] =
                        resolve(m[k], lensFields[k], reference, project.images, path);
                project.images.push_back(pending);
            } else if (matchLine(cpLine, line, m)) {
                project.cps.push_back({std::stoi(m[0]) - 1, std::stoi(m[1]) - 1, std::stof(m[2]),
                                       std::stof(m[3]), std::stof(m[4]), std::stof(m[5])});
            } else if (matchLine(orientationLine, line, m)) {
                ImageParameters o;
                o.file = orientationRecordName;
                o.y = std::stof(m[0]);
                o.r = std::stof(m[1]);
                o.p = std::stof(m[2]);
                o.v = std::stof(m[3]);
                project.images.push_back(o);
            } else if (line.rfind("o f", 0) == 0 || line.rfind("#-imgfile ", 0) == 0) {
                // Skipped, it would shift every later image and the points that name them.
                throw std::runtime_error(
                    fmt::sprintf("unreadable image line %d of project '%s' (a value that is no "
                                 "finite number?): %s",
                                 number, quoted(path), excerpt(line)));
            }
        } catch (const std::invalid_argument&) {
            throw std::invalid_argument(
                fmt::sprintf("invalid number in line %d of project '%s': %s", number, quoted(path),
                             excerpt(line)));
        } catch (const std::out_of_range&) {
            throw std::out_of_range(
                fmt::sprintf("number out of range in line %d of project '%s': %s", number,
                             quoted(path), excerpt(line)));
        }
    }
    if (in.bad())
        throw std::runtime_error(
            fmt::sprintf("Error reading project '%s': %s", quoted(path), std::strerror(errno)));
    if (project.images.empty())
        throw std::runtime_error(fmt::sprintf("failed to parse project '%s'", quoted(path)));
    dropInvalidControlPoints(project, path);
    return project;
}

void printImageParameters(const std::vector<ImageParameters>& images) {
    for (const ImageParameters& i : images) {
        fmt::fprintf(stderr, "%s", i.file);
        for (float v :
             {i.y, i.r, i.p, i.v, i.a, i.b, i.c, i.d, i.e, i.exposureValue, i.Va, i.Vb, i.Vc, i.Vd})
            fmt::fprintf(stderr, " %g", v);
        fmt::fprintf(stderr, " \n");
        fflush(stderr);
    }
}
