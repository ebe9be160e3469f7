// Stopping long work that runs without the interpreter lock.
//
// The numeric layer knows nothing of the interpreter. Its long loops charge the work they have
// done to a WorkMeter, which asks a StopCheck, supplied by the interpreter layer, once a quantum
// of work has passed; that check may take the lock back for a moment to look for Ctrl-C.
//
// A check may also never return: a thread that takes the lock back while the interpreter exits
// is ended by an unwind (up to CPython 3.13). So no function through which a check can be
// reached is noexcept (an unwind through one aborts the process), and nothing in their frames
// may need the interpreter when it is destroyed: plain memory, freed by its owner.
#ifndef CORVELA_CORE_STOP_CHECK_HPP
#define CORVELA_CORE_STOP_CHECK_HPP

#include <cstddef>

namespace corvela {

class StopCheck {
public:
    // True when the work must stop; the caller then ends it and reports that it stopped.
    virtual bool stop_requested() = 0;

protected:
    ~StopCheck() = default;
};

class WorkMeter {
public:
    // About a millisecond of the cheapest work: the check is asked often enough to answer
    // Ctrl-C at once, and rarely enough to cost nothing measurable.
    static constexpr std::size_t kQuantum = std::size_t{1} << 18;

    // No check: the work never stops.
    WorkMeter() = default;
    explicit WorkMeter(StopCheck* check) : check_(check) {}

    // Charges `units` of work; true when the work must stop (and from then on).
    bool charge(std::size_t units) {
        if (check_ == nullptr) {
            return stopped_;
        }
        if (units < left_) {
            left_ -= units;
            return false;
        }
        left_ = kQuantum;
        if (check_->stop_requested()) {
            stopped_ = true;
            check_ = nullptr;
        }
        return stopped_;
    }

    bool stopped() const { return stopped_; }

private:
    StopCheck* check_ = nullptr;
    std::size_t left_ = kQuantum;
    bool stopped_ = false;
};

}  // namespace corvela

#endif
