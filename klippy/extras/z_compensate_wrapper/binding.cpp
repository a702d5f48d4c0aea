// The Python module: its constants and error records, and the class klippy
// constructs for the configuration section, with every operation and
// attribute under its own name.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "host_methods.h"
#include "py_host.h"
#include "z_compensate.h"

namespace py = pybind11;
using namespace pybind11::literals;
using zcomp::ZCompensate;
using namespace zcomp::py_host;

namespace {

py::dict error_record(const char* code, const char* msg) {
  py::dict record;
  record["code"] = code;
  record["msg"] = msg;
  record["values"] = py::list();
  return record;
}

// The sibling module that klippy loads beside this one.
void import_bed_probe_module(const py::module_& m) {
  const std::string name = py::str(m.attr("__name__"));
  const auto dot = name.rfind('.');
  py::module_::import(dot == std::string::npos ? "probe"
                                               : (name.substr(0, dot) + ".probe").c_str());
}

// A host reference attribute: the host's own object, wrapped for the
// procedures when it is set. Reading one that no command has set yet fails as
// reading a missing attribute does.
template <typename Adapter, typename Interface, typename Class>
void host_reference(Class& cls, const char* name, std::shared_ptr<Interface> ZCompensate::*member) {
  cls.def_property(
      name,
      [member, name](const ZCompensate& self) -> py::object {
        const auto& ref = self.*member;
        if (!ref) throw zcomp::MissingAttribute(name);
        return dynamic_cast<const PyObjectAdapter&>(*ref).object();
      },
      [member](py::object self, py::object value) {
        ZCompensate& core = self.cast<ZCompensate&>();
        if constexpr (std::is_constructible_v<Adapter, py::object, py::handle>) {
          core.*member = std::make_shared<Adapter>(std::move(value), self);
        } else {
          core.*member = std::make_shared<Adapter>(std::move(value));
        }
      });
}

// The status of the running and the last command, as get_status shows it.
void add_run_status(py::dict& status, const zcomp::RunStatus& run) {
  const auto optional_number = [](const std::optional<double>& value) -> py::object {
    if (!value) return py::none();
    return py::float_(*value);
  };
  status["running_command"] = run.running_command;
  status["last_command"] = run.last_command;
  status["last_result"] = run.last_result;
  status["last_message"] = run.last_message;
  status["last_z_offset"] = optional_number(run.last_z_offset);
  status["saved_z_offset"] = optional_number(run.saved_z_offset);
  py::list point_offsets;
  for (double offset : run.last_point_offsets) point_offsets.append(offset);
  status["last_point_offsets"] = point_offsets;
}

// A G-code command handler: the host's command object, adapted for the procedure.
MethodBody command_handler(void (ZCompensate::*handler)(host::GCodeCommand&)) {
  return [handler](ZCompensate& self, const Arguments& args) {
    PyGCodeCommand command(args[0]);
    (self.*handler)(command);
  };
}

// Sets a heater's target; `wait` is any value tested for truth.
MethodBody heater_setter(void (ZCompensate::*setter)(double, bool, double)) {
  return [setter](ZCompensate& self, const Arguments& args) {
    (self.*setter)(number_argument(args[0], "temp"), truth(args[1]),
                   number_argument(args[2], "err"));
  };
}

}  // namespace

