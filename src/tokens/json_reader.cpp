// JSON read as json.loads reads it, into the same objects, for the compact
// text that json.dumps writes with the separators tokens use: anything else
// (white space, NaN, big integers, non-ASCII bytes) declines.
#include "tokens/json.h"

#include "common/scratch.h"

#include <cstring>

namespace cm {
namespace json {

namespace {

bool digit(char ch) { return ch >= '0' && ch <= '9'; }

}  // namespace

bool Reader::take(const char* literal) {
    size_t n = std::strlen(literal);
    if ((size_t)(end - p) < n || std::memcmp(p, literal, n) != 0)
        return false;
    p += n;
    return true;
}

bool Reader::hex4(const char* q, Py_UCS4& out) const {
    if (end - q < 4)
        return false;
    out = 0;
    for (int i = 0; i < 4; i++) {
        char h = q[i];
        int v = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10 : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
        if (v < 0)
            return false;
        out = out << 4 | (Py_UCS4)v;
    }
    return true;
}

Ref Reader::string() {
    if (p == end || *p != '"')
        return {};
    const char* start = ++p;
    while (p < end && *p != '"' && *p != '\\') {
        unsigned char ch = (unsigned char)*p;
        if (ch < 0x20 || ch >= 0x80)
            return {};
        p++;
    }
    if (p < end && *p == '"') {
        Ref text(PyUnicode_New(p - start, 127));
        if (text)
            std::memcpy(PyUnicode_1BYTE_DATA(text.get()), start, (size_t)(p - start));
        p++;
        return text;
    }
    // with escapes: as code points first
    Scratch units(((size_t)(end - start) + 1) * sizeof(Py_UCS4));
    if (!units)
        return {};
    Py_UCS4* u = reinterpret_cast<Py_UCS4*>(units.data());
    size_t n = 0;
    for (const char* q = start; q < p; q++)
        u[n++] = (unsigned char)*q;
    while (p < end && *p != '"') {
        unsigned char ch = (unsigned char)*p;
        if (ch < 0x20 || ch >= 0x80)
            return {};
        if (ch != '\\') {
            u[n++] = ch;
            p++;
            continue;
        }
        if (end - p < 2)
            return {};
        char e = p[1];
        p += 2;
        const char* simple = "\"\\/bfnrt";
        const char* found = std::strchr(simple, e);
        if (e && found) {
            const char* meaning = "\"\\/\b\f\n\r\t";
            u[n++] = (unsigned char)meaning[found - simple];
            continue;
        }
        if (e != 'u')
            return {};
        Py_UCS4 c1;
        if (!hex4(p, c1))
            return {};
        p += 4;
        // a high surrogate joins a low one written right after it
        Py_UCS4 c2;
        if (c1 >= 0xd800 && c1 <= 0xdbff && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
            if (!hex4(p + 2, c2))
                return {};
            if (c2 >= 0xdc00 && c2 <= 0xdfff) {
                c1 = 0x10000 + ((c1 - 0xd800) << 10) + (c2 - 0xdc00);
                p += 6;
            }
        }
        u[n++] = c1;
    }
    if (p == end)
        return {};
    p++;
    return Ref(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, u, (Py_ssize_t)n));
}

Ref Reader::number() {
    const char* start = p;
    if (p < end && *p == '-')
        p++;
    if (p == end || !digit(*p))
        return {};
    if (*p == '0')
        p++;
    else
        while (p < end && digit(*p))
            p++;
    bool is_float = false;
    if (p < end && *p == '.') {
        is_float = true;
        p++;
        if (p == end || !digit(*p))
            return {};
        while (p < end && digit(*p))
            p++;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        is_float = true;
        p++;
        if (p < end && (*p == '+' || *p == '-'))
            p++;
        if (p == end || !digit(*p))
            return {};
        while (p < end && digit(*p))
            p++;
    }
    size_t n = (size_t)(p - start);
    char text[64];
    if (n >= sizeof text)
        return {};
    std::memcpy(text, start, n);
    text[n] = 0;
    if (!is_float) {
        if (n > 18)
            return {};
        long long v = 0;
        for (const char* d = text + (text[0] == '-'); *d; d++)
            v = v * 10 + (*d - '0');
        return Ref(PyLong_FromLongLong(text[0] == '-' ? -v : v));
    }
    char* stop;
    double v = PyOS_string_to_double(text, &stop, nullptr);
    if ((v == -1.0 && PyErr_Occurred()) || stop != text + n)
        return {};
    return Ref(PyFloat_FromDouble(v));
}

Ref Reader::value(int depth) {
    if (p == end || depth > kDeepest)
        return {};
    switch (*p) {
    case '"':
        return string();
    case '{': {
        p++;
        Ref dict(PyDict_New());
        if (!dict)
            return {};
        if (p < end && *p == '}') {
            p++;
            return dict;
        }
        for (;;) {
            Ref key = string();
            if (!key || !take(":"))
                return {};
            Ref item = value(depth + 1);
            if (!item || PyDict_SetItem(dict.get(), key.get(), item.get()) < 0)
                return {};
            if (take("}"))
                return dict;
            if (!take(","))
                return {};
        }
    }
    case '[': {
        p++;
        Ref list(PyList_New(0));
        if (!list)
            return {};
        if (p < end && *p == ']') {
            p++;
            return list;
        }
        for (;;) {
            Ref item = value(depth + 1);
            if (!item || PyList_Append(list.get(), item.get()) < 0)
                return {};
            if (take("]"))
                return list;
            if (!take(","))
                return {};
        }
    }
    case 't':
        return take("true") ? Ref::hold(Py_True) : Ref();
    case 'f':
        return take("false") ? Ref::hold(Py_False) : Ref();
    case 'n':
        return take("null") ? Ref::hold(Py_None) : Ref();
    default:
        return number();
    }
}

bool as_long(PyObject* number, long long& out) {
    if (!number || !PyLong_CheckExact(number))
        return false;
    int overflow;
    out = PyLong_AsLongLongAndOverflow(number, &overflow);
    return !overflow && !(out == -1 && PyErr_Occurred());
}

}  // namespace json
}  // namespace cm
