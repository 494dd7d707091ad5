#include "app/executor.h"

#include <mutex>
#include <optional>
#include <vector>

#include "app/in_order.h"
#include "base/log.h"
#include "base/timer.h"

namespace {

// One pair's findings and log lines, waiting for the pairs before it.
struct PairRun {
    PairMatch match;
    std::string log;
};

void runSideBySide(const ScheduleSteps& steps, SourceCache& cache, const PairWork& work,
                   const PairDone& done,
                   const std::function<void(const ScheduleStep& pair)>& started) {
    std::vector<ScheduleStep> pairs = pairsOf(steps);
    for (const ScheduleStep& p : pairs) cache.expect(p.i), cache.expect(p.j);
    std::vector<PairRun> runs(pairs.size());
    std::mutex startedMutex;
    size_t told = 0;
    runInOrder(
        pairs.size(),
        [&](size_t k) {
            {
                std::lock_guard<std::mutex> lock(startedMutex);
                for (; told <= k; ++told) started(pairs[told]);
            }
            lapTimer().lap();
            const ScheduleStep& p = pairs[k];
            const Source &a = cache.get(p.i), &b = cache.get(p.j);
            {
                LogCapture capture(runs[k].log);
                runs[k].match = work(k, p, a, b);
            }
            // A failed pair ends the run, and the sources go with the cache: no release then.
            cache.release(p.i);
            cache.release(p.j);
        },
        [&](size_t k) {
            done(k, pairs[k], runs[k].match, runs[k].log);
            runs[k] = {};
        });
}

}  // namespace

void runSteps(const ScheduleSteps& steps, SourceCache& cache, ExecutorMode mode,
              const PairWork& work, const PairDone& done,
              const std::function<void(const ScheduleStep& pair)>& started) {
    if (mode.sideBySide) {
        runSideBySide(steps, cache, work, done, started);
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
