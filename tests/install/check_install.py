#!/usr/bin/env python3
"""Checks what `cmake --install` and the Debian package put on a system.

  check_install.py staging  --build-dir DIR --version X.Y.Z
      installs into a DESTDIR staging folder with prefix /usr and checks the
      desktop entry, the udev rule, the icon, the binary, the manual page,
      the changelog, the copyright file and the AppStream metadata;
  check_install.py deb      --build-dir DIR --version X.Y.Z
      builds the .deb with cpack into a temp folder and checks its control
      data (dpkg-deb --info), its file list (dpkg-deb --contents) and that
      lintian reports no error and no warning;
  check_install.py postinst --build-dir DIR
      builds the .deb, unpacks it into a temp folder and runs its postinst
      there (DPKG_ROOT), then checks that the probe helper carries exactly
      cap_net_raw and the program no capability.

Every failed check is printed as "FAIL: ..." and the exit status is 1;
77 means the check cannot run on this machine (skipped).
"""

import argparse
import gzip
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

SKIP = 77

BINARY = "usr/bin/lumora-updater"
HELPER = "usr/libexec/lumora-updater/lumora-updater-probe"
DESKTOP = "usr/share/applications/lumora-updater.desktop"
ICON = "usr/share/icons/hicolor/48x48/apps/lumora-updater.png"
UDEV_RULE = "usr/lib/udev/rules.d/70-lumora-updater.rules"
MANUAL_PAGE = "usr/share/man/man1/lumora-updater.1.gz"
CHANGELOG = "usr/share/doc/lumora-updater/changelog.gz"
COPYRIGHT = "usr/share/doc/lumora-updater/copyright"
METAINFO = "usr/share/metainfo/com.lumora_reader.updater.metainfo.xml"
LINTIAN_OVERRIDES = "usr/share/lintian/overrides/lumora-updater"
PO_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "po")
with open(os.path.join(PO_DIR, "LINGUAS")) as _f:
    LANGUAGES = [l.strip() for l in _f if l.strip() and not l.startswith("#")]
CATALOGUES = {"usr/share/locale/%s/LC_MESSAGES/lumora-updater.mo" % l for l in LANGUAGES}
DOCUMENTS = {MANUAL_PAGE, CHANGELOG, COPYRIGHT, METAINFO, LINTIAN_OVERRIDES} | CATALOGUES
EXPECTED_FILES = {BINARY, HELPER, DESKTOP, ICON, UDEV_RULE} | DOCUMENTS

LICENSE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "LICENSE")
# What getcap prints for the helper, and for nothing else the package installs.
HELPER_CAPS = "cap_net_raw=ep"
GUI_LIBRARIES = ("libgtk", "libgdk", "libglib", "libgobject", "libgthread", "libgmodule")

CHINESE_NAME = "墨川电子书升级软件"


class Checks:
    def __init__(self):
        self.failures = []

    def expect(self, ok, message):
        if not ok:
            self.failures.append(message)
        return ok

    def finish(self, what):
        for f in self.failures:
            print("FAIL: " + f)
        if self.failures:
            print("%s: %d check(s) failed" % (what, len(self.failures)))
            return 1
        print("%s: all checks passed" % what)
        return 0


def run(cmd, env=None, check=True):
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, env=env)
    if check and proc.returncode != 0:
        print("command failed (%d): %s\n%s" % (proc.returncode, " ".join(cmd), proc.stdout))
        sys.exit(1)
    return proc


def files_under(root):
    found = set()
    for dirpath, _, names in os.walk(root):
        for n in names:
            found.add(os.path.relpath(os.path.join(dirpath, n), root))
    return found


# --- desktop entry ---------------------------------------------------------

def read_desktop_entry(path):
    entry, group = {}, None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            if line.startswith("["):
                group = line
                continue
            if group == "[Desktop Entry]" and "=" in line:
                key, value = line.split("=", 1)
                entry[key.strip()] = value.strip()
    return entry


