// The sync-line test between the pressure probe's two microcontroller sides:
// the pressure side writes 0, then 1, and the stepping side must read each back.
#include "z_compensate.h"

namespace zcomp {

void ZCompensate::TEST_SWAP() {
  const auto host_printer = printer.get();
  toolhead = host_printer->lookup_toolhead();

  const auto probe_module = tensink.get();
  probe_module->write_swap(probe_module->pres_oid(), 0);
  const auto params0 = probe_module->read_swap(probe_module->step_oid());
  probe_module->write_swap(probe_module->pres_oid(), 1);
  const auto params1 = probe_module->read_swap(probe_module->step_oid());

  // A level is read only once both replies are known to carry one.
  const bool line_works = params0 && !params0->empty() && params1 && !params1->empty() &&
                          params0->sta() == 0 && params1->sta() == 1;
  if (line_works) {
    print_msg("SWAP_TEST", "---Swap Test Success---", true);
    return;
  }
  print_msg("SWAP_TEST", "!!!Swap Test ERROR!!!", true);
  auto record = records_.ssap_test;
  ck_and_raise_error(true, *record);
}

}  // namespace zcomp
