"""Runs the real updater once: in private network and mount namespaces
(netns-run) with the local update server, under the emulated reader
(umockdev, or with usbip set the USB/IP reader that a real kernel enumerates),
driven by the GTK module, on the X display of the caller.

The outer half (run_scenario) prepares the work folder and calls netns-run,
which runs this file again as the inner half inside the namespaces."""
import json
import os
import shutil
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
                 timeout=600, cut_network_on_signal=False, env_extra=None, proxy=False,
                 silent_dns=False, kill_on_signal=None, drop_all_traffic=False, logind_mock=False,
                 atspi=False, updater_args=(), orca=False):
    """Runs one scenario with the files already in work/root. Returns the
    updater's exit status (None when the run had to be killed). With proxy,
    tinyproxy is the only route to port 80 and http_proxy names it. With
    silent_dns, the namespace's name server (loopback) never answers.
    kill_on_signal: once the driver writes that signal, the updater is
    killed with SIGKILL. drop_all_traffic: iptables drops every packet in
    the namespace, so nothing answers. logind_mock: python3-dbusmock's logind
    on a private system bus; its inhibitors are logged to work/inhibitors.log.
    orca: Orca listening on a display and session of the run's own (orca_session.py)."""
    for sub in ("shots", "signals", "frames"):
        os.makedirs(os.path.join(work, sub), exist_ok=True)
    with open(os.path.join(work, "script.txt"), "w", encoding="utf-8") as f:
        f.write(script)
    inner = {
        "work": work,
        "tools": vars(tools),
        "server_opts": list(server_opts),
        "reader_opts": list(reader_opts),
        "updater_args": list(updater_args),
        "cut_network_on_signal": cut_network_on_signal,
        "env_extra": env_extra or {},
        "proxy": proxy,
        "silent_dns": silent_dns,
        "kill_on_signal": kill_on_signal,
        "drop_all_traffic": drop_all_traffic,
        "logind_mock": logind_mock,
        "atspi": atspi,
        "orca": orca,
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


PROXY_PORT = 3128
DIRECT_RULE = ["OUTPUT", "-p", "tcp", "--dport", "80", "-m", "owner", "--uid-owner", "0",
               "-j", "REJECT", "--reject-with", "tcp-reset"]


def start_proxy(work):
    """tinyproxy under its own user on 127.0.0.1:3128, and root's direct
    connections to port 80 refused, so only the proxy reaches the server.
    Returns what stop_proxy needs."""
    import pwd
    import tempfile
    user = pwd.getpwnam("tinyproxy")
    folder = tempfile.mkdtemp(prefix="lumora-proxy-")  # searchable by its user, unlike work
    os.chown(folder, user.pw_uid, user.pw_gid)
    os.chmod(folder, 0o755)
    conf = os.path.join(folder, "tinyproxy.conf")
    with open(conf, "w") as f:
        f.write("User tinyproxy\nGroup tinyproxy\nPort %d\nListen 127.0.0.1\nTimeout 60\n"
                "LogLevel Info\nLogFile \"%s/log\"\nPidFile \"%s/pid\"\n" % (PROXY_PORT, folder, folder))
    subprocess.run(["tinyproxy", "-c", conf], check=True)
    deadline = time.monotonic() + SERVER_READY_S
    while True:
        try:
            socket.create_connection(("127.0.0.1", PROXY_PORT), timeout=1).close()
            break
        except OSError:
            if time.monotonic() > deadline:
                raise RuntimeError("tinyproxy did not start")
            time.sleep(0.05)
    subprocess.run(["iptables", "-A", *DIRECT_RULE], check=True)
    return folder


def stop_proxy(folder, work):
    subprocess.run(["iptables", "-D", *DIRECT_RULE], check=False)
    try:
        with open(os.path.join(folder, "pid")) as f:
            pid = int(f.read().strip())
        os.kill(pid, signal.SIGTERM)  # it forked away: not our child
        for _ in range(200):
            os.kill(pid, 0)
            time.sleep(0.05)
    except (OSError, ValueError):
        pass
    if os.path.exists(os.path.join(folder, "log")):
        shutil.copy(os.path.join(folder, "log"), os.path.join(work, "proxy.log"))
    shutil.rmtree(folder, ignore_errors=True)


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
    XDG_RUNTIME_DIR, so runs never share the single-instance lock, its own
    state folder, and a system bus that does not exist (no inhibitor is
    taken from the machine's logind)."""
    env_extra = env_extra or {}
    runtime = env_extra.get("XDG_RUNTIME_DIR") or os.path.join(work, "runtime")
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    env = dict(os.environ)
    # The wizard's own texts, whatever the caller's language: LANGUAGE
    # chooses another one only when a run asks for it.
    for name in ("LC_ALL", "LC_MESSAGES"):
        env.pop(name, None)
    env.update({
        "LANG": "C.UTF-8",
        "LANGUAGE": "",
        "NO_AT_BRIDGE": "1",
        "XDG_RUNTIME_DIR": runtime,
        "XDG_STATE_HOME": os.path.join(work, "state"),
        "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=" + os.path.join(work, "no-system-bus"),
        "GTK_MODULES": tools["driver"],
        "LUMORA_E2E_SCRIPT": os.path.join(work, "script.txt"),
        "LUMORA_E2E_LOG": os.path.join(work, "driver.log"),
        "LUMORA_E2E_SHOTS": os.path.join(work, "shots"),
        "LUMORA_E2E_SIGNALS": os.path.join(work, "signals"),
    })
    env.update(env_extra)
    # A value of None leaves the variable out (a shell without a session).
    return {k: v for k, v in env.items() if v is not None}


def reader_args(work, reader_opts):
    return ["--log", os.path.join(work, "reader.log"),
            "--frames-dir", os.path.join(work, "frames"), *reader_opts]


def start_updater(work, tools, reader_opts=(), env_extra=None, updater_args=()):
    """Starts the updater under its own emulated reader, driven by
    work/script.txt; its evidence goes to work."""
    env = updater_env(work, tools, env_extra)
    cmd = ["umockdev-wrapper", tools["reader"], *reader_args(work, reader_opts), "--",
           tools["updater"], *updater_args]
    with open(os.path.join(work, "updater.out"), "wb") as out:
        return subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, env=env,
                                start_new_session=True)


# The session this run started its updater in (the updater's own, or its
# reader's): a crash step kills in it only, never another run's wizard.
RUN_SESSION = []


def run_updater(cfg):
    work, tools = cfg["work"], cfg["tools"]
    if tools.get("usbip"):
        env = updater_env(work, tools, cfg["env_extra"])
        return run_beside_usbip_reader(work, tools, reader_args(work, cfg["reader_opts"]), env)
    proc = start_updater(work, tools, cfg["reader_opts"], cfg["env_extra"], cfg.get("updater_args", ()))
    RUN_SESSION.append(proc.pid)
    return proc.wait()


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
            RUN_SESSION.append(proc.pid)
            return proc.wait()
    finally:
        stop(reader, grace_s=20)


def kill_on_signal(signal_dir, name, updater):
    """A crash: once the driver writes the signal, SIGKILL for the updater
    this run started (found by its program file in the run's own session;
    it runs under the reader's wrapper). Other runs' updaters live on."""
    while not os.path.exists(os.path.join(signal_dir, name)) or not RUN_SESSION:
        time.sleep(0.02)
    target = os.path.realpath(updater)
    for pid in os.listdir("/proc"):
        try:
            if (pid.isdigit() and os.getsid(int(pid)) == RUN_SESSION[0] and
                    os.path.realpath("/proc/%s/exe" % pid) == target):
                os.kill(int(pid), signal.SIGKILL)
        except OSError:
            pass


def drop_all_traffic():
    for chain in ("INPUT", "OUTPUT"):
        subprocess.run(["iptables", "-A", chain, "-j", "DROP"], check=True)


LOGIND_CALL = ["gdbus", "call", "--system", "--dest", "org.freedesktop.login1", "--object-path",
               "/org/freedesktop/login1", "--method",
               "org.freedesktop.login1.Manager.ListInhibitors"]


def start_logind_mock(work, env_extra):
    """python3-dbusmock's logind (Debian's own Python) on a private bus; the
    updater finds it through DBUS_SYSTEM_BUS_ADDRESS."""
    address = "unix:path=" + os.path.join(work, "system_bus")
    env_extra["DBUS_SYSTEM_BUS_ADDRESS"] = address
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
    log = open(os.path.join(work, "logind.out"), "wb")
    procs = [subprocess.Popen(["dbus-daemon", "--session", "--address=" + address, "--nofork"],
                              stdout=log, stderr=subprocess.STDOUT)]
    time.sleep(0.5)
    procs.append(subprocess.Popen(["/usr/bin/python3", "-m", "dbusmock", "--system", "--template",
                                   "logind"], stdout=log, stderr=subprocess.STDOUT, env=env))
    deadline = time.monotonic() + SERVER_READY_S
    while subprocess.run(LOGIND_CALL, env=env, capture_output=True).returncode != 0:
        if time.monotonic() > deadline:
            raise RuntimeError("the mocked logind did not start (see logind.out)")
        time.sleep(0.1)
    return procs, env


def start_atspi(work, tools, env_extra):
    """A session bus of the run's own with at-spi-bus-launcher on it, and the
    observer listening; the updater loads gail and atk-bridge (GTK 3 has
    both built in and skips the names). Each runs in a process group of its
    own, which stop_group ends with the accessibility bus and registry."""
    address = "unix:path=" + os.path.join(work, "session_bus")
    env_extra.update(DBUS_SESSION_BUS_ADDRESS=address, NO_AT_BRIDGE=None,
                     GTK_MODULES="gail:atk-bridge:" + tools["driver"])
    env = updater_env(work, tools, env_extra)
    log = open(os.path.join(work, "atspi.out"), "wb")
    observer = ["/usr/bin/python3",
                os.path.join(os.path.dirname(os.path.abspath(__file__)), "atspi_observer.py"), work]

    def exists(name):
        return lambda: os.path.exists(os.path.join(work, name))

    def a11y_bus_owned():  # asked without starting the launcher by activation
        got = subprocess.run(["gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
                              "--object-path", "/org/freedesktop/DBus", "--method",
                              "org.freedesktop.DBus.NameHasOwner", "org.a11y.Bus"],
                             env=env, capture_output=True, text=True)
        return "true" in got.stdout

    procs = []
    for cmd, ready in ((["dbus-daemon", "--session", "--address=" + address, "--nofork"], exists("session_bus")),
                       (["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"], a11y_bus_owned),
                       (observer, exists("atspi.ready"))):
        procs.append(subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, env=env,
                                      start_new_session=True))
        deadline = time.monotonic() + SERVER_READY_S
        while not ready():
            if procs[-1].poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("%s did not start (see atspi.out)" % cmd[0])
            time.sleep(0.1)
    return procs


