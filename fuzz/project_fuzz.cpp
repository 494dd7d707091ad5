// Fuzz target: the project reader of both dialects, and its line matcher against the regular
// expressions it replaced (which recurse once per character, so only short lines are compared).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "project/line_pattern.h"
#include "project/project.h"

namespace {

#define NUM "([-=]?\\d+\\.?\\d*e?-?\\d*)"
const std::pair<const char*, std::regex> patterns[] = {
    {"#-libpano_vignettingparams Va%f *Vb%f *Vc%f *Vd%f",
     std::regex("^#-libpano_vignettingparams Va" NUM " *Vb" NUM " *Vc" NUM " *Vd" NUM " *.*")},
    {"o w1 h1 y%f *r%f *p%f *v%f *a%f *b%f *c%f *f%d d%f *e%f",
     std::regex("^o w1 h1 y" NUM " *r" NUM " *p" NUM " *v" NUM " *a" NUM " *b" NUM " *c" NUM
                " *f\\d d" NUM " *e" NUM " *.*")},
    {"#-imgfile %i %i %q", std::regex("^#-imgfile (\\d+) (\\d+) \"(.*)\".*")},
    {"#-exposureparams 0 0 0 %x", std::regex("^#-exposureparams 0 0 0 (-?\\d+\\.?\\d*).*")},
    {"o f%d y%f *r%f *p%f *v%f *a%f *b%f *c%f *d%f *e%f",
     std::regex("^o f\\d y" NUM " *r" NUM " *p" NUM " *v" NUM " *a" NUM " *b" NUM " *c" NUM
                " *d" NUM " *e" NUM " *.*")},
    {"c n%n N%n x%f *y%f *X%f *Y%f *t0",
     std::regex("^c n(\\d{1,2}) N(\\d{1,2}) x" NUM " *y" NUM " *X" NUM " *Y" NUM " *t0.*")},
    {"#orientation_abs_slot1 y%f *r%f *p%f *t%f",
     std::regex("^#orientation_abs_slot1 y" NUM " *r" NUM " *p" NUM " *t" NUM " *?.*")},
};
#undef NUM

// Digit runs make the regular expressions cubic in the line's length.
constexpr size_t comparedLength = 40;

void compare(const std::string& line) {
    std::vector<std::string> captures;
    std::smatch m;
    for (const auto& [pattern, regex] : patterns) {
        bool matched = matchLine(pattern, line, captures);
        if (matched != std::regex_match(line, m, regex)) std::abort();
        if (!matched) continue;
        if (captures.size() + 1 != m.size()) std::abort();
        for (size_t k = 0; k < captures.size(); ++k)
            if (captures[k] != m[k + 1].str()) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::istringstream in(text);
    try {
        parseProject(in, "fuzz.pts");
    } catch (const std::exception&) {
        // Bad projects end in exceptions, which the tool reports.
    }
    // The regular expressions are slow: a few lines of each input are compared.
    std::istringstream lines(text);
    int compared = 0;
    for (std::string line; compared < 4 && std::getline(lines, line);)
        if (line.size() <= comparedLength && !line.empty() &&
            (line[0] == '#' || line[0] == 'o' || line[0] == 'c')) {
            compare(line);
            ++compared;
        }
    return 0;
}
