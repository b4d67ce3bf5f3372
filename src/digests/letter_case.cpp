// The fmt rule: "upper" is asked first, then "lower"; anything else keeps
// the result as the digest gave it.
#include "digests/letter_case.h"

#include "digests/digests.h"

#include "common/call.h"

namespace cm {

namespace {
// fmt == word, as the interpreter's if-test sees it: the comparison, then
// the truth of what it returned. An exact str is the same object as the
// interned word only when the two are equal, so the identity shortcut
// changes nothing.
int equals(PyObject* fmt, const Name& word) { return PyObject_RichCompareBool(fmt, word.get(), Py_EQ); }
}  // namespace

Ref letter_case(Call& c, int offset, Ref result, PyObject* fmt) {
    // if fmt == "upper":
    c.at(offset);
    int upper = equals(fmt, digest_names::upper);
    if (upper < 0)
        return {};
    // return result.upper()
    if (upper) {
        c.at(offset + 1);
        return call_method(result, digest_names::upper);
    }
    // if fmt == "lower":
    c.at(offset + 2);
    int lower = equals(fmt, digest_names::lower);
    if (lower < 0)
        return {};
    // return result.lower()
    if (lower) {
        c.at(offset + 3);
        return call_method(result, digest_names::lower);
    }
    // return result
    return result;
}

}  // namespace cm
