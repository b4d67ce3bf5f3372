// The step that _add_to_16 and the PHP cipher's specialised paths share: a
// text's GBK form followed by zero bytes up to a multiple of 16.
#pragma once

#include "common/ref.h"

namespace cm {

// The bytes followed by zero bytes up to a multiple of 16, in one
// allocation: what appending one zero byte at a time gives.
Ref zero_padded(const char* bytes, Py_ssize_t length);

// text.encode("gbk") zero-padded to a multiple of 16 bytes, for an exact
// str; empty with the codec's own exception where the text does not encode
// (or, should the codec answer what it never does, with none).
Ref gbk_zero_padded(PyObject* text);

}  // namespace cm
