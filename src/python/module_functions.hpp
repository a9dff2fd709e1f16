// The module-level functions, in their fixed registration order.
#pragma once

#include "python/pyref.hpp"

namespace spanlet::py {

extern PyMethodDef module_functions[];

}  // namespace spanlet::py
