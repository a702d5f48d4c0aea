// Heater targets for the nozzle and the bed, with an optional wait until the
// measured temperature is within a tolerance of the target.
#include <cmath>

#include "z_compensate.h"

namespace zcomp {

void ZCompensate::set_hot_temps(double temp, bool wait, double err) {
  set_heater_temp(heater_hot, temp, wait, err);
}

void ZCompensate::set_bed_temps(double temp, bool wait, double err) {
  set_heater_temp(heater_bed, temp, wait, err);
}

void ZCompensate::set_heater_temp(const HostRef<host::Heater>& heater_ref, double temp, bool wait,
                                  double err) {
  // A wait for nan, or within a tolerance that no temperature meets, would
  // never end.
  if (!std::isfinite(temp)) {
    throw std::invalid_argument(format("temp must be a finite number, not %g", temp));
  }
  if (!(err >= 0) || !std::isfinite(err)) {
    throw std::invalid_argument(format("err must be a finite number of 0 or more, not %g", err));
  }
  const auto heaters = pheaters.get();
  const auto heater = heater_ref.get();
  const auto host_printer = printer.get();

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
