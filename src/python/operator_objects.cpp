#include "python/operator_objects.hpp"

#include <string>

#include "core/base/error.hpp"
#include "python/errors.hpp"

namespace spanlet::py {

bool check_columns(const char* argument, std::size_t cols, std::size_t expected) {
    if (cols == expected) return true;
    raise_error(Error::invalid(std::string(argument) + " has " + std::to_string(cols) +
                               " values along the transformed axis, expected " + std::to_string(expected)));
    return false;
}

}  // namespace spanlet::py
