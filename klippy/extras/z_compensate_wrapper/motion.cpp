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

// "COMMAND refused: " while a command runs; a direct call's refusal has no prefix.
std::string refused_by(const RunStatus& run) {
  return run.running_command.empty() ? "" : run.running_command + " refused: ";
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
  if (std::isnan(feed_rate)) {
    throw std::domain_error(format("speed %g: cannot convert float NaN to integer", speed));
  }
  if (std::isinf(feed_rate)) {
    throw std::overflow_error(format("speed %g: cannot convert float infinity to integer", speed));
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

double ZCompensate::gcode_z_offset() {
  const auto host_printer = printer.get();
  const double offset = host_printer->lookup_gcode_move()->homing_position_z();
  if (!std::isfinite(offset)) {
    refuse(refused_by(run_status) +
           format("the G-code Z offset is %f, not a finite number; SET_GCODE_OFFSET Z=0 clears it",
                  offset));
  }
  return offset;
}

host::Position ZCompensate::toolhead_position(host::Toolhead& head) {
  const host::Position position = head.get_position();
  for (double coordinate : position) {
    if (!std::isfinite(coordinate)) {
      refuse(refused_by(run_status) +
             format("the toolhead's position %f, %f, %f, %f is not a finite position; "
                    "home the printer",
                    position[0], position[1], position[2], position[3]));
    }
  }
  return position;
}

// The shift stays recorded as 0.
double ZCompensate::cancel_gcode_z_offset() {
  z_offset_move = gcode_z_offset();
  const double found = z_offset_move;
  send_gcode_z_offset_adjust(0 - z_offset_move);
  z_offset_move = 0;
  return found;
}

// Sets the G-code Z offset to `z_offset` from whatever it is now.
void ZCompensate::restore_gcode_z_offset(double z_offset) {
  send_gcode_z_offset_adjust(z_offset - gcode_z_offset());
}

}  // namespace zcomp
