#!/usr/bin/env python3
"""The Debian package lets a normal user pass the Warning page.

  check_deb_nonroot.py --build-dir DIR --netns-run PATH --reader PATH
                       --driver PATH --module PATH [--user nobody]

Builds the .deb, unpacks it into a temp folder and runs its postinst there
(DPKG_ROOT), so the unpacked probe helper carries cap_net_raw and the program
none. Then, in private network and mount namespaces (netns-run) with the
emulated reader, it runs that program as USER on the caller's X display,
driven by the e2e GTK module: Welcome, "下一步", and the Warning page must
settle on the all-present state (empty warning, "下一步" sensitive) before the
wizard is quit. The program cannot open raw sockets itself, so the network
check passed through the helper (no HTTP server listens in the namespace, so
the TCP check to port 80 cannot pass for it). The program is started with
SIGCHLD ignored, as some launchers pass it on; it must restore the default
itself, or the helper's answer is lost. A second GTK module (--module), standing in
for any module a user may load, must fail to open a packet and a raw socket.

What a real system provides and the test has to set up itself, inside its
own namespaces and temp folder:
  - the reader's usbfs node is made read-write for the user, as the package's
    udev rule (TAG+="uaccess") has logind do for the seat user;
  - the emulated usbfs node is a pty: a private devpts instance keeps the
    permission change away from the host's terminals.

Exit status 0 passed, 1 failed, 77 skipped (with the reason printed).
"""

import argparse
import json
import os
import pwd
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from check_install import (BINARY, HELPER, HELPER_CAPS, SKIP, Checks, build_deb,  # noqa: E402
                           file_caps, filesystem_takes_capabilities, run)

E2E_HARNESS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e", "harness")
sys.path.insert(0, E2E_HARNESS)
from logs import Transcript, read_lines  # noqa: E402

PRELOAD = "libumockdev-preload.so.0"
CAP_NET_RAW_BIT = 1 << 13
EPERM = 1
QUIT_QUESTION = "您确定要退出墨川电子书升级软件吗？"
RUN_TIMEOUT_S = 90

SCRIPT = """
expect-page Welcome
click 下一步
expect-page Warning
within 60 expect-sensitive 下一步
steady-label 2 ""
expect-sensitive 下一步
click 取消
dialog %s -> ok
within 30 expect-exit
""" % QUIT_QUESTION


def skip(reason):
    print("skipped: " + reason)
    return SKIP


def missing_facility(args):
    """Why the test cannot run here, or None."""
    if os.geteuid() != 0:
        return "needs root (namespaces, setcap, dropping to another user)"
    if not os.environ.get("DISPLAY"):
        return "no X display (run under xvfb-run -a)"
    for tool in ("setcap", "getcap", "setpriv", "umockdev-wrapper", "dpkg-deb", "cpack",
                 "unshare", "mount"):
        if not shutil.which(tool):
            return "%s is not installed" % tool
    try:
        pwd.getpwnam(args.user)
    except KeyError:
        return "no user %r" % args.user
    with open("/proc/self/status") as f:
        status = dict(line.split(":", 1) for line in f if ":" in line)
    if int(status.get("NoNewPrivs", "0").strip()):
        return "no_new_privs is set: file capabilities are not granted at exec"
    if not int(status.get("CapBnd", "0").strip(), 16) & CAP_NET_RAW_BIT:
        return "cap_net_raw is not in the capability bounding set"
    return None


def make_dir(path, owner=None, mode=0o755):
    os.makedirs(path, exist_ok=True)
    os.chmod(path, mode)
    if owner:
        os.chown(path, owner.pw_uid, owner.pw_gid)
    return path


def copy_x_authority(dest, owner):
    """xvfb-run's cookie file is readable by root only; the user gets a copy."""
    source = os.environ.get("XAUTHORITY")
    if not source or not os.path.isfile(source):
        return None
    shutil.copy(source, dest)
    os.chown(dest, owner.pw_uid, owner.pw_gid)
    os.chmod(dest, 0o600)
    return dest


def install_package(c, build_dir, work):
    """Unpacks the .deb into work/root and runs its postinst there; returns
    the unpacked program, or None when that failed."""
    path = build_deb(build_dir, make_dir(os.path.join(work, "pkg")))
    root, ctl = os.path.join(work, "root"), os.path.join(work, "ctl")
    run(["dpkg-deb", "-x", path, root])
    run(["dpkg-deb", "--control", path, ctl])
    env = dict(os.environ, DPKG_ROOT=root)
    out = run([os.path.join(ctl, "postinst"), "configure"], env=env, check=False)
    if not c.expect(out.returncode == 0, "postinst configure failed:\n" + out.stdout):
        return None
    binary, helper = os.path.join(root, BINARY), os.path.join(root, HELPER)
    if not c.expect(file_caps(helper) == HELPER_CAPS, "helper capabilities: %r" % file_caps(helper)):
        return None
    if not c.expect(file_caps(binary) == "", "program capabilities: %r" % file_caps(binary)):
        return None
    return binary


