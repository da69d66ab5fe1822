// Recognising compiled regular expressions whose matches a native matcher may give instead.
#pragma once

#include "native/errors.hpp"

namespace native {

// Whether `pattern` is a real compiled pattern (re.Pattern) of exactly `source`, compiled without
// flags: one that behaves as a native matcher written for that source.
bool is_compiled_pattern(handle pattern, const char* source);

}  // namespace native
