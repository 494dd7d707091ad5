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
// held and what the pairs let in before it have still to read. Where they do not, sources that no
// running pair uses go first, the one needed again last first (Belady's rule), to be read again
// when their pair comes; where that is not enough, the pair waits for those running beside it to
// end, and alone it runs. Pairs let in out of order would hold sources longer than their order
// needs.
class MemoryGate {
public:
    MemoryGate(SourceCache& cache, size_t budget, const std::vector<ScheduleStep>& pairs,
               size_t images)
        : cache_(cache), budget_(budget), pairs_(pairs), inUse_(images, 0) {}

    // Waits until pair k may read its sources; returns what it reserved.
    size_t enter(size_t k) {
        const ScheduleStep& p = pairs_[k];
        std::unique_lock<std::mutex> lock(mutex_);
        size_t bytes = 0;
        changed_.wait(lock, [&] {
            if (budget_ == 0 || failed_) return true;
            if (k != next_) return false;
            for (;;) {
                bytes = cache_.bytesToRead(p.i, p.j);
                if (cache_.heldBytes() + reserved_ + bytes <= budget_) return true;
                int last = lastNeeded(k);
                if (last < 0) return running_ == 0;
                cache_.evict(last);
            }
        });
        next_ = std::max(next_, k + 1);
        ++running_;
        ++inUse_[size_t(p.i)], ++inUse_[size_t(p.j)];
        reserved_ += bytes;
        return bytes;
    }
    // The pair's sources are read: they count as held now.
    void read(size_t reservedBytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        reserved_ -= reservedBytes;
        changed_.notify_all();
    }
    // Pair k ended and released its sources.
    void leave(size_t k) {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        --inUse_[size_t(pairs_[k].i)], --inUse_[size_t(pairs_[k].j)];
        changed_.notify_all();
    }
    // A failure ends the run: pairs after it may never come, so none waits for them.
    void fail() {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_ = true;
        changed_.notify_all();
    }

private:
    // Of the held sources that neither pair k nor a running pair uses, the one whose next use
    // comes last; -1 where there is none.
    int lastNeeded(size_t k) {
        int best = -1;
        size_t bestUse = 0;
        for (size_t m = 0; m < inUse_.size(); ++m) {
            int image = int(m);
            if (inUse_[m] > 0 || image == pairs_[k].i || image == pairs_[k].j ||
                !cache_.held(image))
                continue;
            size_t use = k;
            while (use < pairs_.size() && pairs_[use].i != image && pairs_[use].j != image) ++use;
            if (best < 0 || use > bestUse) best = image, bestUse = use;
        }
        return best;
    }

    SourceCache& cache_;
    size_t budget_;
    const std::vector<ScheduleStep>& pairs_;
    std::vector<int> inUse_;  // by image: the running pairs that use it
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t next_ = 0;
    int running_ = 0;
    size_t reserved_ = 0;
    bool failed_ = false;
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
