// A scratch buffer for one call: on the stack when small, else from the
// allocator, freed when it goes out of scope. It can grow, keeping what it
// holds, for outputs whose size is known only as they are written.
#pragma once

#include "common/backports.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cm {

class Scratch {
public:
    explicit Scratch(size_t size)
        : data_(size <= sizeof small_ ? small_ : static_cast<uint8_t*>(PyMem_RawMalloc(size))),
          capacity_(!data_ ? 0 : size <= sizeof small_ ? sizeof small_ : size) {}
    ~Scratch() {
        if (data_ != small_)
            PyMem_RawFree(data_);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    uint8_t* data() { return data_; }
    size_t capacity() const { return capacity_; }
    explicit operator bool() const { return data_ != nullptr; }

    // Room for `size` bytes, the first `keep` of them carried over; false,
    // with the buffer as it was, when the allocator refuses.
    bool grow(size_t size, size_t keep) {
        if (size <= capacity_)
            return true;
        uint8_t* data = static_cast<uint8_t*>(PyMem_RawMalloc(size));
        if (!data)
            return false;
        if (keep)
            std::memcpy(data, data_, keep);
        if (data_ != small_)
            PyMem_RawFree(data_);
        data_ = data;
        capacity_ = size;
        return true;
    }

private:
    uint8_t small_[512];
    uint8_t* data_;
    size_t capacity_;
};

inline const uint8_t* bytes_of(PyObject* bytes) { return reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes)); }
inline uint8_t* bytes_of_new(PyObject* bytes) { return reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes)); }

}  // namespace cm
