#pragma once
// Work items run side by side on a team, their results written in order.
#include <cstddef>
#include <functional>

// Runs work(k) for every k below n, one item per worker of an OpenMP team at a time and items
// handed out in order, and write(k) for each as soon as it and every item before it are done:
// writes come in order of k, one at a time, whichever item ends first. Teams inside work(k) get
// one thread. The first failure in that order (of a work item or a write) ends the run: no item
// after it is written, items not yet begun are skipped, and it is rethrown once the team ends.
void runInOrder(size_t n, const std::function<void(size_t)>& work,
                const std::function<void(size_t)>& write);
