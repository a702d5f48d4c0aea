// Console lines and the UDP diagnostic datagrams, and the formatting of the
// module's texts and G-code lines.
#include <arpa/inet.h>
#include <locale.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

#include "z_compensate.h"

namespace zcomp {

// The file is built for speed, for the G-code lines and console lines. What
// runs seldom (the diagnostic datagrams, texts beyond the module's own
// conversions, the numbers of a refusal) is marked cold: built for size and
// kept out of the lines that run on every move.

namespace {

constexpr int kDiagnosticsPort = 21021;

// A numeric IPv4 address as it stands, anything else through one name lookup.
[[gnu::cold]] std::optional<std::string> resolve_ipv4(const std::string& name, std::string* why) {
  in_addr numeric{};
  if (inet_pton(AF_INET, name.c_str(), &numeric) == 1) return name;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (status != 0 || found == nullptr) {
    *why = status != 0 ? gai_strerror(status) : "no IPv4 address";
    return std::nullopt;
  }
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, text,
            sizeof(text));
  freeaddrinfo(found);
  return std::string(text);
}

[[gnu::cold]] std::string time_of_day() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16] = {};
  std::strftime(text, sizeof(text), "%H:%M:%S ", &local);
  return text;
}

// Sends one datagram on a socket of its own; returns the failure's reason, or
// an empty text when it went out.
[[gnu::cold]] std::string send_udp(const std::string& address, const std::string& payload) {
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) return std::strerror(errno);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(kDiagnosticsPort);
  inet_pton(AF_INET, address.c_str(), &target.sin_addr);
  std::string failure;
  if (sendto(sock, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&target),
             sizeof(target)) < 0) {
    failure = std::strerror(errno);
  }
  close(sock);
  return failure;
}

// printf's digits as the C locale writes them, whatever locale the process
// has set: a decimal comma would break a G-code line. The thread uses it only
// while it formats, and no host call happens meanwhile.
class ClassicNumbers {
 public:
  ClassicNumbers() : previous_(uselocale(classic())) {}
  ~ClassicNumbers() { uselocale(previous_); }
  ClassicNumbers(const ClassicNumbers&) = delete;
  ClassicNumbers& operator=(const ClassicNumbers&) = delete;

 private:
  // Made once, never changed.
  static locale_t classic() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", nullptr);
    return locale;
  }
  locale_t previous_;
};

[[gnu::cold]] std::string format_any(const char* fmt, va_list args) {
  const ClassicNumbers numbers;
  // Most texts fit the buffer: numbers are formatted once, not measured first.
  char buffer[256];
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(buffer, sizeof(buffer), fmt, args);
  std::string text;
  if (length >= 0 && static_cast<std::size_t>(length) < sizeof(buffer)) {
    text.assign(buffer, static_cast<std::size_t>(length));
  } else if (length >= 0) {
    text.resize(static_cast<std::size_t>(length));
    std::vsnprintf(text.data(), text.size() + 1, fmt, again);
  }
  va_end(again);
  return text;
}

// Whole numbers below this are exact in a double and in the digits below.
constexpr double kExactWhole = 4503599627370496.0;  // 2^52
constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};

// A line written into a buffer on the stack: the G-code lines and messages
// are short, and are made without allocating until they are complete.
class LineWriter {
 public:
  bool fits(std::size_t count) const { return count <= static_cast<std::size_t>(end_ - out_); }
  bool put(const char* text, std::size_t count) {
    if (!fits(count)) return false;
    std::memcpy(out_, text, count);
    out_ += count;
    return true;
  }
  bool put(const char* text) { return put(text, std::strlen(text)); }
  bool put_int(int value) {
    char digits[16];
    const auto written = std::to_chars(digits, digits + sizeof(digits), value);
    return put(digits, static_cast<std::size_t>(written.ptr - digits));
  }
  // printf's "%.<precision>f" digits.
  bool put_fixed(double value, int precision) {
    return put_scaled(value, precision) || put_printf(value, precision);
  }
  std::string text() const { return std::string(buffer_, static_cast<std::size_t>(out_ - buffer_)); }

 private:
  // The exact value scaled and rounded half to even, as printf rounds, in
  // integer arithmetic. False where the scaled value is too large or no
  // number, or the digits do not fit.
  bool put_scaled(double value, int precision) {
    if (precision < 0 || precision > 6) return false;
    const double scale = kPowersOfTen[precision];
    const double scaled = std::fabs(value) * scale;
    if (!(scaled < kExactWhole)) return false;
    auto digits = static_cast<std::uint64_t>(scaled);
    // Exact: `scaled` is below 2^52.
    const double fraction = scaled - static_cast<double>(digits);
    if (fraction > 0.5) {
      ++digits;
    } else if (fraction == 0.5) {
      // `scaled` plus `error` is |value| * scale exactly. Only a halfway
      // `scaled` can be moved to either side by it: anywhere else the error
      // is smaller than the distance to the midpoint.
      const double error = std::fma(std::fabs(value), scale, -scaled);
      if (error > 0 || (error == 0 && digits % 2 == 1)) ++digits;
    }
    char number[32];
    char* const last = number + sizeof(number);
    char* p = last;
    for (int i = 0; i < precision; ++i) {
      *--p = static_cast<char>('0' + digits % 10);
      digits /= 10;
    }
    if (precision > 0) *--p = '.';
    do {
      *--p = static_cast<char>('0' + digits % 10);
      digits /= 10;
    } while (digits != 0);
    if (std::signbit(value)) *--p = '-';
    return put(p, static_cast<std::size_t>(last - p));
  }

