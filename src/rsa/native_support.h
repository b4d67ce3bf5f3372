// What the native RSA paths share: numbers between Python ints and words,
// the operating system's random bytes, tables of the library objects a path
// stands in for, and the verified-once state of a path's branches.
#pragma once

#include "common/body.h"
#include "rsa/montgomery.h"

#include <cstddef>
#include <cstdint>

namespace cm {
namespace rsa_native {

using mont::kMaxWords;
using mont::u64;

// A non-negative number of at most kMaxWords words, and how many of them
// it needs (0 for zero).
struct Number {
    u64 w[kMaxWords] = {};
    int words = 0;
    int bits() const;
};

// An exact int from 0 to 2^(64 kMaxWords) - 1; false (no exception)
// for anything else.
bool number_of(PyObject* x, Number& out);
// The int of `words` words.
Ref int_of(const u64* w, int words);

// Random bytes from the operating system's CSPRNG (getrandom(2), as
// os.urandom reads it); false when it gives none. Needs no GIL.
bool random_bytes(uint8_t* out, size_t size);

// Random bytes drawn in batches, for a search that needs many small draws.
class RandomPool {
public:
    // false when the operating system gives no bytes
    bool take(uint8_t* out, size_t size);

private:
    uint8_t buffer_[512];
    size_t left_ = 0;
};

// ---- guards

// What a guarded name must be.
enum class Expect : unsigned char {
    Module,    // the module `what`, as sys.modules had it
    Function,  // the library's function "module:qualname", its code and defaults unchanged
    Class,     // the library's class "module:qualname"
    Builtin,   // a builtin function or type named `what`, read as a global: from the
               // module's dict, or from the builtins when the dict has no such name
};

// One name that a path's generic counterpart reads: the attribute `name` of
// `where`, a module of sys.modules ("rsa.pkcs1"), a class of one
// ("rsa.key:PrivateKey", looked up as the class gives it), or "" for the
// module's own namespace.
struct Guard {
    const char* where;
    const char* name;
    Expect expect;
    const char* what;
};

// A table of guards, recorded at the first call that asks (and again until
// the library's own objects are found), checked at every call.
class GuardTable {
public:
    GuardTable(const Guard* rows, size_t count) : rows_(rows), count_(count) {}
    bool hold(const Call& c);
    // The object row i was recorded with (after hold() said yes).
    PyObject* value(size_t i) const { return seen_[i].value; }

private:
    bool record(const Call& c);

    struct Seen {
        PyObject* name = nullptr;       // interned
        PyObject* container = nullptr;  // module dict or class
        PyObject* value = nullptr;
        PyObject* code = nullptr;
        PyObject* defaults = nullptr;
        PyObject* kwdefaults = nullptr;
        bool in_builtins = false;
    };
    static constexpr size_t kMaxRows = 64;
    const Guard* rows_;
    size_t count_;
    Seen seen_[kMaxRows];  // kept for the process once recorded
    bool recorded_ = false;
};

// A path's branches, each verified once: its first result is checked (by
// the path's own test), and only then is it trusted.
struct Branches {
    enum State : unsigned char { Unverified, Enabled, Disabled };
    State state[4] = {};
};

// rsa.__version__ is one whose steps the native paths follow.
bool known_version(const Call& c);

}  // namespace rsa_native
}  // namespace cm
