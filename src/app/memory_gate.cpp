#include "app/memory_gate.h"

#include <algorithm>

MemoryGate::MemoryGate(SourceCache& cache, size_t budget, const std::vector<ScheduleStep>& pairs,
                       size_t images)
    : cache_(cache), budget_(budget), pairs_(pairs), inUse_(images, 0) {}

size_t MemoryGate::enter(size_t k) {
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
    // The next pair may have come first and be waiting for its turn, which is now.
    changed_.notify_all();
    return bytes;
}

void MemoryGate::read(size_t reservedBytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    reserved_ -= reservedBytes;
    changed_.notify_all();
}

void MemoryGate::leave(size_t k) {
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
    --inUse_[size_t(pairs_[k].i)], --inUse_[size_t(pairs_[k].j)];
    changed_.notify_all();
}

void MemoryGate::fail() {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;
    changed_.notify_all();
}

int MemoryGate::lastNeeded(size_t k) {
    int best = -1;
    size_t bestUse = 0;
    for (size_t m = 0; m < inUse_.size(); ++m) {
        int image = int(m);
        if (inUse_[m] > 0 || image == pairs_[k].i || image == pairs_[k].j || !cache_.held(image))
            continue;
        size_t use = k;
        while (use < pairs_.size() && pairs_[use].i != image && pairs_[use].j != image) ++use;
        if (best < 0 || use > bestUse) best = image, bestUse = use;
    }
    return best;
}
