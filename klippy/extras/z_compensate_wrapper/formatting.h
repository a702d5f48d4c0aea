// The module's texts: numbers formatted as printf and as klippy shows them.
#pragma once

#include <array>
#include <cstdarg>
#include <string>

namespace zcomp {

// printf-style formatting of numbers into a std::string. Texts are joined
// as std::string instead, which keeps whatever they hold (a NUL included).
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char* fmt, va_list args) __attribute__((format(printf, 1, 0)));
// A number as klippy shows a bound or a configured value: "5", "0.1".
std::string shown(double value);
std::string shown(const std::array<double, 2>& values);

}  // namespace zcomp