def check_process(c, path):
    """The updater ran as the user, with no capability, and the emulated reader."""
    seen = {}
    for line in read_lines(path):
        key, _, value = line.partition(":")
        seen[key] = value.split()
    if not c.expect(seen, "the updater process was never observed (%s)" % path):
        return
    uid = str(pwd.getpwnam(seen.get("User", ["nobody"])[0]).pw_uid)
    c.expect(seen.get("Uid") == [uid] * 4, "updater user ids %r, expected %s" % (seen.get("Uid"), uid))
    c.expect(seen.get("Groups", []) == [], "updater kept groups %r" % seen.get("Groups"))
    for kind in ("CapPrm", "CapEff"):
        caps = int(seen.get(kind, ["-1"])[0], 16)
        c.expect(caps == 0, "updater %s 0x%x, expected none" % (kind, caps))
    c.expect(seen.get("Preload") == ["yes"], "umockdev's preload library was not loaded in the updater")


def check_socket_report(c, path):
    """The user's module in the updater could open neither socket."""
    lines = read_lines(path)
    expected = ["packet errno %d" % EPERM, "raw errno %d" % EPERM]
    c.expect(lines == expected, "the user's GTK module in the updater reports %r, expected %r"
             % (lines, expected))


def check_transcript(c, path):
    t = Transcript(path)
    c.expect(not t.failures(), "the driver failed a step: %s" % t.failures())
    c.expect(t.complete(), "the script did not complete")
    c.expect(t.pages()[:2] == ["Welcome", "Warning"], "pages %s" % t.pages())
    on_warning = t.after("page", "Warning")
    verbs = [(v, r) for _, v, r in on_warning]
    c.expect(("sensitive", "下一步") in verbs, "下一步 never became sensitive on the Warning page")
    c.expect(("steady", "label") in verbs, "the Warning page's label never stayed empty")
    dialogs = t.dialogs()
    c.expect([d["text"] for d in dialogs] == [QUIT_QUESTION], "dialogs %r" % dialogs)


def outer(args):
    reason = missing_facility(args)
    if reason:
        return skip(reason)
    user = pwd.getpwnam(args.user)
    c = Checks()
    with tempfile.TemporaryDirectory(prefix="lumora-nonroot-") as work:
        os.chmod(work, 0o755)
        if os.statvfs(work).f_flag & os.ST_NOSUID:
            return skip("%s is mounted nosuid: file capabilities are ignored there" % work)
        if not filesystem_takes_capabilities(work):
            return skip("%s does not store file capabilities" % work)
        xauth = copy_x_authority(os.path.join(work, "Xauthority"), user)
        binary = install_package(c, args.build_dir, work)
        if binary is None:
            return c.finish("non-root Warning page")

        home = make_dir(os.path.join(work, "home"), user, 0o700)
        out_dir = make_dir(os.path.join(work, "out"), user)
        make_dir(os.path.join(out_dir, "shots"), user)
        modules = []
        for module in (args.driver, args.module):
            modules.append(os.path.join(work, os.path.basename(module)))
            shutil.copy(module, modules[-1])
            os.chmod(modules[-1], 0o644)
        script = os.path.join(work, "script.txt")
        with open(script, "w", encoding="utf-8") as f:
            f.write(SCRIPT)
        os.chmod(script, 0o644)

        cfg = {"work": work, "binary": binary, "reader": args.reader, "user": args.user,
               "home": home, "out": out_dir, "modules": modules, "script": script,
               "xauthority": xauth, "display": os.environ["DISPLAY"]}
        config = os.path.join(work, "config.json")
        with open(config, "w") as f:
            json.dump(cfg, f)
        log = os.path.join(work, "netns.log")
        with open(log, "wb") as out:
            try:
                status = subprocess.run([args.netns_run, "--", sys.executable,
                                         os.path.abspath(__file__), "inner", config],
                                        stdout=out, stderr=subprocess.STDOUT,
                                        timeout=RUN_TIMEOUT_S).returncode
            except subprocess.TimeoutExpired:
                status = None
        skip_file = os.path.join(work, "skip")
        if os.path.exists(skip_file):
            return skip(open(skip_file).read().strip())
        c.expect(status == 0, "the run ended with status %r" % status)
        check_process(c, os.path.join(work, "process.txt"))
        check_transcript(c, os.path.join(out_dir, "driver.log"))
        check_socket_report(c, os.path.join(out_dir, "sockets.txt"))
        evidence = ["process.txt", "out/sockets.txt", "out/driver.log"]
        if c.failures:
            evidence += ["netns.log", "updater.out", "reader.log"]
        for name in evidence:
            print("---- %s ----" % name)
            for line in read_lines(os.path.join(work, name))[-40:]:
                print(line)
        return c.finish("non-root Warning page")


# ---- inside netns-run: root, private network and mount namespaces ----

