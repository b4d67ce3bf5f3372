// What the guard layer's steps do not express, for the token paths: the
// library's objects (instances, bound methods, option dicts and their
// values), constants, static methods, what classes inherit, the
// interpreter's static types, json's default decoder, and the version.
// Each entry is a path from a module in sys.modules
// ("module:attribute.attribute"), read as Python reads it: a module's or an
// instance's attribute from its dict, a class's through the class, a dict's
// item by its key. An entry's owner (the path without its last step) is an
// entry listed before it.
#pragma once

#include "common/ref.h"
#include "tokens/token_guards.h"

#include <cstddef>

namespace cm {
namespace token_guards {

enum class Must : unsigned char {
    Module,     // the module named `a`
    Function,   // a Python function of module `a` named `b`: its code and defaults stay as first seen
    Object,     // a class or a builtin whose __module__ is `a` and __qualname__ `b`
    Builtin,    // a built-in function of one of the modules "a|..." named one of "b|..."
    Instance,   // an instance of the class `b` of module `a` whose own attributes are some of
                // `own`, none added, removed or reordered since
    Decoder,    // an Instance that is JSONDecoder() as json makes its default, its compiled
                // scanner of the class at path `scanner` below
    Of,         // an instance of exactly the class at path `a`
    BoundTo,    // a bound method: of the object at path `a`, of the function at path `b`
    SameAs,     // the object at path `a`
    Value,      // whatever it is, unchanged (library constants and helpers)
    True,       // an option that is on
    False,      // an option that is off
    EmptyList,  // a list that is empty
    Text,       // a str equal to `a`
    Version,    // a str equal to one of "a|...", the releases whose behaviour was compared
};

// Who reads an entry at each call: issuing, verifying; an entry of neither
// is only looked at once, as the owner or the peer of others.
constexpr unsigned char Once = 0, E = Issue, D = Verify, ED = Issue | Verify;

struct Watched {
    const char* path;
    Must must;
    unsigned char use;
    bool optional;  // present in some releases only; absent, it is skipped
    const char* a;
    const char* b;
    const char* own;  // Instance, Decoder: "name|name|..."
};

// The path of the class of json's compiled scanner, which Must::Decoder reads.
constexpr const char kScannerPath[] = "json.scanner:c_make_scanner";

// The objects of a table of entries: found, and checked the library's own,
// at the first call; compared at each call after.
class Objects {
public:
    static constexpr size_t kMaxEntries = 128;
    enum class Owner : unsigned char { None, Dict, Type, Instance };

    template <size_t N>
    constexpr explicit Objects(const Watched (&entries)[N]) : entries_(entries), count_((int)N) {
        static_assert(N <= kMaxEntries, "a table holds at most kMaxEntries entries");
    }

    // Whether every entry of `use` is the library's own, as found. No
    // exception is left set.
    bool hold(unsigned char use);

    // Whether entry `i` is the library's own, as found: a check of one
    // entry, where a few objects are needed before the whole is checked.
    bool holds_entry(int i);

    // What entry `i` holds, while hold() or holds_entry(i) is true.
    PyObject* value(int i) const { return found_[i].value; }

private:
    struct Found {
        PyObject* owner = nullptr;  // the value of the entry before
        Owner kind = Owner::None;   // how a step from it is read
        PyObject* dict = nullptr;   // a module's dict (fixed for its life) or the owner itself, for Owner::Dict
        PyObject* name = nullptr;   // interned; null for a module
        PyObject* value = nullptr;  // null for an optional entry that is absent
        PyObject* code = nullptr;   // a function's, held so that a new one cannot take its address
        PyObject* defaults = nullptr;
        PyObject* kwdefaults = nullptr;
        PyObject* keys = nullptr;  // an instance's own attribute names, in order (a tuple)
    };

    int index_of(const char* path) const;
    bool is_the_librarys(const Watched& w, PyObject* value) const;
    bool made_by_json(PyObject* decoder) const;
    void forget();
    bool record();
    bool recorded();
    bool unchanged(unsigned char use) const;

    const Watched* entries_;
    int count_;
    Found found_[kMaxEntries] = {};
    int recorded_ = 0;  // 1 found, -1 not, 0 not looked for
    unsigned retry_ = 0;
};

}  // namespace token_guards
}  // namespace cm