def stop_group(proc, grace_s):
    stop(proc, grace_s)
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except OSError:
        pass


def log_inhibitors(work, env, who, stop_event):
    """Every 100 ms: how many inhibitors `who` holds; a line "mark NAME"
    once the driver wrote the signal NAME."""
    marked = set()
    with open(os.path.join(work, "inhibitors.log"), "w", encoding="utf-8") as out:
        while not stop_event.is_set():
            for name in sorted(os.listdir(os.path.join(work, "signals"))):
                if name not in marked:
                    marked.add(name)
                    out.write("mark %s\n" % name)
            got = subprocess.run(LOGIND_CALL, env=env, capture_output=True, text=True)
            out.write("held %d\n" % got.stdout.count(who))
            out.flush()
            time.sleep(0.1)


def inner_main(config_path):
    with open(config_path) as f:
        cfg = json.load(f)
    held = []
    signals = os.path.join(cfg["work"], "signals")
    if cfg["cut_network_on_signal"]:
        threading.Thread(target=watch_for_network_cut, args=(signals, held), daemon=True).start()
    if cfg.get("kill_on_signal"):
        threading.Thread(target=kill_on_signal,
                         args=(signals, cfg["kill_on_signal"], cfg["tools"]["updater"]),
                         daemon=True).start()
    if cfg.get("silent_dns"):
        sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sink.bind(("127.0.0.1", 53))
        held.append(sink)
    helpers = []
    stop_logging = threading.Event()
    if cfg.get("logind_mock"):
        helpers, env = start_logind_mock(cfg["work"], cfg["env_extra"])
        threading.Thread(target=log_inhibitors, args=(cfg["work"], env, "墨川电子书升级软件",
                                                      stop_logging), daemon=True).start()
    if cfg.get("orca"):
        import orca_session
        helpers += orca_session.start(cfg["work"], cfg["tools"], cfg["env_extra"])
    elif cfg.get("atspi"):
        helpers += start_atspi(cfg["work"], cfg["tools"], cfg["env_extra"])
    server = start_server(cfg)
    proxy = None
    if cfg.get("drop_all_traffic"):
        drop_all_traffic()
    try:
        if cfg.get("proxy"):
            proxy = start_proxy(cfg["work"])
            cfg["env_extra"]["http_proxy"] = "http://127.0.0.1:%d" % PROXY_PORT
        status = run_updater(cfg)
    finally:
        if proxy:
            stop_proxy(proxy, cfg["work"])
        stop_logging.set()
        stop(server, grace_s=5)
        for proc in reversed(helpers):
            stop_group(proc, grace_s=5)
    with open(os.path.join(cfg["work"], "status"), "w") as f:
        f.write("%d\n" % status)
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--inner":
        sys.exit(inner_main(sys.argv[2]))
    sys.exit("usage: run.py --inner CONFIG")
