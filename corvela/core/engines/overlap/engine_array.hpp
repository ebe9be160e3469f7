// An array of plain values from the raw allocator, released with its owner: the memory of every
// engine, reported as data rather than thrown.
//
// The engines run without the interpreter lock and may be left by an unwind at interpreter exit
// (stop_check.hpp), so their memory is plain malloc memory that the owner frees on every path.
// This header must not reach the interpreter's: the numeric layer builds without Python.
#ifndef CORVELA_CORE_ENGINE_ARRAY_HPP
#define CORVELA_CORE_ENGINE_ARRAY_HPP

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <type_traits>

namespace corvela {

template <class T>
class EngineArray {
    // Values are neither constructed nor destroyed, and malloc's alignment must do for them.
    static_assert(std::is_trivial<T>::value, "an engine array holds plain values");
    static_assert(alignof(T) <= alignof(std::max_align_t), "malloc aligns every value");

public:
    EngineArray() noexcept = default;
    EngineArray(const EngineArray&) = delete;
    EngineArray& operator=(const EngineArray&) = delete;
    ~EngineArray() { release(); }

    // Room for `count` values, left uninitialised, in place of those held before (freed first,
    // which keeps the peak low). False, holding nothing, when the memory cannot be had. Storage
    // is made even for no values, so that a successful allocate() always leaves data() set: the
    // engines read a null array as "not needed".
    bool allocate(std::size_t count) noexcept {
        release();
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
            return false;
        }
        data_ = static_cast<T*>(std::malloc((count > 0 ? count : 1) * sizeof(T)));
        if (data_ == nullptr) {
            return false;
        }
        size_ = count;
        return true;
    }

    // Room for `count` values, the first min(count, size()) of those held kept, the rest left
    // uninitialised: for a list whose length is found as it is filled. False, the array as it
    // was, when the memory cannot be had.
    bool resize(std::size_t count) noexcept {
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
            return false;
        }
        void* moved = std::realloc(data_, (count > 0 ? count : 1) * sizeof(T));
        if (moved == nullptr) {
            return false;
        }
        data_ = static_cast<T*>(moved);
        size_ = count;
        return true;
    }

    // An engine holds a few arrays it may not need: those cost no call to free.
    void release() noexcept {
        if (data_ != nullptr) {
            std::free(data_);
            data_ = nullptr;
            size_ = 0;
        }
    }

    T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace corvela

#endif
