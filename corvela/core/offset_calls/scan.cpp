// The module corvela.core.scan: `coverage`, the coverage of the speech by one subtitle list
// under each of many common shifts, with the bits `match` gives for each shifted list,
// `best_offset`, the best shift over every microsecond of a range and a few time scalings, and
// `best_segments`, the best shift of each row when the shift may change along the film.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <type_traits>

#include "argument_binding.hpp"
#include "best_offset_input.hpp"
#include "best_offset_search.hpp"
#include "offset_scan.hpp"
#include "py_ref.hpp"
#include "scan_input.hpp"
#include "segment_search.hpp"
#include "signal_poll.hpp"
#include "timedelta_reader.hpp"

namespace {

using corvela::PyRef;

struct ModuleState {
    PyTypeObject* timedelta;      // the C implementation's type, whose fields are read directly
    PyTypeObject* best_offset;    // the result type of best_offset(), a struct sequence
    PyTypeObject* best_segments;  // the result type of best_segments(), a struct sequence
};

ModuleState* state_of(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

// Calls each(slot) for each reference the state holds, stopping at the first non-zero answer:
// the one list of them for the collector's visit and for clearing.
template <class Each>
int each_reference(PyObject* module, Each&& each) {
    ModuleState* state = state_of(module);
    if (state == nullptr) {
        return 0;
    }
    for (PyTypeObject** slot : {&state->timedelta, &state->best_offset, &state->best_segments}) {
        if (const int answer = each(slot)) {
            return answer;
        }
    }
    return 0;
}

// --- argument binding ----------------------------------------------------------------------

const char* const kCoverageNames[] = {"base", "other", "offsets"};
const corvela::Signature kCoverage{"coverage", kCoverageNames, 3, 3, 3};

const char* const kBestOffsetNames[] = {"base",    "other",      "lo",
                                        "hi",      "factors",    "separation",
                                        "factor_evidence"};
const corvela::Signature kBestOffset{"best_offset", kBestOffsetNames, 7, 4, 4};

const char* const kBestSegmentsNames[] = {"base", "other", "lo", "hi", "split_penalty", "factor"};
const corvela::Signature kBestSegments{"best_segments", kBestSegmentsNames, 6, 5, 5};

// The most parameters of a search call: the size of its bound arguments.
constexpr Py_ssize_t kMostParameters = 7;

int check_list(PyObject* value, const char* function, const char* name) {
    if (PyList_CheckExact(value)) {
        return 0;
    }
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be list, not %.200s", function, name,
                 Py_TYPE(value)->tp_name);
    return -1;
}

// --- coverage ------------------------------------------------------------------------------

PyObject* result_list(const double* values, Py_ssize_t count) {
    PyRef list(PyList_New(count));
    if (!list) {
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* value = PyFloat_FromDouble(values[k]);
        if (value == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), k, value);
    }
    return list.release();
}

// Reads the arguments of coverage into `input`. Each is held while it is read, whatever the
// caller's own code does meanwhile, and released on return: nothing of the interpreter's is held
// while the lock is given up.
int read_coverage(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                  corvela::ScanInput& input) {
    PyObject* bound[3];
    if (corvela::bind_arguments(kCoverage, args, nargsf, kwnames, bound) < 0) {
        return -1;
    }
    const PyRef base = PyRef::borrow(bound[0]);
    const PyRef other = PyRef::borrow(bound[1]);
    const PyRef offsets = PyRef::borrow(bound[2]);
    if (check_list(base.get(), "coverage", "base") < 0 ||
        check_list(other.get(), "coverage", "other") < 0) {
        return -1;
    }
    if (!PySequence_Check(offsets.get())) {
        PyErr_Format(PyExc_TypeError,
                     "coverage() argument 'offsets' must be a sequence of datetime.timedelta, not "
                     "%.200s",
                     Py_TYPE(offsets.get())->tp_name);
        return -1;
    }
    return corvela::read_scan_input(base.get(), other.get(), offsets.get(),
                                    state_of(module)->timedelta, input);
}

