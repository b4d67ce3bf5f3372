// An owning reference: it releases what it holds when it goes out of scope.
// Borrowed pointers stay plain PyObject*; nothing else in the module calls
// Py_DECREF by hand.
//
// Error convention, everywhere in the module: a function that makes an
// object returns a Ref that is empty (or a PyObject* that is null) with a
// Python exception set; a function that only succeeds or fails returns an
// int, -1 with an exception set.
#pragma once

#include "common/compat.h"

#include <utility>

namespace cm {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (or null, meaning an exception is set).
    explicit Ref(PyObject* owned) : p_(owned) {}
    static Ref borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller (a C API function that steals, or
    // the interpreter as a call's result).
    PyObject* release() { return std::exchange(p_, nullptr); }

private:
    PyObject* p_ = nullptr;
};

}  // namespace cm
