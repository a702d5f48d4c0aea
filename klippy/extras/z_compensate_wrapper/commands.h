// The module's G-code commands: the name klippy dispatches, the method that
// serves it, its help text and the number parameters it reads. Registration,
// the class's help texts and the module's COMMAND_PARAMETERS come from here.
#pragma once

#include <cstddef>

#include "value_rules.h"

namespace zcomp {

// A command's parameters, in the order the tools list them.
class CommandParameters {
 public:
  template <std::size_t N>
  constexpr CommandParameters(const CommandParameter* const (&parameters)[N])
      : first_(parameters), count_(N) {}
  constexpr const CommandParameter* const* begin() const { return first_; }
  constexpr const CommandParameter* const* end() const { return first_ + count_; }

 private:
  const CommandParameter* const* first_;
  std::size_t count_;
};

struct CommandDefinition {
  const char* name;
  // The method of the class; its help text is the class attribute of the
  // same name followed by "_help".
  const char* handler;
  const char* help;
  CommandParameters parameters;
};

inline constexpr const CommandParameter* kOffsetLimitParameters[] = {
    &kMaxOffsetChangeParameter, &kPointToleranceParameter, &kPointRetriesParameter};
inline constexpr const CommandParameter* kWipeTemperatureParameters[] = {
    &kHotStartTempParameter, &kHotRubTempParameter, &kHotEndTempParameter,
    &kBedAddTempParameter};
inline constexpr const CommandParameter* kAutoParameters[] = {
    &kHotStartTempParameter,    &kHotRubTempParameter,     &kHotEndTempParameter,
    &kBedAddTempParameter,      &kMaxOffsetChangeParameter, &kPointToleranceParameter,
    &kPointRetriesParameter};

inline constexpr CommandDefinition kZOffsetCalibrationCommand{
    "Z_OFFSET_CALIBRATION", "cmd_Z_OFFSET_CALIBRATION", "Z offset calibration",
    kOffsetLimitParameters};
inline constexpr CommandDefinition kZOffsetAutoCommand{"Z_OFFSET_AUTO", "cmd_Z_OFFSET_AUTO",
                                                       "Z offset auto", kAutoParameters};
inline constexpr CommandDefinition kNozzleClearCommand{
    "VQTWENTYMA_NOZZLE_CLEAR", "cmd_VQ20MA_NOZZLE_CLEAR", "Clear the nozzle on bed.",
    kWipeTemperatureParameters};

// In the order of their registration.
inline constexpr const CommandDefinition* kCommands[] = {
    &kZOffsetCalibrationCommand, &kZOffsetAutoCommand, &kNozzleClearCommand};

}  // namespace zcomp