def check_desktop_entry(c, root):
    path = os.path.join(root, DESKTOP)
    if not c.expect(os.path.isfile(path), "desktop entry missing: " + DESKTOP):
        return
    if shutil.which("desktop-file-validate"):
        out = run(["desktop-file-validate", path], check=False)
        # Hints (such as two main categories, System and Utility) are advice.
        problems = [l for l in out.stdout.splitlines() if "error:" in l or "warning:" in l]
        c.expect(out.returncode == 0 and not problems,
                 "desktop-file-validate rejects the entry:\n" + out.stdout)
    else:
        c.expect(False, "desktop-file-validate not installed (package desktop-file-utils)")
    e = read_desktop_entry(path)
    c.expect(e.get("Type") == "Application", "desktop entry Type is %r" % e.get("Type"))
    c.expect(e.get("Name[zh_CN]") == CHINESE_NAME, "Name[zh_CN] is %r" % e.get("Name[zh_CN]"))
    c.expect(e.get("Name") == CHINESE_NAME, "Name is %r" % e.get("Name"))
    # The translations are the installed catalogues' own.
    for language in LANGUAGES:
        t = catalogue(root, language)
        c.expect(t and e.get("Name[%s]" % language) == t.gettext(CHINESE_NAME) != CHINESE_NAME,
                 "Name[%s] is %r" % (language, e.get("Name[%s]" % language)))
    # The launcher must find what the install put in place.
    exec_word = e.get("Exec", "").split(" ")[0]
    c.expect(exec_word == os.path.basename(BINARY),
             "Exec=%r does not start the installed binary" % e.get("Exec"))
    c.expect(e.get("Exec", "").split(" ")[1:] == ["%f"], "Exec=%r takes no file" % e.get("Exec"))
    c.expect(e.get("Icon") == os.path.splitext(os.path.basename(ICON))[0],
             "Icon=%r does not name the installed icon" % e.get("Icon"))
    categories = [x for x in e.get("Categories", "").split(";") if x]
    c.expect("System" in categories and "Utility" in categories,
             "Categories=%r lacks System and Utility" % e.get("Categories"))
    c.expect(e.get("Terminal") == "false", "Terminal is %r" % e.get("Terminal"))


# --- udev rule ---------------------------------------------------------------

UDEV_TOKEN = re.compile(r'\s*([A-Z_]+)(\{[^}]*\})?\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*(,|$)')
UDEV_MATCH_KEYS = {"ACTION", "DEVPATH", "KERNEL", "NAME", "SYMLINK", "SUBSYSTEM", "DRIVER",
                   "ATTR", "SYSCTL", "KERNELS", "SUBSYSTEMS", "DRIVERS", "ATTRS", "TAGS",
                   "ENV", "CONST", "TAG", "TEST", "PROGRAM", "RESULT"}
UDEV_ASSIGN_KEYS = {"NAME", "SYMLINK", "OWNER", "GROUP", "MODE", "SECLABEL", "ATTR", "SYSCTL",
                    "ENV", "TAG", "RUN", "LABEL", "GOTO", "IMPORT", "OPTIONS"}


def parse_udev_line(line):
    """Returns [(key, attribute, operator, value)] or None when the line does not parse."""
    tokens, pos = [], 0
    while pos < len(line):
        m = UDEV_TOKEN.match(line, pos)
        if not m:
            return None
        key, attr, op, value, sep = m.groups()
        tokens.append((key, (attr or "")[1:-1], op, value))
        pos = m.end()
        if not sep:
            break
    return tokens if pos >= len(line.rstrip()) else None


def udev_text(token):
    key, attr, op, value = token
    return '%s%s%s"%s"' % (key, "{%s}" % attr if attr else "", op, value)


def udevadm_has_verify():
    out = run(["udevadm", "verify", "--help"], check=False) if shutil.which("udevadm") else None
    return out is not None and out.returncode == 0


