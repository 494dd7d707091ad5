#pragma once
// The sources of a matching run: read when first needed, released after their last use.
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "match/source.h"

// Sources by image, counted by the uses still to come. Safe to use from several threads.
class SourceCache {
public:
    using Reader = std::function<std::unique_ptr<Source>(int image)>;

    SourceCache(size_t images, Reader read);

    // Counts one more use of image k to come.
    void expect(int k);
    // Image k's source, read on first need (by the calling thread; others needing it wait).
    const Source& get(int k);
    // Ends one use of image k; its source goes after the last.
    void release(int k);

private:
    struct Entry {
        std::mutex mutex;
        std::unique_ptr<Source> source;
        int usesLeft = 0;
    };
    Reader read_;
    std::vector<Entry> entries_;
};
