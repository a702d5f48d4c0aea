// The one rule for every number the module uses, whichever way it came in,
// and the reading of a command's number parameters by those rules.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/printer.h"

namespace zcomp {

// The parameters that a command line gives: a setting is named as the user
// gave it, by its parameter when the line has one, else by its key.
using GivenParameters = std::vector<std::string>;

// The most re-measurements of the calibration's points a run may take.
constexpr std::int64_t kMaxPointRetries = 10;

// What a number must be to be used, whichever way it came in: a key of the
// section, an attribute set from Python or a command parameter. Every number
// must be finite; the bounds are those the procedures rely on (a key's own
// bounds, which klippy checks, may be narrower).
struct ValueRule {
  std::optional<double> minimum;
  std::optional<double> maximum;
  bool whole = false;
};

inline constexpr ValueRule kFinite{};
// A distance limit of the calibration; 0 switches its check off.
inline constexpr ValueRule kDistanceLimit{0.0, std::nullopt, false};
inline constexpr ValueRule kRetriesLimit{0.0, static_cast<double>(kMaxPointRetries), true};

// How `value` breaks `rule`, worded as klippy words a refused parameter
// ("must be a finite number", "must have minimum of 0"), or an empty text
// when it keeps it.
std::string broken_rule(double value, const ValueRule& rule);

// The one check of each kind of value. `refuse` is handed the broken rule and
// ends the call in the way that the value's path refuses a value.
using Refusal = std::function<void(const std::string& broken)>;
double checked_number(double value, const ValueRule& rule, const Refusal& refuse);
std::array<double, 2> checked_pair(const std::array<double, 2>& values, const ValueRule& rule,
                                   const Refusal& refuse);
std::int64_t checked_integer(double value, const ValueRule& rule, const Refusal& refuse);

// A number parameter of a command: its name on the command line, the key
// of the section whose value it stands in for, and its rule.
struct CommandParameter {
  const char* name;
  const char* key;
  const ValueRule* rule;
};

// The nozzle clearing's temperatures, degrees Celsius.
inline constexpr CommandParameter kHotStartTempParameter{"HOT_START_TEMP", "hot_start_temp",
                                                         &kFinite};
inline constexpr CommandParameter kHotRubTempParameter{"HOT_RUB_TEMP", "hot_rub_temp", &kFinite};
inline constexpr CommandParameter kHotEndTempParameter{"HOT_END_TEMP", "hot_end_temp", &kFinite};
inline constexpr CommandParameter kBedAddTempParameter{"BED_ADDTEMP", "bed_add_temp", &kFinite};
// The calibration's plausibility limits.
inline constexpr CommandParameter kMaxOffsetChangeParameter{
    "MAX_OFFSET_CHANGE", "max_offset_change", &kDistanceLimit};
inline constexpr CommandParameter kPointToleranceParameter{"POINT_TOLERANCE", "point_tolerance",
                                                           &kDistanceLimit};
inline constexpr CommandParameter kPointRetriesParameter{"POINT_RETRIES", "point_retries",
                                                         &kRetriesLimit};

// "PARAMETER=value" when the command line gave the parameter, else
// "[z_compensate] key = value".
std::string setting_source(double value, const GivenParameters& given,
                           const CommandParameter& parameter);

// A number parameter of the command line, `default_value` when absent,
// checked by its rule and refused as klippy words a parameter it refuses:
// "Error on '<command line>': NAME <rule>". The host's parser takes "nan"
// and "inf" as numbers. Adds the name to `given` when the line has it.
double read_parameter(host::Printer& host_printer, host::GCodeCommand& gcmd,
                      const CommandParameter& parameter, double default_value,
                      GivenParameters& given);

}  // namespace zcomp
