// A value or the reason there is none. Every fallible operation returns one;
// [[nodiscard]] makes the compiler insist that the caller looks at it.
#pragma once

#include <cassert>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vorm_zel {

// An unrecoverable condition of native code (key file unreadable, no random
// bytes, clock before 1970, ...). The host sees it as PanicException.
struct InternalFailure {
    std::string message;
};

template <class E>
struct Unexpected {
    E error;
};
template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class [[nodiscard]] Expected {
public:
    template <class U = T>
    requires std::is_constructible_v<T, U&&> Expected(U&& value)
        : state_(std::in_place_index<0>, std::forward<U>(value)) {}
    template <class G>
    requires std::is_constructible_v<E, G&&> Expected(Unexpected<G> failure)
        : state_(std::in_place_index<1>, std::move(failure.error)) {}
    Expected(E failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    // Carries a value or failure of a compatible result across layers.
    template <class U, class G>
    requires(!std::is_same_v<Expected<U, G>, Expected> && std::is_constructible_v<T, U&&> &&
             std::is_constructible_v<E, G&&>) Expected(Expected<U, G>&& other)
        : state_(other ? State(std::in_place_index<0>, std::move(other).value())
                       : State(std::in_place_index<1>, std::move(other).error())) {}

    [[nodiscard]] bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    T* operator->() { return &value(); }

    E& error() & { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

private:
    using State = std::variant<T, E>;
    State state_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
public:
    Expected() noexcept = default;
    template <class G>
    requires std::is_constructible_v<E, G&&> Expected(Unexpected<G> failure)
        : failure_(std::move(failure.error)), failed_(true) {}
    Expected(E failure) : failure_(std::move(failure)), failed_(true) {}
    template <class G>
    requires(!std::is_same_v<G, E> && std::is_constructible_v<E, G&&>)
        Expected(Expected<void, G>&& other)
        : failure_(other ? E{} : E(std::move(other).error())), failed_(!other) {}

    [[nodiscard]] bool has_value() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return !failed_; }

    E& error() & { return failure_; }
    E&& error() && { return std::move(failure_); }

private:
    E failure_{};
    bool failed_ = false;
};

template <class T>
using Outcome = Expected<T, InternalFailure>;

}  // namespace vorm_zel