def check_udev_rule(c, root):
    path = os.path.join(root, UDEV_RULE)
    if not c.expect(os.path.isfile(path), "udev rule missing: " + UDEV_RULE):
        return
    # uaccess is turned into an access list by 73-seat-late.rules: ours must sort first.
    c.expect(os.path.basename(path) < "73-seat-late.rules",
             "udev rule %s sorts after 73-seat-late.rules" % os.path.basename(path))
    if udevadm_has_verify():
        out = run(["udevadm", "verify", path], check=False)
        c.expect(out.returncode == 0, "udevadm verify rejects the rule:\n" + out.stdout)
    rules = []
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            c.expect(not line.endswith("\\"), "line %d: continued lines are not expected" % number)
            tokens = parse_udev_line(line)
            if not c.expect(tokens, "line %d does not parse: %s" % (number, line)):
                continue
            for key, attr, op, value in tokens:
                known = UDEV_MATCH_KEYS if op in ("==", "!=") else UDEV_ASSIGN_KEYS
                c.expect(key in known, "line %d: %s is not a key for %s" % (number, key, op))
            rules.append(tokens)
    if not c.expect(len(rules) == 1, "expected one rule, found %d" % len(rules)):
        return
    rule = rules[0]
    expected = [("SUBSYSTEM", "", "==", "usb"),
                ("ENV", "DEVTYPE", "==", "usb_device"),
                ("ATTR", "idVendor", "==", "5345"),
                ("ATTR", "idProduct", "==", "1234"),
                ("TAG", "", "+=", "uaccess")]
    for token in expected:
        c.expect(token in rule, "rule lacks " + udev_text(token))
    extra = [udev_text(t) for t in rule if t not in expected]
    c.expect(not extra, "rule has unexpected keys: %s" % ", ".join(extra))


# --- icon and binary -----------------------------------------------------------

def png_size(path):
    with open(path, "rb") as f:
        head = f.read(33)
    if len(head) < 33 or head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


def check_icon(c, root):
    path = os.path.join(root, ICON)
    if not c.expect(os.path.isfile(path), "icon missing: " + ICON):
        return
    size = png_size(path)
    c.expect(size is not None, "icon is not a PNG file")
    c.expect(size is None or size == (48, 48), "icon is %r, not 48x48" % (size,))


def check_binary(c, root, name=BINARY):
    path = os.path.join(root, name)
    if not c.expect(os.path.isfile(path), "binary missing: " + name):
        return
    with open(path, "rb") as f:
        c.expect(f.read(4) == b"\x7fELF", "binary is not an ELF file")
    mode = os.stat(path).st_mode
    c.expect(mode & stat.S_IXUSR and mode & stat.S_IXGRP and mode & stat.S_IXOTH,
             "binary is not executable by everyone (mode %o)" % stat.S_IMODE(mode))
    if shutil.which("ldd"):
        out = run(["ldd", path], check=False)
        c.expect("not found" not in out.stdout, "binary needs missing libraries:\n" + out.stdout)
    check_hardening(c, path)


def check_command_line(c, path, version):
    """--version, --help and a wrong option answer as every GLib program
    does, without a display."""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    shown = run([path, "--version"], env=env, check=False)
    c.expect(shown.returncode == 0 and shown.stdout.strip() == "lumora-updater " + version,
             "--version gave %d: %r" % (shown.returncode, shown.stdout))
    helped = run([path, "--help"], env=env, check=False)
    c.expect(helped.returncode == 0 and "--image=FILE" in helped.stdout and "[FILE]" in helped.stdout,
             "--help gave %d: %r" % (helped.returncode, helped.stdout))
    wrong = run([path, "--no-such-option"], env=env, check=False)
    c.expect(wrong.returncode == 1 and "--no-such-option" in wrong.stdout and "--help" in wrong.stdout,
             "a wrong option gave %d: %r" % (wrong.returncode, wrong.stdout))


# --- manual page, changelog, copyright, AppStream metadata ----------------------

def check_reproducible_gzip(c, path):
    """gzip -9n: best compression, no file name and no time stamp in the header."""
    with open(path, "rb") as f:
        head = f.read(10)
    if not c.expect(head[:3] == b"\x1f\x8b\x08", "%s is not gzip data" % path):
        return False
    c.expect(not head[3] & 0x08, "%s stores a file name" % path)
    c.expect(head[4:8] == b"\0\0\0\0", "%s stores a time stamp" % path)
    c.expect(head[8] == 2, "%s is not compressed with -9" % path)
    return True


