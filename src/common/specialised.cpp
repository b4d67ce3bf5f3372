#include "common/specialised.h"

#include "common/watchers.h"

#include <cstdlib>
#include <utility>

namespace cm {

namespace {

bool g_on = true;

using State = Specialisation::State;

void put(PyObject*& slot, Ref value) {
    Ref old(std::exchange(slot, value.release()));
}

// Both results agree: exact str or bytes, of one type and equal.
bool identical(PyObject* a, PyObject* b) {
    if (Py_TYPE(a) != Py_TYPE(b) || !(PyUnicode_CheckExact(a) || PyBytes_CheckExact(a)))
        return false;
    int equal = PyObject_RichCompareBool(a, b, Py_EQ);
    if (equal < 0)
        PyErr_Clear();
    return equal == 1;
}

// The branch starts looking at its namespaces afresh: told of changes from
// the current generation on, and counting calls down again.
void looked(Specialisation& s, int b) {
    s.generation[b] = g_generation;
    unsigned backoff = s.retries[b] < 7 ? 8u << s.retries[b] : kReverifyEvery;
    s.countdown[b] = s.state[b] == State::Declining && backoff < kReverifyEvery ? backoff : kReverifyEvery;
}

// Whether an enabled or declining branch should look at its namespaces now:
// when told of a change; unwatched, an enabled one every kReverifyEvery
// calls, a declining one at each call (which runs the generic path anyway).
bool due(const Specialisation& s, int b) {
    if (s.watched[b])
        return s.generation[b] != g_generation;
    return s.state[b] == State::Declining || s.countdown[b] == 0;
}

// Kept: the last few recordings that enabled the branch, the one last
// enabled or found again last, so that a stand-in put back finds the branch
// as it was, however many came and went before.
constexpr Py_ssize_t kApprovedKept = 4;

bool approved(const Specialisation& s, int b, PyObject* record) {
    PyObject* list = s.approved[b];
    for (Py_ssize_t i = 0; list && i < PyList_GET_SIZE(list); i++)
        if (PyList_GET_ITEM(list, i) == record)
            return true;
    return false;
}

PyObject* latest_approved(const Specialisation& s, int b) {
    PyObject* list = s.approved[b];
    return list && PyList_GET_SIZE(list) ? PyList_GET_ITEM(list, PyList_GET_SIZE(list) - 1) : nullptr;
}

void approve(Specialisation& s, int b) {
    if (approved(s, b, s.record[b]))
        return;
    if (!s.approved[b])
        put(s.approved[b], Ref(PyList_New(0)));
    PyObject* list = s.approved[b];
    if (!list || PyList_Append(list, s.record[b]) < 0 ||
        (PyList_GET_SIZE(list) > kApprovedKept && PyList_SetSlice(list, 0, 1, nullptr) < 0))
        PyErr_Clear();  // not kept: a stand-in put back is verified again
}

// Whether the namespaces are as one of the recordings that enabled the
// branch found them.
bool looks_approved(const Specialisation& s, int b) {
    PyObject* list = s.approved[b];
    for (Py_ssize_t i = 0; list && i < PyList_GET_SIZE(list); i++)
        if (unchanged(PyList_GET_ITEM(list, i)))
            return true;
    return false;
}

// Looks at the namespaces of a branch that was enabled or declining. As its
// last recording found them, its state stands (or is back, for a stale
// one); as a recording that enabled it found them, it is enabled again (a
// stand-in put back); otherwise it is stale and verifies again. Everything
// a recording would find changed below the entry points lies in those
// namespaces; so does what a reload rewrites.
void look(Specialisation& s, int b) {
    State& state = s.state[b];
    s.generation[b] = g_generation;
    if (unchanged(s.record[b])) {
        if (state == State::Stale)
            state = approved(s, b, s.record[b]) ? State::Enabled : State::Declining;
        if (state == State::Enabled)
            s.countdown[b] = kReverifyEvery;
        return;
    }
    PyObject* list = s.approved[b];
    for (Py_ssize_t i = 0; list && i < PyList_GET_SIZE(list); i++) {
        PyObject* record = PyList_GET_ITEM(list, i);
        if (unchanged(record)) {
            put(s.record[b], Ref::hold(record));
            // the latest again: the state in use is the last one forgotten
            if (PyList_Append(list, record) < 0 || PyList_SetSlice(list, i, i + 1, nullptr) < 0)
                PyErr_Clear();
            state = State::Enabled;
            s.retries[b] = 0;
            looked(s, b);
            return;
        }
    }
    state = State::Stale;
}

// The verifying call of branch `b`: the specialised path, then the generic
// path under the recorder, whose result is returned; the branch's state is
// settled once both have finished.
Ref verify(Specialisation& s, const SpecialisedPath& p, Body generic, Call& c, Args a, int b) {
    State& state = s.state[b];
    State before = state;
    state = State::Verifying;
    c.verifying = true;
    Ref fast = p.run(b, c, a);
    c.verifying = false;
    if (!fast) {
        PyErr_Clear();
        state = before;
        return generic(c, a);
    }
    Record record;
    Ref result = record_generic(generic, c, a, p.extra, b, record);
    if (!record.dependencies) {  // not recorded now (a profiler, another recording)
        state = before;
        return result;
    }
    put(s.record[b], std::move(record.dependencies));
    s.watched[b] = watching();
    if (!result || record.verdict != Verdict::Own || !keeps(s.record[b], latest_approved(s, b))) {
        state = State::Declining;  // (a generic path that fails keeps its exception: the call's own)
        looked(s, b);
        if (s.retries[b] < 255)
            s.retries[b]++;
        return result;
    }
    s.retries[b] = 0;
    looked(s, b);
    bool agree = p.agree ? p.agree(fast.get(), result.get()) : identical(fast.get(), result.get());
    if (!agree) {
        // a library changed since the branch was enabled may compute
        // something else: declined until it is back
        bool changed = s.approved[b] && !looks_approved(s, b);
        state = changed ? State::Declining : State::Disabled;
    } else if ((s.verified[b] = s.verified[b] < 255 ? s.verified[b] + 1 : 255) >=
               (p.libraries ? p.libraries->verifications() : 1)) {
        state = State::Enabled;
        approve(s, b);
    } else {
        state = State::Unverified;  // more agreeing calls to come
    }
    return result;
}

}  // namespace

void start_specialised_paths() {
    const char* value = std::getenv("CRYPT_MAIN_GENERIC");
    g_on = !value || !*value || (value[0] == '0' && !value[1]);
    start_watchers();  // without them, branches count calls instead
}

Ref run_specialised(Specialisation& s, const SpecialisedPath& p, Body generic, Call& c, Args a) {
    if (!g_on)
        return generic(c, a);
    int b = p.choose(c, a);
    if (b < 0 || b >= p.branches)
        return generic(c, a);
    State& state = s.state[b];
    if (state == State::Enabled && s.generation[b] == g_generation && (s.watched[b] || --s.countdown[b] != 0)) {
        Ref fast = p.run(b, c, a);
        if (fast)
            return fast;
        PyErr_Clear();  // declined: the generic path does the work, its errors its own
        return generic(c, a);
    }
    if (state == State::Stale || ((state == State::Enabled || state == State::Declining) && due(s, b)))
        look(s, b);
    if (state == State::Declining && --s.countdown[b] == 0) {
        state = State::Stale;  // tried again (the countdown backs off)
        return verify(s, p, generic, c, a, b);
    }
    switch (state) {
    case State::Enabled: {
        Ref fast = p.run(b, c, a);
        if (fast)
            return fast;
        PyErr_Clear();
        return generic(c, a);
    }
    case State::Unverified:
    case State::Stale:
        return verify(s, p, generic, c, a, b);
    default:
        return generic(c, a);
    }
}

const char* specialisation_word(Specialisation& s, const SpecialisedPath& p, int b) {
    if (!g_on || (p.libraries && p.libraries->ruled_out()))
        return "off";
    State& state = s.state[b];
    if (state == State::Enabled || state == State::Declining || state == State::Stale) {
        unsigned countdown = s.countdown[b];
        look(s, b);
        s.countdown[b] = countdown;  // not the periodic verification
    }
    static const char* const words[] = {"unverified", "enabled", "disabled", "unverified", "declining", "stale"};
    return words[state];
}

}  // namespace cm
