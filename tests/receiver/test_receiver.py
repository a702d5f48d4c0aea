import csv
import io
import os
import re
import socket
import subprocess
import sys
from datetime import datetime
from pathlib import Path

import pytest

from z_compensate import receiver
from z_compensate.receiver import Datagram

SWAP_TEST_OK = b"0$SWAP_TEST$07:05:09 $---Swap Test Success---\n"
# The receiver's clock in these tests: a log that runs past midnight
ARRIVALS = [datetime(2026, 3, 1, 23, 59, 58), datetime(2026, 3, 2, 0, 0, 1)]
RAISE_ERROR = (
    "1$RAISE_ERROR$23:59:01 ${'code': 'key402', 'msg': 'PR_ERR_CODE_SSAP_TEST_ERROR: "
    "Synchronization line communication is not available, please check the "
    "connection..', 'values': []}\n"
).encode("utf-8")


class TestParseDatagram:
    def test_splits_the_four_fields(self):
        assert receiver.parse_datagram(SWAP_TEST_OK) == Datagram(
            0, "SWAP_TEST", "07:05:09", "---Swap Test Success---"
        )

    def test_keeps_dollar_signs_in_the_message(self):
        datagram = receiver.parse_datagram(b"12$PRICE$10:00:00 $a$b$$c\n")

        assert datagram == Datagram(12, "PRICE", "10:00:00", "a$b$$c")

    def test_keeps_line_feeds_inside_the_message(self):
        datagram = receiver.parse_datagram(b"3$T$10:00:00 $first\nsecond\n")

        assert datagram.message == "first\nsecond"

    def test_reads_utf8_text(self):
        datagram = receiver.parse_datagram("4$TEMP$10:00:00 $200 °C\n".encode("utf-8"))

        assert datagram.message == "200 °C"

    def test_accepts_an_empty_message(self):
        assert receiver.parse_datagram(b"0$T$10:00:00 $\n").message == ""

    @pytest.mark.parametrize(
        "payload",
        [
            pytest.param(b"0$T$10:00:00 $msg", id="no line feed"),
            pytest.param(b"0$T$10:00:00 \n", id="three fields"),
            pytest.param(b"x$T$10:00:00 $msg\n", id="index not a number"),
            pytest.param(b"-1$T$10:00:00 $msg\n", id="negative index"),
            pytest.param(b"$T$10:00:00 $msg\n", id="empty index"),
            pytest.param(b"0$T$10:00:00$msg\n", id="time without its blank"),
            pytest.param(b"0$T$10:0:00 $msg\n", id="time with one digit"),
            pytest.param(b"0$T$now $msg\n", id="time not a time"),
            pytest.param(b"0$T$10:00:00 $\xff\xfe\n", id="not UTF-8"),
            pytest.param(b"", id="empty"),
        ],
    )
    def test_refuses_payloads_off_the_format(self, payload):
        assert receiver.parse_datagram(payload) is None


class TestFormatLine:
    def test_shows_arrival_index_title_time_and_message(self):
        line = receiver.format_line(Datagram(0, "SWAP_TEST", "07:05:09", "ok"), ARRIVALS[0])

        assert line == "2026-03-01 23:59:58 #0 SWAP_TEST 07:05:09 ok"

    def test_keeps_a_multiline_message_on_one_line(self):
        line = receiver.format_line(Datagram(1, "T", "07:05:09", "a\nb"), ARRIVALS[0])

        assert line == "2026-03-01 23:59:58 #1 T 07:05:09 a\\nb"


@pytest.fixture
def listener():
    sock = receiver.open_socket("127.0.0.1", 0)
    yield sock
    sock.close()


def clock():
    """The receiver's clock: the arrivals in turn."""
    arrivals = iter(ARRIVALS)
    return lambda: next(arrivals)