def check_manual_page(c, root):
    path = os.path.join(root, MANUAL_PAGE)
    if not c.expect(os.path.isfile(path), "manual page missing: " + MANUAL_PAGE):
        return
    if not check_reproducible_gzip(c, path):
        return
    text = gzip.open(path, "rt", encoding="utf-8").read()
    c.expect(re.match(r'\.TH LUMORA\\?-UPDATER 1 ', text), "manual page has no section-1 .TH line")
    sections = re.findall(r'^\.SH "?([A-Z ]+)"?$', text, re.M)
    for name in ("NAME", "SYNOPSIS", "DESCRIPTION", "FILES", "EXIT STATUS"):
        c.expect(name in sections, "manual page lacks the section " + name)
    plain = text.replace("\\-", "-")
    for page in ("Welcome", "Warning", "Download", "Update", "Finish"):
        c.expect(page in plain, "manual page does not describe the %s page" % page)
    for installed in (BINARY, HELPER, UDEV_RULE, DESKTOP, METAINFO):
        c.expect("/" + installed in plain, "manual page does not name /" + installed)
    c.expect("cap_net_raw" in plain, "manual page does not name the capability")
    if not c.expect(shutil.which("man"), "man not installed (package man-db)"):
        return
    env = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80")
    out = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", path],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         universal_newlines=True, env=env)
    c.expect(out.returncode == 0 and not out.stderr.strip(),
             "man --warnings complains about the manual page:\n" + out.stderr)


def check_changelog(c, root, version):
    path = os.path.join(root, CHANGELOG)
    if not c.expect(os.path.isfile(path), "changelog missing: " + CHANGELOG):
        return
    if not check_reproducible_gzip(c, path):
        return
    with tempfile.NamedTemporaryFile("wb", suffix=".changelog") as plain:
        plain.write(gzip.open(path).read())
        plain.flush()
        out = run(["dpkg-parsechangelog", "-l", plain.name, "-S", "Version"], check=False)
    c.expect(out.returncode == 0 and out.stdout.strip() == version,
             "changelog's latest version is %r, not %r" % (out.stdout.strip(), version))


def dep5_paragraphs(text):
    """Paragraphs of a DEP-5 file as dicts; a field's continuation lines
    follow its first line, with " ." standing for an empty line."""
    paragraphs = []
    for block in re.split(r"\n\s*\n", text.strip()):
        fields, key = {}, None
        for line in block.splitlines():
            if line.startswith(" ") and key:
                fields[key].append("" if line.strip() == "." else line[1:])
                continue
            key, _, value = line.partition(":")
            fields[key] = [value.strip()]
        paragraphs.append(fields)
    return paragraphs


def check_copyright(c, root):
    path = os.path.join(root, COPYRIGHT)
    if not c.expect(os.path.isfile(path), "copyright file missing: " + COPYRIGHT):
        return
    header, *rest = dep5_paragraphs(open(path, encoding="utf-8").read())
    c.expect(header.get("Format") == ["https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"],
             "copyright file is not in the machine-readable format: Format %r" % header.get("Format"))
    files = [p for p in rest if p.get("Files") == ["*"]]
    if not c.expect(len(files) == 1, "copyright file has no single 'Files: *' paragraph"):
        return
    name = files[0].get("License", [""])[0]
    holder = " ".join(files[0].get("Copyright", []))
    licence = [p["License"] for p in rest if "Files" not in p and p.get("License", [""])[0] == name]
    if not c.expect(name and licence, "copyright file has no text for the licence %r" % name):
        return
    # The package's copyright must say what LICENSE says: same holder, same terms.
    with open(LICENSE, encoding="utf-8") as f:
        upstream = f.read().strip().splitlines()
    c.expect("Copyright (c) %s" % holder in upstream,
             "copyright holder %r differs from LICENSE" % holder)
    start = next((i for i, l in enumerate(upstream) if l.startswith("Permission")), len(upstream))
    c.expect(licence[0][1:] == upstream[start:], "licence text in the copyright file differs from LICENSE")


def catalogue(root, language):
    """The installed catalogue of language, or None."""
    import gettext
    try:
        return gettext.translation("lumora-updater", os.path.join(root, "usr/share/locale"),
                                   [language])
    except OSError:
        return None


