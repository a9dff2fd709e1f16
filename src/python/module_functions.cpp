#include "python/module_functions.hpp"

namespace spanlet::py {

PyMethodDef module_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace spanlet::py
