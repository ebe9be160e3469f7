// An array of plain values from the interpreter's raw allocator, released with its owner.
//
// The raw allocator, not PyMem_Malloc: the arrays live in frames that run without the interpreter
// lock, and a thread ended at interpreter exit unwinds those frames without it.
#ifndef CORVELA_CORE_NATIVE_ARRAY_HPP
#define CORVELA_CORE_NATIVE_ARRAY_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace corvela {

template <class T>
class NativeArray {
public:
    NativeArray() noexcept = default;
    NativeArray(const NativeArray&) = delete;
    NativeArray& operator=(const NativeArray&) = delete;
    ~NativeArray() { PyMem_RawFree(data_); }

    // Room for `count` values, left uninitialised; -1 with MemoryError set on failure (setting
    // it needs the interpreter lock).
    int create(std::size_t count) {
        if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) {
            PyErr_NoMemory();
            return -1;
        }
        // One value at least, so that an empty array still has storage of its own.
        void* block = PyMem_RawMalloc((count > 0 ? count : 1) * sizeof(T));
        if (block == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        PyMem_RawFree(data_);
        data_ = static_cast<T*>(block);
        return 0;
    }

    T* data() const noexcept { return data_; }

private:
    T* data_ = nullptr;
};

}  // namespace corvela

#endif
