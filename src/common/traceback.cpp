#include "common/traceback.h"

#include "common/globals.h"
#include "common/ref.h"

#include <cstdio>

namespace cm {

void TracebackSite::init(const char* function) {
    std::snprintf(function_, sizeof function_, "%s", function);
}

PyObject* TracebackSite::code_for(int line) {
    for (Slot& slot : slots_) {
        if (slot.code && slot.line == line)
            return Ref::borrow(slot.code).release();
        if (!slot.code) {
            slot.code = (PyObject*)PyCode_NewEmpty("crypt_main.py", function_, line);
            if (!slot.code)
                return nullptr;
            slot.line = line;
            return Ref::borrow(slot.code).release();
        }
    }
    return (PyObject*)PyCode_NewEmpty("crypt_main.py", function_, line);  // cache full
}

void TracebackSite::add(int line) {
    compat::SavedError pending;
    Ref code(code_for(line));
    Ref frame;
    if (code)
        frame = Ref((PyObject*)PyFrame_New(PyThreadState_Get(), (PyCodeObject*)code.get(),
                                           g_namespaces.module_dict, nullptr));
    PyErr_Clear();  // an entry we could not make is left out; the error stays
    pending.restore();
    if (frame)
        PyTraceBack_Here((PyFrameObject*)frame.get());
}

}  // namespace cm
