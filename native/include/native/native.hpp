// The shared runtime of the quarv.utils extension modules (see native/README.md).
//
// Module code is written as the Python module it implements reads: a body that runs statement by
// statement (imports, constants, definitions), functions declared with their Python signature text,
// classes made by calling their metaclass.
#pragma once

#include "native/classes.hpp"
#include "native/context.hpp"
#include "native/errors.hpp"
#include "native/function.hpp"
#include "native/iterator.hpp"
#include "native/module.hpp"
#include "native/object.hpp"
#include "native/own.hpp"
