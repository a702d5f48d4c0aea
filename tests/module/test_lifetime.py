"""The module object's lifetime: klippy drops the whole printer on every
restart and collects it, so nothing the module holds may keep it alive; and a
long session of commands must leave nothing behind."""
import ctypes
import ctypes.util
import gc
import sys
import weakref

import pytest

from in_command import call_in_command

WIPE_AREA = """
clr_noz_start_x: 20
clr_noz_start_y: 20
clr_noz_len_x: 50
clr_noz_len_y: 60
"""


def test_a_dropped_printer_is_freed_after_commands_ran(make_printer, module_of):
    # The hook's template holds the printer too.
    printer = make_printer(WIPE_AREA + 'on_error_gcode: {action_respond_info("hook")}')
    # The commands hand the module every host object it keeps.
    printer.run_gcode("Z_OFFSET_AUTO")
    with pytest.raises(printer.command_error):
        printer.run_gcode("Z_OFFSET_CALIBRATION MAX_OFFSET_CHANGE=0.01")
    module = module_of(printer)
    assert module.heater_hot is printer.lookup_object("extruder").heater
    freed = [weakref.ref(printer), weakref.ref(module), weakref.ref(printer.get_reactor()),
             weakref.ref(module.toolhead), weakref.ref(module.on_error_gcode)]
    # As klippy does on a restart.
    printer.get_reactor().finalize()
    del printer, module

    gc.collect()

    assert [ref() for ref in freed] == [None] * len(freed)


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def malloc_in_use():
    """Bytes the C allocator has handed out and not taken back: unlike RSS, not
    moved by how the allocator keeps its free pages. None without glibc."""
    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    for name, field in (("mallinfo2", ctypes.c_size_t), ("mallinfo", ctypes.c_int)):
        if hasattr(libc, name):
            class MallInfo(ctypes.Structure):
                _fields_ = [(f, field) for f in (
                    "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                    "fsmblks", "uordblks", "fordblks", "keepcost")]
            getattr(libc, name).restype = MallInfo
            return getattr(libc, name)().uordblks
    return None


def test_ten_thousand_commands_leave_nothing_behind(make_printer, module_of):
    printer = make_printer("show_msg: True\n" + WIPE_AREA)
    module = module_of(printer)
    toolhead = printer.lookup_object("toolhead")
    record = sys.modules[type(module).__module__].PR_ERR_CODE_SSAP_TEST_ERROR
    gcmd = printer.lookup_object("gcode").create_gcode_command("TEST_CALL", "TEST_CALL", {})

    def every_way_in():
        module.toolhead = toolhead
        module.move([20.0, 30.0, 5.0], 100)
        module.set_step_par(False)
        module.set_step_par(True)
        module.print_msg("TITLE", "text", True)
        module.pnt_msg("text")
        module.ck_and_raise_error(False, record)
        module.delay_s(0.001)
        module.get_status(0.)
        module.bl_offset = module.noz_pos_center
        module.dbg_msg = module.dbg_msg
        for wrong in (lambda: module.move("xy", 1), lambda: module.print_msg(1, 2),
                      lambda: module.ck_and_raise_error(True, "no record")):
            try:
                wrong()
            except TypeError:
                pass
        # A handler's failure that reaches the host.
        try:
            module.cmd_VQ20MA_NOZZLE_CLEAR(BrokenCommand(gcmd))
        except ValueError:
            pass

    def session(commands):
        for _ in range(commands):
            call_in_command(printer, every_way_in)
            # What the simulated host itself keeps of each command.
            del printer.trace[:], printer.console[:]
            printer.lookup_object("tensink_v2").calls[:] = []

    session(1000)
    gc.collect()
    objects, blocks, rss = len(gc.get_objects()), sys.getallocatedblocks(), rss_kib()
    heap = malloc_in_use()

    session(10000)
    gc.collect()

    assert len(gc.get_objects()) - objects < 50
    assert sys.getallocatedblocks() - blocks < 500
    if heap is not None:
        # Ten bytes a command would show here.
        assert malloc_in_use() - heap < 100_000
    # RSS also moves with the allocators' free pages: a coarse bound.
    assert rss_kib() - rss < 4096


class BrokenCommand:
    """A command whose parameters the host cannot parse."""

    def __init__(self, gcmd):
        self.gcmd = gcmd

    def get_float(self, name, default):
        raise ValueError("malformed " + name)

    def __getattr__(self, name):
        return getattr(self.gcmd, name)
