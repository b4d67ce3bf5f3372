// Who owns a reference, carried in the type:
//   Ref       owns one reference and releases it when it goes out of scope;
//   Borrowed  is a pointer that somebody else keeps alive for as long as it
//             is used (an argument of the call, an item of a tuple we hold).
// This header is the only place that counts references by hand.
//
// Error convention, everywhere in the module: a function that makes an
// object returns a Ref that is empty with a Python exception set; a function
// that only succeeds or fails returns an int, -1 with an exception set.
#pragma once

#include "common/backports.h"

#include <utility>

namespace cm {

class Borrowed {
public:
    constexpr Borrowed() = default;
    constexpr Borrowed(PyObject* p) : p_(p) {}  // NOLINT: marks a pointer as borrowed
    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    bool operator==(Borrowed other) const { return p_ == other.p_; }
    bool operator!=(Borrowed other) const { return p_ != other.p_; }

private:
    PyObject* p_ = nullptr;
};

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (or null, meaning an exception is set).
    explicit Ref(PyObject* owned) : p_(owned) {}
    // A reference of our own to an object that somebody else holds.
    static Ref hold(Borrowed b) { return Ref(Py_XNewRef(b.get())); }

    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    Borrowed borrowed() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller (a C API function that steals, or
    // the interpreter as a call's result).
    PyObject* release() { return std::exchange(p_, nullptr); }

private:
    PyObject* p_ = nullptr;
};

// A reference kept for the life of the process (interned names, the
// module's own state): made once, never released.
inline PyObject* keep(Ref r) { return r.release(); }

}  // namespace cm
