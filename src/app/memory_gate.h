#pragma once
// The gate that keeps the sources of pairs matched side by side within a memory budget.
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "app/source_cache.h"
#include "schedule/schedule.h"

// Lets pairs read their sources in their order, each where they fit the budget beside what is
// held and what the pairs let in before it have still to read. Where they do not, sources that no
// running pair uses go first, the one needed again last first (Belady's rule), to be read again
// when their pair comes; where that is not enough, the pair waits for those running beside it to
// end, and alone it runs. Pairs let in out of order would hold sources longer than their order
// needs. Safe to use from several threads.
class MemoryGate {
public:
    // Pairs of images images in all, whose sources cache holds, within budget bytes (0: none).
    MemoryGate(SourceCache& cache, size_t budget, const std::vector<ScheduleStep>& pairs,
               size_t images);

    // Waits until pair k may read its sources; returns what it reserved.
    size_t enter(size_t k);
    // The pair's sources are read: they count as held now.
    void read(size_t reservedBytes);
    // Pair k ended and released its sources.
    void leave(size_t k);
    // A failure ends the run: pairs after it may never come, so none waits for them.
    void fail();

private:
    // Of the held sources that neither pair k nor a running pair uses, the one whose next use
    // comes last; -1 where there is none.
    int lastNeeded(size_t k);

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
