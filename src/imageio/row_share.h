#pragma once
// A decode whose last rows a thread that would otherwise wait for it decodes instead.
#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>

// Skipping a row costs about this share of decoding it: libjpeg's jpeg_skip_scanlines still
// decodes the entropy-coded data, but neither transforms nor converts it (0.47 to 0.73 on 3 to
// 50 MP files, at the scales their views ask).
constexpr float kSkipShare = 0.6f;

// Fewer rows than this left are not worth a second decoder.
constexpr int kLeastSharedRows = 16;

// One read's rows between its reader, decoding from the top, and one helper, which skips to a
// row the reader names and decodes from there to the end into the same image. The reader
// answers a helper between two rows, so that neither decodes a row of the other's. Safe to use
// from two threads; a third that asks finds the rows taken.
class RowShare {
public:
    // The helper: waits for the read to begin, asks it for rows, and decodes those it names;
    // false where it named none (the read was nearly done, or is of a kind no helper can share)
    // or another helper asked first.
    bool help();
    // Whether a helper waits for the reader's answer.
    bool requested() const { return requested_.load(std::memory_order_acquire); }

    // The reader: rows height in all, decodeFrom(first) decoding rows first..height - 1 where
    // a helper takes them.
    void open(int height, std::function<void(int first)> decodeFrom);
    // The reader, having decoded rows 0..done - 1, answers the helper that waits: the row it
    // stops before, height where it keeps them all.
    int answer(int done);
    // Ends the sharing: no helper takes rows from now on, and one that took some has decoded
    // them when this returns. Never throws; rethrow reports the helper's failure.
    void close();
    // Throws what the helper's decode threw, if anything.
    void rethrow() const;

    // The first row a helper takes when the reader has decoded done of height rows: where both
    // end together, the helper skipping the rows before it at kSkipShare of a row's cost.
    static int claimRow(int done, int height);

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<bool> requested_{false};
    std::function<void(int)> decodeFrom_;
    int height_ = 0;
    int first_ = 0;
    bool answered_ = false;
    bool closed_ = false;
    bool helperDone_ = false;
    std::exception_ptr failure_;
};
