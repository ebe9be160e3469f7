// An array of plain values in interpreter-allocated storage, released with its owner.
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
    ~NativeArray() { PyMem_Free(data_); }

    // Room for `count` values, left uninitialised; -1 with MemoryError set on failure. Needs the
    // interpreter lock, like every PyMem call; the values may be used without it.
    int create(std::size_t count) {
        if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) {
            PyErr_NoMemory();
            return -1;
        }
        // One value at least, so that an empty array still has storage of its own.
        void* block = PyMem_Malloc((count > 0 ? count : 1) * sizeof(T));
        if (block == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        PyMem_Free(data_);
        data_ = static_cast<T*>(block);
        return 0;
    }

    T* data() const noexcept { return data_; }

private:
    T* data_ = nullptr;
};

}  // namespace corvela

#endif
