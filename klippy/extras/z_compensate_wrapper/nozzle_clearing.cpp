// Nozzle clearing: heat, find the bed at both ends of a random short stroke
// with the pressure probe, rub the hot nozzle along it, cool it under the fan
// and home Z.
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "z_compensate.h"

namespace zcomp {

std::uint64_t wall_clock_seed() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count());
}

void ZCompensate::reseed_draws() {
  const std::optional<std::uint64_t> fixed = printer->draw_seed();
  rng_.seed(fixed ? numbered_seed(*fixed, seeded_draw_sets_++) : wall_clock_seed());
}

void ZCompensate::vq20ma_clear_nozzle(WipeTemperatures temps) {
  const auto dispatcher = gcode.get();

  auto_alignment_status = 0;
  const double min_x = clr_noz_start_x;
  const double min_y = clr_noz_start_y;
  cancel_gcode_z_offset();

  // This nozzle type is rubbed, probed and left at one temperature.
  if (type_nozz == 1) {
    temps.hot_start_temp = temps.hot_rub_temp;
    temps.hot_end_temp = temps.hot_rub_temp;
  }
  set_bed_temps(temps.bed_add_temp, false);
  set_hot_temps(temps.hot_start_temp, false, 10);

  auto mesh_host = bed_mesh.get();
  const auto mesh = mesh_host->get_mesh();
  mesh_host->set_mesh(nullptr);
  set_step_par(false);

  Stroke stroke = draw_stroke(min_x, min_y);
  heat_for_wipe(temps);
  find_bed_at_stroke_ends(stroke);
  rub_along_stroke(*dispatcher, stroke, temps);
  cool_down_after_stroke(*dispatcher, stroke, temps);

  set_step_par(true);
  mesh_host->set_mesh(mesh);
  dispatcher->run_script_from_command("G28 Z");
}

// The stroke lies inside the wipe area when the area is at least as large;
// a smaller area gives a negative span and a stroke starting before it. Its
// heights are the travel height until the bed has been found.
ZCompensate::Stroke ZCompensate::draw_stroke(double min_x, double min_y) {
  reseed_draws();
  Stroke stroke{};
  stroke.sx = min_x + uniform_between(rng_, 0, clr_noz_len_x - pa_clr_dis_mm_x);
  stroke.sy = min_y + uniform_between(rng_, 0, clr_noz_len_y - pa_clr_dis_mm_y);
  stroke.sz = bed_max_err;
  stroke.ex = stroke.sx + pa_clr_dis_mm_x;
  stroke.ey = stroke.sy + pa_clr_dis_mm_y;
  stroke.ez = stroke.sz;
  return stroke;
}

void ZCompensate::heat_for_wipe(const WipeTemperatures& temps) {
  auto_alignment_status = 1;
  set_hot_temps(temps.hot_start_temp, true, 10);
  auto_alignment_status = 2;
  set_bed_temps(temps.bed_add_temp, true);
  auto_alignment_status = 3;
}

// The same descent at both ends of the stroke; each yields the bed height there.
void ZCompensate::find_bed_at_stroke_ends(Stroke& stroke) {
  const auto probe_module = tensink.get();
  const std::array<std::int64_t, 2> holds{tri_min_hold, tri_max_hold};
  const host::PressureProbe::DescentArgs descent{
      g29_down_min_z, 0, false, pr_clear_probe_cnt, pr_clear_probe_cnt, true, holds};
  move({stroke.sx, stroke.sy, stroke.sz}, rdy_xy_spd);
  stroke.sz = probe_module->run_step_tensink(descent);
  move({stroke.ex, stroke.ey, stroke.ez}, rdy_xy_spd);
  stroke.ez = probe_module->run_step_tensink(descent);
  // A probe that reports nan or inf has mistriggered; no move may use it.
  if (!std::isfinite(stroke.sz) || !std::isfinite(stroke.ez)) {
    auto record = records_.z_offset_calibration;
    ck_and_raise_error(true, *record);
  }
  check_stroke_heights(stroke.sz, stroke.ez);
}

void ZCompensate::rub_along_stroke(host::GCode& dispatcher, const Stroke& stroke,
                                   const WipeTemperatures& temps) {
  move({stroke.sx, stroke.sy, bed_max_err}, rdy_xy_spd);
  move({stroke.sx, stroke.sy + 5, stroke.sz - pa_clr_down_mm}, rdy_z_spd);
  // The nozzle reaches rubbing temperature while it rests on the bed.
  set_hot_temps(temps.hot_rub_temp, true, kRubTolerance);
  // Relative mode draws the filament back by pumpback_mm; absolute mode is
  // back before the stroke.
  dispatcher.run_script_from_command("G91");
  dispatcher.run_script_from_command(format("G0 E-%f", pumpback_mm));
  dispatcher.run_script_from_command("G90");
  move({stroke.ex, stroke.ey - 5, stroke.ez + pa_clr_down_mm}, clr_xy_spd);
}

// Cools down under the fan while resting at the end of the stroke.
void ZCompensate::cool_down_after_stroke(host::GCode& dispatcher, const Stroke& stroke,
                                         const WipeTemperatures& temps) {
  dispatcher.run_script_from_command("M106 S255");
  set_hot_temps(temps.hot_end_temp, true, 5);
  set_bed_temps(temps.bed_add_temp, true, 5);
  move({stroke.ex + pa_clr_dis_mm, stroke.ey, stroke.ez + bed_max_err}, 100);
  dispatcher.run_script_from_command("M107");
  set_bed_temps(temps.bed_add_temp, true, 5);
}

// Each parameter is refused as soon as it is read, before anything heats or moves.
WipeTemperatures ZCompensate::read_wipe_temperatures(host::GCodeCommand& gcmd) {
  const auto host_printer = printer.get();
  WipeTemperatures temps{};
  const auto read = [&](const CommandParameter& parameter, double configured) {
    return read_parameter(*host_printer, gcmd, parameter, configured, temps.given);
  };
  temps.hot_start_temp = read(kHotStartTempParameter, hot_start_temp);
  temps.hot_rub_temp = read(kHotRubTempParameter, hot_rub_temp);
  temps.hot_end_temp = read(kHotEndTempParameter, hot_end_temp);
  temps.bed_add_temp = read(kBedAddTempParameter, bed_add_temp);
  return temps;
}

void ZCompensate::cmd_VQ20MA_NOZZLE_CLEAR(host::GCodeCommand& gcmd) {
  run_command(kNozzleClearCommand.name, [&] { clear_nozzle(gcmd); });
}

void ZCompensate::clear_nozzle(host::GCodeCommand& gcmd) {
  const auto host_printer = printer.get();

  TEST_SWAP();
  const WipeTemperatures temps = read_wipe_temperatures(gcmd);
  preflight(kNozzleClearCommand.name, {true, false}, temps);

  bed_mesh = host_printer->lookup_bed_mesh();
  toolhead = host_printer->lookup_toolhead();
  pheaters = host_printer->lookup_heaters();
  heater_hot = host_printer->lookup_heater("extruder");
  heater_bed = host_printer->lookup_heater("heater_bed");
  vq20ma_clear_nozzle(temps);
}

}  // namespace zcomp
