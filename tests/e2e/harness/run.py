"""Runs the real updater once: in private network and mount namespaces
(netns-run) with the local update server, under the emulated reader
(umockdev, or with usbip set the USB/IP reader that a real kernel enumerates),
driven by the GTK module, on the X display of the caller.

The outer half (run_scenario) prepares the work folder and calls netns-run,
which runs this file again as the inner half inside the namespaces."""
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

SERVER_READY_S = 15
READER_READY_S = 60
FAIL_STATUS = 97


class Tools:
    """Paths of the programs a run needs."""

    def __init__(self, updater, reader, server, netns_run, driver, host, usbip=False):
        self.updater = updater
        self.reader = reader
        self.usbip = usbip
        self.server = server
        self.netns_run = netns_run
        self.driver = driver
        self.host = host


def run_scenario(tools, work, script, netns_opts=(), server_opts=(), reader_opts=(),
                 timeout=600, cut_network_on_signal=False, env_extra=None):
    """Runs one scenario with the files already in work/root. Returns the
    updater's exit status (None when the run had to be killed)."""
    for sub in ("shots", "signals", "frames"):
        os.makedirs(os.path.join(work, sub), exist_ok=True)
    with open(os.path.join(work, "script.txt"), "w", encoding="utf-8") as f:
        f.write(script)
    inner = {
        "work": work,
        "tools": vars(tools),
        "server_opts": list(server_opts),
        "reader_opts": list(reader_opts),
        "cut_network_on_signal": cut_network_on_signal,
        "env_extra": env_extra or {},
    }
    config = os.path.join(work, "inner.json")
    with open(config, "w") as f:
        json.dump(inner, f)
    cmd = [tools.netns_run, *netns_opts, "--", sys.executable, os.path.abspath(__file__),
           "--inner", config]
    env = dict(os.environ, LUMORA_SERVER_HOST=tools.host)
    with open(os.path.join(work, "outer.log"), "wb") as out:
        proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, env=env,
                                start_new_session=True)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            return None
    status_file = os.path.join(work, "status")
    if not os.path.exists(status_file):
        return None
    with open(status_file) as f:
        return int(f.read().strip())


# ---- inner half, inside the namespaces ----

def start_server(cfg):
    work, tools = cfg["work"], cfg["tools"]
    ready = os.path.join(work, "server.ready")
    cmd = [tools["server"], "--root", os.path.join(work, "root"), "--ready-file", ready,
           "--log", os.path.join(work, "server.log"), *cfg["server_opts"]]
    out = open(os.path.join(work, "server.out"), "wb")
    proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + SERVER_READY_S
    while not os.path.exists(ready):
        if proc.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("the local update server did not start (see server.out)")
        time.sleep(0.05)
    return proc


def watch_for_network_cut(signal_dir, held):
    """Once the driver writes the signal 'cut-network', the update server
    stops answering: a socket swallows UDP port 45678 (no port-unreachable),
    ICMP echo is ignored and TCP port 80 is dropped in this namespace."""
    path = os.path.join(signal_dir, "cut-network")
    while not os.path.exists(path):
        time.sleep(0.05)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("0.0.0.0", 45678))
    held.append(sock)
    with open("/proc/sys/net/ipv4/icmp_echo_ignore_all", "w") as f:
        f.write("1")
    subprocess.run(["iptables", "-A", "INPUT", "-p", "tcp", "--dport", "80", "-j", "DROP"],
                   check=True)
    with open(os.path.join(signal_dir, "network-cut"), "w") as f:
        f.write("done\n")


def skip_reason():
    """Why the driven updater cannot run here, or None."""
    if not os.environ.get("DISPLAY"):
        return "no X display (run under xvfb-run -a)"
    if os.geteuid() != 0:
        return "the private network namespaces need root"
    return None


def updater_env(work, tools, env_extra):
    """The driven updater's environment; each run has its own
    XDG_RUNTIME_DIR, so runs never share the single-instance lock."""
    env_extra = env_extra or {}
    runtime = env_extra.get("XDG_RUNTIME_DIR") or os.path.join(work, "runtime")
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    env = dict(os.environ)
    env.update({
        "LANG": "C.UTF-8",
        "NO_AT_BRIDGE": "1",
        "XDG_RUNTIME_DIR": runtime,
        "GTK_MODULES": tools["driver"],
        "LUMORA_E2E_SCRIPT": os.path.join(work, "script.txt"),
        "LUMORA_E2E_LOG": os.path.join(work, "driver.log"),
        "LUMORA_E2E_SHOTS": os.path.join(work, "shots"),
        "LUMORA_E2E_SIGNALS": os.path.join(work, "signals"),
    })
    env.update(env_extra)
    return env


def reader_args(work, reader_opts):
    return ["--log", os.path.join(work, "reader.log"),
            "--frames-dir", os.path.join(work, "frames"), *reader_opts]


def start_updater(work, tools, reader_opts=(), env_extra=None):
    """Starts the updater under its own emulated reader, driven by
    work/script.txt; its evidence goes to work."""
    env = updater_env(work, tools, env_extra)
    cmd = ["umockdev-wrapper", tools["reader"], *reader_args(work, reader_opts), "--",
           tools["updater"]]
    with open(os.path.join(work, "updater.out"), "wb") as out:
        return subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, env=env,
                                start_new_session=True)


def run_updater(cfg):
    work, tools = cfg["work"], cfg["tools"]
    if tools.get("usbip"):
        env = updater_env(work, tools, cfg["env_extra"])
        return run_beside_usbip_reader(work, tools, reader_args(work, cfg["reader_opts"]), env)
    return start_updater(work, tools, cfg["reader_opts"], cfg["env_extra"]).wait()


def stop(proc, grace_s):
    """Asks proc to end, and kills it when it has not after grace_s."""
    proc.terminate()
    try:
        proc.wait(timeout=grace_s)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def run_beside_usbip_reader(work, tools, reader_args, env):
    """The USB/IP reader is a device on the kernel's bus, not a wrapper: it
    is plugged in first and unplugged once the updater has ended."""
    ready = os.path.join(work, "reader.ready")
    with open(os.path.join(work, "reader.out"), "wb") as reader_out:
        reader = subprocess.Popen([sys.executable, tools["reader"], "--ready", ready, *reader_args],
                                  stdout=reader_out, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + READER_READY_S
        while not os.path.exists(ready):
            if reader.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the USB/IP reader was not enumerated (see reader.out)")
            time.sleep(0.05)
        with open(os.path.join(work, "updater.out"), "wb") as out:
            proc = subprocess.Popen([tools["updater"]], stdout=out, stderr=subprocess.STDOUT,
                                    env=env, start_new_session=True)
            return proc.wait()
    finally:
        stop(reader, grace_s=20)


def inner_main(config_path):
    with open(config_path) as f:
        cfg = json.load(f)
    held = []
    if cfg["cut_network_on_signal"]:
        threading.Thread(target=watch_for_network_cut,
                         args=(os.path.join(cfg["work"], "signals"), held),
                         daemon=True).start()
    server = start_server(cfg)
    try:
        status = run_updater(cfg)
    finally:
        stop(server, grace_s=5)
    with open(os.path.join(cfg["work"], "status"), "w") as f:
        f.write("%d\n" % status)
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--inner":
        sys.exit(inner_main(sys.argv[2]))
    sys.exit("usage: run.py --inner CONFIG")
