#include "schedule/schedule.h"

#include <map>

namespace {

// Appends steps in the words of a walk.
struct StepWriter {
    ScheduleSteps steps;
    void load(int k) { steps.push_back({ScheduleStep::Kind::load, k}); }
    void release(int k) { steps.push_back({ScheduleStep::Kind::release, k}); }
    void pair(int i, int j, const PairView& view) {
        steps.push_back({ScheduleStep::Kind::pair, i, j, view});
    }
};

}  // namespace

std::vector<ScheduleStep> pairsOf(const ScheduleSteps& steps) {
    std::vector<ScheduleStep> pairs;
    for (const ScheduleStep& s : steps)
        if (s.kind == ScheduleStep::Kind::pair) pairs.push_back(s);
    return pairs;
}

ScheduleSteps stepsForPairs(const std::vector<ScheduleStep>& pairs) {
    std::map<int, size_t> last;
    for (size_t p = 0; p < pairs.size(); ++p) last[pairs[p].i] = last[pairs[p].j] = p;
    StepWriter w;
    std::map<int, bool> loaded;
    for (size_t p = 0; p < pairs.size(); ++p) {
        const ScheduleStep& s = pairs[p];
        for (int k : {s.i, s.j})
            if (!loaded[k]) w.load(k), loaded[k] = true;
        w.pair(s.i, s.j, s.view);
        for (int k : {s.i, s.j})
            if (last[k] == p && loaded[k]) w.release(k), loaded[k] = false;
    }
    return w.steps;
}

ScheduleSteps fisheyeSteps(const std::vector<ImageParameters>& images, int start) {
    StepWriter w;
    int q = start == 1 ? 5 : start - 1;
    w.load(0);
    w.load(q);
    for (int cur = start; cur <= 5; ++cur) {
        w.load(cur);
        w.pair(q, cur, pairView(images, q, cur, 36, true));
        w.pair(0, cur, PairView{images[cur].y, 45, 90, false});
        w.release(q);
        q = cur;
    }
    w.release(q);
    w.release(0);
    return w.steps;
}

ScheduleSteps twoRingSteps(const std::vector<ImageParameters>& images) {
    StepWriter w;
    w.load(0);
    w.load(6);
    w.load(12);
    int a = 12, b = 6;
    for (int k = 0; k < 6; ++k) {
        int c = 7 + k, d = 1 + k;
        w.load(c);
        w.pair(a, c, pairView(images, a, c, 30, true));
        w.pair(a, b, pairView(images, a, b, 40, false));
        w.pair(c, b, pairView(images, c, b, 40, false));
        w.release(a);
        a = c;
        w.load(d);
        w.pair(b, d, pairView(images, b, d, 30, true));
        w.pair(0, d, PairView{images[d].y, 58, 50, false});
        w.release(b);
        b = d;
    }
    w.release(a);
    w.release(b);
    w.release(0);
    return w.steps;
}
