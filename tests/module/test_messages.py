"""Console lines and the UDP diagnostic datagrams."""
import contextlib
import re
import socket
import time

import pytest

from in_command import call_in_command
from private_network import private_network

PORT = 21021
DATAGRAM = re.compile(r"^(\d+)\$(.*?)\$(\d\d:\d\d:\d\d )\$(.*)\n$", re.S)


@pytest.fixture
def receiver(request):
    """A diagnostics receiver on the loopback address of a network of the
    test's own: the module sends to a fixed port, which another program may
    hold on the machine's own network. The test runs in that network."""
    with contextlib.ExitStack() as stack:
        try:
            stack.enter_context(private_network())
        except PermissionError:
            request.applymarker(pytest.mark.skip_allowed("needs root for a network of its own"))
            pytest.skip("a network namespace of the test's own needs root")
        sock = stack.enter_context(socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
        sock.bind(("127.0.0.1", PORT))
        sock.settimeout(5)
        yield sock


def received(receiver):
    """Every datagram already delivered: loopback delivers during sendto."""
    payloads = []
    receiver.setblocking(False)
    try:
        while True:
            payloads.append(receiver.recv(65536))
    except BlockingIOError:
        pass
    finally:
        receiver.settimeout(5)
    return payloads


class Console:
    """The console lines written since it was made."""

    def __init__(self, printer):
        self.printer = printer
        self.start = len(printer.console_lines())

    def new_lines(self):
        return self.printer.console_lines()[self.start:]


@pytest.fixture
def messenger(make_printer, module_of):
    """Builds a printer with the given options; returns (module, console)."""
    def make(options=""):
        printer = make_printer(options)
        module = module_of(printer)
        return module, Console(printer)
    return make


@pytest.mark.parametrize("show_msg,force,shown", [
    (False, False, False),
    (False, True, True),
    (True, False, True),
    (True, True, True),
    (False, 1, True),
    (False, "", False),
    (False, None, False),
    (False, [0], True),
])
def test_gate(messenger, receiver, show_msg, force, shown):
    module, console = messenger("show_msg: %s\ntri_wave_ip: 127.0.0.1" % show_msg)

    module.print_msg("PROBE", "z=1.25", force)

    assert console.new_lines() == (["[PROBE]z=1.25"] if shown else [])
    assert len(received(receiver)) == (1 if shown else 0)
    assert module.dbg_msg == ({"PROBE": 0} if shown else {})


def test_show_wave_goes_only_to_the_receiver(messenger, receiver):
    module, console = messenger("show_msg: true\ntri_wave_ip: 127.0.0.1")

    module.print_msg("SHOW_WAVE", "1,2,3")
    module.print_msg("show_wave", "4")

    assert console.new_lines() == ["[show_wave]4"]
    payloads = received(receiver)
    assert [DATAGRAM.match(p.decode()).group(2) for p in payloads] == ["SHOW_WAVE", "show_wave"]


def test_nothing_is_sent_or_numbered_without_a_receiver(messenger, receiver):
    module, console = messenger("show_msg: true")

    module.print_msg("SHOW_WAVE", "1,2,3")
    module.print_msg("alpha", "text", True)

    assert console.new_lines() == ["[alpha]text"]
    assert received(receiver) == []
    assert module.dbg_msg == {}


def test_titles_are_numbered_in_the_order_of_their_first_datagram(messenger, receiver):
    module, _ = messenger("show_msg: true\ntri_wave_ip: 127.0.0.1")

    for title in ("alpha", "beta", "alpha", "gamma"):
        module.print_msg(title, "m")

    fields = [DATAGRAM.match(p.decode()).groups()[:2] for p in received(receiver)]
    assert fields == [("0", "alpha"), ("1", "beta"), ("0", "alpha"), ("2", "gamma")]
    assert module.dbg_msg == {"alpha": 0, "beta": 1, "gamma": 2}

    # A new object numbers from 0 again.
    other, _ = messenger("show_msg: true\ntri_wave_ip: 127.0.0.1")
    other.print_msg("gamma", "m")
    assert DATAGRAM.match(received(receiver)[0].decode()).group(1) == "0"


def test_datagram_layout(messenger, receiver):
    module, _ = messenger("tri_wave_ip: 127.0.0.1")
    # Nothing is escaped: "$" and line feeds go out as they are.
    msg = "dz=0.05$ok\nnext \u0394"

    before = time.strftime("%H:%M:%S ")
    module.print_msg("CAL", msg, True)
    after = time.strftime("%H:%M:%S ")

    payload = received(receiver)[0]
    text = payload.decode("utf-8")
    clock = text.split("$")[2]
    assert len(clock) == 9 and clock in (before, after)
    assert payload == ("0$CAL$%s$%s\n" % (clock, msg)).encode("utf-8")


def test_a_host_name_is_resolved_to_its_address(messenger, receiver):
    module, _ = messenger("tri_wave_ip: localhost")

    module.print_msg("alpha", "via name", True)

    assert module.tri_wave_ip == "localhost"
    assert DATAGRAM.match(received(receiver)[0].decode()).group(4) == "via name"


def test_receiver_can_be_changed_from_python(messenger, receiver):
    module, _ = messenger("")

    module.tri_wave_ip = "127.0.0.1"
    module.print_msg("alpha", "one", True)
    with pytest.raises(ValueError, match="-no-such-host"):
        module.tri_wave_ip = "-no-such-host"
    module.print_msg("alpha", "two", True)
    module.tri_wave_ip = None
    module.print_msg("alpha", "three", True)

    assert module.tri_wave_ip is None
    assert [DATAGRAM.match(p.decode()).group(4) for p in received(receiver)] == ["one", "two"]


def test_a_datagram_that_cannot_be_sent_does_not_end_the_command(make_printer, module_of):
    # Sending to the broadcast address without permission fails with EACCES.
    printer = make_printer("tri_wave_ip: 255.255.255.255")
    module = module_of(printer)
    console = Console(printer)

    def report_then_go_on():
        module.print_msg("alpha", "lost", True)
        printer.lookup_object("gcode").respond_info("went on")
    call_in_command(printer, report_then_go_on)

    lines = console.new_lines()
    assert lines[0] == "[alpha]lost"
    assert lines[1].startswith("Diagnostics: datagram to ")
    assert "255.255.255.255" in lines[1] and "ermission denied" in lines[1]
    assert lines[2:] == ["went on"]
    assert not printer.is_shutdown()


@pytest.mark.parametrize("show_msg", [True, False])
def test_pnt_msg_writes_the_text_unchanged_when_enabled(messenger, receiver, show_msg):
    module, console = messenger("show_msg: %s\ntri_wave_ip: 127.0.0.1" % show_msg)

    module.pnt_msg("offset: 1.750 [mm]")

    assert console.new_lines() == (["offset: 1.750 [mm]"] if show_msg else [])
    assert received(receiver) == []
    assert module.dbg_msg == {}
