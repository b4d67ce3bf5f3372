#include "common/traceback.h"

#include <cstdio>

namespace cm {

void TracebackSite::init(const char* function) {
    std::snprintf(function_, sizeof function_, "%s", function);
}

// The code object of an entry at `line`, kept in a slot while slots last.
Ref TracebackSite::code_for(int line) {
    Slot* free_slot = nullptr;
    for (Slot& slot : slots_) {
        if (slot.code && slot.line == line)
            return Ref::hold(slot.code);
        if (!slot.code && !free_slot)
            free_slot = &slot;
    }
    Ref code((PyObject*)PyCode_NewEmpty("crypt_main.py", function_, line));
    if (code && free_slot)
        *free_slot = {line, keep(Ref::hold(code.borrowed()))};
    return code;
}

void TracebackSite::add(Borrowed globals, int line) {
    if (!PyErr_Occurred())  // a failure must carry an exception: never report success
        PyErr_SetString(PyExc_SystemError, "crypt_main: a method failed without setting an exception");
    Ref pending(PyErr_GetRaisedException());
    Ref code = code_for(line);
    Ref locals(code ? PyDict_New() : nullptr);
    Ref frame(locals ? (PyObject*)PyFrame_New(PyThreadState_Get(), (PyCodeObject*)code.get(), globals.get(),
                                              locals.get())
                     : nullptr);
    PyErr_Clear();  // an entry we could not make is left out; the error stays
    PyErr_SetRaisedException(pending.release());
    if (frame)
        PyTraceBack_Here((PyFrameObject*)frame.get());
}

}  // namespace cm
