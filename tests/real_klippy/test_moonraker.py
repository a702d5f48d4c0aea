"""Moonraker 0.11.0 in front of PyPI's klippy with the module, as a web
interface sees them, and an update of the module's clone through Moonraker's
update manager as a user meets it.

The printer's host lives in one home directory: a clone of this repository
from a local origin, installed with the clone's own installer into a Klipper
tree (a copy of the klippy package of the klippy venv, stand-ins included),
and Moonraker's data with the section the installer prints. klippy reads
G-code from a pty and serves its API socket (-I, -a); its MCU writes to a
file, so it behaves as in the batch tests.

Moonraker reaches for the internet as it starts (announcements, usb.ids, a
PyPI lookup of itself): it runs only inside a network namespace that the test
creates, where loopback is the one network and any port is free. klippy runs
there too, and so does the client that talks to Moonraker.
"""
import json
import os
import queue
import re
import shlex
import shutil
import signal
import subprocess
import threading
import time
import urllib.parse

import pytest

from moonraker_env import moonraker_env, moonraker_python
from published_repository import (git, publish, publish_this_repository,
                                  version_of)
from real_printer import (KNOWN_Z_OFFSET, PRINTER, klippy_command,
                          saved_z_offset, write_printer_files)

HERE = os.path.dirname(os.path.abspath(__file__))
CLIENT = os.path.join(HERE, "moonraker_client.py")
# Moonraker's default port: free in a fresh network namespace
PORT = 7125
NAMESPACE_TIMEOUT = 10
# klippy's start and Moonraker's connection to it
START_TIMEOUT = 120
# Z_OFFSET_AUTO and the update run within one request each: the client's
# own bound on a request (300 s) and its start
CLIENT_TIMEOUT = 330
STATUS_TIMEOUT = 30
STOP_TIMEOUT = 15
POLL_INTERVAL = 0.25
STATUS_FIELDS = {"auto_alignment_status", "running_command", "last_command",
                 "last_result", "last_message", "last_z_offset",
                 "saved_z_offset", "probe_z_offset", "last_point_offsets",
                 "last_point_spread",
                 "last_remeasurements"}


def namespace_missing():
    """Why no network namespace can be made here, or None. As root (CI)
    there is no excuse: a namespace that cannot be made fails the test."""
    if os.geteuid() == 0:
        return None
    return ("Moonraker may run only in a network namespace of its own, and"
            " making one (unshare --net) needs root")


MOONRAKER_PYTHON = moonraker_python()
SKIP_REASON = namespace_missing() or (
    None if MOONRAKER_PYTHON else
    "Moonraker 0.11.0 needs CPython 3.10 or newer, and there is none here")
pytestmark = [pytest.mark.skip_allowed(SKIP_REASON),
              pytest.mark.skip(reason=SKIP_REASON)] if SKIP_REASON else []


def stop(process):
    """Ends a process the test started, and whatever that one started (its
    process group), also what is still running after it exited."""
    if process.poll() is None:
        signal_group(process, signal.SIGTERM)
        try:
            process.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            signal_group(process, signal.SIGKILL)
            process.wait()
    signal_group(process, signal.SIGKILL)


def signal_group(process, signum):
    try:
        os.killpg(process.pid, signum)
    except ProcessLookupError:
        pass


def wait_until(what, probe, timeout, diagnostics=lambda: ""):
    """Polls `probe()` until it returns something true, which is returned;
    fails after `timeout` seconds, naming `what` and the last answer."""
    deadline = time.monotonic() + timeout
    while True:
        answer = probe()
        if answer:
            return answer
        if time.monotonic() > deadline:
            pytest.fail("no %s within %d s (last answer: %r)%s"
                        % (what, timeout, answer, diagnostics()))
        time.sleep(POLL_INTERVAL)


def tail(path, lines=30):
    if not os.path.exists(str(path)):
        return "\n%s: missing" % path
    with open(str(path), errors="replace") as f:
        return "\n--- %s:\n%s" % (path, "".join(f.readlines()[-lines:]))


