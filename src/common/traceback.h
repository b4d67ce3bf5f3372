// Traceback entries: "<function>" in "crypt_main.py" at a chosen line,
// added to the exception being raised.
#pragma once

#include "common/compat.h"

namespace cm {

class TracebackSite {
public:
    // `function` is copied; it names the entry in every traceback.
    void init(const char* function);
    // Adds an entry at `line` to the pending exception. The code object for
    // each line is made at the first failure there and kept, and so is its
    // frame where the interpreter lets one frame serve every entry.
    void add(int line);

private:
    struct Slot {
        int line;
        PyObject* code;
        PyObject* frame;
    };
    Slot* slot_for(int line);
    PyObject* new_frame(Slot* slot, int line);

    char function_[96] = {0};
    Slot slots_[8] = {};
};

}  // namespace cm
