// Rows in start order, the one sort of every engine that takes a table by start: the index and
// the sweep over doubles, the offset engines over exact microsecond counts.
//
// The order sorts by (start, row number): ties keep row order (-0.0 and +0.0 tie), and rows
// whose start is NaN come last, in row order. Row numbers are unique, so the order is total and
// every sort gives the same one: a stable sort and this unstable one agree.
#ifndef CORVELA_CORE_START_ORDER_HPP
#define CORVELA_CORE_START_ORDER_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "engine_array.hpp"
#include "nan_and_infinity.hpp"

namespace corvela {

// A row's start and its number.
template <class Start>
struct StartKey {
    Start start;
    std::uint32_t row;
};

// Puts `keys`, none of whose starts is NaN, in start order.
template <class Start>
void sort_by_start(StartKey<Start>* keys, std::size_t count) noexcept {
    std::sort(keys, keys + count, [](const StartKey<Start>& a, const StartKey<Start>& b) {
        return a.start < b.start || (!(b.start < a.start) && a.row < b.row);
    });
}

// The row numbers of sorted keys, in their order.
template <class Start>
void rows_of(const StartKey<Start>* keys, std::size_t count, std::uint32_t* rows) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        rows[i] = keys[i].row;
    }
}

// order[0, kept) = the rows of a table (row r at bounds[2r], bounds[2r + 1]) whose bounds are
// both numbers, which every engine of match keeps, in start order; returns kept. `keys` needs
// room for them.
template <class Start>
std::size_t kept_rows_in_start_order(const Start* bounds, std::size_t rows, StartKey<Start>* keys,
                                     std::uint32_t* order) noexcept {
    std::size_t kept = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        const Start start = bounds[2 * r];
        if (!is_nan(start) && !is_nan(bounds[2 * r + 1])) {
            keys[kept].start = start;
            keys[kept].row = static_cast<std::uint32_t>(r);
            ++kept;
        }
    }
    sort_by_start(keys, kept);
    rows_of(keys, kept, order);
    return kept;
}

// order[0, rows) = every row of a table (start of row r at bounds[2r]) in start order. False when
// the keys' memory cannot be had. Rows must be numbered in 32 bits (rows <= UINT32_MAX).
template <class Start>
bool start_order(const Start* bounds, std::size_t rows, std::uint32_t* order) noexcept {
    EngineArray<StartKey<Start>> keys;
    if (!keys.allocate(rows)) {
        return false;
    }
    // Numbers fill the keys from the front, NaN starts from the back (so in reverse row order),
    // which spares the sort's comparison a test for NaN. For exact counts the back stays empty.
    std::size_t numbers = 0;
    std::size_t back = rows;
    for (std::size_t r = 0; r < rows; ++r) {
        const Start start = bounds[2 * r];
        StartKey<Start>& key = is_nan(start) ? keys[--back] : keys[numbers++];
        key.start = start;
        key.row = static_cast<std::uint32_t>(r);
    }
    sort_by_start(keys.data(), numbers);
    std::reverse(keys.data() + numbers, keys.data() + rows);
    rows_of(keys.data(), rows, order);
    return true;
}

}  // namespace corvela

#endif
