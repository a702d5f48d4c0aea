// The bed probe's Z offset, measured against the nozzle's own contact height
// at two random points about a configured spot, and the full automatic run.
#include <array>
#include <cmath>

#include "z_compensate.h"

namespace zcomp {

void ZCompensate::cmd_Z_OFFSET_CALIBRATION(host::GCodeCommand& gcmd) {
  run_command("Z_OFFSET_CALIBRATION", [&] { calibrate(gcmd); });
}

void ZCompensate::calibrate(host::GCodeCommand& gcmd) {
  preflight("Z_OFFSET_CALIBRATION", {false, true}, configured_temperatures());
  const auto host_printer = printer.get();
  const auto dispatcher = gcode.get();
  const auto probe_module = tensink.get();
  auto record = records_.z_offset_calibration;

  auto_alignment_status = 4;
  auto mesh_host = host_printer->lookup_bed_mesh();
  bed_mesh = mesh_host;
  auto head = host_printer->lookup_toolhead();
  toolhead = head;

  const auto mesh = mesh_host->get_mesh();
  mesh_host->set_mesh(nullptr);
  cancel_gcode_z_offset();

  const double pr_pos_x = uniform_between(rng_, noz_pos_offset.at(0), noz_pos_offset.at(1));
  const double pr_pos_y = uniform_between(rng_, noz_pos_offset.at(0), noz_pos_offset.at(1));
  // Two points diagonally opposite each other about the centre.
  const double center_x = noz_pos_center.at(0);
  const double center_y = noz_pos_center.at(1);
  const std::array<std::array<double, 2>, 2> pr_pos{{
      {center_x + pr_pos_x, center_y + pr_pos_y},
      {center_x - pr_pos_x, center_y - pr_pos_y},
  }};
  const host::Position now_pos = head->get_position();

  std::array<double, 2> bl_data{};
  std::array<double, 2> pr_data{};
  std::array<double, 2> z_offset{};
  for (std::size_t i = 0; i < pr_pos.size(); ++i) {
    const double px = pr_pos[i][0];
    const double py = pr_pos[i][1];
    // The bed probe sits beside the nozzle: shift the toolhead to put it over the point.
    move({px - bl_offset[0], py - bl_offset[1], kBedProbeStartZ, now_pos[3]}, 100);
    auto bed_probe = host_printer->lookup_probe();
    bl_data[i] = bed_probe->run_probe(gcmd);

    probe_module->move({px, py, vs_start_z_pos, now_pos[3]}, 100);
    probe_module->get_mm_per_step();
    pr_data[i] = probe_module->run_step_tensink(
        {g29_down_min_z, 0, false, pr_probe_cnt, pr_probe_cnt, true, std::nullopt});
    z_offset[i] = bl_data[i] - pr_data[i];
  }

  const double z_offset_old = host_printer->lookup_probe()->z_offset();
  for (std::size_t i = 0; i < z_offset.size(); ++i) {
    const int index = static_cast<int>(i);
    pnt_msg("bl_data[%d]= %f, pr_data[%d] = %f, z_offset[%d] = %f", index,
            bl_data[i] - z_offset_old, index, pr_data[i] - z_offset_old, index, z_offset[i]);
  }
  const double z_offset_new = (z_offset[0] + z_offset[1]) / 2 - tri_expand_mm;
  pnt_msg("z_offset_new = %f ", z_offset_new);
  if (std::isfinite(z_offset_new)) {
    run_status.last_z_offset = z_offset_new;
    run_status.last_point_offsets = {z_offset[0], z_offset[1]};
  }

  // The offset is left unshifted on every refusal.
  const auto refuse = [&] {
    z_offset_move = 0;
    ck_and_raise_error(true, *record);
  };
  // A probe that reports nan or inf (or a stored probe offset that is one)
  // must never reach an offset line or the saved configuration.
  if (!std::isfinite(z_offset_new) || !std::isfinite(z_offset_old)) refuse();

  z_offset_move = z_offset_old - z_offset_new;
  send_gcode_z_offset_adjust(z_offset_move);
  pnt_msg("z_offset_new = %f ", z_offset_new);
  if (z_offset_new < 0) {
    send_gcode_z_offset_adjust(-z_offset_move);
    refuse();
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
  // The nozzle clearing reads its parameters from this command's line.
  preflight("Z_OFFSET_AUTO", {true, true}, read_wipe_temperatures(gcmd));
  // The nozzle is cleaned with no G-code Z offset applied.
  cancel_gcode_z_offset();
  cmd_VQ20MA_NOZZLE_CLEAR(gcmd);
  cmd_Z_OFFSET_CALIBRATION(gcmd);
  auto configfile = host_printer->lookup_configfile();
  configfile->cmd_CXSAVE_CONFIG(gcmd);
}

}  // namespace zcomp
