// The fmt rule: "upper" is asked first, then "lower"; anything else keeps
// the result as the digest gave it.
#include "digests/letter_case.h"

#include "common/call.h"

namespace cm {

namespace {
// The words that fmt is compared with are also the names of the methods
// that they select.
const Name kUpper("upper");
const Name kLower("lower");

// fmt == word, as the interpreter's if-test sees it: the comparison, then
// the truth of what it returned. An exact str is the same object as the
// interned word only when the two are equal, so the identity shortcut
// changes nothing.
int equals(PyObject* fmt, const Name& word) { return PyObject_RichCompareBool(fmt, word.get(), Py_EQ); }
}  // namespace

Ref letter_case(Frame& f, int line, Ref result, PyObject* fmt) {
    // if fmt == "upper":
    f.line = line;
    int upper = equals(fmt, kUpper);
    if (upper < 0)
        return {};
    // return result.upper()
    if (upper) {
        f.line = line + 1;
        return call_method(result.get(), kUpper);
    }
    // if fmt == "lower":
    f.line = line + 2;
    int lower = equals(fmt, kLower);
    if (lower < 0)
        return {};
    // return result.lower()
    if (lower) {
        f.line = line + 3;
        return call_method(result.get(), kLower);
    }
    // return result
    return result;
}

}  // namespace cm
