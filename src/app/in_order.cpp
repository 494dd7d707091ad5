#include "app/in_order.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <omp.h>
#include <vector>

void runInOrder(size_t n, const std::function<void(size_t)>& work,
                const std::function<void(size_t)>& write) {
    std::vector<std::exception_ptr> failed(n);
    std::vector<char> done(n, 0);
    std::mutex order;
    size_t written = 0;
    std::exception_ptr failure;
    // Items are handed out in order from one counter (a dynamic schedule need not be monotonic),
    // so every item skipped comes after the one that failed.
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    // Nested teams would only crowd the cores the items already fill.
    const int levels = omp_get_max_active_levels();
    omp_set_max_active_levels(1);
#pragma omp parallel
    for (size_t k; (k = next++) < n;) {
        if (!stop) {
            try {
                work(k);
            } catch (...) {
                failed[k] = std::current_exception();
                stop = true;
            }
        }
        std::lock_guard<std::mutex> lock(order);
        done[k] = 1;
        for (; !failure && written < n && done[written]; ++written) {
            try {
                if (failed[written]) std::rethrow_exception(failed[written]);
                write(written);
            } catch (...) {
                failure = std::current_exception();
                stop = true;
            }
        }
    }
    omp_set_max_active_levels(levels);
    if (failure) std::rethrow_exception(failure);
}
