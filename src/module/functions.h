// The module's function table, in registration order.
#pragma once

#include <cstddef>

#include "python.h"

namespace glyphward::module {

extern PyMethodDef kFunctionTable[];
extern const size_t kFunctionCount;

}  // namespace glyphward::module
