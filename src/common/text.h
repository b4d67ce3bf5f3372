// The text-to-bytes step in the call forms that the operations name. A plain
// str is encoded directly (its encode method cannot be replaced); anything
// else gets the very method call, so subclasses and other objects see it.
#pragma once

#include "common/call.h"

#include <cstdint>

namespace cm {

// value.encode()
Ref encode(PyObject* value);
// value.encode("utf-8")
Ref encode_utf8(PyObject* value);
// value.encode(encoding="utf-8")
Ref encode_utf8_kw(PyObject* value);
// value.encode("gbk")
Ref encode_gbk(PyObject* value);
// value if isinstance(value, bytes) else value.encode(encoding="utf-8")
Ref to_bytes(PyObject* value);

// data.decode()
Ref decode(PyObject* data);
// data.decode("gbk"), and the same of `size` bytes
Ref decode_gbk(PyObject* data);
Ref gbk_text(const char* bytes, Py_ssize_t size);
// str(data, encoding="utf-8")
Ref str_utf8(PyObject* data);
// The characters of an exact str that is all ASCII, in place (they are its
// UTF-8 and its GBK bytes as well); null for any other text.
const char* ascii_chars(PyObject* text, Py_ssize_t& size);

// The bytes of value.encode("utf-8") for an exact str, or of exact bytes
// as they are, read in place where they are there already (the characters
// of an ASCII text are its UTF-8), else encoded and held here.
class Utf8 {
public:
    // False (with an exception set where encoding failed) for a text that
    // does not encode, or anything but an exact str or bytes.
    bool view(PyObject* value);
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    Ref encoded_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// str(data, encoding="utf-8").replace("\n", ""): Base64 lines made one line
Ref one_line(PyObject* data);

}  // namespace cm
