#include "schedule/derived_schedule.h"

#include <cmath>
#include <deque>
#include <set>
#include <fmt/printf.h>
#include <glm/matrix.hpp>
#include <stdexcept>

#include "schedule/coverage.h"

namespace {

constexpr float degPerRad = 57.29578f;
// About 0.4 degrees between lattice points.
constexpr int latticePoints = 1 << 18;
// Narrowest overlap worth matching, in output pixels: three correlation templates side by side.
constexpr float minWidthPixels = 64;
// Widest angle one view spans: an equirectangular view stretches the rows at its top and bottom
// edge by 1 / cos(latitude), twice at 60 degrees.
constexpr float maxSpan = 120;
// Images whose source pixels differ in size by less than this render in index order; otherwise
// the sharper one goes first, since corners are found in the first rendering.
constexpr float finerRatio = 1.2f;

using Mask = std::vector<char>;

Mask visible(const SphereLattice& lattice, const CameraSight& cam, Reach reach) {
    Mask m(size_t(lattice.size()));
    for (int k = 0; k < lattice.size(); ++k) m[size_t(k)] = cam.sees(lattice[k], reach);
    return m;
}

std::vector<int> pointsInBoth(const Mask& a, const Mask& b) {
    std::vector<int> points;
    for (size_t k = 0; k < a.size(); ++k)
        if (a[k] && b[k]) points.push_back(int(k));
    return points;
}

// Steps from each point of a set to the nearest point outside it (1 on its rim, 0 outside).
std::vector<int> depths(const SphereLattice& lattice, const Mask& inside,
                        const std::vector<int>& members) {
    std::vector<int> depth(size_t(lattice.size()), 0);
    std::deque<int> queue;
    for (int k : members)
        for (const int* n = lattice.neighboursBegin(k); n != lattice.neighboursEnd(k); ++n)
            if (!inside[size_t(*n)]) {
                depth[size_t(k)] = 1;
                queue.push_back(k);
                break;
            }
    while (!queue.empty()) {
        int k = queue.front();
        queue.pop_front();
        for (const int* n = lattice.neighboursBegin(k); n != lattice.neighboursEnd(k); ++n)
            if (inside[size_t(*n)] && depth[size_t(*n)] == 0) {
                depth[size_t(*n)] = depth[size_t(k)] + 1;
                queue.push_back(*n);
            }
    }
    return depth;
}

// The connected pieces of a set.
std::vector<std::vector<int>> components(const SphereLattice& lattice, const Mask& inside,
                                         const std::vector<int>& members) {
    std::vector<std::vector<int>> pieces;
    Mask seen(inside.size(), 0);
    for (int start : members) {
        if (seen[size_t(start)]) continue;
        std::vector<int> piece{start};
        seen[size_t(start)] = 1;
        for (size_t q = 0; q < piece.size(); ++q)
            for (const int* n = lattice.neighboursBegin(piece[q]);
                 n != lattice.neighboursEnd(piece[q]); ++n)
                if (inside[size_t(*n)] && !seen[size_t(*n)]) {
                    seen[size_t(*n)] = 1;
                    piece.push_back(*n);
                }
        pieces.push_back(std::move(piece));
    }
    return pieces;
}

struct Frame {
    float yaw, pitch, roll;
};

mat3 worldToView(const Frame& f) {
    return cameraMat(f.yaw, f.pitch, f.roll, vec2(0, 0), vec2(0, 0));
}

// The view of a direction, with the given turn about it.
Frame aimedAt(vec3 d, float roll) {
    return {std::atan2(d.x, d.z) * degPerRad, std::asin(std::clamp(d.y, -1.0f, 1.0f)) * degPerRad,
            roll};
}

// Longitude and latitude range of points in a view's own frame, degrees.
struct Box {
    float lon0 = 180, lon1 = -180, lat0 = 90, lat1 = -90;
};

Box boxOf(const SphereLattice& lattice, const std::vector<int>& points, const mat3& m,
          size_t stride) {
    Box b;
    for (size_t k = 0; k < points.size(); k += stride) {
        vec3 q = m * lattice[points[k]];
        float lon = std::atan2(q.x, q.z) * degPerRad;
        float lat = std::asin(std::clamp(q.y, -1.0f, 1.0f)) * degPerRad;
        b.lon0 = std::min(b.lon0, lon);
        b.lon1 = std::max(b.lon1, lon);
        b.lat0 = std::min(b.lat0, lat);
        b.lat1 = std::max(b.lat1, lat);
    }
    return b;
}

// The view with turn roll whose centre is that of the points' box, after a few rounds of
// moving the centre there; box holds the points' box in the final view.
Frame centredView(const SphereLattice& lattice, const std::vector<int>& points, vec3 centre,
                  float roll, size_t stride, Box& box) {
    Frame f = aimedAt(centre, roll);
    for (int round = 0; round < 3; ++round) {
        mat3 m = worldToView(f);
        box = boxOf(lattice, points, m, stride);
        float lon = (box.lon0 + box.lon1) / 2 / degPerRad,
              lat = (box.lat0 + box.lat1) / 2 / degPerRad;
        vec3 c(std::sin(lon) * std::cos(lat), std::sin(lat), std::cos(lon) * std::cos(lat));
        f = aimedAt(glm::transpose(m) * c, roll);
    }
    box = boxOf(lattice, points, worldToView(f), stride);
    return f;
}

// What one pair's views are fitted to.
struct PairGeometry {
    const SphereLattice& lattice;
    const CameraSight& a;
    const CameraSight& b;
    const std::vector<int>& depth;
};

// Covers a piece of a pair's overlap with views, split in halves where one view would span
// more than maxSpan; pieces too thin to match are dropped.
void coverPiece(const PairGeometry& g, const std::vector<int>& points, int splits,
                std::vector<ViewExtent>& views) {
    if (points.empty()) return;
    const SphereLattice& lattice = g.lattice;
    vec3 sum(0, 0, 0), spread(0, 0, 0);
    for (int k : points) {
        sum += lattice[k];
        spread += lattice[k] * lattice[k];
    }
    auto halve = [&](auto below) {
        std::vector<int> lower, upper;
        for (int k : points) (below(k) ? lower : upper).push_back(k);
        coverPiece(g, lower, splits - 1, views);
        coverPiece(g, upper, splits - 1, views);
    };
    // A band around much of the sphere has no centre to look at: cut it through the middle.
    if (glm::length(sum) < 0.5f * float(points.size()) && splits > 0) {
        int axis = spread.x >= spread.y && spread.x >= spread.z ? 0 : spread.y >= spread.z ? 1 : 2;
        return halve([&](int k) { return lattice[k][axis] < 0; });
    }

    // The turn whose box is smallest, unturned unless a turn saves a tenth.
    vec3 centre = glm::normalize(sum);
    size_t stride = std::max<size_t>(1, points.size() / 4000);
    float bestArea = 0;
    Frame view{};
    for (int roll = 0; roll < 180; roll += 15) {
        Box box;
        Frame f = centredView(lattice, points, centre, float(roll), stride, box);
        float area = (box.lon1 - box.lon0) * (box.lat1 - box.lat0);
        if (roll == 0 || area < 0.9f * bestArea) {
            bestArea = area;
            view = f;
        }
    }
    mat3 m = worldToView(view);
    Box box = boxOf(lattice, points, m, 1);
    float margin = 2 * lattice.spacing();
    float spanX = 2 * std::max(-box.lon0, box.lon1) + margin;
    float spanY = 2 * std::max(-box.lat0, box.lat1) + margin;
    if ((spanX > maxSpan || spanY > maxSpan) && splits > 0) {
        bool across = spanX >= spanY;
        return halve([&](int k) {
            vec3 q = m * lattice[k];
            return across ? q.x < 0 : q.y < 0;
        });
    }

    // Output pixels the size of the finer source pixel at the point nearest the view centre.
    vec3 direction = glm::transpose(m) * vec3(0, 0, 1);
    int nearest = points[0], deepest = points[0];
    for (int k : points) {
        if (glm::dot(lattice[k], direction) > glm::dot(lattice[nearest], direction)) nearest = k;
        if (g.depth[size_t(k)] > g.depth[size_t(deepest)]) deepest = k;
    }
    vec3 middle = lattice[nearest];
    float finest = std::min(g.a.pixelAngle(middle), g.b.pixelAngle(middle));
    float width = float(2 * g.depth[size_t(deepest)] - 1) * lattice.spacing();
    if (width < minWidthPixels * finest) return;
    // A source larger than kViewSourceSide renders as if that size; a thin overlap keeps its
    // minWidthPixels.
    auto atMatchedSize = [&](const CameraSight& c) {
        float side = std::max(c.model.inSize.x, c.model.inSize.y);
        return c.pixelAngle(middle) * std::max(1.0f, side / kViewSourceSide);
    };
    float pixel = std::min({atMatchedSize(g.a), atMatchedSize(g.b), width / minWidthPixels});
    views.push_back({view.yaw, view.pitch, view.roll, spanX, spanY, pixel});
}

// Orders steps so that each reuses images still loaded: first the steps whose images are both
// loaded, then those that load one image, preferring the image that shares most steps with
// those loaded. Four images stay loaded at most; the one with fewest steps left goes first.
std::vector<PairStep> inLoadingOrder(const std::vector<PairStep>& steps) {
    std::vector<bool> done(steps.size(), false);
    std::vector<int> alive;  // least recently used first
    auto isAlive = [&](int k) { return std::find(alive.begin(), alive.end(), k) != alive.end(); };
    auto remaining = [&](int k, auto counts) {
        int n = 0;
        for (size_t s = 0; s < steps.size(); ++s)
            if (!done[s] && (steps[s].i == k || steps[s].j == k) && counts(steps[s])) ++n;
        return n;
    };
    auto any = [](const PairStep&) { return true; };
    std::vector<PairStep> order;
    while (order.size() < steps.size()) {
        size_t best = 0;
        int bestScore = -1;
        for (size_t s = 0; s < steps.size(); ++s) {
            if (done[s]) continue;
            bool a = isAlive(steps[s].i), b = isAlive(steps[s].j);
            int score = (a + b) * 1000;
            if (a != b)
                score += remaining(a ? steps[s].j : steps[s].i,
                                   [&](const PairStep& t) { return isAlive(t.i) || isAlive(t.j); });
            if (score > bestScore) {
                bestScore = score;
                best = s;
            }
        }
        const PairStep& step = steps[best];
        for (int k : {step.i, step.j}) {
            if (isAlive(k)) {
                alive.erase(std::find(alive.begin(), alive.end(), k));
            } else if (alive.size() >= 4) {
                auto fewest = alive.end();
                for (auto it = alive.begin(); it != alive.end(); ++it)
                    if (*it != step.i && *it != step.j &&
                        (fewest == alive.end() || remaining(*it, any) < remaining(*fewest, any)))
                        fewest = it;
                alive.erase(fewest);
            }
            alive.push_back(k);
        }
        done[best] = true;
        order.push_back(step);
        alive.erase(std::remove_if(alive.begin(), alive.end(),
                                   [&](int k) { return remaining(k, any) == 0; }),
                    alive.end());
    }
    return order;
}

}  // namespace

