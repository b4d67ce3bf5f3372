// Constant strings and keyword-name tuples. Each operation declares the ones
// it needs as file-level objects; the module makes all of them once, when it
// is executed, and keeps them for the life of the process.
#pragma once

#include "common/compat.h"

#include <initializer_list>

namespace cm {

// An interned str made once from a C string.
class Name {
public:
    explicit Name(const char* text);
    PyObject* get() const { return obj_; }  // borrowed, lives for the process
    const char* text() const { return text_; }

    // Makes every Name and KwNames not made yet; 0, or -1 with an exception.
    static int make_all();

private:
    const char* text_;
    PyObject* obj_ = nullptr;
    Name* next_;
    static Name* head_;
};

// The tuple of keyword names that a vectorcall passes, such as ("encoding",).
class KwNames {
public:
    KwNames(std::initializer_list<const char*> names);
    PyObject* get() const { return obj_; }  // borrowed, lives for the process
    Py_ssize_t size() const { return size_; }

private:
    friend class Name;
    const char* names_[4];
    Py_ssize_t size_;
    PyObject* obj_ = nullptr;
    KwNames* next_;
    static KwNames* head_;
};

}  // namespace cm
