// Containment of a failure inside `match`: the caller gets 0.0, the interpreter gets a report.
#ifndef CORVELA_CORE_FAILURE_REPORT_HPP
#define CORVELA_CORE_FAILURE_REPORT_HPP

namespace corvela {

// Prints the pending exception through the exception printer, hands it to the unraisable hook
// with the context "corvela.core.algo.match" and clears it. Returns the failure result, 0.0.
double report_failure();

}  // namespace corvela

#endif
