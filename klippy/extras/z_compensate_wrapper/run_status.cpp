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
  const std::exception_ptr failure = attempt(body);
  finish_command(name, failure);
  if (failure) std::rethrow_exception(failure);
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

void ZCompensate::refuse(const std::string& message) {
  refusal_ = message;
  const auto host_printer = printer.get();
  host_printer->raise_command_error(message);
}

}  // namespace zcomp
