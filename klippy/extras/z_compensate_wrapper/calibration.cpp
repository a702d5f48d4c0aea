// The bed probe's Z offset, measured against the nozzle's own contact height
// at two random points about a configured spot, and the full automatic run.
#include <array>
#include <cmath>

#include "z_compensate.h"

namespace zcomp {

void ZCompensate::cmd_Z_OFFSET_CALIBRATION(host::GCodeCommand& gcmd) {
  run_command(kZOffsetCalibrationCommand.name, [&] { calibrate(gcmd); });
}

OffsetLimits ZCompensate::read_offset_limits(host::GCodeCommand& gcmd) {
  const auto host_printer = printer.get();
  OffsetLimits limits{};
  limits.max_offset_change = read_parameter(*host_printer, gcmd, kMaxOffsetChangeParameter,
                                            max_offset_change, limits.given);
  limits.point_tolerance = read_parameter(*host_printer, gcmd, kPointToleranceParameter,
                                          point_tolerance, limits.given);
  // The host's command object reads numbers as floats only.
  limits.point_retries = static_cast<std::int64_t>(
      read_parameter(*host_printer, gcmd, kPointRetriesParameter,
                     static_cast<double>(point_retries), limits.given));
  return limits;
}

std::array<double, 2> ZCompensate::measure_point_offsets(host::GCodeCommand& gcmd,
                                                         const host::Position& start_pos,
                                                         double z_offset_old) {
  const auto host_printer = printer.get();
  const auto probe_module = tensink.get();

  reseed_draws();
  const double pr_pos_x = uniform_between(rng_, noz_pos_offset.at(0), noz_pos_offset.at(1));
  const double pr_pos_y = uniform_between(rng_, noz_pos_offset.at(0), noz_pos_offset.at(1));
  // Two points diagonally opposite each other about the centre.
  const double center_x = noz_pos_center.at(0);
  const double center_y = noz_pos_center.at(1);
  const std::array<std::array<double, 2>, 2> pr_pos{{
      {center_x + pr_pos_x, center_y + pr_pos_y},
      {center_x - pr_pos_x, center_y - pr_pos_y},
  }};

  std::array<double, 2> bl_data{};
  std::array<double, 2> pr_data{};
  std::array<double, 2> z_offset{};
  for (std::size_t i = 0; i < pr_pos.size(); ++i) {
    const double px = pr_pos[i][0];
    const double py = pr_pos[i][1];
    // The bed probe sits beside the nozzle: shift the toolhead to put it over the point.
    move({px - bl_offset[0], py - bl_offset[1], kBedProbeStartZ, start_pos[3]}, 100);
    auto bed_probe = host_printer->lookup_probe();
    bl_data[i] = bed_probe->run_probe(gcmd);

    probe_module->move({px, py, vs_start_z_pos, start_pos[3]}, 100);
    probe_module->get_mm_per_step();
    pr_data[i] = probe_module->run_step_tensink(
        {g29_down_min_z, 0, false, pr_probe_cnt, pr_probe_cnt, true, std::nullopt});
    z_offset[i] = bl_data[i] - pr_data[i];
  }

  for (std::size_t i = 0; i < z_offset.size(); ++i) {
    const int index = static_cast<int>(i);
    pnt_msg("bl_data[%d]= %f, pr_data[%d] = %f, z_offset[%d] = %f", index,
            bl_data[i] - z_offset_old, index, pr_data[i] - z_offset_old, index, z_offset[i]);
  }
  return z_offset;
}

void ZCompensate::calibrate(host::GCodeCommand& gcmd) {
  const OffsetLimits limits = read_offset_limits(gcmd);
  preflight(kZOffsetCalibrationCommand.name, {false, true}, configured_temperatures());
  const auto host_printer = printer.get();
  const auto dispatcher = gcode.get();
  const std::string command = run_status.running_command;

  auto_alignment_status = 4;
  auto mesh_host = host_printer->lookup_bed_mesh();
  bed_mesh = mesh_host;
  auto head = host_printer->lookup_toolhead();
  toolhead = head;

  const auto mesh = mesh_host->get_mesh();
  mesh_host->set_mesh(nullptr);
  const double found_gcode_z_offset = cancel_gcode_z_offset();
  if (command == kZOffsetCalibrationCommand.name) start_gcode_z_offset_ = found_gcode_z_offset;
  const host::Position now_pos = toolhead_position(*head);
  const double z_offset_old = host_printer->lookup_probe()->z_offset();

  const OffsetMeasurement measured = measure_offset(gcmd, now_pos, z_offset_old, limits);
  shift_to_new_offset(measured.z_offset_new, z_offset_old);
  // A result beyond the plausibility limits ends the command as the host's
  // command error, with the printer as the command found it and nothing saved.
  const std::string implausible = implausible_result(measured, z_offset_old, limits);
  if (!implausible.empty()) {
    z_offset_move = 0;
    restore_gcode_z_offset(start_gcode_z_offset_);
    mesh_host->set_mesh(mesh);
    refuse(command + " refused: " + implausible);
  }
  save_new_offset(*dispatcher, measured.z_offset_new);
  mesh_host->set_mesh(mesh);
  auto_alignment_status = 5;
}

// Points whose offsets lie further apart than the tolerance are measured
// again at new draws; a result that the error routine refuses is not.
ZCompensate::OffsetMeasurement ZCompensate::measure_offset(host::GCodeCommand& gcmd,
                                                           const host::Position& start_pos,
                                                           double z_offset_old,
                                                           const OffsetLimits& limits) {
  OffsetMeasurement measured{};
  run_status.last_remeasurements = 0;
  for (;;) {
    measured.point_offsets = measure_point_offsets(gcmd, start_pos, z_offset_old);
    const std::array<double, 2>& z_offset = measured.point_offsets;
    measured.z_offset_new = (z_offset[0] + z_offset[1]) / 2 - tri_expand_mm;
    measured.spread = std::fabs(z_offset[0] - z_offset[1]);
    pnt_msg("z_offset_new = %f ", measured.z_offset_new);
    if (std::isfinite(measured.z_offset_new)) {
      run_status.last_z_offset = measured.z_offset_new;
      run_status.last_point_offsets = {z_offset[0], z_offset[1]};
      run_status.last_point_spread = measured.spread;
    }
    const bool points_agree =
        limits.point_tolerance == 0 || measured.spread <= limits.point_tolerance;
    if (!std::isfinite(measured.z_offset_new) || measured.z_offset_new < 0 || points_agree ||
        run_status.last_remeasurements == limits.point_retries) {
      return measured;
    }
    ++run_status.last_remeasurements;
    pnt_msg("the points' offsets differ by %f mm, measuring them again", measured.spread);
  }
}

// Shifts the G-code Z offset by the change of the probe's offset; a result
// that is no number or negative goes to the error routine, the offset left
// unshifted.
void ZCompensate::shift_to_new_offset(double z_offset_new, double z_offset_old) {
  auto record = records_.z_offset_calibration;
  const auto refuse_by_error_routine = [&] {
    z_offset_move = 0;
    ck_and_raise_error(true, *record);
  };
  // A probe that reports nan or inf (or a stored probe offset that is one)
  // must never reach an offset line or the saved configuration.
  if (!std::isfinite(z_offset_new) || !std::isfinite(z_offset_old)) refuse_by_error_routine();

  z_offset_move = z_offset_old - z_offset_new;
  send_gcode_z_offset_adjust(z_offset_move);
  pnt_msg("z_offset_new = %f ", z_offset_new);
  if (z_offset_new < 0) {
    send_gcode_z_offset_adjust(-z_offset_move);
    refuse_by_error_routine();
  }
}

// Why the result lies beyond the plausibility limits, or an empty text.
// Written so that a spread or a change that is no number is refused.
std::string ZCompensate::implausible_result(const OffsetMeasurement& measured,
                                            double z_offset_old, const OffsetLimits& limits) {
  if (limits.point_tolerance != 0 && !(measured.spread <= limits.point_tolerance)) {
    const std::int64_t retries = run_status.last_remeasurements;
    return format("the two points' offsets %f and %f differ by %f mm, more than ",
                  measured.point_offsets[0], measured.point_offsets[1], measured.spread) +
           setting_source(limits.point_tolerance, limits.given, kPointToleranceParameter) +
           format("; the points were measured again %d time", static_cast<int>(retries)) +
           (retries == 1 ? " (" : "s (") +
           setting_source(static_cast<double>(limits.point_retries), limits.given,
                          kPointRetriesParameter) +
           ")";
  }
  const double change = std::fabs(measured.z_offset_new - z_offset_old);
  if (limits.max_offset_change != 0 && !(change <= limits.max_offset_change)) {
    return format("the new offset %f lies %f mm from the probe's z_offset %f, more than ",
                  measured.z_offset_new, change, z_offset_old) +
           setting_source(limits.max_offset_change, limits.given, kMaxOffsetChangeParameter);
  }
  return "";
}

// The host folds the G-code Z offset into the probe's offset, which then
// reads z_offset_new, and writes it to the configuration file.
void ZCompensate::save_new_offset(host::GCode& dispatcher, double z_offset_new) {
  dispatcher.run_script_from_command("Z_OFFSET_APPLY_PROBE");
  dispatcher.run_script_from_command("CXSAVE_CONFIG");
  run_status.saved_z_offset = z_offset_new;
}

void ZCompensate::cmd_Z_OFFSET_AUTO(host::GCodeCommand& gcmd) {
  run_command(kZOffsetAutoCommand.name, [&] { z_offset_auto(gcmd); });
}

void ZCompensate::z_offset_auto(host::GCodeCommand& gcmd) {
  const auto host_printer = printer.get();

  TEST_SWAP();
  // The nozzle clearing and the calibration read their parameters from this
  // command's line; all are checked before anything heats or moves.
  read_offset_limits(gcmd);
  preflight(kZOffsetAutoCommand.name, {true, true}, read_wipe_temperatures(gcmd));
  // The nozzle is cleaned with no G-code Z offset applied; a refused
  // calibration puts back the one found here.
  start_gcode_z_offset_ = cancel_gcode_z_offset();
  cmd_VQ20MA_NOZZLE_CLEAR(gcmd);
  cmd_Z_OFFSET_CALIBRATION(gcmd);
  auto configfile = host_printer->lookup_configfile();
  configfile->cmd_CXSAVE_CONFIG(gcmd);
}

}  // namespace zcomp
