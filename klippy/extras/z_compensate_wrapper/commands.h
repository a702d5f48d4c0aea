// The module's G-code commands: the name klippy dispatches, the method that
// serves it, its help text and the number parameters it reads. Registration,
// the class's help texts and the module's COMMAND_PARAMETERS come from here.
#pragma once

#include <vector>

#include "value_rules.h"

namespace zcomp {

struct CommandDefinition {
  const char* name;
  // The method of the class; its help text is the class attribute of the
  // same name followed by "_help".
  const char* handler;
  const char* help;
  std::vector<const CommandParameter*> parameters;
};

inline const CommandDefinition kZOffsetCalibrationCommand{
    "Z_OFFSET_CALIBRATION", "cmd_Z_OFFSET_CALIBRATION", "Z offset calibration",
    {&kMaxOffsetChangeParameter, &kPointToleranceParameter, &kPointRetriesParameter}};
inline const CommandDefinition kZOffsetAutoCommand{
    "Z_OFFSET_AUTO", "cmd_Z_OFFSET_AUTO", "Z offset auto",
    {&kHotStartTempParameter, &kHotRubTempParameter, &kHotEndTempParameter,
     &kBedAddTempParameter, &kMaxOffsetChangeParameter, &kPointToleranceParameter,
     &kPointRetriesParameter}};
inline const CommandDefinition kNozzleClearCommand{
    "VQTWENTYMA_NOZZLE_CLEAR", "cmd_VQ20MA_NOZZLE_CLEAR", "Clear the nozzle on bed.",
    {&kHotStartTempParameter, &kHotRubTempParameter, &kHotEndTempParameter,
     &kBedAddTempParameter}};

// In the order of their registration.
inline const CommandDefinition* const kCommands[] = {
    &kZOffsetCalibrationCommand, &kZOffsetAutoCommand, &kNozzleClearCommand};

}  // namespace zcomp
