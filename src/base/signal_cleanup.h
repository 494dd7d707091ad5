#pragma once
// Files removed when a terminating signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT) ends the process,
// such as the temporary file of an output that is renamed into place only on success.
#include <string>

// While it lives, the file is removed by a terminating signal before the signal's default
// action ends the process. Process-wide: a handful of such files at a time.
class RemovedOnSignal {
public:
    // Registers file (the handlers are installed on first use); throws when all slots are taken.
    explicit RemovedOnSignal(const std::string& file);
    ~RemovedOnSignal();
    RemovedOnSignal(const RemovedOnSignal&) = delete;
    RemovedOnSignal& operator=(const RemovedOnSignal&) = delete;

private:
    int slot_;
};