def check_metainfo(c, root, version):
    path = os.path.join(root, METAINFO)
    if not c.expect(os.path.isfile(path), "AppStream metadata missing: " + METAINFO):
        return
    if c.expect(shutil.which("appstreamcli"), "appstreamcli not installed (package appstream)"):
        out = run(["appstreamcli", "validate", "--no-net", path], check=False)
        # Warnings too: AppStream 1.0 fails on what 0.16 only warns about.
        warned = [l for l in out.stdout.splitlines() if re.match(r"[EW]: ", l)]
        c.expect(out.returncode == 0 and not warned,
                 "appstreamcli validate rejects the metadata:\n" + out.stdout)
    component = ElementTree.parse(path).getroot()
    c.expect(component.findtext("id", "") + ".metainfo.xml" == os.path.basename(path),
             "metadata id %r does not match its file name" % component.findtext("id"))
    c.expect(component.findtext("launchable[@type='desktop-id']") == os.path.basename(DESKTOP),
             "metadata does not launch the installed desktop entry")
    releases = [r.get("version") for r in component.iterfind("releases/release")]
    c.expect(releases[:1] == [version], "latest release in the metadata is %r, not %r" % (releases[:1], version))
    c.expect(component.findtext("screenshots/screenshot/caption", "").strip(), "no screenshot caption")
    # msgfmt of gettext 0.23 and later writes BCP 47 tags (zh-Hant-TW), older
    # ones the catalogue's own name (zh_TW); software centres read both.
    names = {language_tag(n.get("{http://www.w3.org/XML/1998/namespace}lang")): n.text
             for n in component.iterfind("name")}
    for language in LANGUAGES:
        t = catalogue(root, language)
        c.expect(t and names.get(language_tag(language)) == t.gettext(names.get(None, "")),
                 "metadata name for %s is %r" % (language, names.get(language_tag(language))))
    # Software centres offer the program when the reader is plugged in: the
    # same USB identifiers as the udev rule.
    c.expect(component.findtext("provides/modalias") == "usb:v5345p1234d*",
             "metadata provides modalias %r" % component.findtext("provides/modalias"))


def language_tag(tag):
    """zh_TW, zh-TW and zh-Hant-TW are all zh-tw (the script subtag left out)."""
    return tag and "-".join(p for p in tag.replace("_", "-").lower().split("-") if len(p) != 4)


def sanitized_build(build_dir):
    """Whether the build is the AddressSanitizer one, which goes without
    fortified calls (their checks clash with the sanitizer's own)."""
    with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
        return re.search(r"^LUMORA_SANITIZE:BOOL=ON$", f.read(), re.M) is not None


def check_lintian(c, deb_path, sanitized=False):
    if not c.expect(shutil.which("lintian"), "lintian not installed (package lintian)"):
        return
    out = run(["lintian", "--display-info", "--fail-on", "error,warning", deb_path], check=False)
    complaints = [l for l in out.stdout.splitlines() if re.match(r"[EW]: ", l)]
    c.expect(out.returncode == 0 and not complaints, "lintian complains:\n" + out.stdout)
    hardening = [l for l in out.stdout.splitlines() if "hardening-" in l and
                 not (sanitized and "hardening-no-fortify-functions" in l)]
    c.expect(not hardening, "lintian finds hardening missing:\n" + "\n".join(hardening))


def check_hardening(c, path):
    """Built as dpkg-buildflags asks: PIE, read-only relocations bound at
    start, stack protector, fortified C library calls."""
    if not os.path.isfile(path) or not shutil.which("readelf"):
        return
    header = run(["readelf", "-h", path]).stdout
    segments = run(["readelf", "-lW", path]).stdout
    dynamic = run(["readelf", "-dW", path]).stdout
    symbols = run(["readelf", "--dyn-syms", "-W", path]).stdout
    name = os.path.basename(path)
    c.expect(re.search(r"Type:\s+DYN", header), name + " is not a position-independent executable")
    c.expect("GNU_RELRO" in segments, name + " has no RELRO segment")
    c.expect(re.search(r"\bBIND_NOW\b|FLAGS_1.*\bNOW\b", dynamic), name + " is not bound at start (no BIND_NOW)")
    c.expect("__stack_chk_fail" in symbols, name + " has no stack protector")
    # The sanitizer build goes without fortified calls; the helper's are all
    # proven safe at compile time (see packaging/lintian-overrides).
    if "__asan_init" not in symbols and not path.endswith(HELPER):
        c.expect(re.search(r"__\w+_chk@", symbols), name + " calls no fortified function")