def inner(config):
    with open(config) as f:
        cfg = json.load(f)
    work = cfg["work"]
    try:
        # Ptys made from here on (umockdev's usbfs node is one) belong to
        # this namespace, so opening one to the user touches nothing else.
        subprocess.run(["mount", "-t", "devpts", "-o", "newinstance,ptmxmode=0666,mode=0620",
                        "devpts", "/dev/pts"], check=True)
        subprocess.run(["mount", "--bind", "/dev/pts/ptmx", "/dev/ptmx"], check=True)
    except subprocess.CalledProcessError:
        with open(os.path.join(work, "skip"), "w") as f:
            f.write("cannot mount a private devpts instance in the mount namespace\n")
        return SKIP
    cmd = ["umockdev-wrapper", cfg["reader"], "--log", os.path.join(work, "reader.log"), "--",
           sys.executable, os.path.abspath(__file__), "as-user", config]
    with open(os.path.join(work, "updater.out"), "wb") as out:
        return subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT).returncode


# ---- under the emulated reader: root, then the updater as the user ----

def open_testbed_to(testbed):
    """The user reads the emulated sysfs and connects to the ioctl sockets;
    the reader's usbfs node gets read-write for everyone, which stands in for
    the access list that the uaccess tag gives the seat user."""
    os.chmod(testbed, 0o755)
    for dirpath, dirs, files in os.walk(testbed):
        for name in files:
            path = os.path.join(dirpath, name)
            if os.path.islink(path):
                continue
            mode = os.stat(path).st_mode
            os.chmod(path, (mode | 0o666) if stat.S_ISSOCK(mode) else (mode | 0o444))
    usbfs = os.path.join(testbed, "dev", "bus", "usb")
    for dirpath, _, files in os.walk(usbfs):
        for name in files:
            os.chmod(os.path.realpath(os.path.join(dirpath, name)), 0o666)


def record_process(pid, binary, path, user):
    """Writes the updater's ids and capabilities once the pid runs it and
    its libraries are loaded."""
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        try:
            if os.readlink("/proc/%d/exe" % pid) == binary:
                with open("/proc/%d/status" % pid) as f:
                    status = [l for l in f if l.split(":")[0] in ("Uid", "Gid", "Groups", "CapPrm", "CapEff")]
                with open("/proc/%d/maps" % pid) as f:
                    maps = f.read()
                # Right after the exec only the program and ld.so are mapped;
                # ld.so maps the preloaded library before libc, so the
                # answer is known once libc is there.
                if "/libc.so" not in maps:
                    time.sleep(0.01)
                    continue
                preloaded = PRELOAD.split(".so")[0] in maps
                with open(path, "w") as out:
                    out.write("User: %s\n" % user)
                    out.writelines(status)
                    out.write("Preload: %s\n" % ("yes" if preloaded else "no"))
                return
        except OSError:
            return
        time.sleep(0.05)


def as_user(config):
    with open(config) as f:
        cfg = json.load(f)
    open_testbed_to(os.environ["UMOCKDEV_DIR"])
    user = pwd.getpwnam(cfg["user"])
    out = cfg["out"]
    env = {
        "PATH": "/usr/bin:/bin",
        "LANG": "C.UTF-8",
        "HOME": cfg["home"],
        "DISPLAY": cfg["display"],
        "NO_AT_BRIDGE": "1",
        "GTK_MODULES": ":".join(cfg["modules"]),
        "LUMORA_SOCKET_REPORT": os.path.join(out, "sockets.txt"),
        "LUMORA_E2E_SCRIPT": cfg["script"],
        "LUMORA_E2E_LOG": os.path.join(out, "driver.log"),
        "LUMORA_E2E_SHOTS": os.path.join(out, "shots"),
        "LUMORA_E2E_SIGNALS": out,
        "LD_PRELOAD": os.environ.get("LD_PRELOAD", ""),
        "UMOCKDEV_DIR": os.environ["UMOCKDEV_DIR"],
    }
    if cfg["xauthority"]:
        env["XAUTHORITY"] = cfg["xauthority"]
    cmd = ["setpriv", "--reuid=%d" % user.pw_uid, "--regid=%d" % user.pw_gid, "--clear-groups",
           "--", "env", "-i"] + ["%s=%s" % kv for kv in env.items()] + [cfg["binary"]]
    # An ignored SIGCHLD survives exec: the program gets it as from a careless launcher.
    proc = subprocess.Popen(cmd, cwd=cfg["home"],
                            preexec_fn=lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN))
    record_process(proc.pid, os.path.realpath(cfg["binary"]), os.path.join(cfg["work"], "process.txt"), cfg["user"])
    return proc.wait()


def main():
    if len(sys.argv) == 3 and sys.argv[1] in ("inner", "as-user"):
        return (inner if sys.argv[1] == "inner" else as_user)(sys.argv[2])
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    for name in ("build-dir", "netns-run", "reader", "driver", "module"):
        p.add_argument("--" + name, required=True)
    p.add_argument("--user", default="nobody")
    return outer(p.parse_args())


if __name__ == "__main__":
    sys.exit(main())