DerivedSchedule deriveSchedule(const std::vector<ImageParameters>& images) {
    int n = int(images.size());
    if (n < 2)
        throw std::runtime_error(
            fmt::sprintf("the project has %d image; matching needs at least two", n));

    SphereLattice lattice(latticePoints);
    std::vector<CameraSight> cameras(images.begin(), images.end());
    std::vector<Mask> content, drawn;
    for (const CameraSight& camera : cameras) {
        content.push_back(visible(lattice, camera, Reach::content));
        drawn.push_back(visible(lattice, camera, Reach::render));
    }

    DerivedSchedule schedule;
    std::vector<PairStep> steps;
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j) {
            if (pointsInBoth(content[size_t(i)], content[size_t(j)]).empty()) continue;
            std::vector<int> overlap = pointsInBoth(drawn[size_t(i)], drawn[size_t(j)]);
            Mask inside(size_t(lattice.size()), 0);
            for (int k : overlap) inside[size_t(k)] = 1;
            std::vector<int> depth = depths(lattice, inside, overlap);
            PairGeometry g{lattice, cameras[size_t(i)], cameras[size_t(j)], depth};
            std::vector<ViewExtent> views;
            int deepest = 0;
            for (const std::vector<int>& piece : components(lattice, inside, overlap)) {
                coverPiece(g, piece, 4, views);
                for (int k : piece) deepest = std::max(deepest, depth[size_t(k)]);
            }
            if (views.empty()) {
                float width = deepest > 0 ? float(2 * deepest - 1) * lattice.spacing() : 0;
                schedule.leftOut.push_back(
                    fmt::sprintf("left out %d-%d: their overlap is at most %.1f degrees wide, too "
                                 "thin to match\n",
                                 i, j, width));
                continue;
            }
            // The image with clearly finer pixels first, since its rendering is searched for
            // corners.
            const ViewExtent& v = views[0];
            vec3 centre = glm::transpose(worldToView({v.yaw, v.pitch, v.roll})) * vec3(0, 0, 1);
            bool swap = g.b.pixelAngle(centre) * finerRatio < g.a.pixelAngle(centre);
            for (const ViewExtent& view : views)
                steps.push_back({swap ? j : i, swap ? i : j, view});
        }

    std::vector<std::string> lonely;
    for (int k = 0; k < n; ++k)
        if (std::none_of(steps.begin(), steps.end(),
                         [k](const PairStep& s) { return s.i == k || s.j == k; }))
            lonely.push_back(fmt::sprintf("%d (%s)", k, images[size_t(k)].file));
    if (!lonely.empty()) {
        std::string names = lonely[0];
        for (size_t k = 1; k < lonely.size(); ++k) names += ", " + lonely[k];
        throw std::runtime_error(fmt::sprintf("%s %s %s no other image enough to match",
                                              lonely.size() == 1 ? "image" : "images", names,
                                              lonely.size() == 1 ? "overlaps" : "overlap"));
    }
    schedule.steps = inLoadingOrder(steps);
    return schedule;
}