def check_helper(c, root):
    """The capable helper links no GUI library: GTK and GLib load code the user chooses."""
    check_binary(c, root, HELPER)
    path = os.path.join(root, HELPER)
    if os.path.isfile(path) and shutil.which("readelf"):
        needed = run(["readelf", "-d", path]).stdout
        linked = [l for l in GUI_LIBRARIES if "[%s" % l in needed]
        c.expect(not linked, "the probe helper links %s" % linked)


def file_caps(path):
    """The capabilities getcap reports for path, "" for none."""
    out = run(["getcap", path]).stdout.strip()
    return out[len(path):].strip() if out.startswith(path) else out


# --- the three checks -----------------------------------------------------------

def staging(args):
    c = Checks()
    with tempfile.TemporaryDirectory(prefix="lumora-stage-") as stage:
        env = dict(os.environ, DESTDIR=stage)
        run(["cmake", "--install", args.build_dir, "--prefix", "/usr"], env=env)
        found = files_under(stage)
        c.expect(EXPECTED_FILES <= found, "not installed: %s" % sorted(EXPECTED_FILES - found))
        c.expect(found <= EXPECTED_FILES, "installed unexpectedly: %s" % sorted(found - EXPECTED_FILES))
        check_desktop_entry(c, stage)
        check_udev_rule(c, stage)
        check_icon(c, stage)
        check_binary(c, stage)
        check_command_line(c, os.path.join(stage, BINARY), args.version)
        check_manual_page(c, stage)
        check_changelog(c, stage, args.version)
        check_copyright(c, stage)
        check_metainfo(c, stage, args.version)
        check_helper(c, stage)
    return c.finish("staged install")


def build_deb(build_dir, out_dir):
    run(["cpack", "-G", "DEB", "--config", os.path.join(build_dir, "CPackConfig.cmake"),
         "-B", out_dir])
    debs = [f for f in os.listdir(out_dir) if f.endswith(".deb")]
    if len(debs) != 1:
        print("FAIL: cpack made %d .deb files: %s" % (len(debs), debs))
        sys.exit(1)
    return os.path.join(out_dir, debs[0])


def control_fields(info):
    fields = {}
    for line in info.splitlines():
        m = re.match(r"^ ([A-Za-z-]+): (.*)$", line)
        if m:
            fields[m.group(1)] = m.group(2)
    return fields


def deb(args):
    c = Checks()
    with tempfile.TemporaryDirectory(prefix="lumora-deb-") as out:
        path = build_deb(args.build_dir, out)
        c.expect(os.path.basename(path).startswith("lumora-updater_%s_" % args.version),
                 "package file is named %s" % os.path.basename(path))
        info = run(["dpkg-deb", "--info", path]).stdout
        fields = control_fields(info)
        c.expect(fields.get("Package") == "lumora-updater", "Package is %r" % fields.get("Package"))
        c.expect(fields.get("Version") == args.version, "Version is %r" % fields.get("Version"))
        c.expect(fields.get("Maintainer"), "no Maintainer")
        c.expect(not args.architecture or fields.get("Architecture") == args.architecture,
                 "Architecture is %r, built for %r" % (fields.get("Architecture"), args.architecture))
        c.expect(fields.get("Description"), "no Description")
        depends = fields.get("Depends", "")
        c.expect("libcap2-bin" in depends, "Depends lacks libcap2-bin (setcap): %r" % depends)
        # The toolkit the program was built with, and only that one
        # (libgtk-3-0 is libgtk-3-0t64 from Debian 13 on).
        gtk = {"2": "libgtk2.0-0", "3": "libgtk-3-0"}
        other = gtk["3" if args.gtk == "2" else "2"]
        c.expect(gtk[args.gtk] in depends, "Depends lacks %s: %r" % (gtk[args.gtk], depends))
        c.expect(other not in depends, "Depends names %s: %r" % (other, depends))
        c.expect(re.search(r"\bpostinst\b", info), "no postinst in the control archive")

        with tempfile.TemporaryDirectory(prefix="lumora-ctl-") as ctl:
            run(["dpkg-deb", "--control", path, ctl])
            postinst = os.path.join(ctl, "postinst")
            if c.expect(os.path.isfile(postinst), "postinst not extracted"):
                c.expect(os.stat(postinst).st_mode & stat.S_IXUSR, "postinst is not executable")
                text = open(postinst, encoding="utf-8").read()
                c.expect(text.startswith("#!/bin/sh"), "postinst has no /bin/sh line")
                c.expect(re.search(r"setcap cap_net_raw\+ep ", text), "postinst does not run setcap")
                c.expect("/" + HELPER in text, "postinst does not name the probe helper")
                c.expect("/" + BINARY not in text, "postinst names the GTK program")
                c.expect(run(["sh", "-n", postinst], check=False).returncode == 0,
                         "postinst has a shell syntax error")

        listing = run(["dpkg-deb", "--contents", path]).stdout
        entries = {}
        for line in listing.splitlines():
            parts = line.split()
            name = parts[-1][2:] if parts[-1].startswith("./") else parts[-1]
            entries[name.rstrip("/")] = parts[0]
        files = {n for n, mode in entries.items() if mode.startswith("-")}
        c.expect(files == EXPECTED_FILES, "package files differ: missing %s, extra %s" %
                 (sorted(EXPECTED_FILES - files), sorted(files - EXPECTED_FILES)))
        for name in (BINARY, HELPER):
            c.expect(entries.get(name, "").startswith("-rwxr-xr-x"),
                     "%s mode in package is %r" % (name, entries.get(name)))
        for name in {DESKTOP, ICON, UDEV_RULE} | DOCUMENTS:
            c.expect(entries.get(name, "").startswith("-rw-r--r--"),
                     "%s mode in package is %r" % (name, entries.get(name)))
        check_lintian(c, path, sanitized_build(args.build_dir))
    return c.finish("Debian package")


