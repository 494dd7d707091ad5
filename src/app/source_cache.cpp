#include "app/source_cache.h"

#include "base/timer.h"

SourceCache::SourceCache(size_t images, Reader read) : read_(std::move(read)), entries_(images) {}

void SourceCache::expect(int k) {
    Entry& e = entries_[size_t(k)];
    std::lock_guard<std::mutex> lock(e.mutex);
    ++e.usesLeft;
}

const Source& SourceCache::get(int k) {
    Entry& e = entries_[size_t(k)];
    std::lock_guard<std::mutex> lock(e.mutex);
    if (!e.source) {
        e.source = read_(k);
        lapTimer().print("load (temp)");
    }
    return *e.source;
}

void SourceCache::release(int k) {
    Entry& e = entries_[size_t(k)];
    std::lock_guard<std::mutex> lock(e.mutex);
    if (--e.usesLeft <= 0) {
        e.usesLeft = 0;
        e.source.reset();
    }
}
