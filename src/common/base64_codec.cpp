#include "common/base64_codec.h"

namespace cm {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// What each byte of a text is to the decoder: its value in the alphabet,
// or one of these two (both with bit 6 set, which no value has).
constexpr uint8_t kSkipped = 64, kPad = 65;
struct Values {
    uint8_t of[256];
    constexpr Values() : of() {
        for (int i = 0; i < 256; i++)
            of[i] = kSkipped;
        for (int i = 0; i < 64; i++)
            of[(uint8_t)kAlphabet[i]] = (uint8_t)i;
        of[(uint8_t)'='] = kPad;
    }
};
constexpr Values kValues;

void encode(const uint8_t* in, size_t size, char* out) {
    size_t whole = size - size % 3;
    for (size_t i = 0; i < whole; i += 3, out += 4) {
        uint32_t group = (uint32_t)in[i] << 16 | (uint32_t)in[i + 1] << 8 | in[i + 2];
        out[0] = kAlphabet[group >> 18];
        out[1] = kAlphabet[(group >> 12) & 63];
        out[2] = kAlphabet[(group >> 6) & 63];
        out[3] = kAlphabet[group & 63];
    }
    if (whole == size)
        return;
    bool two = size - whole == 2;
    uint32_t group = (uint32_t)in[whole] << 16 | (two ? (uint32_t)in[whole + 1] << 8 : 0);
    out[0] = kAlphabet[group >> 18];
    out[1] = kAlphabet[(group >> 12) & 63];
    out[2] = two ? kAlphabet[(group >> 6) & 63] : '=';
    out[3] = '=';
}

ptrdiff_t decode(const uint8_t* in, size_t size, uint8_t* out) {
    const uint8_t* const of = kValues.of;
    uint8_t* const start = out;
    uint32_t group = 0;
    unsigned count = 0;  // values in `group`
    size_t i = 0;
    while (i < size) {
        if (count == 0) {
            // whole groups at once while the text is all alphabet, as the
            // library's own output is between its line feeds
            for (; i + 4 <= size; i += 4, out += 3) {
                unsigned a = of[in[i]], b = of[in[i + 1]], c = of[in[i + 2]], d = of[in[i + 3]];
                if ((a | b | c | d) & kSkipped)
                    break;
                uint32_t whole = a << 18 | b << 12 | c << 6 | d;
                out[0] = (uint8_t)(whole >> 16);
                out[1] = (uint8_t)(whole >> 8);
                out[2] = (uint8_t)whole;
            }
            if (i == size)
                break;
        }
        unsigned value = of[in[i]];
        if (value == kPad)
            break;
        i++;
        if (value == kSkipped)
            continue;
        group = group << 6 | value;
        if (++count == 4) {
            out[0] = (uint8_t)(group >> 16);
            out[1] = (uint8_t)(group >> 8);
            out[2] = (uint8_t)group;
            out += 3;
            group = 0;
            count = 0;
        }
    }
    if (i == size)
        return count == 0 ? out - start : -1;
    // in[i] is the first "=": the padding of an incomplete last group, no
    // more and no less, right after it, and nothing of the alphabet after.
    unsigned pads = count == 2 ? 2 : count == 3 ? 1 : 0;
    if (pads == 0 || of[in[i - 1]] >= 64)
        return -1;
    for (unsigned p = 0; p < pads; p++, i++)
        if (i == size || in[i] != '=')
            return -1;
    for (; i < size; i++)
        if (of[in[i]] != kSkipped)
            return -1;
    // Bits beyond the last byte are dropped by the lenient reading alone.
    if (count == 2) {
        if (group & 0xF)
            return -1;
        *out++ = (uint8_t)(group >> 4);
    } else {
        if (group & 0x3)
            return -1;
        *out++ = (uint8_t)(group >> 10);
        *out++ = (uint8_t)(group >> 2);
    }
    return out - start;
}

}  // namespace

Ref base64_line(const uint8_t* data, size_t size) {
    if (size > (size_t)PY_SSIZE_T_MAX / 4 * 3)
        return Ref(PyErr_NoMemory());
    Ref text(PyUnicode_New((Py_ssize_t)((size + 2) / 3 * 4), 127));
    if (!text)
        return {};
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
    without_gil(size, [&] {
        encode(data, size, out);
        return 0;
    });
    return text;
}

size_t base64_bound(size_t size) {
    return size / 4 * 3 + 2;
}

ptrdiff_t base64_decode(const uint8_t* text, size_t size, uint8_t* out) {
    ptrdiff_t decoded = -1;
    without_gil(size, [&] {
        decoded = decode(text, size, out);
        return 0;
    });
    return decoded;
}

}  // namespace cm