PyObject* coverage(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    corvela::ScanInput input;
    if (read_coverage(module, args, nargsf, kwnames, input) < 0) {
        return nullptr;
    }
    const int polls = corvela::handles_signals();
    if (polls < 0) {
        return nullptr;
    }
    const auto other_len = static_cast<std::size_t>(input.other_len);
    const auto offset_count = static_cast<std::size_t>(input.offset_count);
    corvela::NativeArray<double> work;
    corvela::NativeArray<double> results;
    if (work.create(corvela::scan_work_doubles(other_len)) < 0 ||
        results.create(offset_count) < 0) {
        return nullptr;
    }
    const corvela::OffsetTables scan = input.tables();
    // Only native tables from here on: other threads run while the offsets are computed.
    corvela::UnlockedSection unlocked(polls != 0);
    const bool done = corvela::scan_offsets(scan, input.offsets.data(), offset_count, work.data(),
                                            results.data(), unlocked.check());
    unlocked.finish();
    if (!done) {
        return nullptr;  // with the signal handler's exception
    }
    return result_list(results.data(), input.offset_count);
}

// --- best_offset ---------------------------------------------------------------------------

// Runs run(check) with the interpreter lock released, so that other threads go on and, in the
// main thread, Ctrl-C stops it; only native tables may be touched there. True when it found
// `choice`; false with an exception set: the signal handler's when it stopped, raise_failure()'s
// when it failed.
template <class Choice, class Run, class RaiseFailure>
bool searched(const Choice& choice, Run&& run, RaiseFailure&& raise_failure) {
    const int polls = corvela::handles_signals();
    if (polls < 0) {
        return false;
    }
    corvela::UnlockedSection unlocked(polls != 0);
    run(unlocked.check());
    unlocked.finish();
    if (choice.status == Choice::kStopped) {
        return false;
    }
    if (choice.status != Choice::kFound) {
        raise_failure();
        return false;
    }
    return true;
}

PyObject* new_timedelta(PyTypeObject* timedelta, corvela::Microseconds us) {
    const corvela::Microseconds days = corvela::floor_days(us);
    const corvela::Microseconds rest = us - days * corvela::kMicrosecondsPerDay;
    return PyObject_CallFunction(reinterpret_cast<PyObject*>(timedelta), "iii",
                                 static_cast<int>(days), static_cast<int>(rest / 1000000),
                                 static_cast<int>(rest % 1000000));
}

int raise_speech_fault(const corvela::ScanInput& input, const char* caller) {
    std::size_t bad = 0;
    const corvela::SpeechFault fault = corvela::check_speech(
        input.c_base.data(), static_cast<std::size_t>(input.base_len), input.base_total, &bad);
    if (fault == corvela::SpeechFault::kNone) {
        return 0;
    }
    const double shown_value =
        fault == corvela::SpeechFault::kBound ? input.c_base.data()[bad] : input.base_total;
    PyRef shown(PyFloat_FromDouble(shown_value));
    if (!shown) {
        return -1;
    }
    if (fault == corvela::SpeechFault::kBound) {
        PyErr_Format(PyExc_ValueError,
                     "base[%zu][%zu] is %R; %s() needs finite speech bounds", bad / 2,
                     bad % 2, shown.get(), caller);
    } else {
        PyErr_Format(PyExc_ValueError,
                     "base: the speech total is %R; %s() needs a finite total above zero",
                     shown.get(), caller);
    }
    return -1;
}

// The OverflowError of the scaled bound `bad_bound` (counted along other's rows), or of that
// bound shifted by lo or hi (`shifted`, the sum's low end when bad_low), leaving timedelta's
// range; `factor` names the factor as the call's arguments do.
int raise_out_of_range(bool shifted, std::size_t bad_bound, corvela::Microseconds bad_value,
                       bool bad_low, corvela::Microseconds lo, corvela::Microseconds hi,
                       const char* factor) {
    const std::size_t row = bad_bound / 2;
    const std::size_t item = bad_bound % 2;
    if (!shifted) {
        PyErr_Format(PyExc_OverflowError,
                     "other[%zu][%zu] * %s leaves timedelta's range (days must have magnitude "
                     "<= 999999999)",
                     row, item, factor);
        return -1;
    }
    PyErr_Format(PyExc_OverflowError,
                 "other[%zu][%zu] * %s + %s: days=%lld; must have magnitude <= 999999999", row,
                 item, factor, bad_low ? "lo" : "hi",
                 static_cast<long long>(corvela::floor_days(bad_value + (bad_low ? lo : hi))));
    return -1;
}

