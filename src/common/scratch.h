// A scratch buffer for one call: on the stack when small, else from the
// allocator, freed when it goes out of scope.
#pragma once

#include "common/backports.h"

#include <cstddef>
#include <cstdint>

namespace cm {

class Scratch {
public:
    explicit Scratch(size_t size)
        : data_(size <= sizeof small_ ? small_ : static_cast<uint8_t*>(PyMem_RawMalloc(size))) {}
    ~Scratch() {
        if (data_ != small_)
            PyMem_RawFree(data_);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    uint8_t* data() { return data_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    uint8_t small_[512];
    uint8_t* data_;
};

inline const uint8_t* bytes_of(PyObject* bytes) { return reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes)); }
inline uint8_t* bytes_of_new(PyObject* bytes) { return reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes)); }

}  // namespace cm
