#pragma once
// The sources of a matching run: read when first needed, released after their last use.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "imageio/row_share.h"
#include "match/source.h"

// Sources by image, counted by the uses still to come. Safe to use from several threads.
class SourceCache {
public:
    // Reads image's source; a thread that needs it meanwhile helps through share.
    using Reader = std::function<std::unique_ptr<Source>(int image, RowShare& share)>;
    // The bytes that image's source holds, known before it is read.
    using Sizer = std::function<size_t(int image)>;

    SourceCache(size_t images, Reader read, Sizer size = {});

    // Counts one more use of image k to come.
    void expect(int k);
    // Image k's source, read on first need (by the calling thread; another needing it meanwhile
    // decodes what rows the read shares, then waits).
    const Source& get(int k);
    // Whether another thread holds image k's entry now, most likely reading its source.
    bool busy(int k);
    // Ends one use of image k; its source goes after the last.
    void release(int k);
    // Lets image k's source go while uses of it are still to come: the next reads it again.
    void evict(int k);
    // Whether image k's source is held now (one being read is not yet).
    bool held(int k) const;
    // The bytes of the sources held now.
    size_t heldBytes() const { return held_; }
    // The bytes that reading the sources of images i and j would add, a source being read
    // counted as not held. Neither this nor held waits for a read.
    size_t bytesToRead(int i, int j) const;

private:
    struct Entry {
        std::mutex mutex;  // held while the source is read
        std::unique_ptr<Source> source;
        // The read in progress, for a thread that would wait for it.
        std::mutex shareMutex;
        std::shared_ptr<RowShare> share;
        // Whether source is set, known without waiting for a read in progress.
        std::atomic<bool> present{false};
        int usesLeft = 0;
    };
    // Lets entry e (image k) go, its lock held.
    void drop(Entry& e, int k);

    Reader read_;
    Sizer size_;
    std::vector<Entry> entries_;
    std::atomic<size_t> held_{0};
};
