// The text-to-bytes step in the call forms that the operations name. A plain
// str is encoded directly (its encode method cannot be replaced); anything
// else gets the very method call, so subclasses and other objects see it.
#pragma once

#include "common/call.h"

namespace cm {

// value.encode()
Ref encode(PyObject* value);
// value.encode("utf-8")
Ref encode_utf8(PyObject* value);
// value.encode(encoding="utf-8")
Ref encode_utf8_kw(PyObject* value);
// value.encode("gbk")
Ref encode_gbk(PyObject* value);
// a bytes instance as it is, anything else value.encode(encoding="utf-8")
Ref to_bytes(PyObject* value);

// data.decode()
Ref decode(PyObject* data);
// data.decode("gbk"), and the same of `size` bytes
Ref decode_gbk(PyObject* data);
Ref gbk_text(const char* bytes, Py_ssize_t size);
// str(data, encoding="utf-8")
Ref str_utf8(PyObject* data);
// str(data, encoding="utf-8").replace("\n", ""): Base64 lines made one line
Ref one_line(PyObject* data);

}  // namespace cm
