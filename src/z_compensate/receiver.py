"""Receives the diagnostic datagrams that the z_compensate module sends to
`tri_wave_ip` and prints one line per datagram, after the date and time of
its arrival (the datagram holds only the printer's time of day).

A datagram's payload is UTF-8 text:
    <title index>$<title>$<HH:MM:SS >$<message><line feed>
The message is sent unescaped and may itself hold "$" and line feeds.
"""
import argparse
import csv
import math
import re
import socket
import sys
import time
from datetime import datetime
from pathlib import Path
from typing import NamedTuple

PROG = "z-compensate receive"
DEFAULT_PORT = 21021
MAX_PORT = 65535
MAX_DATAGRAM = 65535
CSV_HEADER = ["received", "title_index", "title", "time", "message"]
RECEIVED_FORMAT = "%Y-%m-%d %H:%M:%S"
TIME_OF_DAY = re.compile(r"[0-9]{2}:[0-9]{2}:[0-9]{2} ")
DIGITS = re.compile(r"[0-9]+")


class Datagram(NamedTuple):
    title_index: int
    title: str
    time: str
    message: str


def parse_datagram(payload):
    """The Datagram in `payload`, or None when it does not follow the format."""
    try:
        text = payload.decode("utf-8")
    except UnicodeDecodeError:
        return None
    if not text.endswith("\n"):
        return None
    fields = text[:-1].split("$", 3)
    if len(fields) != 4:
        return None
    index, title, time_of_day, message = fields
    if not DIGITS.fullmatch(index) or not TIME_OF_DAY.fullmatch(time_of_day):
        return None
    return Datagram(int(index), title, time_of_day.rstrip(" "), message)


def format_line(datagram, received):
    # Line feeds inside a message would split it over several output lines.
    message = datagram.message.replace("\n", "\\n")
    return "%s #%d %s %s %s" % (received.strftime(RECEIVED_FORMAT), datagram.title_index,
                                datagram.title, datagram.time, message)


class CsvLog:
    """Appends one row per datagram; the header goes into a new or empty file
    only, and a file with other columns is refused rather than mixed."""

    def __init__(self, path):
        path = Path(path)
        needs_header = not path.exists() or path.stat().st_size == 0
        if not needs_header:
            with path.open(newline="", encoding="utf-8") as existing:
                header = next(csv.reader(existing), [])
            if header != CSV_HEADER:
                raise ValueError("its columns are %s, not %s: choose another file"
                                 % (",".join(header), ",".join(CSV_HEADER)))
        self.file = path.open("a", newline="", encoding="utf-8")
        self.writer = csv.writer(self.file)
        if needs_header:
            self.write(CSV_HEADER)

    def write(self, row):
        self.writer.writerow(row)
        # Rows are on disk while the receiver keeps running.
        self.file.flush()

    def close(self):
        self.file.close()


def open_socket(bind_address="0.0.0.0", port=DEFAULT_PORT):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((bind_address, port))
    return sock


class Receiver:
    """Prints the datagrams arriving on `sock`, counting those it ignores."""

    def __init__(self, sock, out=None, err=None, csv_log=None, clock=datetime.now):
        self.sock = sock
        self.clock = clock
        self.out = out or sys.stdout
        self.err = err or sys.stderr
        self.csv_log = csv_log
        self.received = 0
        self.ignored = 0

    def run(self, count=None, timeout=None):
        """Receives until `count` datagrams have been printed or `timeout`
        seconds have passed; without either it runs until interrupted."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while count is None or self.received < count:
            if deadline is not None:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return
                self.sock.settimeout(remaining)
            try:
                payload, sender = self.sock.recvfrom(MAX_DATAGRAM)
            except socket.timeout:
                return
            self.handle(payload, sender)

    def handle(self, payload, sender):
        datagram = parse_datagram(payload)
        if datagram is None:
            self.ignored += 1
            print(
                "ignored a datagram from %s:%d not in the diagnostics format (%d so far)"
                % (sender[0], sender[1], self.ignored),
                file=self.err,
                flush=True,
            )
            return
        received = self.clock()
        self.received += 1
        print(format_line(datagram, received), file=self.out, flush=True)
        if self.csv_log is not None:
            self.csv_log.write([received.strftime(RECEIVED_FORMAT)] + list(datagram))

    def summary(self):
        return "%d datagrams received, %d ignored as not in the diagnostics format" % (
            self.received,
            self.ignored,
        )


def port_number(text):
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= MAX_PORT:
        raise argparse.ArgumentTypeError(
            "%r is no UDP port: give a number from 1 to %d (0: any free port)"
            % (text, MAX_PORT))
    return value


def positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def positive_float(text):
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError("must be a number above 0")
    return value


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Print the z_compensate module's diagnostic datagrams.",
    )
    parser.add_argument(
        "--bind",
        metavar="ADDRESS",
        default="0.0.0.0",
        help="address to listen on (default: %(default)s, every interface)",
    )
    parser.add_argument(
        "--port", type=port_number, default=DEFAULT_PORT, metavar="PORT",
        help="UDP port (default: %(default)s, the port the module sends to)"
    )
    parser.add_argument(
        "--csv", metavar="FILE", help="also append each datagram as a row to FILE"
    )
    parser.add_argument(
        "--count", type=positive_int, metavar="N", help="stop after N datagrams"
    )
    parser.add_argument(
        "--timeout", type=positive_float, metavar="SECONDS", help="stop after SECONDS seconds"
    )
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    try:
        sock = open_socket(args.bind, args.port)
    except OSError as error:
        print("error: cannot listen on %s:%d: %s" % (args.bind, args.port, error),
              file=sys.stderr)
        return 1
    try:
        csv_log = CsvLog(args.csv) if args.csv else None
    except (OSError, ValueError) as error:
        sock.close()
        print("error: cannot write %s: %s" % (args.csv, error), file=sys.stderr)
        return 1
    receiver = Receiver(sock, csv_log=csv_log)
    print("Listening on %s:%d" % sock.getsockname(), file=sys.stderr, flush=True)
    try:
        receiver.run(count=args.count, timeout=args.timeout)
    except KeyboardInterrupt:
        pass
    finally:
        sock.close()
        if csv_log is not None:
            csv_log.close()
    print(receiver.summary(), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
