#include "base/signal_cleanup.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <unistd.h>

namespace {

constexpr int kSlots = 4;
constexpr size_t kNameBytes = 4096;

// A handler may only read what is complete: a name is written before its flag is set.
char names[kSlots][kNameBytes];
std::atomic<bool> armed[kSlots];
std::mutex slotsMutex;
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void removeAndDie(int signal) {
    for (int k = 0; k < kSlots; ++k)
        if (armed[k].load()) unlink(names[k]);
    std::signal(signal, SIG_DFL);
    raise(signal);
}

void installOnce() {
    static bool installed = [] {
        for (int s : kSignals) {
            struct sigaction action;
            std::memset(&action, 0, sizeof action);
            action.sa_handler = removeAndDie;
            sigemptyset(&action.sa_mask);
            // A signal the parent ignored (nohup) stays ignored.
            struct sigaction old;
            if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
            sigaction(s, &action, nullptr);
        }
        return true;
    }();
    (void)installed;
}

}  // namespace

RemovedOnSignal::RemovedOnSignal(const std::string& file) {
    if (file.size() >= kNameBytes) throw std::length_error("temporary file name too long");
    std::lock_guard<std::mutex> lock(slotsMutex);
    installOnce();
    for (slot_ = 0; slot_ < kSlots && armed[slot_].load(); ++slot_) {
    }
    if (slot_ == kSlots) throw std::runtime_error("too many files to remove on a signal");
    std::memcpy(names[slot_], file.c_str(), file.size() + 1);
    armed[slot_].store(true);
}

RemovedOnSignal::~RemovedOnSignal() {
    std::lock_guard<std::mutex> lock(slotsMutex);
    armed[slot_].store(false);
}
