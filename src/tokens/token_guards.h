// What the token paths rely on. The recording of each branch's verifying
// call covers what jwt.encode and jwt.decode run; here are what the
// method's own statements read before they enter the library (the entry
// points), what the recording cannot see (PyJWT's option and instance
// dicts, json's default decoder, the exception classes a failure is
// classified by, the release), and the clocks, read as the generic path
// reads them.
#pragma once

#include "common/body.h"
#include "common/recording.h"

namespace cm {
namespace token_guards {

enum Use : unsigned char { Issue, Verify };

// Whether this call's entry points are the library's own, unchanged. No
// exception is left set. Checked again wherever the GIL was let go or
// anyone's code may have run.
bool hold(const Call& c, Use use);
// Only the entry points, the cheap part of hold: where they fail, the
// generic path will make the call, so nothing more need be done first.
bool entry_holds(const Call& c, Use use);

// The dependencies of both token paths that a recording cannot see: 1 when
// each is what the library made, 0 when not, -1 with an exception set.
int extra(int branch, Dependencies& d);

// time.time() through the method's global `time`, as _token_encrypt reads
// it, where that is the interpreter's and converts exactly by int(). A
// clock patched underneath may run code: hold(c, Issue) belongs after it.
bool issue_clock(const Call& c, double& seconds);

// datetime.now(tz=timezone.utc).timestamp() through the names PyJWT's
// decoding reads, as PyJWT reads its `now`, where those are the
// interpreter's own classes. A clock patched underneath (as time-travel
// tools do) may run code: hold(c, Verify) belongs after it.
bool verify_clock(double& seconds);

}  // namespace token_guards
}  // namespace cm
