// The core's one error type, a Result that carries either a value or an Error,
// and the panic used for broken internal invariants.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace zarel {

// Invalid carries a message; OffImage a planar point outside the projection's
// image; Cancelled marks an operation its caller stopped (core/cancel.h).
struct Error {
  enum class Kind : uint8_t { Invalid, OffImage, Cancelled };
  Kind kind = Kind::Invalid;
  std::string message;
  double x = 0, y = 0;

  std::string display() const;
};

Error invalid(std::string message);
Error off_image(double x, double y);
Error cancelled();

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, Error> v_;
};

struct Ok {};
using Status = Result<Ok>;
inline Status ok() { return Ok{}; }

// Internal invariant failures unwind to the binding layer, which raises an
// exception that ordinary `except Exception` handlers do not swallow.
struct Panic : std::exception {
  std::string what_;
  explicit Panic(std::string w) : what_(std::move(w)) {}
  const char* what() const noexcept override { return what_.c_str(); }
};
[[noreturn]] void panic(const char* file, int line, std::string_view message);

// Text helpers for messages: a string in double quotes and a byte in single
// quotes, both with backslash escapes; the shortest round-trip decimal of a
// double without exponent ("NaN", "inf", "-inf" for the specials).
std::string quote(std::string_view text);
std::string quote_char(unsigned char c);
std::string shortest(double v);

}  // namespace zarel

#define ZAREL_ASSERT(cond)                                                   \
  do {                                                                       \
    if (!(cond)) ::zarel::panic(__FILE__, __LINE__, "assertion failed: " #cond); \
  } while (0)

// Evaluates a Result expression; on error returns the error from the caller.
#define ZAREL_CAT2(a, b) a##b
#define ZAREL_CAT(a, b) ZAREL_CAT2(a, b)
#define ZAREL_TRY_IMPL(tmp, decl, expr) \
  auto tmp = (expr);                    \
  if (!tmp.ok()) return std::move(tmp).error(); \
  decl = std::move(tmp).value()
#define ZAREL_TRY(decl, expr) ZAREL_TRY_IMPL(ZAREL_CAT(zarel_try_, __LINE__), decl, expr)
#define ZAREL_CHECK(expr)                                  \
  do {                                                     \
    auto zarel_check_ = (expr);                            \
    if (!zarel_check_.ok()) return std::move(zarel_check_).error(); \
  } while (0)
