#include "core/base/error.hpp"

#include "core/base/format.hpp"

namespace spanlet {

std::string Error::debug() const {
    const char* name = kind == Kind::InvalidInput ? "InvalidInput" : "Singular";
    return std::string(name) + "(" + quoted(message) + ")";
}

}  // namespace spanlet
