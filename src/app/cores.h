#pragma once
// How many cores a run's thread teams take: those that other work leaves idle.
#include <string>

// Runnable tasks besides the reader in the text of /proc/loadavg ("0.50 0.40 0.30 3/85 123"
// gives 2); -1 when the text says nothing of them.
int otherRunnableTasks(const std::string& loadavg);

// Sizes the run's thread teams to the cores that other work leaves idle now, judged by the
// fewest runnable tasks in a few samples a millisecond apart: an average over the last minute
// would still count work that has ended.
void fitThreadsToIdleCores();
