// Heater targets for the nozzle and the bed, with an optional wait until the
// measured temperature is within a tolerance of the target.
#include <cmath>

#include "z_compensate.h"

namespace zcomp {

void ZCompensate::set_hot_temps(double temp, bool wait, double err) {
  set_heater_temp(heater_hot, "heater_hot", temp, wait, err);
}

void ZCompensate::set_bed_temps(double temp, bool wait, double err) {
  set_heater_temp(heater_bed, "heater_bed", temp, wait, err);
}

void ZCompensate::set_heater_temp(const std::shared_ptr<host::Heater>& heater_ref,
                                  const char* attribute, double temp, bool wait, double err) {
  auto heaters = require(pheaters, "pheaters");
  auto heater = require(heater_ref, attribute);
  auto host_printer = printer;

  heaters->set_temperature(*heater, temp);
  if (!wait) return;

  // The wait follows the heater's current target, so a target dropped to 0
  // elsewhere ends it. A host shutdown ends it too: the pause returns at once
  // then, and the loop would spin without yielding.
  while (true) {
    if (shut_down) return;
    if (host_printer->is_shutdown()) return;
    if (std::fabs(heater->target_temp() - heater->smoothed_temp()) <= err) return;
    if (heater->target_temp() <= 0) return;
    delay_s(0.1);
  }
}

}  // namespace zcomp
