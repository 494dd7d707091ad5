#include "app/source_cache.h"

#include "base/timer.h"

SourceCache::SourceCache(size_t images, Reader read, Sizer size)
    : read_(std::move(read)), size_(std::move(size)), entries_(images) {}

void SourceCache::expect(int k) {
    Entry& e = entries_[size_t(k)];
    std::lock_guard<std::mutex> lock(e.mutex);
    ++e.usesLeft;
}

const Source& SourceCache::get(int k) {
    Entry& e = entries_[size_t(k)];
    std::unique_lock<std::mutex> lock(e.mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        std::shared_ptr<RowShare> share;
        {
            std::lock_guard<std::mutex> shared(e.shareMutex);
            share = e.share;
        }
        if (share) share->help();
        lock.lock();
    }
    if (!e.source) {
        auto share = std::make_shared<RowShare>();
        {
            std::lock_guard<std::mutex> shared(e.shareMutex);
            e.share = share;
        }
        // A helper waits for the read to share rows or end: it ends, whatever becomes of it.
        struct Unshare {
            Entry& e;
            RowShare& share;
            ~Unshare() {
                share.close();
                std::lock_guard<std::mutex> shared(e.shareMutex);
                e.share.reset();
            }
        } unshare{e, *share};
        e.source = read_(k, *share);
        e.present = true;
        if (size_) held_ += size_(k);
        lapTimer().print("load (temp)");
    }
    return *e.source;
}

bool SourceCache::busy(int k) {
    std::unique_lock<std::mutex> lock(entries_[size_t(k)].mutex, std::try_to_lock);
    return !lock.owns_lock();
}

void SourceCache::release(int k) {
    Entry& e = entries_[size_t(k)];
    std::lock_guard<std::mutex> lock(e.mutex);
    if (--e.usesLeft <= 0) {
        e.usesLeft = 0;
        drop(e, k);
    }
}

void SourceCache::drop(Entry& e, int k) {
    if (e.source && size_) held_ -= size_(k);
    e.source.reset();
    e.present = false;
}

size_t SourceCache::bytesToRead(int i, int j) const {
    size_t bytes = 0;
    for (int k : {i, j}) {
        if (!entries_[size_t(k)].present && size_) bytes += size_(k);
        if (i == j) break;
    }
    return bytes;
}

void SourceCache::evict(int k) {
    Entry& e = entries_[size_t(k)];
    std::lock_guard<std::mutex> lock(e.mutex);
    drop(e, k);
}

bool SourceCache::held(int k) const {
    return entries_[size_t(k)].present;
}
