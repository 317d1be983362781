// A value or the reason there is none. Every fallible operation returns a
// Result; [[nodiscard]] makes the compiler insist that the caller looks at it,
// and VZ_TRY / VZ_TRY_ASSIGN hand a failure on to the caller unchanged.
#pragma once

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

template <class T, class E = InternalFailure>
class [[nodiscard]] Result {
public:
    template <class U = T>
    requires std::is_constructible_v<T, U&&> Result(U&& value)
        : state_(std::in_place_index<0>, std::forward<U>(value)) {}
    template <class G>
    requires std::is_constructible_v<E, G&&> Result(Unexpected<G> failure)
        : state_(std::in_place_index<1>, std::move(failure.error)) {}
    Result(E failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    [[nodiscard]] bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &value(); }

    E& error() & { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() noexcept = default;
    template <class G>
    requires std::is_constructible_v<E, G&&> Result(Unexpected<G> failure)
        : failure_(std::move(failure.error)), failed_(true) {}
    Result(E failure) : failure_(std::move(failure)), failed_(true) {}

    [[nodiscard]] bool has_value() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return !failed_; }

    E& error() & { return failure_; }
    E&& error() && { return std::move(failure_); }

private:
    E failure_{};
    bool failed_ = false;
};

}  // namespace vorm_zel

#define VZ_CONCAT_INNER_(a, b) a##b
#define VZ_CONCAT_(a, b) VZ_CONCAT_INNER_(a, b)

// Evaluates a Result; on failure, returns its error from the enclosing
// function (whose own Result must accept that error type).
#define VZ_TRY(...)                                                           \
    do {                                                                      \
        if (auto vz_result_ = (__VA_ARGS__); !vz_result_) {                   \
            return ::vorm_zel::Unexpected{std::move(vz_result_).error()};     \
        }                                                                     \
    } while (false)

// VZ_TRY, then `target = value`: `VZ_TRY_ASSIGN(std::string text, read());`
#define VZ_TRY_ASSIGN(target, ...) \
    VZ_TRY_ASSIGN_(VZ_CONCAT_(vz_result_, __LINE__), target, __VA_ARGS__)
#define VZ_TRY_ASSIGN_(temporary, target, ...)                                \
    auto temporary = (__VA_ARGS__);                                           \
    if (!temporary) {                                                         \
        return ::vorm_zel::Unexpected{std::move(temporary).error()};          \
    }                                                                         \
    target = std::move(temporary).value()