@pytest.fixture
def send(listener):
    """Sends datagrams to the listener, as the module does: one socket each."""
    address = listener.getsockname()

    def send(*payloads):
        for payload in payloads:
            sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sender.sendto(payload, address)
            sender.close()

    return send


class TestReceiver:
    def test_prints_one_line_per_datagram(self, listener, send):
        out = io.StringIO()
        send(SWAP_TEST_OK, RAISE_ERROR)

        receiver.Receiver(listener, out=out, clock=clock()).run(count=2)

        lines = out.getvalue().splitlines()
        assert lines[0] == "2026-03-01 23:59:58 #0 SWAP_TEST 07:05:09 ---Swap Test Success---"
        assert lines[1].startswith(
            "2026-03-02 00:00:01 #1 RAISE_ERROR 23:59:01 {'code': 'key402', ")
        assert len(lines) == 2

    def test_ignores_datagrams_off_the_format_and_keeps_running(self, listener, send):
        out, err = io.StringIO(), io.StringIO()
        send(b"hello", SWAP_TEST_OK, b"1$T$noon$x\n", RAISE_ERROR)

        running = receiver.Receiver(listener, out=out, err=err)
        running.run(count=2)

        assert len(out.getvalue().splitlines()) == 2
        assert (running.received, running.ignored) == (2, 2)
        notices = err.getvalue().splitlines()
        assert notices[0].startswith("ignored a datagram from 127.0.0.1:")
        assert notices[1].endswith("(2 so far)")
        assert running.summary() == (
            "2 datagrams received, 2 ignored as not in the diagnostics format"
        )

    def test_stops_at_the_timeout_without_datagrams(self, listener):
        running = receiver.Receiver(listener, out=io.StringIO())

        running.run(timeout=0.2)

        assert running.received == 0

    def test_count_leaves_later_datagrams_waiting(self, listener, send):
        out = io.StringIO()
        send(SWAP_TEST_OK, RAISE_ERROR)

        receiver.Receiver(listener, out=out).run(count=1)
        receiver.Receiver(listener, out=out).run(count=1)

        assert [line.split()[3] for line in out.getvalue().splitlines()] == [
            "SWAP_TEST",
            "RAISE_ERROR",
        ]


class TestCsvLog:
    def read_rows(self, path):
        with path.open(newline="", encoding="utf-8") as file:
            return list(csv.reader(file))

    def test_writes_the_header_once_across_runs(self, listener, send, tmp_path):
        path = tmp_path / "diagnostics.csv"
        for payload, arrival in zip((SWAP_TEST_OK, RAISE_ERROR), ARRIVALS):
            send(payload)
            log = receiver.CsvLog(path)
            receiver.Receiver(listener, out=io.StringIO(), csv_log=log,
                              clock=lambda: arrival).run(count=1)
            log.close()

        rows = self.read_rows(path)
        assert rows[0] == ["received", "title_index", "title", "time", "message"]
        assert rows[1] == ["2026-03-01 23:59:58", "0", "SWAP_TEST", "07:05:09",
                           "---Swap Test Success---"]
        assert rows[2][:4] == ["2026-03-02 00:00:01", "1", "RAISE_ERROR", "23:59:01"]
        assert len(rows) == 3

    def test_refuses_a_file_with_other_columns(self, tmp_path):
        path = tmp_path / "diagnostics.csv"
        path.write_text("title_index,title,time,message\n0,T,10:00:00,m\n")

        with pytest.raises(ValueError, match="choose another file"):
            receiver.CsvLog(path)
        assert len(path.read_text().splitlines()) == 2

    def test_keeps_messages_whole(self, listener, send, tmp_path):
        path = tmp_path / "diagnostics.csv"
        message = 'bl_data[0]= 0.100000, "quoted"\nnext line'
        send(("2$CAL$10:00:00 $%s\n" % message).encode("utf-8"))
        log = receiver.CsvLog(path)

        receiver.Receiver(listener, out=io.StringIO(), csv_log=log).run(count=1)
        log.close()

        assert self.read_rows(path)[1][4] == message

    def test_leaves_out_ignored_datagrams(self, listener, send, tmp_path):
        path = tmp_path / "diagnostics.csv"
        send(b"garbage", SWAP_TEST_OK)
        log = receiver.CsvLog(path)

        receiver.Receiver(listener, out=io.StringIO(), err=io.StringIO(), csv_log=log).run(
            count=1
        )
        log.close()

        assert len(self.read_rows(path)) == 2


