// Console lines and the UDP diagnostic datagrams.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "z_compensate.h"

namespace zcomp {

namespace {

constexpr int kDiagnosticsPort = 21021;

// A numeric IPv4 address as it stands, anything else through one name lookup.
std::optional<std::string> resolve_ipv4(const std::string& name, std::string* why) {
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

std::string time_of_day() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16] = {};
  std::strftime(text, sizeof(text), "%H:%M:%S ", &local);
  return text;
}

// Sends one datagram on a socket of its own; returns the failure's reason, or
// an empty text when it went out.
std::string send_udp(const std::string& address, const std::string& payload) {
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

}  // namespace

bool ZCompensate::set_tri_wave_ip(const std::optional<std::string>& address, std::string* why) {
  if (!address) {
    tri_wave_ip.reset();
    tri_wave_addr_.reset();
    return true;
  }
  std::optional<std::string> resolved = resolve_ipv4(*address, why);
  if (!resolved) return false;
  tri_wave_ip = address;
  tri_wave_addr_ = std::move(resolved);
  return true;
}

void ZCompensate::print_msg(std::string_view title, std::string_view msg, bool force) {
  if (!show_msg && !force) return;
  auto dispatcher = gcode;
  if (title != "SHOW_WAVE") {
    dispatcher->respond_info(std::string("[").append(title).append("]").append(msg));
  }
  if (!tri_wave_ip) return;
  send_datagram(title, msg);
}

void ZCompensate::pnt_msg(const std::string& msg) {
  auto dispatcher = gcode;
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

std::int64_t ZCompensate::title_index(std::string_view title) {
  for (const auto& [known, index] : dbg_msg) {
    if (known == title) return index;
  }
  const auto index = static_cast<std::int64_t>(dbg_msg.size());
  dbg_msg.emplace_back(std::string(title), index);
  return index;
}

// A datagram that cannot go out must not end the command that printed it: the
// host would take that as an internal error and shut the printer down.
void ZCompensate::send_datagram(std::string_view title, std::string_view msg) {
  const std::int64_t index = title_index(title);
  std::string payload = std::to_string(index);
  payload.append("$").append(title).append("$").append(time_of_day()).append("$").append(msg);
  payload.append("\n");
  const std::string address = *tri_wave_addr_;
  const std::string failure = send_udp(address, payload);
  if (failure.empty()) return;
  auto dispatcher = gcode;
  dispatcher->respond_info(format("Diagnostics: datagram to %s:%d dropped: %s", address.c_str(),
                                  kDiagnosticsPort, failure.c_str()));
}

}  // namespace zcomp
