// Construction: the host objects, the tuning values of the configuration
// section in their fixed reading order, and the command registration.
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "z_compensate.h"

namespace zcomp {

namespace {

using Bounds = host::ConfigSection::Bounds;

// Bounds are handed to the host as written, whole numbers as integers, so
// that its messages read "must have minimum of 5".
host::Number whole(std::int64_t value) { return value; }

}  // namespace

namespace {

std::string format_any(const char* fmt, va_list args) {
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
    if (put_scaled(value, precision)) return true;
    const int length = std::snprintf(nullptr, 0, "%.*f", precision, value);
    if (length < 0 || !fits(static_cast<std::size_t>(length) + 1)) return false;
    std::snprintf(out_, static_cast<std::size_t>(length) + 1, "%.*f", precision, value);
    out_ += length;
    return true;
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

  char buffer_[256];
  char* out_ = buffer_;
  char* const end_ = buffer_ + sizeof(buffer_);
};

// The text, or nothing where it does not fit the writer's buffer or uses
// another conversion than the module's own: %s, %d, %f and %.<n>f.
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
    } else if (*p == 's') {
      written = line.put(va_arg(args, const char*));
    } else if (*p == 'd') {
      written = line.put_int(va_arg(args, int));
    } else if (*p == 'f') {
      written = line.put_fixed(va_arg(args, double), 6);
    } else if (*p == '.' && std::isdigit(static_cast<unsigned char>(p[1]))) {
      int precision = 0;
      for (++p; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        precision = precision * 10 + (*p - '0');
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

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = vformat(fmt, args);
  va_end(args);
  return text;
}

ZCompensate::ZCompensate(std::shared_ptr<host::ConfigSection> config_section,
                         ErrorRecords records)
    : records_(std::move(records)) {
  config = std::move(config_section);
  printer = config->get_printer();
  tensink = printer->lookup_tensink();
  gcode = printer->lookup_gcode();

  tri_wave_ip = config->get("tri_wave_ip");
  std::string why;
  if (!set_tri_wave_ip(tri_wave_ip, &why)) {
    config->raise_error(format("Option 'tri_wave_ip' in section '%s' names no usable address: %s",
                               config->name().c_str(), why.c_str()));
  }
  shut_down = false;

  tri_expand_mm = read_float("tri_expand_mm", 0.05, {-0.2, 0.3});
  g29_down_min_z = read_float("g29_down_min_z", 25, {whole(5), whole(500)});
  z_offset_cex_axis = read_float("z_offset_cex_axis", 3, {whole(1), whole(10)});

  z_offset_move = 0;
  dbg_msg.clear();
  sys_max_velocity = 0;
  sys_max_accel = 0;
  sys_max_z_velocity = 0;
  sys_max_z_accel = 0;

  gcode->register_command("Z_OFFSET_CALIBRATION", "cmd_Z_OFFSET_CALIBRATION");
  gcode->register_command("Z_OFFSET_AUTO", "cmd_Z_OFFSET_AUTO");
  gcode->register_command("VQTWENTYMA_NOZZLE_CLEAR", "cmd_VQ20MA_NOZZLE_CLEAR");
  // The printer's own sections are complete only once it is ready.
  printer->register_event_handler("klippy:ready", "_handle_ready");

  vs_start_z_pos = read_float("vs_start_z_pos", 3, {whole(0), whole(10)});
  show_msg = config->getboolean("show_msg", false);

  bl_offset = {0, 0};
  const std::vector<double> bl_pair = read_float_pair("bl_offset");
  bl_offset[0] = bl_pair[0];
  bl_offset[1] = bl_pair[1];
  noz_pos_center = read_float_pair("noz_pos_center");
  noz_pos_offset = read_float_pair("noz_pos_offset");

  pumpback_mm = read_float("pumpback_mm", 5, {whole(0), whole(80)});
  pr_probe_cnt = config->getint("pr_probe_cnt", 5, {whole(1), whole(10)});
  pr_clear_probe_cnt = config->getint("pr_clear_probe_cnt", 5, {whole(1), whole(10)});
  type_nozz = config->getint("type_nozz", 0, {whole(0), whole(5)});
  use_adc = config->getboolean("use_adc", false);
  hot_start_temp = read_float("hot_start_temp", 140, {whole(80), whole(200)});
  hot_end_temp = read_float("hot_end_temp", 140, {whole(80), whole(200)});
  hot_rub_temp = read_float("hot_rub_temp", 200, {whole(180), whole(300)});
  bed_add_temp = read_float("bed_add_temp", 60, {whole(45), whole(100)});
  pa_clr_dis_mm = read_float("pa_clr_dis_mm", 30, {whole(2), whole(100)});
  pa_clr_down_mm = read_float("pa_clr_down_mm", -0.15, {whole(-1), whole(1)});
  clr_noz_start_x = read_float("clr_noz_start_x", 0, {whole(-10), whole(1000)});
  clr_noz_start_y = read_float("clr_noz_start_y", 0, {whole(0), whole(1000)});
  clr_noz_len_x = read_float("clr_noz_len_x", 0, {whole(-10), whole(1000)});
  clr_noz_len_y = read_float("clr_noz_len_y", 0, {whole(-10), whole(1000)});
  clr_xy_spd = read_float("clr_xy_spd", 2.0, {0.1, whole(10)});

  // The hold thresholds suit the sensor's signal path: an ADC reads far
  // smaller numbers than the default counter does.
  tri_min_hold = config->getint("tri_min_hold", use_adc ? 3 : 2000, {whole(1), whole(200000)});
  tri_max_hold = config->getint("tri_max_hold", use_adc ? 3072 : 6000,
                                {whole(tri_min_hold), whole(600000)});

  bed_max_err = read_float("bed_max_err", 5, {whole(1), whole(10)});
  pa_clr_dis_mm_x = read_float("pa_clr_dis_mm_x", 0, {whole(0), whole(100)});
  pa_clr_dis_mm_y = read_float("pa_clr_dis_mm_y", 30, {whole(0), whole(100)});

  tri_z_down_spd = read_float("speed", 10, {0.1, whole(100)});
  tri_z_up_spd = read_float("lift_speed", tri_z_down_spd * 1.0, {0.1, whole(100)});
  rdy_xy_spd = read_float("rdy_xy_spd", 250, {whole(1), whole(1000)});
  rdy_z_spd = read_float("rdy_z_spd", tri_z_up_spd, {whole(1), whole(50)});

  acc_ctl_mm = read_float("acc_ctl_mm", 0.5, {whole(0), whole(10)});
  low_spd_nul = config->getint("low_spd_nul", 5, {whole(1), whole(10)});
  send_step_duty = config->getint("send_step_duty", 16, {whole(0), whole(10)});
  run_max_velocity = read_float("run_max_velocity", 500, {whole(1), whole(5000)});
  run_max_accel = read_float("run_max_accel", 500, {whole(1), whole(50000)});
  run_max_z_velocity = read_float("run_max_z_velocity", 20, {whole(1), whole(5000)});
  run_max_z_accel = read_float("run_max_z_accel", 200, {whole(1), whole(50000)});

  auto_alignment_status = 0;
}

// The host's getters accept "nan" and "inf" and its bound checks let NaN
// through; no such value may reach a heater target, a move or an offset.
double ZCompensate::read_float(const std::string& key, double default_value,
                               const Bounds& bounds) {
  const double value = config->getfloat(key, default_value, bounds);
  if (!std::isfinite(value)) {
    config->raise_error(format("Option '%s' in section '%s' must be a finite number", key.c_str(),
                               config->name().c_str()));
  }
  return value;
}

std::vector<double> ZCompensate::read_float_pair(const std::string& key) {
  std::vector<double> values = config->getfloatlist(key, 2);
  for (double value : values) {
    if (!std::isfinite(value)) {
      config->raise_error(format("Option '%s' in section '%s' must be a finite number",
                                 key.c_str(), config->name().c_str()));
    }
  }
  return values;
}

}  // namespace zcomp