int raise_search_failure(const corvela::OffsetChoice& choice,
                         const corvela::SearchArguments& arguments) {
    if (choice.status != corvela::OffsetChoice::kScaledOutOfRange &&
        choice.status != corvela::OffsetChoice::kShiftedOutOfRange) {
        PyErr_NoMemory();
        return -1;
    }
    char factor[48];
    PyOS_snprintf(factor, sizeof factor, "factors[%zu]", choice.bad_factor);
    return raise_out_of_range(choice.status == corvela::OffsetChoice::kShiftedOutOfRange,
                              choice.bad_bound, choice.bad_value, choice.bad_low, arguments.lo,
                              arguments.hi, factor);
}

PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

// Field n of the result, a new reference.
PyObject* result_item(ModuleState* state, const corvela::OffsetChoice& choice,
                      const corvela::SearchArguments& arguments, Py_ssize_t n) {
    switch (n) {
        case 0:
            return new_timedelta(state->timedelta, choice.offset);
        case 1:
            return PyFloat_FromDouble(choice.coverage);
        case 2:
            return PyFloat_FromDouble(arguments.factors.data()[choice.factor_index]);
        case 3:
            return new_timedelta(state->timedelta, choice.plateau_start);
        case 4:
            return new_timedelta(state->timedelta, choice.plateau_end);
        case 5:
            return choice.has_runner_up ? new_timedelta(state->timedelta, choice.runner_up) : none();
        case 6:
            return choice.has_runner_up ? PyFloat_FromDouble(choice.runner_up_coverage) : none();
        default:  // microseconds of overlap to seconds; infinity stays
            return arguments.factor_evidence ? PyFloat_FromDouble(choice.chance_gain / 1e6)
                                             : none();
    }
}

PyObject* best_offset_result(ModuleState* state, const corvela::OffsetChoice& choice,
                             const corvela::SearchArguments& arguments,
                             const corvela::ScanInput&) {
    PyRef result(PyStructSequence_New(state->best_offset));
    if (!result) {
        return nullptr;
    }
    // Made one at a time, each given to the result at once: a failure releases what was made.
    for (Py_ssize_t n = 0; n < 8; ++n) {
        PyObject* item = result_item(state, choice, arguments, n);
        if (item == nullptr) {
            return nullptr;
        }
        PyStructSequence_SetItem(result.get(), n, item);
    }
    return result.release();
}

// Reads the arguments of best_offset or best_segments (`signature`): base and other as coverage()
// reads them, then the rest through read_rest(bound). Each argument is held while any is
// read, and released on every path, as read_coverage() does.
template <class ReadRest>
int read_search_call(ModuleState* state, const corvela::Signature& signature,
                     PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                     corvela::ScanInput& input, ReadRest&& read_rest) {
    PyObject* bound[kMostParameters] = {};
    if (corvela::bind_arguments(signature, args, nargsf, kwnames, bound) < 0) {
        return -1;
    }
    PyRef held[kMostParameters];
    for (Py_ssize_t n = 0; n < signature.count; ++n) {
        held[n] = PyRef::borrow(bound[n]);
    }
    const char* caller = signature.function;
    if (check_list(bound[0], caller, "base") < 0 || check_list(bound[1], caller, "other") < 0) {
        return -1;
    }
    if (corvela::read_scan_tables(bound[0], bound[1], state->timedelta, caller, true, input) < 0 ||
        read_rest(bound) < 0) {
        return -1;
    }
    return raise_speech_fault(input, caller);
}

// --- best_segments -------------------------------------------------------------------------

int raise_segment_failure(const corvela::SegmentChoice& choice,
                          const corvela::SegmentArguments& arguments) {
    switch (choice.status) {
        case corvela::SegmentChoice::kScaledOutOfRange:
        case corvela::SegmentChoice::kShiftedOutOfRange:
            return raise_out_of_range(choice.status == corvela::SegmentChoice::kShiftedOutOfRange,
                                      choice.bad_bound, choice.bad_value, choice.bad_low,
                                      arguments.lo, arguments.hi, "factor");
        case corvela::SegmentChoice::kTooLarge:
            PyErr_SetString(PyExc_OverflowError,
                            "best_segments(): the overlaps are too large to be summed exactly");
            return -1;
        default:
            PyErr_NoMemory();
            return -1;
    }
}

