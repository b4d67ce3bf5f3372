// Traceback entries: "<function>" in "crypt_main.py" at a chosen line,
// added to the exception being raised.
#pragma once

#include "common/ref.h"

namespace cm {

class TracebackSite {
public:
    // `function` is copied; it names the entry in every traceback.
    void init(const char* function);
    // Adds an entry at `line` to the pending exception, in a frame of its
    // own whose globals are `globals` and whose locals are its own. The code
    // object of each line is made at the first failure there and kept.
    void add(Borrowed globals, int line);

private:
    // The code of an entry at `line`; `lazy_locals` tells whether its
    // frames make their locals only when asked.
    Ref code_for(int line, bool& lazy_locals);

    struct Slot {
        int line;
        PyObject* code;  // kept for the process
        bool lazy_locals;
    };
    char function_[96] = {0};
    Slot slots_[8] = {};
};

}  // namespace cm