class NetworkNamespace:
    """A network namespace with loopback up and nothing else, held by a
    sleeping process; commands enter it through nsenter."""

    def __init__(self):
        self.holder = subprocess.Popen(
            ["unshare", "--net", "sh", "-c",
             "ip link set lo up && echo up && exec sleep infinity"],
            stdout=subprocess.PIPE, universal_newlines=True,
            start_new_session=True)
        lines = LineReader(self.holder.stdout)
        if lines.next(NAMESPACE_TIMEOUT) != "up":
            stop(self.holder)
            pytest.fail("the network namespace's loopback did not come up")
        ours = os.stat("/proc/self/ns/net").st_ino
        assert os.stat("/proc/%d/ns/net" % self.holder.pid).st_ino != ours, \
            "the namespace must not be the test's own network"

    def command(self, args):
        # nsenter entering only a network namespace execs the command
        # itself, so its process is the one Popen started
        return ["nsenter", "--target", str(self.holder.pid), "--net", "--"] \
            + [str(arg) for arg in args]

    def start(self, args, log, **popen_args):
        """Starts `args` inside the namespace, output into the file `log`."""
        with open(str(log), "ab") as output:
            return subprocess.Popen(
                self.command(args), stdout=output, stderr=subprocess.STDOUT,
                start_new_session=True, **popen_args)

    def close(self):
        stop(self.holder)


class LineReader:
    """The lines of a child's output, read by a thread so that the test can
    wait for one with a bound."""

    def __init__(self, stream):
        self.lines = queue.Queue()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def next(self, timeout):
        """The next line; None at the end of the output or after `timeout`."""
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            return None


class Websocket:
    """A websocket client subscribed to objects' status. `snapshots` are
    the status after the subscription's answer and after each update;
    `notices` the other notifications, as (method, parameters)."""

    def __init__(self, process, objects):
        self.process = process
        self.reader = LineReader(process.stdout)
        self.status = None
        self.snapshots = []
        self.notices = []
        deadline = time.monotonic() + STATUS_TIMEOUT
        while self.status is None:
            self._read("answer to printer.objects.subscribe", deadline)
        assert set(self.status) == set(objects), self.status

    def _keep_snapshot(self):
        self.snapshots.append(json.loads(json.dumps(self.status)))

    def _read(self, what, deadline):
        line = self.reader.next(max(0., deadline - time.monotonic()))
        if line is None:
            pytest.fail("the websocket saw no %s; it saw %s and %s"
                        % (what, self.snapshots, self.notices))
        message = json.loads(line)
        if "error" in message:
            pytest.fail("printer.objects.subscribe: %s" % message["error"])
        if "result" in message:
            self.status = message["result"]["status"]
            self._keep_snapshot()
        elif message["method"] == "notify_status_update":
            for name, fields in message["params"][0].items():
                self.status.setdefault(name, {}).update(fields)
            self._keep_snapshot()
        else:
            self.notices.append((message["method"], message.get("params")))

    def wait_for(self, what, accept, timeout=STATUS_TIMEOUT):
        """Reads notifications until a snapshot passes `accept`."""
        deadline = time.monotonic() + timeout
        while not accept(self.snapshots[-1]):
            self._read(what, deadline)

    def wait_for_notice(self, what, method, accept, timeout=STATUS_TIMEOUT):
        """Reads notifications until one of `method` passes `accept`;
        returns the parameters of every one of `method` so far."""
        deadline = time.monotonic() + timeout
        while True:
            found = [params for name, params in self.notices if name == method]
            if found and accept(found[-1]):
                return found
            self._read(what, deadline)

    def close(self):
        stop(self.process)


