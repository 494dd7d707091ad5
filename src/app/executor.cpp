#include "app/executor.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

#include "app/in_order.h"
#include "app/memory_gate.h"
#include "base/log.h"
#include "base/timer.h"

namespace {

// One pair's findings and log lines, waiting for the pairs before it.
struct PairRun {
    PairMatch match;
    std::string log;
};

size_t imageCount(const std::vector<ScheduleStep>& pairs) {
    int most = -1;
    for (const ScheduleStep& p : pairs) most = std::max({most, p.i, p.j});
    return size_t(most + 1);
}

void runSideBySide(const ScheduleSteps& steps, SourceCache& cache, size_t budget,
                   const PairWork& work, const PairDone& done,
                   const std::function<void(const ScheduleStep& pair)>& started) {
    std::vector<ScheduleStep> pairs = pairsOf(steps);
    for (const ScheduleStep& p : pairs) cache.expect(p.i), cache.expect(p.j);
    std::vector<PairRun> runs(pairs.size());
    std::mutex startedMutex;
    size_t told = 0;
    MemoryGate gate(cache, budget, pairs, imageCount(pairs));
    runInOrder(
        pairs.size(),
        [&](size_t k) {
            {
                std::lock_guard<std::mutex> lock(startedMutex);
                for (; told <= k; ++told) started(pairs[told]);
            }
            lapTimer().lap();
            const ScheduleStep& p = pairs[k];
            size_t reserved = gate.enter(k);
            struct Leave {
                MemoryGate& gate;
                size_t k;
                ~Leave() { gate.leave(k); }
            } leave{gate, k};
            try {
                // A source that the pair beside this one is reading comes second: this core
                // reads the other one meanwhile instead of waiting.
                if (cache.busy(p.i)) cache.get(p.j);
                const Source& a = cache.get(p.i);
                const Source& b = cache.get(p.j);
                gate.read(reserved);
                LogCapture capture(runs[k].log);
                runs[k].match = work(k, p, a, b);
            } catch (...) {
                gate.fail();
                throw;
            }
            // A failed pair ends the run, and the sources go with the cache: no release then.
            cache.release(p.i);
            cache.release(p.j);
        },
        [&](size_t k) {
            try {
                done(k, pairs[k], runs[k].match, runs[k].log);
            } catch (...) {
                gate.fail();
                throw;
            }
            runs[k] = {};
        });
}

}  // namespace

size_t defaultSourceBudget(size_t largestSource, size_t sideBySide, size_t ceiling) {
    // A source needed again only later is read again then, at a small share of a pair's time,
    // instead of being held all the while.
    return std::min(ceiling, (2 * sideBySide + 1) * largestSource);
}

void runSteps(const ScheduleSteps& steps, SourceCache& cache, ExecutorMode mode,
              const PairWork& work, const PairDone& done,
              const std::function<void(const ScheduleStep& pair)>& started) {
    if (mode.sideBySide) {
        runSideBySide(steps, cache, mode.memoryBudget, work, done, started);
        return;
    }
    size_t k = 0;
    for (const ScheduleStep& s : steps) {
        switch (s.kind) {
            case ScheduleStep::Kind::load:
                cache.expect(s.i);
                cache.get(s.i);
                break;
            case ScheduleStep::Kind::release:
                cache.release(s.i);
                break;
            case ScheduleStep::Kind::pair: {
                started(s);
                PairRun run;
                {
                    std::optional<LogCapture> capture;
                    if (mode.captured) capture.emplace(run.log);
                    run.match = work(k, s, cache.get(s.i), cache.get(s.j));
                }
                done(k++, s, run.match, run.log);
                break;
            }
        }
    }
}
