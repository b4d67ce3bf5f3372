// Constant strings the module passes to the interpreter: the class Name, and
// the names that the module frame and the text steps use. Each operation
// declares the library attributes and texts it uses in its own header. The
// module makes every Name when it first executes and keeps it for the life
// of the process.
#pragma once

#include "common/ref.h"

#include <cstddef>

namespace cm {

// An interned str made once from a C string.
class Name {
public:
    explicit Name(const char* text);
    PyObject* get() const { return obj_; }  // kept for the process
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
    static constexpr Py_ssize_t kMaxNames = 4;

    template <size_t N>
    explicit KwNames(const char* const (&names)[N]) : KwNames(names, (Py_ssize_t)N) {
        static_assert(N >= 1 && N <= kMaxNames, "a call passes 1 to kMaxNames keyword names");
    }
    PyObject* get() const { return obj_; }  // kept for the process
    Py_ssize_t size() const { return size_; }

private:
    KwNames(const char* const* names, Py_ssize_t size);

    friend class Name;
    const char* names_[kMaxNames];
    Py_ssize_t size_;
    PyObject* obj_ = nullptr;
    KwNames* next_;
    static KwNames* head_;
};

namespace names {

// The module globals, in the order the module binds them.
inline Name base64("base64"), hashlib("hashlib"), hmac("hmac"), time("time"), a2b_hex("a2b_hex"), b2a_hex("b2a_hex"),
    jwt("jwt"), rsa("rsa"), AES("AES"), DES("DES"), pad("pad"), unpad("unpad");

// Methods of texts, and the texts that the text steps pass.
inline Name encode("encode"), decode("decode"), utf_8("utf-8"), gbk("gbk"), newline("\n"), empty("");

// The module and its class.
inline Name crypt_main("crypt_main"), TarvikCryptMain("TarvikCryptMain"), staticmethod("staticmethod"),
    dunder_builtins("__builtins__"), dunder_module("__module__"), dunder_qualname("__qualname__"),
    dunder_loader("__loader__"), dunder_file("__file__"), dunder_package("__package__"), dunder_path("__path__"),
    name("name"), loader("loader"), origin("origin"), parent("parent"),
    submodule_search_locations("submodule_search_locations"), co_consts("co_consts");

// Keyword names of calls.
inline KwNames kw_encoding({"encoding"});

}  // namespace names

}  // namespace cm
