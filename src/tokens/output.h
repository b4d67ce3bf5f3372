// The text a token path writes (a payload's JSON, a token), grown as it is
// written; a text longer than any token we issue or accept declines.
#pragma once

#include "common/scratch.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cm {

class Output {
public:
    static constexpr size_t kLongest = 1 << 20;

    bool reserve(size_t more) {
        if (size_ + more <= buffer_.capacity())
            return true;
        return size_ + more <= kLongest && buffer_.grow(2 * (size_ + more), size_);
    }
    bool put(const char* s, size_t n) {
        if (!reserve(n))
            return false;
        std::memcpy(tail(), s, n);
        size_ += n;
        return true;
    }
    bool put(const char* s) { return put(s, std::strlen(s)); }
    bool put(char ch) { return put(&ch, 1); }

    char* data() { return reinterpret_cast<char*>(buffer_.data()); }
    const uint8_t* bytes() { return buffer_.data(); }
    size_t size() const { return size_; }
    // Room made by reserve, filled in place.
    char* tail() { return data() + size_; }
    void advance(size_t n) { size_ += n; }

private:
    Scratch buffer_{0};
    size_t size_ = 0;
};

}  // namespace cm
