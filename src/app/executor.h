#pragma once
// Runs a schedule's steps: in turn, or its pairs side by side with the native remap.
#include <functional>
#include <string>

#include "app/source_cache.h"
#include "match/pair_match.h"
#include "schedule/schedule.h"

// How a schedule runs: in turn (loads and releases as the steps say) or its pairs side by side,
// one per core, each reading its sources as it needs them; captured: each pair's log lines are
// handed to done instead of going to the log as they are made (always so side by side).
// Side by side, a pair whose sources would take the cache's held bytes beyond memoryBudget
// (0: no bound) first lets held sources that no running pair uses go, the one needed again last
// first, then waits for the pairs running beside it to end; alone, a pair always runs.
struct ExecutorMode {
    bool sideBySide = false;
    bool captured = false;
    size_t memoryBudget = 0;
};

// The default bound on the bytes of held sources: what `sideBySide` pairs read at once (two
// sources each) and one source more, each counted as `largestSource`, never beyond `ceiling`.
size_t defaultSourceBudget(size_t largestSource, size_t sideBySide, size_t ceiling);

// Matches pair k (a step of kind pair, counted among the pairs) with its two sources.
using PairWork =
    std::function<PairMatch(size_t k, const ScheduleStep& pair, const Source& a, const Source& b)>;

// Takes what pair k (counted among the pairs) found, and its captured log lines.
using PairDone =
    std::function<void(size_t k, const ScheduleStep& pair, PairMatch& match, std::string& log)>;

// Runs steps with the sources of cache: work on every pair, then done for each in the steps'
// order, one at a time, whichever pair ends first; started is told each pair as it starts, in
// order. The first failure in that order ends the run (see runInOrder).
void runSteps(const ScheduleSteps& steps, SourceCache& cache, ExecutorMode mode,
              const PairWork& work, const PairDone& done,
              const std::function<void(const ScheduleStep& pair)>& started);
