#include "imageio/row_share.h"

#include <algorithm>
#include <cmath>

bool RowShare::help() {
    std::unique_lock<std::mutex> lock(mutex_);
    // One helper: another has asked already, or been answered.
    if (requested() || answered_ || closed_) return false;
    requested_.store(true, std::memory_order_release);
    changed_.wait(lock, [&] { return answered_ || closed_; });
    requested_.store(false, std::memory_order_release);
    if (!answered_ || first_ >= height_) return false;
    std::function<void(int)> decode = decodeFrom_;
    const int first = first_;
    lock.unlock();
    std::exception_ptr failure;
    try {
        decode(first);
    } catch (...) {
        failure = std::current_exception();
    }
    lock.lock();
    failure_ = failure;
    helperDone_ = true;
    changed_.notify_all();
    return true;
}

void RowShare::open(int height, std::function<void(int)> decodeFrom) {
    std::lock_guard<std::mutex> lock(mutex_);
    height_ = height;
    decodeFrom_ = std::move(decodeFrom);
}

int RowShare::answer(int done) {
    std::lock_guard<std::mutex> lock(mutex_);
    first_ = claimRow(done, height_);
    if (height_ - first_ < kLeastSharedRows) first_ = height_;
    answered_ = true;
    requested_.store(false, std::memory_order_release);
    changed_.notify_all();
    return first_;
}

void RowShare::close() {
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
    if (answered_ && first_ < height_) changed_.wait(lock, [&] { return helperDone_; });
}

void RowShare::rethrow() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_) std::rethrow_exception(failure_);
}

int RowShare::claimRow(int done, int height) {
    // The reader decodes first - done rows, the helper skips first and decodes height - first.
    const int first = int(std::ceil((float(height) + float(done)) / (2 - kSkipShare)));
    return std::min(std::max(first, done), height);
}