def filesystem_takes_capabilities(directory):
    probe = os.path.join(directory, "cap-probe")
    shutil.copy("/bin/true", probe)
    return run(["setcap", "cap_net_raw+ep", probe], check=False).returncode == 0


def postinst(args):
    if os.geteuid() != 0 or not shutil.which("setcap") or not shutil.which("getcap"):
        print("skipped: needs root and setcap/getcap (package libcap2-bin)")
        return SKIP
    c = Checks()
    with tempfile.TemporaryDirectory(prefix="lumora-postinst-") as work:
        if not filesystem_takes_capabilities(work):
            print("skipped: %s does not store file capabilities" % work)
            return SKIP
        path = build_deb(args.build_dir, work)
        root, ctl = os.path.join(work, "root"), os.path.join(work, "ctl")
        run(["dpkg-deb", "-x", path, root])
        run(["dpkg-deb", "--control", path, ctl])
        binary, helper = os.path.join(root, BINARY), os.path.join(root, HELPER)
        c.expect(file_caps(helper) == "", "the packaged helper already has capabilities")

        # Without setcap on the PATH the postinst warns but must not fail the install.
        no_setcap = os.path.join(work, "bin")
        os.mkdir(no_setcap)
        for tool in ("sh", "echo", "true"):
            if shutil.which(tool):
                os.symlink(shutil.which(tool), os.path.join(no_setcap, tool))
        env = dict(os.environ, DPKG_ROOT=root, PATH=no_setcap)
        out = run([os.path.join(ctl, "postinst"), "configure"], env=env, check=False)
        c.expect(out.returncode == 0, "postinst fails without setcap:\n" + out.stdout)
        c.expect("setcap" in out.stdout, "postinst does not say that setcap is missing")

        env = dict(os.environ, DPKG_ROOT=root)
        out = run([os.path.join(ctl, "postinst"), "configure"], env=env, check=False)
        c.expect(out.returncode == 0, "postinst configure failed:\n" + out.stdout)
        c.expect(file_caps(helper) == HELPER_CAPS, "helper capabilities after postinst: %r" % file_caps(helper))
        c.expect(file_caps(binary) == "", "program capabilities after postinst: %r" % file_caps(binary))
    return c.finish("postinst")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("what", choices=["staging", "deb", "postinst"])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--version", default="")
    parser.add_argument("--gtk", choices=["2", "3"], default="2")
    parser.add_argument("--architecture", default="",
                        help="the Debian architecture the build is for")
    args = parser.parse_args()
    return {"staging": staging, "deb": deb, "postinst": postinst}[args.what](args)


if __name__ == "__main__":
    sys.exit(main())
