#include "app/executor.h"

#include <algorithm>
#include <condition_variable>
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

// Lets pairs read their sources in their order, each where they fit the budget beside what is
// held and what the pairs let in before it have still to read, or where no other pair runs.
// Pairs let in out of order would hold sources that the schedule's order lets go sooner.
class MemoryGate {
public:
    MemoryGate(SourceCache& cache, size_t budget) : cache_(cache), budget_(budget) {}

    // Waits until pair k, of images i and j, may read its sources; returns what it reserved.
    size_t enter(size_t k, int i, int j) {
        std::unique_lock<std::mutex> lock(mutex_);
        size_t bytes = 0;
        changed_.wait(lock, [&] {
            bytes = cache_.bytesToRead(i, j);
            return budget_ == 0 || failed_ ||
                   (k == next_ &&
                    (running_ == 0 || cache_.heldBytes() + reserved_ + bytes <= budget_));
        });
        next_ = std::max(next_, k + 1);
        ++running_;
        reserved_ += bytes;
        return bytes;
    }
    // The pair's sources are read: they count as held now.
    void read(size_t reservedBytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        reserved_ -= reservedBytes;
        changed_.notify_all();
    }
    // The pair ended and released its sources.
    void leave() {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        changed_.notify_all();
    }
    // A failure ends the run: pairs after it may never come, so none waits for them.
    void fail() {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_ = true;
        changed_.notify_all();
    }

private:
    SourceCache& cache_;
    size_t budget_;
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t next_ = 0;
    int running_ = 0;
    size_t reserved_ = 0;
    bool failed_ = false;
};

void runSideBySide(const ScheduleSteps& steps, SourceCache& cache, size_t budget,
                   const PairWork& work, const PairDone& done,
                   const std::function<void(const ScheduleStep& pair)>& started) {
    std::vector<ScheduleStep> pairs = pairsOf(steps);
    for (const ScheduleStep& p : pairs) cache.expect(p.i), cache.expect(p.j);
    std::vector<PairRun> runs(pairs.size());
    std::mutex startedMutex;
    size_t told = 0;
    MemoryGate gate(cache, budget);
    runInOrder(
        pairs.size(),
        [&](size_t k) {
            {
                std::lock_guard<std::mutex> lock(startedMutex);
                for (; told <= k; ++told) started(pairs[told]);
            }
            lapTimer().lap();
            const ScheduleStep& p = pairs[k];
            size_t reserved = gate.enter(k, p.i, p.j);
            struct Leave {
                MemoryGate& gate;
                ~Leave() { gate.leave(); }
            } leave{gate};
            try {
                const Source& a = cache.get(p.i);
                const Source& b = cache.get(p.j);
                gate.read(reserved);
                LogCapture capture(runs[k].log);
                runs[k].match = work(k, p, a, b);
            } catch (...) {
                gate.read(0);
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
