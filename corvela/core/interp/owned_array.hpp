// An array of plain values owned by one object and released with it, from one of the
// interpreter's two allocators.
//
// match's tables come from the object allocator, as they always have. The offset scan's come
// from the raw allocator: they live in frames that run without the interpreter lock, and a
// thread ended at interpreter exit unwinds those frames without it.
#ifndef CORVELA_CORE_OWNED_ARRAY_HPP
#define CORVELA_CORE_OWNED_ARRAY_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace corvela {

struct ObjectMemory {
    static void* allocate(std::size_t bytes) { return PyMem_Malloc(bytes); }
    static void release(void* block) { PyMem_Free(block); }
};

struct RawMemory {
    static void* allocate(std::size_t bytes) { return PyMem_RawMalloc(bytes); }
    static void release(void* block) { PyMem_RawFree(block); }
};

template <class T, class Memory>
class OwnedArray {
public:
    OwnedArray() noexcept = default;
    OwnedArray(const OwnedArray&) = delete;
    OwnedArray& operator=(const OwnedArray&) = delete;
    ~OwnedArray() { Memory::release(data_); }

    // Room for `count` values, left uninitialised; false, with nothing set, when the count is too
    // large or the allocator has none. One value at least, so that an empty array still has
    // storage of its own.
    bool allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) {
            return false;
        }
        void* block = Memory::allocate((count > 0 ? count : 1) * sizeof(T));
        if (block == nullptr) {
            return false;
        }
        Memory::release(data_);
        data_ = static_cast<T*>(block);
        return true;
    }

    // allocate(), with MemoryError set on failure (setting it needs the interpreter lock).
    int create(std::size_t count) {
        if (!allocate(count)) {
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }

    T* data() const noexcept { return data_; }

private:
    T* data_ = nullptr;
};

// The offset scan's arrays.
template <class T>
using NativeArray = OwnedArray<T, RawMemory>;

}  // namespace corvela

#endif