PYBIND11_MODULE(z_compensate_wrapper, m) {
  import_bed_probe_module(m);

  py::register_exception_translator([](std::exception_ptr error) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const zcomp::MissingAttribute&) {
      set_python_error(error);
    }
  });

  py::dict cal_data_error = error_record(
      "key401", "PR_ERR_CODE_CAL_DATA_ERROR: An error occurred during data calculation..");
  py::dict z_offset_calibration_error = error_record(
      "key401", "PR_ERR_CODE_Z_OFFSET_CALIBRATION: Ceramic pressure sensitive mistrigger..");
  py::dict ssap_test_error = error_record(
      "key402",
      "PR_ERR_CODE_SSAP_TEST_ERROR: Synchronization line communication is not available, please "
      "check the connection..");
  m.attr("PR_ERR_CODE_CAL_DATA_ERROR") = cal_data_error;
  m.attr("PR_ERR_CODE_Z_OFFSET_CALIBRATION") = z_offset_calibration_error;
  m.attr("PR_ERR_CODE_SSAP_TEST_ERROR") = ssap_test_error;
  m.attr("MAX_BUF_LEN") = zcomp::MAX_BUF_LEN;
  m.attr("MAX_PRES_CNT") = zcomp::MAX_PRES_CNT;
  m.attr("MAX_STEP_CNT") = zcomp::MAX_STEP_CNT;

  // One list, shared by every call that names no values.
  py::list default_vals;

  py::class_<ZCompensate> cls(m, "ZCompensateInitWrapper");

  cls.def(
      "__init__",
      [default_vals, z_offset_calibration_error, ssap_test_error](
          py::detail::value_and_holder& v_h, py::object config) {
        // The commands are registered with the object's own bound methods,
        // in the middle of construction.
        py::handle self(reinterpret_cast<PyObject*>(v_h.inst));
        zcomp::ErrorRecords records{
            std::make_shared<PyErrorRecord>(z_offset_calibration_error, default_vals),
            std::make_shared<PyErrorRecord>(ssap_test_error, default_vals)};
        auto section = std::make_shared<PyConfigSection>(std::move(config), self);
        py::detail::initimpl::construct<decltype(cls)>(
            v_h, new ZCompensate(std::move(section), std::move(records)), false);
      },
      py::detail::is_new_style_constructor(), "config"_a);

  // Everything that calls the host; see host_methods.h for why these are
  // not bound through pybind11.
  add_host_method(cls, "delay_s", {{"delay_s"}}, [](ZCompensate& self, const Arguments& args) {
    self.delay_s(number_argument(args[0], "delay_s"));
  });
  add_host_method(cls, "TEST_SWAP", {},
                  [](ZCompensate& self, const Arguments&) { self.TEST_SWAP(); });
  add_host_method(cls, "print_msg", {{"title"}, {"msg"}, {"force", py::bool_(false)}},
                  [](ZCompensate& self, const Arguments& args) {
                    self.print_msg(to_text(args[0], "title"),
                                   to_text(args[1], "msg"), truth(args[2]));
                  });
  add_host_method(cls, "ck_and_raise_error", {{"ck"}, {"err_code"}, {"vals", default_vals}},
                  [](ZCompensate& self, const Arguments& args) {
                    if (!truth(args[0])) return;
                    PyErrorRecord record(args[1], args[2]);
                    self.ck_and_raise_error(true, record);
                  });
  add_host_method(cls, "move", {{"pos"}, {"speed"}, {"wait", py::bool_(true)}},
                  [](ZCompensate& self, const Arguments& args) {
                    // Entries after Z are not part of a move.
                    self.move(to_doubles(args[0], "pos", 0, 3), number_argument(args[1], "speed"),
                              truth(args[2]));
                  });
  add_host_method(cls, "set_hot_temps", {{"temp"}, {"wait", py::bool_(false)}, {"err", py::int_(5)}},
                  heater_setter(&ZCompensate::set_hot_temps));
  add_host_method(cls, "set_bed_temps", {{"temp"}, {"wait", py::bool_(false)}, {"err", py::int_(5)}},
                  heater_setter(&ZCompensate::set_bed_temps));
  add_host_method(cls, "set_step_par", {{"load_sys", py::bool_(true)}},
                  [](ZCompensate& self, const Arguments& args) {
                    self.set_step_par(truth(args[0]));
                  });
  add_host_method(cls, "pnt_msg", {{"msg"}}, [](ZCompensate& self, const Arguments& args) {
    self.pnt_msg(to_text(args[0], "msg"));
  });
  cls.def(
      "get_status",
      [](const ZCompensate& self, py::object /*eventtime*/) {
        py::dict status;
        status["auto_alignment_status"] = self.auto_alignment_status;
        add_run_status(status, self.run_status);
        return status;
      },
      "eventtime"_a);
  add_host_method(cls, "vq20ma_clear_nozzle",
                  {{"hot_start_temp"}, {"hot_rub_temp"}, {"hot_end_temp"}, {"bed_add_temp"}},
                  [](ZCompensate& self, const Arguments& args) {
                    self.vq20ma_clear_nozzle({number_argument(args[0], "hot_start_temp"),
                                              number_argument(args[1], "hot_rub_temp"),
                                              number_argument(args[2], "hot_end_temp"),
                                              number_argument(args[3], "bed_add_temp")});
                  });

  add_host_method(cls, "_handle_ready", {},
                  [](ZCompensate& self, const Arguments&) { self.handle_ready(); });

  cls.attr("cmd_VQ20MA_NOZZLE_CLEAR_help") = "Clear the nozzle on bed.";
  add_host_method(cls, "cmd_VQ20MA_NOZZLE_CLEAR", {{"gcmd"}},
                  command_handler(&ZCompensate::cmd_VQ20MA_NOZZLE_CLEAR));
  cls.attr("cmd_Z_OFFSET_CALIBRATION_help") = "Z offset calibration";
  add_host_method(cls, "cmd_Z_OFFSET_CALIBRATION", {{"gcmd"}},
                  command_handler(&ZCompensate::cmd_Z_OFFSET_CALIBRATION));
  cls.attr("cmd_Z_OFFSET_AUTO_help") = "Z offset auto";
  add_host_method(cls, "cmd_Z_OFFSET_AUTO", {{"gcmd"}},
                  command_handler(&ZCompensate::cmd_Z_OFFSET_AUTO));

  // Host references.
  host_reference<PyConfigSection>(cls, "config", &ZCompensate::config);
  host_reference<PyPrinter>(cls, "printer", &ZCompensate::printer);
  host_reference<PyPressureProbe>(cls, "tensink", &ZCompensate::tensink);
  host_reference<PyGCode>(cls, "gcode", &ZCompensate::gcode);
  host_reference<PyToolhead>(cls, "toolhead", &ZCompensate::toolhead);
  host_reference<PyBedMesh>(cls, "bed_mesh", &ZCompensate::bed_mesh);
  host_reference<PyHeaters>(cls, "pheaters", &ZCompensate::pheaters);
  host_reference<PyHeater>(cls, "heater_hot", &ZCompensate::heater_hot);
  host_reference<PyHeater>(cls, "heater_bed", &ZCompensate::heater_bed);

  // Working state.
  cls.def_readwrite("shut_down", &ZCompensate::shut_down);
  cls.def_readwrite("z_offset_move", &ZCompensate::z_offset_move);
  cls.def_property(
      "dbg_msg",
      [](const ZCompensate& self) {
        py::dict titles;
        for (const auto& [title, index] : self.dbg_msg) titles[py::str(title)] = index;
        return titles;
      },
      [](ZCompensate& self, const py::dict& titles) {
        std::vector<std::pair<std::string, std::int64_t>> entries;
        for (const auto& [title, index] : titles) {
          entries.emplace_back(title.cast<std::string>(), to_int64(index, "dbg_msg"));
        }
        self.dbg_msg = std::move(entries);
      });
  cls.def_readwrite("sys_max_velocity", &ZCompensate::sys_max_velocity);
  cls.def_readwrite("sys_max_accel", &ZCompensate::sys_max_accel);
  cls.def_readwrite("sys_max_z_velocity", &ZCompensate::sys_max_z_velocity);
  cls.def_readwrite("sys_max_z_accel", &ZCompensate::sys_max_z_accel);
  cls.def_readwrite("auto_alignment_status", &ZCompensate::auto_alignment_status);

  // Tuning values.
  cls.def_property(
      "tri_wave_ip", [](const ZCompensate& self) { return self.tri_wave_ip; },
      [](ZCompensate& self, std::optional<std::string> address) {
        std::string why;
        if (!self.set_tri_wave_ip(address, &why)) {
          throw py::value_error("tri_wave_ip: " + *address + ": " + why);
        }
      });
  cls.def_readwrite("tri_expand_mm", &ZCompensate::tri_expand_mm);
  cls.def_readwrite("g29_down_min_z", &ZCompensate::g29_down_min_z);
  cls.def_readwrite("z_offset_cex_axis", &ZCompensate::z_offset_cex_axis);
  cls.def_readwrite("vs_start_z_pos", &ZCompensate::vs_start_z_pos);
  cls.def_readwrite("show_msg", &ZCompensate::show_msg);
  cls.def_readwrite("bl_offset", &ZCompensate::bl_offset);
  cls.def_readwrite("noz_pos_center", &ZCompensate::noz_pos_center);
  cls.def_readwrite("noz_pos_offset", &ZCompensate::noz_pos_offset);
  cls.def_readwrite("pumpback_mm", &ZCompensate::pumpback_mm);
  cls.def_readwrite("pr_probe_cnt", &ZCompensate::pr_probe_cnt);
  cls.def_readwrite("pr_clear_probe_cnt", &ZCompensate::pr_clear_probe_cnt);
  cls.def_readwrite("type_nozz", &ZCompensate::type_nozz);
  cls.def_readwrite("use_adc", &ZCompensate::use_adc);
  cls.def_readwrite("hot_start_temp", &ZCompensate::hot_start_temp);
  cls.def_readwrite("hot_end_temp", &ZCompensate::hot_end_temp);
  cls.def_readwrite("hot_rub_temp", &ZCompensate::hot_rub_temp);
  cls.def_readwrite("bed_add_temp", &ZCompensate::bed_add_temp);
  cls.def_readwrite("pa_clr_dis_mm", &ZCompensate::pa_clr_dis_mm);
  cls.def_readwrite("pa_clr_down_mm", &ZCompensate::pa_clr_down_mm);
  cls.def_readwrite("clr_noz_start_x", &ZCompensate::clr_noz_start_x);
  cls.def_readwrite("clr_noz_start_y", &ZCompensate::clr_noz_start_y);
  cls.def_readwrite("clr_noz_len_x", &ZCompensate::clr_noz_len_x);
  cls.def_readwrite("clr_noz_len_y", &ZCompensate::clr_noz_len_y);
  cls.def_readwrite("clr_xy_spd", &ZCompensate::clr_xy_spd);
  cls.def_readwrite("tri_min_hold", &ZCompensate::tri_min_hold);
  cls.def_readwrite("tri_max_hold", &ZCompensate::tri_max_hold);
  cls.def_readwrite("bed_max_err", &ZCompensate::bed_max_err);
  cls.def_readwrite("pa_clr_dis_mm_x", &ZCompensate::pa_clr_dis_mm_x);
  cls.def_readwrite("pa_clr_dis_mm_y", &ZCompensate::pa_clr_dis_mm_y);
  cls.def_readwrite("tri_z_down_spd", &ZCompensate::tri_z_down_spd);
  cls.def_readwrite("tri_z_up_spd", &ZCompensate::tri_z_up_spd);
  cls.def_readwrite("rdy_xy_spd", &ZCompensate::rdy_xy_spd);
  cls.def_readwrite("rdy_z_spd", &ZCompensate::rdy_z_spd);
  cls.def_readwrite("acc_ctl_mm", &ZCompensate::acc_ctl_mm);
  cls.def_readwrite("low_spd_nul", &ZCompensate::low_spd_nul);
  cls.def_readwrite("send_step_duty", &ZCompensate::send_step_duty);
  cls.def_readwrite("run_max_velocity", &ZCompensate::run_max_velocity);
  cls.def_readwrite("run_max_accel", &ZCompensate::run_max_accel);
  cls.def_readwrite("run_max_z_velocity", &ZCompensate::run_max_z_velocity);
  cls.def_readwrite("run_max_z_accel", &ZCompensate::run_max_z_accel);
}
