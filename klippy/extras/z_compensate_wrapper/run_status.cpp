// Which command is running and how the last one ended, kept for get_status.
#include "z_compensate.h"

namespace zcomp {

void ZCompensate::run_command(const char* name, const std::function<void()>& body) {
  if (!run_status.running_command.empty()) {
    body();
    return;
  }
  run_status.running_command = name;
  refusal_.reset();
  error_routine_entered_ = false;
  const std::exception_ptr failure = attempt(body);
  finish_command(name, failure);
  if (!failure) return;
  run_error_hook(name, failure);
  std::rethrow_exception(failure);
}

void ZCompensate::finish_command(const char* name, const std::exception_ptr& failure) {
  run_status.running_command.clear();
  run_status.last_command = name;
  if (!failure) {
    run_status.last_result = "done";
    run_status.last_message.clear();
    return;
  }
  if (refusal_) {
    run_status.last_result = "refused";
    run_status.last_message = *refusal_;
    return;
  }
  run_status.last_result = "failed";
  run_status.last_message.clear();
  // A host that is ending the command itself gets no further call.
  const auto host_printer = printer.get();
  if (host_printer->is_host_exit(failure)) return;
  run_status.last_message = host_printer->describe_error(failure);
}

// Only for a command that leaves the printer running: never once the error
// routine began, whose shutdown the hook must neither delay nor follow with
// moves, nor after any other shutdown or an error that ends in one. The
// command's own error stands whatever the hook does; a command the hook runs
// does not run it again.
void ZCompensate::run_error_hook(const char* name, const std::exception_ptr& failure) {
  const auto hook = on_error_gcode.held();
  if (!hook || in_error_hook_ || error_routine_entered_) return;
  const auto host_printer = printer.get();
  if (host_printer->is_host_exit(failure) || !host_printer->is_command_error(failure) ||
      host_printer->is_shutdown()) {
    return;
  }
  // No record code reaches the hook: every error that carries one comes from
  // the error routine.
  const host::GCodeTemplate::Params params{
      {"COMMAND", name}, {"ERROR", host_printer->describe_error(failure)}, {"CODE", ""}};
  in_error_hook_ = true;
  const std::exception_ptr hook_failure = attempt([&] { hook->run_from_command(params); });
  in_error_hook_ = false;
  if (!hook_failure) return;
  if (host_printer->is_host_exit(hook_failure)) std::rethrow_exception(hook_failure);
  gcode.get()->respond_warning("z_compensate: on_error_gcode of " + std::string(name) +
                               " failed: " + host_printer->describe_error(hook_failure));
}

void ZCompensate::refuse(const std::string& message) {
  refusal_ = message;
  const auto host_printer = printer.get();
  host_printer->raise_command_error(message);
}

}  // namespace zcomp
