// The one way a procedure stops on a detected fault: a stepping run of the
// probe module, Z declared 0 and homed, the error record reported, the host
// shut down and the command ended with the record's text.
#include <chrono>
#include <exception>

#include "z_compensate.h"

namespace zcomp {

namespace {

constexpr double kStepResultWait = 20;     // seconds, on the wall clock
constexpr double kStepResultPoll = 0.01;   // seconds between two checks
constexpr const char* kUnshownRecordShutdown =
    "Shutdown due to a detected fault whose error record could not be shown";

double wall_clock_seconds() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(since_epoch).count();
}

}  // namespace

void ZCompensate::ck_and_raise_error(bool ck, ErrorRecord& err_code) {
  if (!ck) return;
  error_routine_entered_ = true;
  const auto probe_module = tensink.get();
  const auto host_printer = printer.get();
  auto head = toolhead.get();

  probe_module->enable_steps();
  const host::Position now_pos = head->get_position();
  const auto [step_cnt, step_us, acc_ctl_cnt] =
      probe_module->get_step_cnts(g29_down_min_z, tri_z_down_spd);
  const host::Number step_oid = probe_module->step_oid();
  probe_module->send_start_step_tensink(
      {step_oid, std::int64_t{1}, probe_module->tri_send_ms(), step_cnt, step_us, acc_ctl_cnt,
       low_spd_nul, send_step_duty, std::int64_t{0}});

  // Stops as soon as the host is shut down: its pauses no longer wait then.
  const double t_last = wall_clock_seconds();
  while (wall_clock_seconds() - t_last < kStepResultWait && !host_printer->is_shutdown() &&
         probe_module->step_result_count() != static_cast<std::size_t>(MAX_BUF_LEN)) {
    delay_s(kStepResultPoll);
  }
  probe_module->send_start_step_tensink({step_oid, std::int64_t{0}, std::int64_t{0},
                                         std::int64_t{0}, std::int64_t{0}, std::int64_t{0},
                                         low_spd_nul, send_step_duty, std::int64_t{0}});

  head->set_position_z_homed({now_pos[0], now_pos[1], 0, now_pos[3]});

  // The printer now takes its Z as homed at 0: whatever fails from here on,
  // every later step still runs and it must not stay running. Only the host
  // ending the command stops the routine.
  const auto pass_host_exit = [&](const std::exception_ptr& failure) {
    if (failure && host_printer->is_host_exit(failure)) std::rethrow_exception(failure);
  };
  pass_host_exit(attempt([&] { probe_module->disable_steps(); }));
  // The record is the caller's object: one that cannot take the values or
  // show itself still ends in the shutdown, with the text that could be made.
  const std::exception_ptr record_failure = attempt([&] { err_code.attach_values(); });
  pass_host_exit(record_failure);
  pass_host_exit(attempt([&] { print_msg("RAISE_ERROR", err_code.text(""), true); }));

  std::string shutdown_text = kUnshownRecordShutdown;
  const std::exception_ptr text_failure =
      attempt([&] { shutdown_text = err_code.text("Shutdown due to "); });
  pass_host_exit(text_failure);
  host_printer->invoke_shutdown(shutdown_text);
  // The record's own failure tells the caller what went wrong with it.
  if (record_failure) std::rethrow_exception(record_failure);
  if (text_failure) std::rethrow_exception(text_failure);
  host_printer->raise_command_error(shutdown_text);
}

}  // namespace zcomp
