#include "value_rules.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "formatting.h"

namespace zcomp {

std::string broken_rule(double value, const ValueRule& rule) {
  // Written so that NaN, which fails every comparison, breaks each of them.
  if (!std::isfinite(value)) return "must be a finite number";
  if (rule.whole && !(value == std::trunc(value))) return "must be a whole number";
  if (rule.minimum && !(value >= *rule.minimum)) return "must have minimum of " + shown(*rule.minimum);
  if (rule.maximum && !(value <= *rule.maximum)) return "must have maximum of " + shown(*rule.maximum);
  // 2**63 is a double but no 64-bit integer.
  constexpr double kIntegerEnd = 9223372036854775808.0;
  if (rule.whole && !(value >= -kIntegerEnd && value < kIntegerEnd)) {
    return "must be less than 2**63 in size";
  }
  return "";
}

namespace {

void check(double value, const ValueRule& rule, const Refusal& refuse) {
  const std::string broken = broken_rule(value, rule);
  if (broken.empty()) return;
  refuse(broken);
  throw std::logic_error("a refusal returned: " + broken);
}

}  // namespace

double checked_number(double value, const ValueRule& rule, const Refusal& refuse) {
  check(value, rule, refuse);
  return value;
}

std::array<double, 2> checked_pair(const std::array<double, 2>& values, const ValueRule& rule,
                                   const Refusal& refuse) {
  for (double value : values) check(value, rule, refuse);
  return values;
}

std::int64_t checked_integer(double value, const ValueRule& rule, const Refusal& refuse) {
  ValueRule whole = rule;
  whole.whole = true;
  check(value, whole, refuse);
  return static_cast<std::int64_t>(value);
}

std::string setting_source(double value, const GivenParameters& given,
                           const CommandParameter& parameter) {
  if (std::find(given.begin(), given.end(), parameter.name) != given.end()) {
    return std::string(parameter.name) + "=" + shown(value);
  }
  return std::string("[z_compensate] ") + parameter.key + " = " + shown(value);
}

double read_parameter(host::Printer& host_printer, host::GCodeCommand& gcmd,
                      const CommandParameter& parameter, double default_value,
                      GivenParameters& given) {
  const std::string name = parameter.name;
  if (gcmd.has_parameter(name)) given.push_back(name);
  return checked_number(gcmd.get_float(name, default_value), *parameter.rule,
                        [&](const std::string& broken) {
                          host_printer.raise_command_error(
                              "Error on '" + gcmd.get_commandline() + "': " + name + " " + broken);
                        });
}

}  // namespace zcomp
