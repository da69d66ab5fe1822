// Native answers for regular expressions whose semantics are fixed and simple enough to state.
#pragma once

#include "native/native.hpp"

namespace native {

// Whether `pattern` is a real compiled pattern (re.Pattern) of exactly `source`, compiled without
// flags: one that behaves as a native matcher written for that source.
bool is_compiled_pattern(handle pattern, const char* source);

enum class Match { no, yes, unknown };

// For `pattern.match(key)` where pattern is a compiled "^%EXTEND_LIST{ *(.+?) *}$" (no flags) and
// key an exact str: whether it matches and, if so, the first group in `name`. `unknown` for any
// other pattern or key, where the caller asks the pattern itself.
Match match_list_extend_key(handle pattern, handle key, object& name);

// `m = pattern.match(key)`: whether it matched, with `m.group(1)` in `name`. Answered natively
// where match_list_extend_key can; otherwise the pattern is asked (its errors pass through).
bool match_first_group(handle pattern, handle key, object& name);

}  // namespace native
