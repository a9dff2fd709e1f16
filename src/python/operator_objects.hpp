// What the Projection and Fit objects share: the check of the arrays they are applied to.
#pragma once

#include <cstddef>

namespace spanlet::py {

// True when an input array has the expected column count; otherwise raises the ValueError that
// names the argument ("f has 3 values along the transformed axis, expected 4").
bool check_columns(const char* argument, std::size_t cols, std::size_t expected);

}  // namespace spanlet::py
