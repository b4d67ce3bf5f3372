// What the token paths rely on: everything jwt.encode and jwt.decode would
// read or run for the calls they take, the library's own and unchanged, and
// the clocks the generic path reads, read as it reads them.
#pragma once

#include "common/body.h"

namespace cm {
namespace token_guards {

enum Use : unsigned char { Issue = 1, Verify = 2 };

// Whether this call may take the token path of `use`. No exception is left
// set. What it vouches for holds until the GIL is released or anyone's code
// may have run: check again after either.
bool hold(const Call& c, Use use);

// time.time() through the method's global `time`, as _token_encrypt reads
// it, where that is the interpreter's and converts exactly by int(). A
// clock patched underneath may run code: hold(c, Issue) belongs after it.
bool issue_clock(const Call& c, double& seconds);

// datetime.now(tz=timezone.utc).timestamp() through the names PyJWT's
// decoding reads, as PyJWT reads its `now`, where those names are the
// library's own. A clock patched underneath (as time-travel tools do) may
// run code: hold(c, Verify) belongs after it.
bool verify_clock(double& seconds);

}  // namespace token_guards
}  // namespace cm