class PrinterHost:
    """The home directory of a printer's host and its two services."""

    def __init__(self, home, klippy_site, klippy_python, moonraker_venv):
        self.home = home
        self.source = home / "upstream"
        self.origin = home / "origin.git"
        self.clone = home / "z-compensate"
        self.klipper = home / "klipper"
        self.klippy_env = os.path.dirname(os.path.dirname(klippy_python))
        self.klippy_python = klippy_python
        self.printer = home / "printer"
        self.data = home / "printer_data"
        self.moonraker_venv = moonraker_venv
        self.namespace = None
        self.klippy = None
        self.moonraker = None
        self.environment = dict(os.environ, HOME=str(home))
        self.environment.pop("PYTHONPATH", None)

        publish_this_repository(self.source, self.origin)
        git(home, "clone", "--quiet", str(self.origin), str(self.clone))
        shutil.copytree(os.path.join(klippy_site, "klippy"),
                        str(self.klipper / "klippy"), symlinks=True)
        self.printer.mkdir()
        write_printer_files(self.printer, PRINTER, str(self.klipper / "klippy"))
        self.run_installer()
        self.installed_version = version_of(self.clone)

    def run_installer(self, *args):
        """The clone's install script, as the user runs it."""
        return self.run_command(
            [str(self.clone / "scripts" / "install-klipper.sh"),
             "--klipper", str(self.klipper), "--env", self.klippy_env]
            + list(args))

    def run_command(self, command):
        result = subprocess.run(
            command, env=self.environment, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, universal_newlines=True)
        assert result.returncode == 0, result.stdout
        return result.stdout

    def write_moonraker_conf(self):
        section = self.run_installer("--print-moonraker")
        (self.data / "config").mkdir(parents=True)
        (self.data / "config" / "moonraker.conf").write_text("""\
[server]
host: 127.0.0.1
port: %d
klippy_uds_address: %s

[authorization]
trusted_clients:
  127.0.0.0/8

[machine]
# No service manager here: Moonraker cannot restart klipper itself
provider: none

[update_manager]
# The system's packages are not Moonraker's to update here
enable_system_updates: False

""" % (PORT, self.printer / "klippy.sock") + section)

    def start(self):
        self.namespace = NetworkNamespace()
        self.start_klippy()
        # pip's lookup of Moonraker itself cannot succeed in the namespace:
        # no retries, so that the update manager's first refresh ends soon
        moonraker_environment = dict(self.environment, PIP_RETRIES="0")
        self.moonraker = self.namespace.start(
            [self.moonraker_venv / "bin" / "moonraker",
             "-d", self.data, "-c", self.data / "config" / "moonraker.conf",
             "-l", self.home / "moonraker.log"],
            self.home / "moonraker.out", env=moonraker_environment)
        return self.wait_for_klippy("ready")

    def start_klippy(self):
        # Run from the Klipper tree, whose klippy package comes first on
        # the path
        self.klippy = self.namespace.start(
            klippy_command(self.klippy_python, self.printer,
                           "-I", self.printer / "klippy.tty",
                           "-a", self.printer / "klippy.sock"),
            self.printer / "klippy.out", cwd=str(self.klipper),
            env=self.environment)

    def restart_klippy(self):
        """What the service manager's restart of klipper does."""
        stop(self.klippy)
        self.start_klippy()

    def wait_for_klippy(self, state):
        """/printer/info of the klippy process now running, once Moonraker
        is connected to it and it has left its start-up state."""
        def info():
            for name, process in (("klippy", self.klippy),
                                  ("Moonraker", self.moonraker)):
                if process.poll() is not None:
                    pytest.fail("%s exited with %s%s" % (
                        name, process.returncode, self.diagnostics()))
            status, body = self.request("GET", "/printer/info")
            if status != 200:
                return None
            result = body["result"]
            if result["process_id"] != self.klippy.pid or \
                    result["state"] == "startup":
                return None
            return result
        result = wait_until("klippy started through Moonraker", info,
                            START_TIMEOUT, self.diagnostics)
        assert result["state"] == state, \
            "klippy is in state %r: %s%s" % (result["state"],
                                              result["state_message"],
                                              self.diagnostics())
        return result

    def request(self, method, path, **params):
        """(HTTP status, JSON answer) of Moonraker; (None, None) while it
        does not answer."""
        if params:
            path += "?" + urllib.parse.urlencode(params)
        result = subprocess.run(
            self.namespace.command(
                [self.moonraker_venv / "bin" / "python", CLIENT, PORT,
                 "http", method, path]),
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            universal_newlines=True, timeout=CLIENT_TIMEOUT)
        if result.returncode != 0:
            return None, None
        answer = json.loads(result.stdout)
        return answer["status"], answer["body"]

    def call(self, method, path, **params):
        """The result of a request that must succeed."""
        status, body = self.request(method, path, **params)
        assert status == 200, "%s %s: %s %s%s" % (
            method, path, status, body, self.diagnostics())
        return body["result"]

    def refresh_update_status(self, name):
        """The update manager's status of entry `name`, refreshed as the
        user's "check for updates" does; Moonraker refuses it while its own
        first refresh runs."""
        def refresh():
            status, body = self.request("POST", "/machine/update/refresh",
                                        name=name)
            return status == 200 and body["result"]
        refreshed = wait_until("refresh of the update status", refresh,
                               START_TIMEOUT, self.diagnostics)
        return refreshed["version_info"][name]

    def subscribe(self, *objects):
        process = subprocess.Popen(
            self.namespace.command(
                [self.moonraker_venv / "bin" / "python", CLIENT, PORT,
                 "subscribe"] + list(objects)),
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            universal_newlines=True, start_new_session=True)
        return Websocket(process, objects)

    def klippy_log(self):
        return (self.printer / "klippy.log").read_text()

    def diagnostics(self):
        return tail(self.printer / "klippy.log") + tail(self.home / "moonraker.log")

    def close(self):
        for process in (self.moonraker, self.klippy):
            if process is not None:
                stop(process)
        if self.namespace is not None:
            self.namespace.close()


