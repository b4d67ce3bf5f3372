// Zero padding for the PHP-compatible cipher: the GBK form of a text,
// followed by zero bytes up to a multiple of 16.
#include "ciphers/ciphers.h"

#include "ciphers/gbk_zero_padding.h"
#include "common/text.h"

namespace cm {

namespace {
constexpr Py_ssize_t kBlock = 16;
}  // namespace

// _add_to_16(value)
Ref add_to_16(Call& c, Args a) {
    // value = value.encode("gbk")
    c.at(2);
    Ref value = encode_gbk(a[0]);
    if (!value)
        return {};
    // while len(value) % 16 != 0:
    //     value += "\0".encode()
    // Plain bytes get all their zeros at once; whatever else an encode
    // override returned goes through `+=` until it is plain bytes.
    for (;;) {
        c.at(3);
        Py_ssize_t length = PyObject_Length(value.get());
        if (length < 0)
            return {};
        if (length % kBlock == 0)
            return value;
        c.at(4);
        if (PyBytes_CheckExact(value.get()))
            return zero_padded(PyBytes_AS_STRING(value.get()), length);
        static const char nul = '\0';
        Ref zero(PyBytes_FromStringAndSize(&nul, 1));
        if (!zero)
            return {};
        value = Ref(PyNumber_InPlaceAdd(value.get(), zero.get()));
        if (!value)
            return {};
    }
}

// For an exact str, one branch: the shared step.
namespace {
int choose_add_to_16(const Call&, Args a) {
    return PyUnicode_CheckExact(a[0]) ? 0 : -1;
}

Ref padded(int, const Call&, Args a) {
    return gbk_zero_padded(a[0]);
}
}  // namespace

const SpecialisedPath add_to_16_path = specialised_path<1>(choose_add_to_16, padded);

}  // namespace cm