def package_path():
    """The directory from which this test imported z_compensate."""
    return str(Path(receiver.__file__).resolve().parents[1])


class TestMain:
    def test_runs_as_a_module_until_count(self, tmp_path):
        csv_path = tmp_path / "out.csv"
        env = dict(os.environ, PYTHONPATH=package_path())
        command = [sys.executable, "-m", "z_compensate.receiver", "--bind", "127.0.0.1",
                   "--port", "0", "--count", "2", "--timeout", "60", "--csv", str(csv_path)]
        process = subprocess.Popen(
            command,
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            universal_newlines=True,
        )
        try:
            listening = process.stderr.readline()
            assert listening.startswith("Listening on 127.0.0.1:")
            port = int(listening.rsplit(":", 1)[1])
            sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            for payload in (SWAP_TEST_OK, b"not a datagram", RAISE_ERROR):
                sender.sendto(payload, ("127.0.0.1", port))
            sender.close()

            out, err = process.communicate(timeout=60)
        finally:
            if process.poll() is None:
                process.kill()
                process.communicate()

        assert process.returncode == 0
        assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d #0 SWAP_TEST 07:05:09"
                            r" ---Swap Test Success---", out.splitlines()[0])
        assert len(out.splitlines()) == 2
        assert err.splitlines()[-1] == (
            "2 datagrams received, 1 ignored as not in the diagnostics format"
        )
        assert len(csv_path.read_text().splitlines()) == 3

    def test_ends_at_the_timeout_with_a_summary(self, capsys):
        args = ["--bind", "127.0.0.1", "--port", "0", "--timeout", "0.2"]

        assert receiver.main(args) == 0

        err = capsys.readouterr().err
        assert err.splitlines()[-1] == (
            "0 datagrams received, 0 ignored as not in the diagnostics format"
        )

    def test_reports_a_port_in_use(self, listener, capsys):
        port = listener.getsockname()[1]

        assert receiver.main(["--bind", "127.0.0.1", "--port", str(port)]) == 1
        assert "cannot listen on 127.0.0.1:%d" % port in capsys.readouterr().err

    def test_reports_a_csv_file_it_cannot_write(self, tmp_path, capsys):
        path = tmp_path / "missing-directory" / "out.csv"
        args = ["--bind", "127.0.0.1", "--port", "0", "--csv", str(path)]

        assert receiver.main(args) == 1
        assert "cannot write %s" % path in capsys.readouterr().err

    @pytest.mark.parametrize("option", [["--count", "0"], ["--timeout", "-1"],
                                        ["--timeout", "nan"], ["--timeout", "inf"]])
    def test_refuses_unbounded_or_empty_limits(self, option):
        with pytest.raises(SystemExit):
            receiver.parse_args(option)

    @pytest.mark.parametrize("port", ["70000", "-1", "http"])
    def test_refuses_a_port_out_of_range_with_a_message(self, port, capsys):
        with pytest.raises(SystemExit) as exit_info:
            receiver.main(["--port", port])

        assert exit_info.value.code == 2
        err = capsys.readouterr().err
        assert "%r is no UDP port: give a number from 1 to 65535" % port in err
        assert "Traceback" not in err

    def test_usage_names_the_command(self, capsys):
        with pytest.raises(SystemExit):
            receiver.main(["--help"])

        assert capsys.readouterr().out.startswith("usage: z-compensate receive ")