@pytest.fixture(scope="module")
def host(tmp_path_factory, klippy_site, klippy_python):
    venv = moonraker_env(*MOONRAKER_PYTHON)
    host = PrinterHost(tmp_path_factory.mktemp("home"), klippy_site,
                       klippy_python, venv)
    try:
        host.write_moonraker_conf()
        host.start()
        yield host
    finally:
        host.close()


@pytest.fixture(scope="module")
def auto_run(host):
    """Z_OFFSET_AUTO through /printer/gcode/script, watched by a websocket
    subscription; returns the status snapshots the subscription saw."""
    subscription = host.subscribe("z_compensate")
    try:
        host.call("POST", "/printer/gcode/script", script="G28")
        host.call("POST", "/printer/gcode/script", script="Z_OFFSET_AUTO")
        subscription.wait_for(
            "end of Z_OFFSET_AUTO",
            lambda status: status["z_compensate"]["last_command"] == "Z_OFFSET_AUTO")
    finally:
        subscription.close()
    return [snapshot["z_compensate"] for snapshot in subscription.snapshots]


class TestModuleThroughMoonraker:
    def test_listed_and_queried_before_any_command(self, host):
        objects = host.call("GET", "/printer/objects/list")["objects"]
        status = host.call("GET", "/printer/objects/query?z_compensate")["status"]

        # klippy runs the build that the clone's installer put into the
        # Klipper tree
        assert re.search(r"z_compensate %s loaded from %s/z_compensate_wrapper\.\S+\.so"
                         r" \(checkout %s\)" % (
                             re.escape(host.installed_version),
                             re.escape(str(host.klipper / "klippy" / "extras")),
                             re.escape(str(host.clone))), host.klippy_log())
        assert "z_compensate" in objects
        assert status["z_compensate"] == {
            "auto_alignment_status": 0, "running_command": "",
            "last_command": "", "last_result": "", "last_message": "",
            "last_z_offset": None, "saved_z_offset": None,
            # the [probe] z_offset that the printer's file holds
            "probe_z_offset": 2.0,
            "last_point_offsets": [], "last_point_spread": None, "last_remeasurements": 0}

    def test_subscription_follows_z_offset_auto(self, auto_run):
        assert set(auto_run[0]) == STATUS_FIELDS
        running = [status for status in auto_run
                   if status["running_command"] == "Z_OFFSET_AUTO"]
        assert running, "no update showed the command running: %s" % auto_run
        assert all(status["last_result"] == "" for status in running)
        # the stages only move on, from the start to the saved offset
        stages = [status["auto_alignment_status"] for status in auto_run]
        assert stages == sorted(stages), stages
        assert stages[0] == 0 and stages[-1] == 5, stages
        assert len(set(stages)) > 2, stages
        last = auto_run[-1]
        assert last["running_command"] == ""
        assert last["last_result"] == "done"
        assert last["last_message"] == ""
        assert "%.3f" % last["saved_z_offset"] == KNOWN_Z_OFFSET
        assert len(last["last_point_offsets"]) == 2

    def test_console_lines_reach_the_gcode_store(self, host, auto_run):
        store = host.call("GET", "/server/gcode_store", count=100)["gcode_store"]
        messages = [(entry["type"], entry["message"]) for entry in store]

        assert ("command", "Z_OFFSET_AUTO") in messages
        responses = [message for kind, message in messages
                     if kind == "response"]
        assert "// [SWAP_TEST]---Swap Test Success---" in responses
        assert len([line for line in responses
                    if re.match(r"// probe at \S+ is z=1\.900000$", line)]) == 2
        assert any(line.startswith("// probe: z_offset: %s" % KNOWN_Z_OFFSET)
                   for line in responses), responses

    def test_printer_cfg_holds_the_new_offset(self, host, auto_run):
        assert saved_z_offset((host.printer / "printer.cfg").read_text()) \
            == KNOWN_Z_OFFSET


