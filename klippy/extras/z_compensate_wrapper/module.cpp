// Construction: the host objects, the tuning values of the configuration
// section in their fixed reading order, and the command registration.
#include "z_compensate.h"

namespace zcomp {

void throw_missing_attribute(const char* attribute) { throw MissingAttribute(attribute); }

ZCompensate::ZCompensate(std::shared_ptr<host::ConfigSection> config_section,
                         ErrorRecords records)
    : records_(std::move(records)) {
  config = config_section;
  printer = config->get_printer();
  tensink = printer->lookup_tensink();
  gcode = printer->lookup_gcode();

  SettingsReader reader(std::move(config_section));
  read_diagnostics_receiver(reader);
  reader.read_calibration_values(*this);
  register_commands();
  reader.read_measuring_spot(*this);
  reader.read_wipe(*this);
  reader.read_hold_thresholds(*this);
  reader.read_stroke_and_speeds(*this);
  reader.read_stepping_and_limits(*this);
  reader.read_plausibility_limits(*this);
  on_error_gcode = config->load_template("on_error_gcode");
}

void ZCompensate::read_diagnostics_receiver(SettingsReader& reader) {
  tri_wave_ip = config->get("tri_wave_ip");
  std::string why;
  if (!set_tri_wave_ip(tri_wave_ip, &why)) {
    reader.key_refusal("tri_wave_ip")("names no usable address: " + why);
  }
}

void ZCompensate::register_commands() {
  for (const CommandDefinition* command : kCommands) {
    gcode->register_command(command->name, command->handler);
  }
  // The printer's own sections are complete only once it is ready.
  printer->register_event_handler("klippy:ready", "_handle_ready");
}

}  // namespace zcomp
