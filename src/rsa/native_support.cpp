#include "rsa/native_support.h"

#include "common/call.h"

#include <cerrno>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

namespace cm {
namespace rsa_native {

int Number::bits() const { return words ? 64 * (words - 1) + 64 - __builtin_clzll(w[words - 1]) : 0; }

namespace {
int hex_value(Py_UCS4 ch) {
    if (ch >= '0' && ch <= '9')
        return (int)(ch - '0');
    if (ch >= 'a' && ch <= 'f')
        return (int)(ch - 'a' + 10);
    return -1;
}
}  // namespace

bool number_of(PyObject* x, Number& out) {
    if (!PyLong_CheckExact(x))
        return false;
    out = Number();
    int overflow;
    long long small = PyLong_AsLongLongAndOverflow(x, &overflow);
    if (overflow == 0) {
        if (small < 0)
            return false;  // negative (or -1 with an error, which an exact int cannot raise)
        out.w[0] = (u64)small;
        out.words = small ? 1 : 0;
        return true;
    }
    if (overflow < 0)
        return false;
    // hex(x): "0x" and the digits, written in linear time by the int itself
    Ref text(PyNumber_ToBase(x, 16));
    if (!text) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
    if (PyUnicode_KIND(text.get()) != PyUnicode_1BYTE_KIND || length < 3)
        return false;
    const Py_UCS1* chars = PyUnicode_1BYTE_DATA(text.get());
    Py_ssize_t digits = length - 2;
    if (digits > 16 * kMaxWords)
        return false;
    for (Py_ssize_t k = 0; k < digits; k++) {
        int v = hex_value(chars[length - 1 - k]);
        if (v < 0)
            return false;
        out.w[k / 16] |= (u64)v << (4 * (k % 16));
    }
    out.words = (int)((digits + 15) / 16);
    while (out.words && !out.w[out.words - 1])
        out.words--;
    return true;
}

Ref int_of(const u64* w, int words) {
    char text[16 * kMaxWords + 1];
    static const char digits[] = "0123456789abcdef";
    int k = 0;
    for (int i = words - 1; i >= 0; i--)
        for (int s = 60; s >= 0; s -= 4)
            text[k++] = digits[(w[i] >> s) & 15];
    if (k == 0)
        text[k++] = '0';
    text[k] = '\0';
    return Ref(PyLong_FromString(text, nullptr, 16));
}

bool random_bytes(uint8_t* out, size_t size) {
    while (size) {
        long got = syscall(SYS_getrandom, out, size, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        out += got;
        size -= (size_t)got;
    }
    return true;
}

bool RandomPool::take(uint8_t* out, size_t size) {
    while (size) {
        if (!left_) {
            if (!random_bytes(buffer_, sizeof buffer_))
                return false;
            left_ = sizeof buffer_;
        }
        size_t n = size < left_ ? size : left_;
        uint8_t* from = buffer_ + sizeof buffer_ - left_;
        std::memcpy(out, from, n);
        std::memset(from, 0, n);  // a byte handed out is not kept
        left_ -= n;
        out += n;
        size -= n;
    }
    return true;
}

// ---- guards

namespace {

// "module:qualname" split at the colon; false when the text has none.
bool split(const char* text, char* module, size_t size, const char** qualname) {
    const char* colon = std::strchr(text, ':');
    if (!colon || (size_t)(colon - text) >= size)
        return false;
    std::memcpy(module, text, (size_t)(colon - text));
    module[colon - text] = '\0';
    *qualname = colon + 1;
    return true;
}

// obj.<attribute> is the str `expected`.
bool text_attr_is(PyObject* obj, const char* attribute, const char* expected) {
    Ref value(PyObject_GetAttrString(obj, attribute));
    if (!value) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(value.get()))
        return false;
    const char* utf8 = PyUnicode_AsUTF8(value.get());
    if (!utf8) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(utf8, expected) == 0;
}

// obj.__name__ is one of the names of `names`, separated by "|".
bool name_among(PyObject* obj, const char* names) {
    char one[64];
    while (*names) {
        size_t length = std::strcspn(names, "|");
        if (length >= sizeof one)
            return false;
        std::memcpy(one, names, length);
        one[length] = '\0';
        if (text_attr_is(obj, "__name__", one))
            return true;
        names += length + (names[length] == '|');
    }
    return false;
}

// The module `name` of sys.modules, imported by the library already.
Ref module_named(const char* name) {
    Ref text(PyUnicode_FromString(name));
    if (!text)
        return {};
    Ref module(PyImport_GetModule(text.get()));
    if (!module && !PyErr_Occurred())
        PyErr_SetString(PyExc_KeyError, name);
    return module;
}

// The class "module:qualname" (one level of nesting is all the tables use).
Ref class_named(const char* where) {
    char module[64];
    const char* qualname;
    if (!split(where, module, sizeof module, &qualname))
        return {};
    Ref owner = module_named(module);
    if (!owner)
        return {};
    Ref cls(PyObject_GetAttrString(owner.get(), qualname));
    if (cls && !(PyType_Check(cls.get()) && Py_TYPE(cls.get()) == &PyType_Type))
        cls = Ref();
    return cls;
}

// The object is the library's own function or class "module:qualname".
bool defined_as(PyObject* obj, const char* what) {
    char module[64];
    const char* qualname;
    return split(what, module, sizeof module, &qualname) && text_attr_is(obj, "__module__", module) &&
           text_attr_is(obj, "__qualname__", qualname);
}

}  // namespace

bool GuardTable::record(const Call& c) {
    if (count_ > kMaxRows)
        return false;
    Seen fresh[kMaxRows];
    bool ok = true;
    for (size_t i = 0; i < count_ && ok; i++) {
        const Guard& g = rows_[i];
        Seen& s = fresh[i];
        Ref container;
        bool is_class = std::strchr(g.where, ':') != nullptr;
        if (!*g.where)
            container = Ref::hold(c.ns.globals);
        else if (is_class)
            container = class_named(g.where);
        else {
            Ref module = module_named(g.where);
            if (module && PyModule_CheckExact(module.get()))
                container = Ref::hold(PyModule_GetDict(module.get()));
        }
        Ref name(PyUnicode_InternFromString(g.name));
        if (!container || !name) {
            ok = false;
            break;
        }
        Ref value;
        if (is_class) {
            value = Ref(PyObject_GetAttr(container.get(), name.get()));
        } else {
            PyObject* found = nullptr;
            if (PyDict_GetItemRef(container.get(), name.get(), &found) == 0 && g.expect == Expect::Builtin) {
                s.in_builtins = true;
                PyDict_GetItemRef(c.ns.builtins.get(), name.get(), &found);
            }
            value = Ref(found);
        }
        if (!value) {
            ok = false;
            break;
        }
        PyObject* v = value.get();
        switch (g.expect) {
            case Expect::Module: {
                Ref module = module_named(g.what);
                ok = module && module.get() == v;
                break;
            }
            case Expect::Function:
                ok = PyFunction_Check(v) && defined_as(v, g.what);
                if (ok) {
                    s.code = PyFunction_GetCode(v);
                    s.defaults = PyFunction_GetDefaults(v);
                    s.kwdefaults = PyFunction_GetKwDefaults(v);
                }
                break;
            case Expect::Class:
                ok = PyType_Check(v) && defined_as(v, g.what);
                break;
            case Expect::Builtin:
                ok = (PyCFunction_Check(v) || PyType_Check(v)) && name_among(v, g.what);
                break;
        }
        s.name = name.release();
        s.container = container.release();
        s.value = value.release();
    }
    PyErr_Clear();
    if (!ok) {
        for (size_t i = 0; i < count_; i++) {
            Ref name(fresh[i].name), container(fresh[i].container), value(fresh[i].value);
        }
        return false;
    }
    // kept for the process: the code and defaults with the function
    for (size_t i = 0; i < count_; i++) {
        seen_[i] = fresh[i];
        keep(Ref::hold(seen_[i].code));
        keep(Ref::hold(seen_[i].defaults));
        keep(Ref::hold(seen_[i].kwdefaults));
    }
    recorded_ = true;
    return true;
}

bool GuardTable::hold(const Call& c) {
    if (!recorded_ && !record(c))
        return false;
    for (size_t i = 0; i < count_; i++) {
        const Seen& s = seen_[i];
        PyObject* now;
        if (PyDict_Check(s.container)) {
            // borrowed; exact str keys raise nothing
            now = PyDict_GetItemWithError(s.container, s.name);
            if (s.in_builtins) {
                if (now)
                    return false;  // the module's own name now hides the builtin
                now = PyDict_GetItemWithError(c.ns.builtins.get(), s.name);
            }
            if (!now && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
        } else {
            Ref found(PyObject_GetAttr(s.container, s.name));
            if (!found)
                PyErr_Clear();
            now = found.get();  // compared only; the class holds it
        }
        if (now != s.value)
            return false;
        if (s.code && (PyFunction_GetCode(now) != s.code || PyFunction_GetDefaults(now) != s.defaults ||
                       PyFunction_GetKwDefaults(now) != s.kwdefaults))
            return false;
    }
    return true;
}

bool known_version(const Call& c) {
    static int known = 0;  // 0 not asked yet, 1 known, -1 not
    if (!known) {
        known = -1;
        Ref module = module_named("rsa");
        Ref version = module ? Ref(PyObject_GetAttrString(module.get(), "__version__")) : Ref();
        const char* text = version && PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
        if (text && (!std::strcmp(text, "4.9") || !std::strcmp(text, "4.9.1")))
            known = 1;
        PyErr_Clear();
    }
    (void)c;
    return known > 0;
}

}  // namespace rsa_native
}  // namespace cm
