// Being told of changes (3.12+): one dict watcher and one function watcher
// for the whole module, as an interpreter has only a few of each. Any event
// on a watched dict, or a change of any function's code or defaults, starts
// a new generation; whoever looked at something compares once more when the
// generation it saw is no longer the current one. Without watchers (before
// 3.12, or where adding them failed) the generation never moves and callers
// compare by themselves.
#pragma once

#include "common/ref.h"

#include <cstdint>

namespace cm {

// At import: adds the watchers where the interpreter has them.
void start_watchers();

// Whether both watchers are there.
bool watching();

// The current generation.
extern uint64_t g_generation;

// Watches `dict`; false (no exception) where it cannot.
bool watch_dict(PyObject* dict);

// How many events a watched dict has had; kUncounted where that is not
// known (not watched, or no room left to count): compare it then.
constexpr uint64_t kUncounted = ~uint64_t(0);
uint64_t dict_events(PyObject* dict);

}  // namespace cm
