// The list-extending key "%EXTEND_LIST{name}", shared by quarv.utils.dicts and quarv.utils.locations.
#pragma once

#include "native/native.hpp"

namespace shared {
using namespace native;

// The pattern's text, as quarv.utils.dicts compiles it into LIST_EXTEND_PATTERN.
inline constexpr char list_extend_source[] = "^%EXTEND_LIST{ *(.+?) *}$";

// Whether `pattern` is a real compiled pattern of that text without flags, whose matches the
// native matcher below gives. Checked once, when a module body takes the pattern; the module keeps
// the accepted object in its state.
bool is_list_extend_pattern(handle pattern);

// `m = pattern.match(key)`: whether it matched, with `m.group(1)` in `name`. Answered natively when
// `pattern` is `accepted` (an object is_list_extend_pattern accepted) and the key an exact str;
// otherwise the pattern is asked (its errors pass through).
bool match_list_extend_key(handle accepted, handle pattern, handle key, object& name);

}  // namespace shared
