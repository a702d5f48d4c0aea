// Moves, pauses, the toolhead's speed limits and the G-code Z offset.
#include <cmath>
#include <stdexcept>

#include "z_compensate.h"

namespace zcomp {

namespace {

// The saved and the probing limits, in the order of the host's limits.
constexpr double ZCompensate::*kSavedLimits[] = {
    &ZCompensate::sys_max_velocity, &ZCompensate::sys_max_accel,
    &ZCompensate::sys_max_z_velocity, &ZCompensate::sys_max_z_accel};
constexpr double ZCompensate::*kProbingLimits[] = {
    &ZCompensate::run_max_velocity, &ZCompensate::run_max_accel,
    &ZCompensate::run_max_z_velocity, &ZCompensate::run_max_z_accel};

host::Toolhead::Limits limits_of(const ZCompensate& core, double ZCompensate::*const (&fields)[4]) {
  return {core.*fields[0], core.*fields[1], core.*fields[2], core.*fields[3]};
}

}  // namespace

void ZCompensate::move(const MoveTarget& pos, double speed, bool wait) {
  if (shut_down) return;
  if (pos.size() < 2) throw std::out_of_range("list index out of range");
  // Whoever called: klippy would take a coordinate that is no number.
  for (std::size_t i = 0; i < pos.size(); ++i) {
    checked_number(pos[i], kFinite,
                   [](const std::string& broken) { throw std::invalid_argument("pos " + broken); });
  }
  // The feed rate is written as a whole number, its fraction dropped; one
  // that is no number at all is refused before anything is sent.
  const double feed_rate = std::trunc(speed * 60);
  if (std::isnan(feed_rate)) throw std::domain_error("cannot convert float NaN to integer");
  if (std::isinf(feed_rate)) {
    throw std::overflow_error("cannot convert float infinity to integer");
  }
  // "%.0f" writes every digit of a whole number of any size; adding 0 turns
  // a negative zero into a plain 0.
  const std::string line =
      pos.size() < 3
          ? format("G1 F%.0f X%.3f Y%.3f", feed_rate + 0.0, pos[0], pos[1])
          : format("G1 F%.0f X%.3f Y%.3f Z%.3f", feed_rate + 0.0, pos[0], pos[1], pos[2]);
  const auto dispatcher = gcode.get();
  dispatcher->run_script_from_command(line);
  if (wait) toolhead->wait_moves();
}

void ZCompensate::delay_s(double delay_s) {
  const auto host_printer = printer.get();
  auto reactor = host_printer->get_reactor();
  const double t0 = reactor->monotonic();
  if (host_printer->is_shutdown()) return;
  toolhead->get_last_move_time();
  reactor->pause(t0 + delay_s);
}

void ZCompensate::set_step_par(bool load_sys) {
  auto head = toolhead.get();
  if (load_sys) {
    head->set_limits(limits_of(*this, kSavedLimits));
    return;
  }
  const host::Toolhead::Limits current = head->limits();
  for (std::size_t i = 0; i < current.size(); ++i) this->*kSavedLimits[i] = current[i];
  head->set_limits(limits_of(*this, kProbingLimits));
}

std::string gcode_offset_line(double z_adjust) {
  return format("SET_GCODE_OFFSEt Z_ADJUST=%f MOVE=1", z_adjust);
}

void ZCompensate::send_gcode_z_offset_adjust(double z_adjust) {
  const auto dispatcher = gcode.get();
  dispatcher->run_script_from_command(gcode_offset_line(z_adjust));
}

// The shift stays recorded as 0.
double ZCompensate::cancel_gcode_z_offset() {
  const auto host_printer = printer.get();
  z_offset_move = host_printer->lookup_gcode_move()->homing_position_z();
  const double found = z_offset_move;
  send_gcode_z_offset_adjust(0 - z_offset_move);
  z_offset_move = 0;
  return found;
}

// Sets the G-code Z offset to `z_offset` from whatever it is now.
void ZCompensate::restore_gcode_z_offset(double z_offset) {
  const auto host_printer = printer.get();
  const double now = host_printer->lookup_gcode_move()->homing_position_z();
  send_gcode_z_offset_adjust(z_offset - now);
}

}  // namespace zcomp