PairView fitTarget(const ViewExtent& e, int maxSize) {
    int limit = std::max(maxSize / 256, 1) * 256;
    float pixel = std::max({e.pixel, e.spanX / float(limit), e.spanY / float(limit)});
    // A hair under whole tiles would otherwise add one.
    auto tiles = [&](float span) {
        return std::max(1, int(std::ceil(span / pixel / 256 - 0.01f)));
    };
    int width = std::min(tiles(e.spanX) * 256, limit),
        height = std::min(tiles(e.spanY) * 256, limit);
    PairView v{e.yaw, e.pitch, float(width) * pixel, height > width};
    v.roll = e.roll;
    v.width = width;
    v.height = height;
    return v;
}

ScheduleSteps derivedSteps(const std::vector<PairStep>& steps, int maxSize) {
    const size_t capacity = 4;
    auto nextUse = [&](int image, size_t from) {
        for (size_t k = from; k < steps.size(); ++k)
            if (steps[k].i == image || steps[k].j == image) return k;
        return steps.size();
    };
    ScheduleSteps out;
    std::set<int> alive;
    for (size_t s = 0; s < steps.size(); ++s) {
        const PairStep& step = steps[s];
        for (int k : {step.i, step.j}) {
            if (alive.count(k)) continue;
            if (alive.size() >= capacity) {
                int latest = -1;
                for (int a : alive)
                    if (a != step.i && a != step.j &&
                        (latest < 0 || nextUse(a, s) > nextUse(latest, s)))
                        latest = a;
                alive.erase(latest);
                out.push_back({ScheduleStep::Kind::release, latest});
            }
            alive.insert(k);
            out.push_back({ScheduleStep::Kind::load, k});
        }
        out.push_back({ScheduleStep::Kind::pair, step.i, step.j, fitTarget(step.extent, maxSize)});
        for (auto it = alive.begin(); it != alive.end();) {
            if (nextUse(*it, s + 1) < steps.size()) {
                ++it;
                continue;
            }
            out.push_back({ScheduleStep::Kind::release, *it});
            it = alive.erase(it);
        }
    }
    return out;
}
