#include "common/traceback.h"

#include "common/globals.h"
#include "common/ref.h"

#include <cstdio>

namespace cm {

void TracebackSite::init(const char* function) {
    std::snprintf(function_, sizeof function_, "%s", function);
}

// The slot of `line`, claimed at its first use; null when all are taken.
TracebackSite::Slot* TracebackSite::slot_for(int line) {
    for (Slot& slot : slots_)
        if (!slot.code || slot.line == line)
            return &slot;
    return nullptr;
}

// A new frame at `line` (null with an exception set), its code kept in the slot.
PyObject* TracebackSite::new_frame(Slot* slot, int line) {
    Ref code;
    if (slot && slot->code) {
        code = Ref::borrow(slot->code);
    } else {
        code = Ref((PyObject*)PyCode_NewEmpty("crypt_main.py", function_, line));
        if (!code)
            return nullptr;
        if (slot) {
            slot->line = line;
            slot->code = Ref::borrow(code.get()).release();
        }
    }
    return (PyObject*)PyFrame_New(PyThreadState_Get(), (PyCodeObject*)code.get(), g_namespaces.module_dict, nullptr);
}

void TracebackSite::add(int line) {
    if (!PyErr_Occurred())  // a failure must carry an exception: never report success
        PyErr_SetString(PyExc_SystemError, "crypt_main: a method failed without setting an exception");
    Slot* slot = slot_for(line);
    if (slot && slot->frame) {
        PyTraceBack_Here((PyFrameObject*)slot->frame);
        return;
    }
    compat::SavedError pending;
    Ref frame(new_frame(slot, line));
    PyErr_Clear();  // an entry we could not make is left out; the error stays
    pending.restore();
    if (!frame)
        return;
    if (slot && !compat::kFramesLinkCaller)
        slot->frame = Ref::borrow(frame.get()).release();
    PyTraceBack_Here((PyFrameObject*)frame.get());
}

}  // namespace cm
