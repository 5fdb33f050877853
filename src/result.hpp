// The failure value of every numerical routine, and the "value or failure" wrapper they return.
#pragma once

#include <utility>
#include <variant>

namespace valmora {

// One fixed, lower-case message; the binding raises it as ValueError.
struct ValidationError {
    const char* message;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(ValidationError error) : state_(std::in_place_index<1>, error) {}

    bool ok() const noexcept { return state_.index() == 0; }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const ValidationError& error() const { return std::get<1>(state_); }

private:
    std::variant<T, ValidationError> state_;
};

}  // namespace valmora
