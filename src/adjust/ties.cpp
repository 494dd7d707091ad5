#include "adjust/ties.h"

#include <fmt/printf.h>

#include "base/chains.h"

std::vector<std::string> tieReport(size_t images, const std::vector<ControlPoint>& points) {
    if (images < 2) return {};
    std::vector<int> count(images, 0);
    std::vector<std::pair<int, int>> ties;
    for (const ControlPoint& cp : points) {
        ++count[size_t(cp.n)], ++count[size_t(cp.N)];
        ties.emplace_back(cp.n, cp.N);
    }
    const std::vector<bool> tied = reachedFromImage0(images, ties);
    std::string few, apart;
    for (size_t k = 0; k < images; ++k) {
        if (count[k] < 2)
            few += fmt::sprintf("%s%d (%d)", few.empty() ? "" : ", ", int(k), count[k]);
        if (count[k] > 0 && !tied[k])
            apart += fmt::sprintf("%s%d", apart.empty() ? "" : ", ", int(k));
    }
    std::vector<std::string> lines;
    if (!few.empty())
        lines.push_back(fmt::sprintf(
            "points: too few to fix an orientation (two or more) for image(s) %s\n", few));
    if (!apart.empty())
        lines.push_back(fmt::sprintf(
            "points: no chain of control points ties image(s) %s to image 0\n", apart));
    return lines;
}
