#include "tokens/json.h"

#include <cmath>

namespace cm {
namespace json {

namespace {

const char kHex[] = "0123456789abcdef";

bool put_escaped_unit(Output& out, Py_UCS4 ch) {
    char e[6] = {'\\', 'u', kHex[(ch >> 12) & 15], kHex[(ch >> 8) & 15], kHex[(ch >> 4) & 15], kHex[ch & 15]};
    return out.put(e, 6);
}

// int.__repr__ of an int that fits 64 bits; larger ones decline.
bool put_int(Output& out, PyObject* number) {
    int overflow;
    long long v = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (overflow || (v == -1 && PyErr_Occurred()))
        return false;
    return put_long(out, v);
}

// float.__repr__, and the words json gives the values that have no repr in JSON.
bool put_float(Output& out, PyObject* number) {
    double v = PyFloat_AS_DOUBLE(number);
    if (std::isnan(v))
        return out.put("NaN");
    if (std::isinf(v))
        return out.put(v > 0 ? "Infinity" : "-Infinity");
    char* repr = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!repr)
        return false;
    bool ok = out.put(repr);
    PyMem_Free(repr);
    return ok;
}

bool put_items(Output& out, PyObject* const* items, Py_ssize_t n, int depth) {
    if (!out.put('['))
        return false;
    for (Py_ssize_t i = 0; i < n; i++)
        if ((i && !out.put(',')) || !put_value(out, items[i], depth + 1))
            return false;
    return out.put(']');
}

bool put_key(Output& out, PyObject* key) {
    if (PyUnicode_CheckExact(key))
        return put_string(out, key);
    if (!out.put('"'))
        return false;
    bool ok = key == Py_True    ? out.put("true")
              : key == Py_False ? out.put("false")
              : key == Py_None  ? out.put("null")
              : PyLong_CheckExact(key) ? put_int(out, key)
              : PyFloat_CheckExact(key) ? put_float(out, key)
                                        : false;
    return ok && out.put('"');
}

}  // namespace

bool put_string(Output& out, PyObject* text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    if (!out.reserve((size_t)n + 2) || !out.put('"'))
        return false;
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch >= ' ' && ch <= '~' && ch != '\\' && ch != '"') {
            if (!out.put((char)ch))
                return false;
            continue;
        }
        const char* shortcut = ch == '\\' ? "\\\\" : ch == '"' ? "\\\"" : ch == '\b' ? "\\b" : ch == '\f' ? "\\f"
                             : ch == '\n' ? "\\n" : ch == '\r' ? "\\r" : ch == '\t' ? "\\t" : nullptr;
        bool ok;
        if (shortcut)
            ok = out.put(shortcut, 2);
        else if (ch >= 0x10000)
            ok = put_escaped_unit(out, 0xd800 + ((ch - 0x10000) >> 10)) &&
                 put_escaped_unit(out, 0xdc00 + ((ch - 0x10000) & 0x3ff));
        else
            ok = put_escaped_unit(out, ch);
        if (!ok)
            return false;
    }
    return out.put('"');
}

bool put_long(Output& out, long long v) {
    char digits[24];
    char* d = digits + sizeof digits;
    unsigned long long u = v < 0 ? 0ULL - (unsigned long long)v : (unsigned long long)v;
    do {
        *--d = (char)('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0)
        *--d = '-';
    return out.put(d, (size_t)(digits + sizeof digits - d));
}

bool put_value(Output& out, PyObject* v, int depth) {
    if (depth > kDeepest)
        return false;
    if (PyUnicode_CheckExact(v))
        return put_string(out, v);
    if (v == Py_None)
        return out.put("null");
    if (v == Py_True)
        return out.put("true");
    if (v == Py_False)
        return out.put("false");
    if (PyLong_CheckExact(v))
        return put_int(out, v);
    if (PyFloat_CheckExact(v))
        return put_float(out, v);
    // nothing runs while a container is written: its items are builtin values
    if (PyList_CheckExact(v))
        return put_items(out, &PyList_GET_ITEM(v, 0), PyList_GET_SIZE(v), depth);
    if (PyTuple_CheckExact(v))
        return put_items(out, &PyTuple_GET_ITEM(v, 0), PyTuple_GET_SIZE(v), depth);
    if (PyDict_CheckExact(v)) {
        if (!out.put('{'))
            return false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        bool first = true;
        while (PyDict_Next(v, &pos, &key, &value)) {
            if ((!first && !out.put(',')) || !put_key(out, key) || !out.put(':') || !put_value(out, value, depth + 1))
                return false;
            first = false;
        }
        return out.put('}');
    }
    return false;
}

}  // namespace json
}  // namespace cm
