// Native answers for regular expressions whose semantics are fixed and simple enough to state.
#pragma once

#include "native/native.hpp"

namespace native {

// Whether `pattern` is a real compiled pattern (re.Pattern) of exactly `source`, compiled without
// flags: one that behaves as a native matcher written for that source.
bool is_compiled_pattern(handle pattern, const char* source);

// `m = pattern.match(key)`: whether it matched, with `m.group(1)` in `name`. Answered natively for
// a compiled "^%EXTEND_LIST{ *(.+?) *}$" (no flags) and an exact str key; otherwise the pattern is
// asked (its errors pass through).
bool match_first_group(handle pattern, handle key, object& name);

}  // namespace native
