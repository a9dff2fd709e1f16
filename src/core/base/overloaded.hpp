// The visitor every kind-dependent operation uses: one lambda per element kind, no default case,
// so that an operation missing a kind fails to compile.
#pragma once

namespace spanlet {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace spanlet
