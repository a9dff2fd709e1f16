// The core's error value and the result-or-error return type of every fallible operation.
// Nothing in the core throws on bad input; the binding layer turns an Error into an exception.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace spanlet {

struct Error {
    enum class Kind { InvalidInput, Singular };
    Kind kind;
    std::string message;

    static Error invalid(std::string message) { return {Kind::InvalidInput, std::move(message)}; }
    static Error singular(std::string message) { return {Kind::Singular, std::move(message)}; }
};

// A value or an Error. Deliberately small: construction from either side, a test, and access.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const Error& error() const& { return std::get<1>(state_); }
    Error&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, Error> state_;
};

struct Unit {};
// The outcome of a check: success carries nothing.
using Status = Result<Unit>;
inline Status success() { return Unit{}; }

}  // namespace spanlet

// Propagate the error of a Status (or any Result whose value is not needed).
#define SPANLET_TRY_STATUS(expr)                       \
    do {                                               \
        auto spanlet_status_ = (expr);                 \
        if (!spanlet_status_.ok())                     \
            return std::move(spanlet_status_).error(); \
    } while (0)

// Evaluate a Result expression: propagate its error, or move its value into a new variable `name`.
#define SPANLET_TRY(name, ...)                        \
    auto name##_or_error_ = (__VA_ARGS__);            \
    if (!name##_or_error_.ok())                       \
        return std::move(name##_or_error_).error();   \
    auto name = std::move(name##_or_error_).value()
