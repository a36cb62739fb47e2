"""Debian's Orca listening to the wizard on the run's own X server, openbox and
AT-SPI session bus, speech-dispatcher writing what it is given to a file;
started by run.py. What Orca said is read from its debug log; the driver's
signal mark-NAME is answered with marked-NAME once Orca has been quiet."""
import os
import re
import subprocess
import threading
import time

import run

QUIET_S = 1.5
STARTUP_S = 30

SPEECHD_CONF = """AddModule "file" "sd_generic" "file.conf"
DefaultModule file
LanguageDefaultModule "en" "file"
LanguageDefaultModule "zh" "file"
AudioOutputMethod "libao"
LogLevel 3
"""
MODULE_CONF = """GenericExecuteSynth "printf '%%s\\\\n' \\'$DATA\\' >> %s"
AddVoice "en" "MALE1" "en"
AddVoice "zh" "MALE1" "zh"
GenericLanguage "en" "en" "utf-8"
GenericLanguage "zh" "zh" "utf-8"
"""
# Run by Orca as it starts: a debug log written line by line loses nothing to a kill.
CUSTOMIZATIONS = """import orca.debug
if orca.debug.debugFile is not None:
    orca.debug.debugFile.reconfigure(line_buffering=True)
"""
# One utterance: its text may run over several lines, up to the next time stamp.
UTTERANCE = re.compile(r"SPEECH OUTPUT: '(.*?)' ?(?:\{[^\n]*\})?\s*(?=^\d\d:\d\d:\d\d\.\d+ - |\Z)",
                       re.DOTALL | re.MULTILINE)


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def spoken_lines(path):
    """Orca's utterances, in order."""
    return UTTERANCE.findall(read(path))


def launch(procs, cmd, log, ready=lambda: True, **options):
    """Starts cmd in a session of its own, adds it to procs, waits for ready()."""
    procs.append(subprocess.Popen(cmd, stdout=open(log, "ab"), stderr=subprocess.STDOUT,
                                  start_new_session=True, **options))
    deadline = time.monotonic() + STARTUP_S
    while not ready():
        if procs[-1].poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("%s did not start (see %s)" % (cmd[0], log))
        time.sleep(0.1)


def start_x(work, procs):
    """Xvfb on a display of its own; DISPLAY is set for what starts next."""
    read_fd, write_fd = os.pipe()
    launch(procs, ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
           os.path.join(work, "xvfb.out"), pass_fds=(write_fd,))
    os.close(write_fd)
    with os.fdopen(read_fd) as f:
        number = f.readline().strip()
    if not number:
        raise RuntimeError("Xvfb did not start (see xvfb.out)")
    os.environ["DISPLAY"] = ":" + number


def mark_when_quiet(work, log_path):
    """work/marks.txt gets "NAME COUNT", COUNT the utterances when Orca had
    been quiet for QUIET_S after the signal mark-NAME."""
    signals, done = os.path.join(work, "signals"), set()
    while True:
        for name in sorted(set(os.listdir(signals)) - done):
            done.add(name)
            if not name.startswith("mark-"):
                continue
            count, since = -1, time.monotonic()
            while time.monotonic() - since < QUIET_S:
                now = len(spoken_lines(log_path))
                if now != count:
                    count, since = now, time.monotonic()
                time.sleep(0.1)
            with open(os.path.join(work, "marks.txt"), "a") as f:
                f.write("%s %d\n" % (name[5:], count))
            open(os.path.join(signals, "marked-" + name[5:]), "w").close()
        time.sleep(0.05)


def start(work, tools, env_extra):
    """Starts the whole session; returns the processes for run.stop_group,
    first started first. What started is stopped when a later part fails."""
    procs = []
    try:
        start_x(work, procs)
        launch(procs, ["openbox", "--sm-disable"], os.path.join(work, "openbox.out"))
        procs += run.start_atspi(work, tools, env_extra)
        home, speechd = os.path.join(work, "home"), os.path.join(work, "speechd")
        socket, log = os.path.join(speechd, "socket"), os.path.join(work, "orca.out")
        debug_log = os.path.join(work, "orca-debug.log")
        for path, text in ((os.path.join(home, ".libao"), "default_driver=null\n"),  # no sound card
                           (os.path.join(home, ".local/share/orca/orca-customizations.py"), CUSTOMIZATIONS),
                           (os.path.join(speechd, "speechd.conf"), SPEECHD_CONF),
                           (os.path.join(speechd, "modules/file.conf"),
                            MODULE_CONF % os.path.join(work, "speechd-said.txt"))):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text)
        # Orca speaks its own words (roles, "percent") in English, whatever the wizard's.
        env = run.updater_env(work, tools, env_extra)
        env.update(HOME=home, LANG="C.UTF-8", LANGUAGE="", SPEECHD_ADDRESS="unix_socket:" + socket,
                   XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_DATA_HOME=os.path.join(home, ".local", "share"))
        for name in ("GTK_MODULES", "LOCPATH"):
            env.pop(name, None)
        launch(procs, ["speech-dispatcher", "-s", "-t", "0", "-C", speechd, "-S", socket, "-L", speechd,
                       "-c", "unix_socket"], log, lambda: os.path.exists(socket), env=env)
        launch(procs, ["orca", "--replace", "--debug-file", debug_log], log,
               lambda: "ORCA: Starting registry" in read(debug_log), env=env)
        threading.Thread(target=mark_when_quiet, args=(work, debug_log), daemon=True).start()
    except Exception:
        for proc in reversed(procs):
            run.stop_group(proc, grace_s=3)
        raise
    return procs