class TestUpdateThroughMoonraker:
    """The update of the clone as a user meets it: Moonraker pulls a new
    commit that changes the module and restarts Klipper; the old build is
    refused with the command that rebuilds it; the rebuild loads the new
    version. Runs after TestModuleThroughMoonraker: it moves the clone on."""

    def test_moonraker_takes_the_printed_section(self, host):
        repo = host.refresh_update_status("z_compensate")

        assert repo["configured_type"] == "git_repo"
        assert repo["is_valid"], repo
        assert repo["warnings"] == [] and repo["anomalies"] == [], repo
        assert (repo["remote_alias"], repo["branch"]) == ("origin", "main")
        assert repo["current_hash"] == git(host.clone, "rev-parse", "HEAD").strip()
        assert not repo["is_dirty"]
        warnings = host.call("GET", "/server/info")["warnings"]
        assert not [w for w in warnings if "z_compensate" in w], warnings

    def test_update_pulls_the_commit_and_restarts_klipper(self, host):
        old = version_of(host.clone)
        host.new_version = old + ".1"
        motion = "klippy/extras/z_compensate_wrapper/motion.cpp"
        publish(host.source, {
            "pyproject.toml": (host.source / "pyproject.toml").read_text()
            .replace('version = "%s"' % old, 'version = "%s"' % host.new_version),
            motion: (host.source / motion).read_text() + "\n"})

        behind = host.refresh_update_status("z_compensate")["commits_behind"]
        assert [commit["subject"] for commit in behind] == ["update"]

        # 0.11.0 updates one entry of the update manager by its name, at
        # /machine/update/client (and /machine/update/upgrade)
        websocket = host.subscribe()
        try:
            status, body = host.request("POST", "/machine/update/client",
                                        name="z_compensate")
            responses = websocket.wait_for_notice(
                "end of the update", "notify_update_response",
                lambda params: params[0]["complete"])
        finally:
            websocket.close()
        messages = [params[0]["message"] for params in responses]

        assert git(host.clone, "rev-parse", "HEAD") == \
            git(host.origin, "rev-parse", "main")
        assert version_of(host.clone) == host.new_version
        # Moonraker asks the service manager to restart klipper, as the
        # section's managed_services says; there is none here (provider:
        # none), so that last step of the update is refused
        assert status == 503, body
        assert body["error"]["message"] == "Service Actions Not Available"
        assert messages[-2:] == [
            "Git Repo z_compensate: Restarting service klipper...",
            "Error updating z_compensate: Service Actions Not Available"], \
            messages

    def test_restarted_klippy_refuses_the_old_build(self, host):
        # A service manager would restart klipper after the update; there
        # is none here, so the test restarts klippy as it would
        host.restart_klippy()
        info = host.wait_for_klippy("error")

        rebuild = "%s --klipper %s --env %s" % (
            host.clone / "scripts" / "install-klipper.sh", host.klipper,
            host.klippy_env)
        assert ("z_compensate: the installed build is version %s, the"
                " checkout %s is %s; rebuild it with: %s, then restart"
                " Klipper" % (host.installed_version, host.clone,
                              host.new_version, rebuild)) \
            in info["state_message"], info["state_message"]
        host.rebuild_command = re.search(
            "rebuild it with: (.+), then restart Klipper",
            info["state_message"]).group(1)

    def test_the_named_rebuild_loads_the_new_version(self, host):
        output = host.run_command(shlex.split(host.rebuild_command))
        host.restart_klippy()
        host.wait_for_klippy("ready")

        assert "z_compensate %s is installed" % host.new_version in output
        # the build directory outlived the update: motion.cpp and
        # binding.cpp (the version) are compiled, nothing else
        assert output.count("Building CXX object") == 2, output
        assert "z_compensate %s loaded from %s" % (
            host.new_version, host.klipper / "klippy" / "extras") in host.klippy_log()
        objects = host.call("GET", "/printer/objects/list")["objects"]
        assert "z_compensate" in objects
        status = host.call("GET", "/printer/objects/query?z_compensate")["status"]
        assert set(status["z_compensate"]) == STATUS_FIELDS
