// The bed probe's Z offset, measured against the nozzle's own contact height
// at two random points about a configured spot, and the full automatic run.
#include <array>
#include <cmath>

#include "z_compensate.h"

namespace zcomp {

void ZCompensate::cmd_Z_OFFSET_CALIBRATION(host::GCodeCommand& gcmd) {
  run_command("Z_OFFSET_CALIBRATION", [&] { calibrate(gcmd); });
}

OffsetLimits ZCompensate::read_offset_limits(host::GCodeCommand& gcmd) {
  const auto host_printer = printer.get();
  OffsetLimits limits{};
  limits.max_offset_change = read_parameter(*host_printer, gcmd, "MAX_OFFSET_CHANGE",
                                            max_offset_change, kDistanceLimit, limits.given);
  limits.point_tolerance = read_parameter(*host_printer, gcmd, "POINT_TOLERANCE",
                                          point_tolerance, kDistanceLimit, limits.given);
  // The host's command object reads numbers as floats only.
  limits.point_retries = static_cast<std::int64_t>(
      read_parameter(*host_printer, gcmd, "POINT_RETRIES", static_cast<double>(point_retries),
                     kRetriesLimit, limits.given));
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
  preflight("Z_OFFSET_CALIBRATION", {false, true}, configured_temperatures());
  const auto host_printer = printer.get();
  const auto dispatcher = gcode.get();
  auto record = records_.z_offset_calibration;
  const std::string command = run_status.running_command;

  auto_alignment_status = 4;
  auto mesh_host = host_printer->lookup_bed_mesh();
  bed_mesh = mesh_host;
  auto head = host_printer->lookup_toolhead();
  toolhead = head;

  const auto mesh = mesh_host->get_mesh();
  mesh_host->set_mesh(nullptr);
  const double found_gcode_z_offset = cancel_gcode_z_offset();
  if (command == "Z_OFFSET_CALIBRATION") start_gcode_z_offset_ = found_gcode_z_offset;
  const host::Position now_pos = toolhead_position(*head);
  const double z_offset_old = host_printer->lookup_probe()->z_offset();

  // Points whose offsets lie further apart than the tolerance are measured
  // again at new draws; a result that the error routine refuses below is not.
  std::array<double, 2> z_offset{};
  double z_offset_new = 0;
  double spread = 0;
  run_status.last_remeasurements = 0;
  for (;;) {
    z_offset = measure_point_offsets(gcmd, now_pos, z_offset_old);
    z_offset_new = (z_offset[0] + z_offset[1]) / 2 - tri_expand_mm;
    spread = std::fabs(z_offset[0] - z_offset[1]);
    pnt_msg("z_offset_new = %f ", z_offset_new);
    if (std::isfinite(z_offset_new)) {
      run_status.last_z_offset = z_offset_new;
      run_status.last_point_offsets = {z_offset[0], z_offset[1]};
      run_status.last_point_spread = spread;
    }
    const bool points_agree = limits.point_tolerance == 0 || spread <= limits.point_tolerance;
    if (!std::isfinite(z_offset_new) || z_offset_new < 0 || points_agree ||
        run_status.last_remeasurements == limits.point_retries) {
      break;
    }
    ++run_status.last_remeasurements;
    pnt_msg("the points' offsets differ by %f mm, measuring them again", spread);
  }

  // The offset is left unshifted on every refusal.
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

  // A result beyond the plausibility limits ends the command as the host's
  // command error, with the printer as the command found it and nothing saved.
  const auto refuse_implausible = [&](const std::string& why) {
    z_offset_move = 0;
    restore_gcode_z_offset(start_gcode_z_offset_);
    mesh_host->set_mesh(mesh);
    refuse(command + " refused: " + why);
  };
  // Written so that a spread or a change that is no number is refused.
  if (limits.point_tolerance != 0 && !(spread <= limits.point_tolerance)) {
    refuse_implausible(
        format("the two points' offsets %f and %f differ by %f mm, more than ", z_offset[0],
               z_offset[1], spread) +
        setting_source(limits.point_tolerance, limits.given, "point_tolerance",
                       "POINT_TOLERANCE") +
        format("; the points were measured again %d time",
               static_cast<int>(run_status.last_remeasurements)) +
        (run_status.last_remeasurements == 1 ? " (" : "s (") +
        setting_source(static_cast<double>(limits.point_retries), limits.given, "point_retries",
                       "POINT_RETRIES") +
        ")");
  }
  const double change = std::fabs(z_offset_new - z_offset_old);
  if (limits.max_offset_change != 0 && !(change <= limits.max_offset_change)) {
    refuse_implausible(format("the new offset %f lies %f mm from the probe's z_offset %f, more "
                              "than ",
                              z_offset_new, change, z_offset_old) +
                       setting_source(limits.max_offset_change, limits.given,
                                      "max_offset_change", "MAX_OFFSET_CHANGE"));
  }

  // The host folds the G-code Z offset into the probe's offset, which then
  // reads z_offset_new, and writes it to the configuration file.
  dispatcher->run_script_from_command("Z_OFFSET_APPLY_PROBE");
  dispatcher->run_script_from_command("CXSAVE_CONFIG");
  run_status.saved_z_offset = z_offset_new;
  mesh_host->set_mesh(mesh);
  auto_alignment_status = 5;
}

void ZCompensate::cmd_Z_OFFSET_AUTO(host::GCodeCommand& gcmd) {
  run_command("Z_OFFSET_AUTO", [&] { z_offset_auto(gcmd); });
}

void ZCompensate::z_offset_auto(host::GCodeCommand& gcmd) {
  const auto host_printer = printer.get();

  TEST_SWAP();
  // The nozzle clearing and the calibration read their parameters from this
  // command's line; all are checked before anything heats or moves.
  read_offset_limits(gcmd);
  preflight("Z_OFFSET_AUTO", {true, true}, read_wipe_temperatures(gcmd));
  // The nozzle is cleaned with no G-code Z offset applied; a refused
  // calibration puts back the one found here.
  start_gcode_z_offset_ = cancel_gcode_z_offset();
  cmd_VQ20MA_NOZZLE_CLEAR(gcmd);
  cmd_Z_OFFSET_CALIBRATION(gcmd);
  auto configfile = host_printer->lookup_configfile();
  configfile->cmd_CXSAVE_CONFIG(gcmd);
}

}  // namespace zcomp