// The offsets, one timedelta a row in the caller's order.
PyObject* offsets_list(ModuleState* state, const corvela::SegmentChoice& choice, std::size_t n) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) {
        return nullptr;
    }
    for (std::size_t j = 0; j < n; ++j) {
        PyObject* item = new_timedelta(state->timedelta, choice.offsets[j]);
        if (item == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), item);
    }
    return list.release();
}

// The segments, each a tuple (first, last, offset, rows) in start-order positions.
PyObject* segments_list(ModuleState* state, const corvela::SegmentChoice& choice) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(choice.segment_count)));
    if (!list) {
        return nullptr;
    }
    for (std::size_t k = 0; k < choice.segment_count; ++k) {
        const corvela::SegmentRun& run = choice.segments[k];
        PyRef offset(new_timedelta(state->timedelta, run.offset));
        if (!offset) {
            return nullptr;
        }
        PyObject* item = Py_BuildValue("(nnOn)", static_cast<Py_ssize_t>(run.first),
                                       static_cast<Py_ssize_t>(run.last), offset.get(),
                                       static_cast<Py_ssize_t>(run.last - run.first + 1));
        if (item == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
}

PyObject* best_segments_result(ModuleState* state, const corvela::SegmentChoice& choice,
                               const corvela::SegmentArguments&,
                               const corvela::ScanInput& input) {
    const auto n = static_cast<std::size_t>(input.other_len);
    PyRef result(PyStructSequence_New(state->best_segments));
    if (!result) {
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < 4; ++k) {
        PyObject* item = k == 0   ? offsets_list(state, choice, n)
                         : k == 1 ? segments_list(state, choice)
                         : k == 2 ? PyFloat_FromDouble(choice.score)
                                  : PyFloat_FromDouble(choice.coverage);
        if (item == nullptr) {
            return nullptr;
        }
        PyStructSequence_SetItem(result.get(), k, item);
    }
    return result.release();
}

// --- the two searches ------------------------------------------------------------------------

// The search of best_offset over native tables; runs without the interpreter lock.
void run_best_offset(const corvela::ScanInput& input, const corvela::SearchArguments& arguments,
                     corvela::OffsetChoice* choice, corvela::StopCheck* check) {
    const corvela::OffsetSearch search{input.tables(),
                                       arguments.factors.data(),
                                       static_cast<std::size_t>(arguments.factor_count),
                                       arguments.lo,
                                       arguments.hi,
                                       arguments.separation,
                                       arguments.factor_evidence,
                                       false};
    corvela::search_best_offset(search, choice, check);
}

// The search of best_segments over native tables; runs without the interpreter lock.
void run_best_segments(const corvela::ScanInput& input,
                       const corvela::SegmentArguments& arguments,
                       corvela::SegmentChoice* choice, corvela::StopCheck* check) {
    const corvela::SegmentSearch search{input.tables(), arguments.factor, arguments.lo,
                                        arguments.hi, arguments.penalty};
    corvela::search_segments(search, choice, check);
}

// What best_offset and best_segments each add to the one way both are called (search_call):
// how the arguments after base and other are read, the search, its errors and its result.
template <class Arguments, class Choice>
struct SearchCall {
    using ArgumentType = Arguments;
    using ChoiceType = Choice;
    const corvela::Signature& signature;
    int (*read)(PyObject* const* rest, PyTypeObject*, Arguments&);  // rest: after base, other
    void (*run)(const corvela::ScanInput&, const Arguments&, Choice*, corvela::StopCheck*);
    int (*raise_failure)(const Choice&, const Arguments&);
    PyObject* (*result)(ModuleState*, const Choice&, const Arguments&, const corvela::ScanInput&);
};

const SearchCall<corvela::SearchArguments, corvela::OffsetChoice> kBestOffsetCall{
    kBestOffset, corvela::read_search_arguments, run_best_offset, raise_search_failure,
    best_offset_result};
const SearchCall<corvela::SegmentArguments, corvela::SegmentChoice> kBestSegmentsCall{
    kBestSegments, corvela::read_segment_arguments, run_best_segments, raise_segment_failure,
    best_segments_result};

// best_offset() and best_segments(): the arguments read and held, the search run without the
// interpreter lock (searched()), the result made.
template <const auto& call>
PyObject* search_call(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) {
    using Call = std::remove_reference_t<decltype(call)>;
    ModuleState* state = state_of(module);
    corvela::ScanInput input;
    typename Call::ArgumentType arguments;
    const auto read_rest = [state, &arguments](PyObject* const* bound) {
        return call.read(bound + 2, state->timedelta, arguments);
    };
    if (read_search_call(state, call.signature, args, nargsf, kwnames, input, read_rest) < 0) {
        return nullptr;
    }
    typename Call::ChoiceType choice;
    const auto run = [&](corvela::StopCheck* check) { call.run(input, arguments, &choice, check); };
    if (!searched(choice, run, [&] { call.raise_failure(choice, arguments); })) {
        return nullptr;
    }
    return call.result(state, choice, arguments, input);
}

// A fastcall-with-keywords function as the method table stores it.
PyCFunction as_method(PyObject* (*function)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

PyMethodDef module_methods[] = {
    {"coverage", as_method(coverage),
     METH_FASTCALL | METH_KEYWORDS,
     "coverage($module, /, base, other, offsets)\n--\n\n"
     "Coverage of the speech by the subtitles shifted by each offset.\n\n"
     "Element k equals match(base, [[s + offsets[k], e + offsets[k]] for s, e in other]),\n"
     "bit for bit, but each list is converted once and the offsets are computed without\n"
     "the interpreter lock.\n\n"
     "base: exactly a list of rows [start, end] of numbers, in seconds.\n"
     "other: exactly a list of rows [start, end] of datetime.timedelta (a subclass that\n"
     "    overrides __add__, __radd__ or total_seconds is refused).\n"
     "offsets: any sequence of datetime.timedelta with a length (the same rule for\n"
     "    subclasses), read item by item.\n\n"
     "Raises TypeError for arguments, rows or bounds of the wrong type, IndexError for a\n"
     "row with fewer than two items, ValueError when base or other is empty, OverflowError\n"
     "when a shifted bound leaves timedelta's range, and RuntimeError when code run by a\n"
     "conversion changes the size of base or other, or offsets gives more or fewer items than\n"
     "its length. In the main thread, Ctrl-C stops the computation with KeyboardInterrupt."},
    {"best_offset", as_method(search_call<kBestOffsetCall>),
     METH_FASTCALL | METH_KEYWORDS,
     // No text signature: its default for separation is a call, which inspect cannot read.
     "best_offset(base, other, lo, hi, *, factors=(1.0,), separation=timedelta(seconds=1),\n"
     "            factor_evidence=False)\n\n"
     "The offset in [lo, hi], to the microsecond, at which the subtitles cover the most speech.\n\n"
     "For each factor f, every subtitle bound b becomes b * f (as timedelta * f rounds it)\n"
     "and every whole-microsecond offset t with lo <= t <= hi is weighed, without sampling:\n"
     "the overlap of a pair of rows is piecewise linear in t, so the curve of the summed\n"
     "overlap is built exactly from the breakpoints of the pairs that meet in the range.\n\n"
     "Exact: coverage and runner_up_coverage are, bit for bit,\n"
     "match(base, [[s * factor + t, e * factor + t] for s, e in other]) at their offsets.\n"
     "Within a tolerance: the curve maximised is that sum of overlaps with match's own tests\n"
     "of which pairs meet and the amounts in exact arithmetic; two values count as equal when\n"
     "they differ by at most 1e-9 s of overlap plus 1e-12 of the maximum's magnitude (in\n"
     "coverage: 1e-9 s over the speech total, plus 1e-12 of the maximum).\n\n"
     "Returns a BestOffset: the factor with the highest maximum (maxima within the tolerance\n"
     "go to the factor nearest 1, then to the first); plateau_start and plateau_end, the first\n"
     "run of consecutive offsets within the tolerance of that factor's maximum; offset, its\n"
     "middle, (plateau_start + plateau_end) / 2 rounded as timedelta division rounds (to the\n"
     "nearest microsecond, ties to even); coverage at offset; runner_up_offset, the first of\n"
     "the best offsets at most plateau_start - separation or at least plateau_end +\n"
     "separation, and runner_up_coverage there, both None when no offset in range is that\n"
     "far from the plateau.\n\n"
     "factor_evidence=True asks for evidence before a change of frame rate: a factor other\n"
     "than the one nearest 1 (the first of those), r, wins only when its maximum exceeds r's\n"
     "by more than chance_gain, what a shift gains by chance on this material. That is how\n"
     "far r's curve W rises above its mean mu over [lo, hi] once it has left its peak:\n"
     "max W(t) over the offsets t at or before the last offset below the plateau with\n"
     "W(t) <= mu, and at or after the first above it, less mu (0 when W never comes down\n"
     "to mu on either side: a curve flat within the tolerance, or a range that is all\n"
     "plateau, where a shift has nothing to gain). Any factor's own shift finds such chance\n"
     "overlap too, so a gain within it is no evidence of another frame rate. chance_gain, in\n"
     "seconds of overlap, is then an attribute of the result (not one of its seven items);\n"
     "None without factor_evidence.\n\n"
     "base and other are read as coverage() reads them; the speech bounds must be finite and\n"
     "their total finite and above zero (ValueError naming the row, or base). lo and hi are\n"
     "timedelta with lo <= hi; factors a non-empty sequence, read as coverage() reads offsets,\n"
     "of floats or ints up to 2**53, above zero and finite (TypeError for what timedelta * f\n"
     "would scale otherwise: other types, a float subclass overriding as_integer_ratio, an int\n"
     "subclass overriding __mul__ or __rmul__, and in other a timedelta subclass overriding\n"
     "them); separation a timedelta >= 0; factor_evidence a bool. OverflowError when a scaled or shifted bound leaves\n"
     "timedelta's range. The curves are built without the interpreter lock; in the main\n"
     "thread, Ctrl-C stops them with KeyboardInterrupt."},
    {"best_segments",
     as_method(search_call<kBestSegmentsCall>),
     METH_FASTCALL | METH_KEYWORDS,
     "best_segments($module, /, base, other, lo, hi, split_penalty, *, factor=1.0)\n--\n\n"
     "The best offset in [lo, hi] for each subtitle row, to the microsecond, when the offset\n"
     "may change along the film at a price of split_penalty seconds for every change.\n\n"
     "Every subtitle bound b becomes b * factor (as timedelta * factor rounds it) and the rows\n"
     "are taken in start order (equal starts in the caller's order). Each row gets an offset,\n"
     "a whole number of microseconds in [lo, hi], such that no row starts before the one\n"
     "before it once both are shifted. The score of such an assignment is the summed overlap\n"
     "of every shifted row with the speech, weighed as best_offset() weighs it (match's tests\n"
     "of which pairs meet, the amounts in exact arithmetic), less split_penalty for every two\n"
     "neighbours in start order whose offsets differ. Without sampling: the overlap of a row\n"
     "is piecewise linear in its offset, so is the best score up to a row, and both are held\n"
     "exactly (in whole units of 2**-40 microseconds, to which the speech bounds and the\n"
     "penalty are truncated).\n\n"
     "Exact: score is the highest score over every assignment, in seconds (rounded once to\n"
     "microseconds, then to seconds); coverage is, bit for bit,\n"
     "match(base, [[s * factor + offsets[i], e * factor + offsets[i]] for i, (s, e) in\n"
     "enumerate(other)]).\n"
     "Ties: among assignments with the highest score exactly, the fewest changes, then the\n"
     "earliest changes in start order (each to the lowest offset that keeps the score). Then\n"
     "each segment, in start order, moves to the middle (rounded as timedelta division\n"
     "rounds) of the run of offsets around its own that keep the score within best_offset's\n"
     "tolerance of the highest (1e-9 s of overlap plus 1e-12 of the score's magnitude) while\n"
     "the other segments stay and the order holds; the run stops short of a neighbour's offset.\n\n"
     "Returns a BestSegments: offsets, one timedelta per row of other in the caller's order;\n"
     "segments, the runs of equal offsets in start order, each a tuple (first, last, offset,\n"
     "rows) of start-order positions (from 0), the offset and the row count; score; coverage.\n\n"
     "base, other, lo and hi are read and refused as best_offset() reads and refuses them;\n"
     "split_penalty is a float or an int, 0 or more (ValueError for a negative one or NaN;\n"
     "infinity never splits); factor one factor as best_offset() takes them. OverflowError\n"
     "when a scaled or shifted bound leaves timedelta's range, or the overlaps are too large\n"
     "to sum exactly. The search runs without the interpreter lock; in the main thread,\n"
     "Ctrl-C stops it with KeyboardInterrupt."},
    {nullptr, nullptr, 0, nullptr},
};

// --- initialisation ------------------------------------------------------------------------

PyStructSequence_Field kBestOffsetFields[] = {
    {"offset", "the chosen offset (timedelta): the middle of the plateau"},
    {"coverage", "match's coverage at offset, with the winning factor"},
    {"factor", "the winning factor"},
    {"plateau_start", "the first offset of the run within the tolerance of the maximum"},
    {"plateau_end", "the last offset of that run"},
    {"runner_up_offset", "the best offset at least separation away from the plateau, or None"},
    {"runner_up_coverage", "match's coverage at runner_up_offset, or None"},
    // By name only, so that the result still unpacks into the seven above.
    {"chance_gain", "with factor_evidence, seconds of overlap another factor must gain; or None"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kBestOffsetDesc = {
    "corvela.core.scan.BestOffset",
    "The result of best_offset(): the chosen offset and factor, the coverage there, the plateau\n"
    "around the maximum and the best offset away from it.",
    kBestOffsetFields,
    7,
};

PyStructSequence_Field kBestSegmentsFields[] = {
    {"offsets", "the offset of each row of other (timedelta), in the caller's order"},
    {"segments", "the runs of equal offsets in start order: (first, last, offset, rows)"},
    {"score", "the highest score: seconds of overlap less the penalties"},
    {"coverage", "match's coverage of the rows shifted by their offsets"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kBestSegmentsDesc = {
    "corvela.core.scan.BestSegments",
    "The result of best_segments(): each row's offset, the segments of equal offsets, the\n"
    "score and the coverage.",
    kBestSegmentsFields,
    4,
};

// Adds a borrowed object to the module under `name` (PyModule_AddObjectRef is 3.10's).
int add_to_module(PyObject* module, const char* name, PyObject* value) {
    Py_INCREF(value);
    if (PyModule_AddObject(module, name, value) < 0) {
        Py_DECREF(value);
        return -1;
    }
    return 0;
}

// The frame-rate conversions a subtitle file may have been made for: none, PAL speed-up of film
// and NTSC film, film to PAL, and NTSC to 30 fps, each way.
PyObject* frame_rate_factors() {
    const double values[] = {1.0,       25 / 23.976, 23.976 / 25, 25.0 / 24,
                             24.0 / 25, 30 / 29.97,  29.97 / 30};
    PyRef tuple(PyTuple_New(7));
    if (!tuple) {
        return nullptr;
    }
    for (Py_ssize_t n = 0; n < 7; ++n) {
        PyObject* value = PyFloat_FromDouble(values[n]);
        if (value == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple.get(), n, value);
    }
    return tuple.release();
}

// Makes the struct sequence type of `desc`, keeps it in *slot and adds it to the module under
// its name (the part of desc->name after the module's).
int add_result_type(PyObject* module, PyStructSequence_Desc* desc, PyTypeObject** slot) {
    PyTypeObject* type = PyStructSequence_NewType(desc);
    if (type == nullptr) {
        return -1;
    }
    *slot = type;
    const char* dot = std::strrchr(desc->name, '.');
    return add_to_module(module, dot != nullptr ? dot + 1 : desc->name,
                         reinterpret_cast<PyObject*>(type));
}

int module_exec(PyObject* module) {
    PyTypeObject* type = nullptr;
    if (corvela::readable_timedelta_type(&type) < 0) {
        return -1;
    }
    // The fields are read with this build's struct layout.
    if (type == nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "corvela.core.scan needs the C datetime module it was built against");
        return -1;
    }
    Py_INCREF(type);
    state_of(module)->timedelta = type;
    if (add_result_type(module, &kBestOffsetDesc, &state_of(module)->best_offset) < 0 ||
        add_result_type(module, &kBestSegmentsDesc, &state_of(module)->best_segments) < 0) {
        return -1;
    }
    PyRef factors(frame_rate_factors());
    return factors ? add_to_module(module, "FRAME_RATE_FACTORS", factors.get()) : -1;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    return each_reference(module, [visit, arg](PyTypeObject** slot) {
        Py_VISIT(*slot);
        return 0;
    });
}

int module_clear(PyObject* module) {
    return each_reference(module, [](PyTypeObject** slot) {
        Py_CLEAR(*slot);
        return 0;
    });
}

void module_free(void* module) {
    module_clear(static_cast<PyObject*>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "corvela.core.scan",
    "Speech coverage by subtitles under many candidate offsets.",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

PyMODINIT_FUNC PyInit_scan(void) {
    return PyModuleDef_Init(&module_def);
}
