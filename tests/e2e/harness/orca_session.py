"""A screen reader listening to the wizard: Debian's Orca on a session of the
run's own (an X server, the openbox window manager, a session bus with the
AT-SPI bus and the observer, speech-dispatcher writing what it is given to a
file instead of a sound card). Started inside the run's namespaces by run.py.

What Orca said is read from its debug log (lines "SPEECH OUTPUT: '...'").
When the driver writes the signal mark-NAME, the speech so far is marked
once Orca has been quiet for a moment, and marked-NAME answers."""
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
# Orca runs it as it starts: a debug log that reaches the file line by line,
# so that nothing is lost when Orca is killed.
CUSTOMIZATIONS = """import orca.debug
if orca.debug.debugFile is not None:
    orca.debug.debugFile.reconfigure(line_buffering=True)
"""


def start_x(work):
    """Xvfb on a display number of its own (so other runs and their window
    managers are never on it); DISPLAY is set for everything started next."""
    read, write = os.pipe()
    log = open(os.path.join(work, "xvfb.out"), "wb")
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(write,), stdout=log,
                            stderr=subprocess.STDOUT, start_new_session=True)
    os.close(write)
    with os.fdopen(read) as f:
        number = f.readline().strip()
    if not number:
        raise RuntimeError("Xvfb did not start (see xvfb.out)")
    os.environ["DISPLAY"] = ":" + number
    return proc


def wait_for(what, ready, proc):
    deadline = time.monotonic() + STARTUP_S
    while not ready():
        if proc.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("%s did not start" % what)
        time.sleep(0.1)


# One utterance: its text may run over several lines of the log, up to the
# next line with a time stamp.
UTTERANCE = re.compile(r"SPEECH OUTPUT: '(.*?)' ?(?:\{[^\n]*\})?\s*(?=^\d\d:\d\d:\d\d\.\d+ - |\Z)",
                       re.DOTALL | re.MULTILINE)


def spoken_lines(path):
    """Orca's utterances, in order."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return UTTERANCE.findall(f.read())
    except FileNotFoundError:
        return []


def mark_when_quiet(work, log_path):
    """Answers mark-NAME with marked-NAME once Orca said nothing new for
    QUIET_S; work/marks.txt gets "NAME COUNT", COUNT the utterances so far."""
    signals = os.path.join(work, "signals")
    done = set()
    while True:
        for name in sorted(os.listdir(signals)):
            if not name.startswith("mark-") or name in done:
                continue
            done.add(name)
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
    the first started first in the list. Whatever started is stopped when
    a part does not start."""
    procs = []
    try:
        return start_all(work, tools, env_extra, procs)
    except Exception:
        for proc in reversed(procs):
            run.stop_group(proc, grace_s=3)
        raise


def start_all(work, tools, env_extra, procs):
    procs.append(start_x(work))
    wm_log = open(os.path.join(work, "openbox.out"), "wb")
    procs.append(subprocess.Popen(["openbox", "--sm-disable"], stdout=wm_log,
                                  stderr=subprocess.STDOUT, start_new_session=True))
    procs += run.start_atspi(work, tools, env_extra)
    env = run.updater_env(work, tools, env_extra)
    home = os.path.join(work, "home")
    orca_dir = os.path.join(home, ".local", "share", "orca")
    speechd = os.path.join(work, "speechd")
    os.makedirs(orca_dir, exist_ok=True)
    os.makedirs(os.path.join(speechd, "modules"), exist_ok=True)
    # No sound card: libao's null driver takes whatever a module would play.
    with open(os.path.join(home, ".libao"), "w") as f:
        f.write("default_driver=null\n")
    with open(os.path.join(orca_dir, "orca-customizations.py"), "w") as f:
        f.write(CUSTOMIZATIONS)
    with open(os.path.join(speechd, "speechd.conf"), "w") as f:
        f.write(SPEECHD_CONF)
    with open(os.path.join(speechd, "modules", "file.conf"), "w") as f:
        f.write(MODULE_CONF % os.path.join(work, "speechd-said.txt"))
    socket = os.path.join(speechd, "socket")
    # Orca speaks its own words (roles, "percent") in English, whatever the
    # wizard's language.
    env.update(HOME=home, LANG="C.UTF-8", LANGUAGE="", SPEECHD_ADDRESS="unix_socket:" + socket,
               XDG_CONFIG_HOME=os.path.join(home, ".config"),
               XDG_DATA_HOME=os.path.join(home, ".local", "share"))
    env.pop("GTK_MODULES", None)
    env.pop("LOCPATH", None)
    log = open(os.path.join(work, "orca.out"), "wb")
    procs.append(subprocess.Popen(["speech-dispatcher", "-s", "-t", "0", "-C", speechd,
                                   "-S", socket, "-L", speechd, "-c", "unix_socket"],
                                  stdout=log, stderr=subprocess.STDOUT, env=env,
                                  start_new_session=True))
    wait_for("speech-dispatcher", lambda: os.path.exists(socket), procs[-1])
    debug_log = os.path.join(work, "orca-debug.log")
    procs.append(subprocess.Popen(["orca", "--replace", "--debug-file", debug_log], stdout=log,
                                  stderr=subprocess.STDOUT, env=env, start_new_session=True))

    def listening():
        try:
            with open(debug_log, encoding="utf-8", errors="replace") as f:
                return "ORCA: Starting registry" in f.read()
        except FileNotFoundError:
            return False
    wait_for("orca", listening, procs[-1])
    threading.Thread(target=mark_when_quiet, args=(work, debug_log), daemon=True).start()
    return procs
