// Work done without the interpreter lock that Ctrl-C can still stop.
//
// Only the main thread of the main interpreter runs signal handlers, so only there is the lock
// taken back, for a moment every kInterval, to run them (PyErr_CheckSignals). Other threads never
// take it back while they work, so threads working on different films stay parallel.
#ifndef CORVELA_CORE_SIGNAL_POLL_HPP
#define CORVELA_CORE_SIGNAL_POLL_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>

#include "stop_check.hpp"

namespace corvela {

// With the lock held: 1 when this thread runs the signal handlers, 0 when it does not, -1 with
// an exception set.
int handles_signals();

// Gives up the lock on construction. Its owner takes the lock back with finish(), and must do
// so before the section is destroyed; no destructor takes the lock, since one run by an unwind
// at interpreter exit must not.
class UnlockedSection final : public StopCheck {
public:
    // `polls`: whether stop_requested() looks for signals at all (see handles_signals).
    explicit UnlockedSection(bool polls);
    UnlockedSection(const UnlockedSection&) = delete;
    UnlockedSection& operator=(const UnlockedSection&) = delete;

    // The check to hand to the numeric layer: null when this thread does not look for signals.
    StopCheck* check() { return polls_ ? this : nullptr; }

    // Takes the lock back. A signal handler's exception, if one stopped the work, is pending.
    void finish();

    // Runs the signal handlers when kInterval has passed since they last ran; true when one
    // raised (Ctrl-C's KeyboardInterrupt), which is then pending.
    bool stop_requested() override;

private:
    using Clock = std::chrono::steady_clock;
    // Ctrl-C is answered within about this long, and taking the lock back so rarely costs
    // nothing measurable even when other threads hold it for their switch interval.
    static constexpr std::chrono::milliseconds kInterval{20};

    PyThreadState* saved_;
    bool polls_;
    Clock::time_point last_;
};

}  // namespace corvela

#endif
