#include "project.h"

#include <algorithm>
#include <cstdio>
#include <fmt/printf.h>
#include <fstream>
#include <regex>
#include <stdexcept>

#include "fileutil.h"

namespace {

#define NUM "([-=]?\\d+\\.?\\d*e?-?\\d*)"
const std::regex vignettingLine("^#-libpano_vignettingparams Va" NUM " *Vb" NUM " *Vc" NUM
                                " *Vd" NUM " *.*");
const std::regex referenceLine("^o w1 h1 y" NUM " *r" NUM " *p" NUM " *v" NUM " *a" NUM " *b" NUM
                               " *c" NUM " *f\\d d" NUM " *e" NUM " *.*");
const std::regex imgfileLine("^#-imgfile (\\d+) (\\d+) \"(.*)\".*");
const std::regex exposureLine("^#-exposureparams 0 0 0 (-?\\d+\\.?\\d*).*");
const std::regex imageLine("^o f\\d y" NUM " *r" NUM " *p" NUM " *v" NUM " *a" NUM " *b" NUM
                           " *c" NUM " *d" NUM " *e" NUM " *.*");
const std::regex cpLine("^c n(\\d{1,2}) N(\\d{1,2}) x" NUM " *y" NUM " *X" NUM " *Y" NUM " *t0.*");
const std::regex orientationLine("^#orientation_abs_slot1 y" NUM " *r" NUM " *p" NUM " *t" NUM
                                 " *?.*");
#undef NUM

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

Project parsePTGuiProject(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(fmt::sprintf("Error opening project '%s'", quoted(path)));

    Project project;
    ImageParameters pending;
    ImageParameters reference;
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        // Files saved with CR LF ends read like LF ones.
        if (!line.empty() && line.back() == '\r') line.pop_back();

        if (std::regex_match(line, m, vignettingLine)) {
            pending.Va = std::stof(m[1]);
            pending.Vb = std::stof(m[2]);
            pending.Vc = std::stof(m[3]);
            pending.Vd = std::stof(m[4]);
        } else if (std::regex_match(line, m, referenceLine)) {
            for (int k = 0; k < 9; ++k) reference.*lensFields[k] = std::stof(m[k + 1]);
        } else if (std::regex_match(line, m, imgfileLine)) {
            pending.width = std::stoi(m[1]);
            pending.height = std::stoi(m[2]);
            pending.file = m[3];
        } else if (std::regex_match(line, m, exposureLine)) {
            pending.exposureValue = std::stof(m[1]);
        } else if (std::regex_match(line, m, imageLine)) {
            for (int k = 0; k < 9; ++k)
                pending.*lensFields[k] =
                    resolve(m[k + 1], lensFields[k], reference, project.images, path);
            project.images.push_back(pending);
        } else if (std::regex_match(line, m, cpLine)) {
            project.cps.push_back({std::stoi(m[1]) - 1, std::stoi(m[2]) - 1, std::stof(m[3]),
                                   std::stof(m[4]), std::stof(m[5]), std::stof(m[6])});
        } else if (std::regex_match(line, m, orientationLine)) {
            ImageParameters o;
            o.file = orientationRecordName;
            o.y = std::stof(m[1]);
            o.r = std::stof(m[2]);
            o.p = std::stof(m[3]);
            o.v = std::stof(m[4]);
            project.images.push_back(o);
        }
    }
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
