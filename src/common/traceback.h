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
    // each line is made at the first failure there and kept.
    void add(int line);

private:
    PyObject* code_for(int line);

    char function_[96] = {0};
    struct Slot {
        int line;
        PyObject* code;
    } slots_[8] = {};
};

}  // namespace cm