  // The numbers put_scaled leaves: too large, not a number, too precise.
  [[gnu::cold]] bool put_printf(double value, int precision) {
    const ClassicNumbers numbers;
    const int length = std::snprintf(nullptr, 0, "%.*f", precision, value);
    if (length < 0 || !fits(static_cast<std::size_t>(length) + 1)) return false;
    std::snprintf(out_, static_cast<std::size_t>(length) + 1, "%.*f", precision, value);
    out_ += length;
    return true;
  }

  char buffer_[256];
  char* out_ = buffer_;
  char* const end_ = buffer_ + sizeof(buffer_);
};

// The text, or nothing where it does not fit the writer's buffer or uses
// another conversion than the module's own: %d, %f and %.<n>f.
std::optional<std::string> format_simple(const char* fmt, va_list args) {
  LineWriter line;
  for (const char* p = fmt; *p != '\0'; ++p) {
    if (*p != '%') {
      if (!line.put(p, 1)) return std::nullopt;
      continue;
    }
    ++p;
    bool written = false;
    if (*p == '%') {
      written = line.put("%", 1);
    } else if (*p == 'd') {
      written = line.put_int(va_arg(args, int));
    } else {
      // %f, or %.<precision>f
      int precision = 6;
      if (*p == '.' && std::isdigit(static_cast<unsigned char>(p[1]))) {
        precision = 0;
        for (++p; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
          precision = precision * 10 + (*p - '0');
        }
      }
      written = *p == 'f' && line.put_fixed(va_arg(args, double), precision);
    }
    if (!written) return std::nullopt;
  }
  return line.text();
}

}  // namespace

std::string vformat(const char* fmt, va_list args) {
  va_list again;
  va_copy(again, args);
  std::optional<std::string> text = format_simple(fmt, again);
  va_end(again);
  if (!text) text = format_any(fmt, args);
  return *std::move(text);
}

[[gnu::cold]] std::string shown(double value) { return format("%g", value); }

[[gnu::cold]] std::string shown(const std::array<double, 2>& values) {
  return shown(values[0]) + ", " + shown(values[1]);
}

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = vformat(fmt, args);
  va_end(args);
  return text;
}

[[gnu::cold]] bool ZCompensate::set_tri_wave_ip(const std::optional<std::string>& address,
                                               std::string* why) {
  if (!address) {
    tri_wave_ip.reset();
    tri_wave_addr_.reset();
    return true;
  }
  // The resolver reads up to the first NUL and would drop the rest unseen.
  if (address->find('\0') != std::string::npos) {
    *why = "an address holds no NUL character";
    return false;
  }
  std::optional<std::string> resolved = resolve_ipv4(*address, why);
  if (!resolved) return false;
  tri_wave_ip = address;
  tri_wave_addr_ = std::move(resolved);
  return true;
}

void ZCompensate::print_msg(std::string_view title, std::string_view msg, bool force) {
  if (!show_msg && !force) return;
  const auto dispatcher = gcode.get();
  if (title != "SHOW_WAVE") {
    dispatcher->respond_info(std::string("[").append(title).append("]").append(msg));
  }
  if (!tri_wave_ip) return;
  send_datagram(title, msg);
}

void ZCompensate::pnt_msg(const std::string& msg) {
  const auto dispatcher = gcode.get();
  if (show_msg) dispatcher->respond_info(msg);
}

void ZCompensate::pnt_msg(const char* fmt, ...) {
  if (!show_msg) return;
  va_list args;
  va_start(args, fmt);
  const std::string msg = vformat(fmt, args);
  va_end(args);
  pnt_msg(msg);
}

[[gnu::cold]] std::int64_t ZCompensate::title_index(std::string_view title) {
  for (const auto& [known, index] : dbg_msg) {
    if (known == title) return index;
  }
  const auto index = static_cast<std::int64_t>(dbg_msg.size());
  dbg_msg.emplace_back(std::string(title), index);
  return index;
}

// A datagram that cannot go out must not end the command that printed it: the
// host would take that as an internal error and shut the printer down.
[[gnu::cold]] void ZCompensate::send_datagram(std::string_view title, std::string_view msg) {
  const std::int64_t index = title_index(title);
  std::string payload = std::to_string(index);
  payload.append("$").append(title).append("$").append(time_of_day()).append("$").append(msg);
  payload.append("\n");
  const std::string address = *tri_wave_addr_;
  const std::string failure = send_udp(address, payload);
  if (failure.empty()) return;
  const auto dispatcher = gcode.get();
  dispatcher->respond_info("Diagnostics: datagram to " + address + ":" +
                           std::to_string(kDiagnosticsPort) + " dropped: " + failure);
}

}  // namespace zcomp
