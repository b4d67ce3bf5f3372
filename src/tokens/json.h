// JSON as the json module writes and reads it for tokens: the writer gives
// json.dumps(obj, separators=(",", ":")) (ensure_ascii, allow_nan, insertion
// order) for the exact builtin types; the reader gives json.loads's objects
// for the compact ASCII text that writer makes. Anything else declines
// (false, or an empty Ref with no exception set where none was raised).
#pragma once

#include "common/ref.h"
#include "tokens/output.h"

namespace cm {
namespace json {

// Deeper values decline: json's own recursion limits are not followed here.
constexpr int kDeepest = 32;

bool put_value(Output& out, PyObject* value, int depth = 0);
bool put_string(Output& out, PyObject* text);
bool put_long(Output& out, long long value);

// A cursor over compact JSON text.
struct Reader {
    const char* p;
    const char* end;

    // Consumes `literal` where it comes next.
    bool take(const char* literal);
    // The next value, as json.loads makes it.
    Ref value(int depth);
    Ref string();
    Ref number();

private:
    bool hex4(const char* q, Py_UCS4& out) const;
};

// An exact int of 64 bits, read.
bool as_long(PyObject* number, long long& out);

}  // namespace json
}  // namespace cm
