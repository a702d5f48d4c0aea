// The printer's pressure-probe module ("tensink_v2"): the nozzle's contact
// sensing, its Z stepping side and the sync line between its two
// microcontroller sides.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "printer.h"

namespace host {

class PressureProbe {
 public:
  // The positional arguments of a probe-driven descent, as the procedures pass
  // them; the meaning of the flags belongs to the probe module.
  struct DescentArgs {
    double down_min_z;
    std::int64_t start_mode = 0;
    bool first_flag = false;
    std::int64_t probe_count;
    std::int64_t valid_count;
    bool last_flag = true;
    // Hold thresholds; only the nozzle wipe hands them on.
    std::optional<std::array<std::int64_t, 2>> holds;
  };

  // A sync-line reply: absent (null pointer), empty, or carrying "sta".
  class SwapReply {
   public:
    virtual ~SwapReply() = default;
    virtual bool empty() = 0;
    // The line level seen by the stepping side; raises the host's error when
    // the reply has no "sta".
    virtual double sta() = 0;
  };

  virtual ~PressureProbe() = default;

  // Z in mm, in the bed probe's frame, where the nozzle touched the bed.
  virtual double run_step_tensink(const DescentArgs& args) = 0;
  virtual void move(const Position& pos, double speed) = 0;
  virtual void get_mm_per_step() = 0;

  virtual void enable_steps() = 0;
  virtual void disable_steps() = 0;
  // Step count, step time in microseconds, acceleration step count.
  virtual std::array<Number, 3> get_step_cnts(double down_min_z, double down_speed) = 0;
  virtual void send_start_step_tensink(const std::vector<Number>& args) = 0;
  virtual std::size_t step_result_count() = 0;

  virtual void write_swap(const Number& pres_oid, std::int64_t level) = 0;
  virtual std::shared_ptr<SwapReply> read_swap(const Number& step_oid) = 0;

  virtual Number pres_oid() = 0;
  virtual Number step_oid() = 0;
  virtual Number tri_send_ms() = 0;
};

}  // namespace host
