#!/usr/bin/env python3
"""Turns the raw results of bench/run into the table of bench/results.md.

    report.py WORK_DIR IMAGE_BYTES RESULTS_MD

WORK_DIR holds flash.jsonl, memory.jsonl (what one write adds to the
process), tick.json, probe-udp.json, probe-echo.json, net/ (fetches.jsonl,
one line a fetch, and server.json, from bench/net_session.py), kernel-flash.jsonl (the
flash stage through the QEMU guest's real usbfs), and load-start.txt and
load-end.txt (/proc/loadavg and the cpu line of /proc/stat, taken at the
start and the end of the run).
"""
import datetime
import json
import os
import platform
import re
import statistics
import sys

MB = 1e6
MIB = 1 << 20

TARGET_DOWNLOAD_RATIO = 0.95
TARGET_RSS_SLACK = 8 * MIB
TARGET_FLASH_RATIO = 0.97
TARGET_IN_FLIGHT_BYTES = 1 * MIB
TARGET_WRITE_ADDED_BYTES = 0.1 * MIB
TARGET_CONNECTION_OVER_FLOOR = 1.05

# What bounds each figure, for the "limit" column (bench/limits.md explains).
LIMIT_EMULATION = ("the emulation: every URB is a SUBMITURB and a REAPURBNDELAY, each a round trip "
                   "over umockdev's socket to the emulating process, on the same 2 cores")
LIMIT_GUEST_CPU = ("the guest's one emulated CPU, shared by the kernel, the Python USB/IP reader "
                   "and the writer")
LIMIT_EDGES = ("nothing allocated by the write: the frame's two end buffers (16 KiB; at most 16 KiB + 1 "
               "byte) and 64 URB records are the transport's, made once")
LIMIT_WINDOW = "the window of 64 URBs (usbfs allows 16 MiB)"
LIMIT_NODE_OPEN = "the emulated node's open and close through umockdev's preload (the floor)"
LIMIT_IMAGE = "the image buffer itself, grown in 5 MiB steps"


def median(values):
    if not values:
        raise ValueError("no values to take the median of")
    return statistics.median(values)


RECEIVE_CALLS = ("read", "recvfrom", "recv", "recvmsg")
WAIT_CALLS = ("poll", "ppoll", "select", "pselect6", "epoll_wait", "epoll_pwait")


def strace_counts(text):
    """syscall -> number of calls, from a `strace -c` summary."""
    counts = {}
    for line in text.splitlines():
        parts = line.split()
        # % time, seconds, usecs/call, calls, [errors], syscall
        if len(parts) >= 5 and parts[-1] != "total" and re.match(r"^[\d.]+$", parts[0]):
            try:
                counts[parts[-1]] = int(parts[3])
            except ValueError:
                continue
    return counts


def read(path):
    with open(path) as f:
        return f.read()


DOWNLOAD_CLIENTS = ("updater", "curl-memory", "wget-memory", "curl-null")


def load_download(net_dir, image_bytes):
    """Per client, in round order: throughput (MB/s), CPU seconds and peak RSS
    of each fetch (net/fetches.jsonl), the server's bytes and CPU time
    (net/server.json), and the receive and wait calls of the strace'd fetches."""
    path = os.path.join(net_dir, "fetches.jsonl")
    if not os.path.exists(path):
        raise ValueError("no download runs in " + net_dir)
    result = {c: {"round": [], "mbps": [], "cpu": [], "rss": []} for c in DOWNLOAD_CLIENTS}
    for line in read(path).splitlines():
        if not line.strip():
            continue
        r = json.loads(line)
        if r["bytes"] != image_bytes:
            raise ValueError("%s round %d fetched %d of %d bytes" % (r["client"], r["round"], r["bytes"],
                                                                     image_bytes))
        c = result[r["client"]]
        c["round"].append(r["round"])
        c["mbps"].append(r["bytes"] / MB / r["seconds"])
        c["cpu"].append(r["cpu_seconds"])
        c["rss"].append(r["max_rss_bytes"])
    for client in DOWNLOAD_CLIENTS:
        if not result[client]["mbps"]:
            raise ValueError("no %s fetches in %s" % (client, path))
    server = json.loads(read(os.path.join(net_dir, "server.json")))
    if server["cpu_seconds"] <= 0:
        raise ValueError("the server's CPU time was not measured")
    result["server"] = server
    for client in ("updater", "curl-memory"):
        trace = os.path.join(net_dir, client + ".strace")
        if os.path.exists(trace):
            counts = strace_counts(read(trace))
            result[client]["calls"] = (sum(counts.get(c, 0) for c in RECEIVE_CALLS),
                                       sum(counts.get(c, 0) for c in WAIT_CALLS))
    return result


def download_ratio(dl, reference):
    """Median over rounds of the updater's throughput over the reference's in the same round."""
    ref = dict(zip(dl[reference]["round"], dl[reference]["mbps"]))
    ratios = [mbps / ref[r] for r, mbps in zip(dl["updater"]["round"], dl["updater"]["mbps"]) if r in ref]
    return median(ratios)


def server_ceiling_mbps(dl):
    return dl["server"]["bytes"] / MB / dl["server"]["cpu_seconds"]


def load_flash(lines):
    """Per size: per client the runs' seconds, CPU seconds and in-flight maxima, in run order."""
    sizes = {}
    for line in lines:
        line = line.strip()
        if not line:
            continue
        r = json.loads(line)
        client = sizes.setdefault(r["mib"], {}).setdefault(r["client"], {
            "seconds": [], "cpu_seconds": [], "urbs": [], "bytes": [], "frame_bytes": r["frame_bytes"]})
        client["seconds"].append(r["seconds"])
        client["cpu_seconds"].append(r["cpu_seconds"])
        client["urbs"].append(r["max_urbs_in_flight"])
        client["bytes"].append(r["max_bytes_in_flight"])
    return sizes


def load_memory(lines):
    """client -> (image bytes, bytes one write added to the process at its peak)."""
    out = {}
    for line in lines:
        line = line.strip()
        if line:
            r = json.loads(line)
            out[r["client"]] = (r["image_bytes"], r["added_bytes"])
    if "updater" not in out:
        raise ValueError("no memory measurement of the updater's write")
    return out


def load_run_load(work):
    """The load averages and the CPUs' busy share over the run, from the
    snapshots bench/run takes at its start and end; None when absent."""
    snaps = []
    for name in ("load-start.txt", "load-end.txt"):
        path = os.path.join(work, name)
        if not os.path.exists(path):
            return None
        lines = read(path).splitlines()
        cpu = [int(v) for v in lines[1].split()[1:]]
        snaps.append((lines[0].split()[:3], cpu))
    (la0, c0), (la1, c1) = snaps
    delta = [b - a for a, b in zip(c0, c1)]
    idle = delta[3] + (delta[4] if len(delta) > 4 else 0)  # idle + iowait
    busy = 1.0 - idle / float(sum(delta)) if sum(delta) else 0.0
    return {"start": " ".join(la0), "end": " ".join(la1), "busy": busy}


def load_kernel_flash(lines):
    """Per size: per client the seconds of each write through the guest's
    usbfs, in run order. The guest records successful writes only."""
    sizes = {}
    for line in lines:
        line = line.strip()
        if line:
            r = json.loads(line)
            if r["seconds"] <= 0:
                raise ValueError("a guest write of %d MiB took no time" % r["mib"])
            sizes.setdefault(r["mib"], {}).setdefault(r["client"], {"seconds": []})["seconds"].append(r["seconds"])
    for mib, clients in sizes.items():
        if set(clients) != {"updater", "reference"} or \
                len(clients["updater"]["seconds"]) != len(clients["reference"]["seconds"]):
            raise ValueError("the guest's %d MiB writes are not paired" % mib)
    return sizes


def kernel_flash_section(kflash):
    L = ["## Flash stage through a real usbfs (QEMU guest, TCG; reader over USB/IP)", "",
         "| block | updater MB/s | reference MB/s | ratio | runs |", "|---|---:|---:|---:|---:|"]
    for mib in sorted(kflash):
        c = kflash[mib]
        frame = mib * MIB + 10
        up = median([frame / MB / t for t in c["updater"]["seconds"]])
        ref = median([frame / MB / t for t in c["reference"]["seconds"]])
        L.append("| %d MiB | %.1f | %.1f | **%.2f** | %d |"
                 % (mib, up, ref, paired_ratio(c["updater"], c["reference"]), len(c["updater"]["seconds"])))
    L += ["", "Debian's own kernel in QEMU without acceleration, usbfs at its default 16 MiB cap; the "
          "reader is a Python USB/IP device attached through vhci-hcd in the same guest, and stays on the bus "
          "from one frame to the next (a real reader re-enumerates between stages; the write itself is the "
          "same). Each write opens the node, claims interface 0, streams one frame with 64 "
          "URBs of 16384 bytes in flight and closes the node; the reference client gets its frame built "
          "beforehand. Throughput counts the frame's bytes over the write's wall time.", ""]
    return L


def flash_summary(client, mib):
    return {
        "mbps": median([client["frame_bytes"] / MB / s for s in client["seconds"]]),
        "cpu_ms_per_mib": median(client["cpu_seconds"]) * 1000.0 / mib,
        "max_urbs": max(client["urbs"]),
        "max_bytes": max(client["bytes"]),
    }


def paired_ratio(a, b):
    """Median over runs of a's throughput over b's, pairing run i with run i."""
    return median([tb / ta for ta, tb in zip(a["seconds"], b["seconds"])])


def gbench_medians(data):
    """run_name -> (real_time, cpu_time, time_unit) of the 'median' aggregates."""
    out = {}
    for b in data.get("benchmarks", []):
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") == "median":
            if b.get("error_occurred"):
                continue
            out[b["run_name"]] = (b["real_time"], b["cpu_time"], b["time_unit"])
    return out


def find_median(medians, prefix):
    for name, value in medians.items():
        if name == prefix or name.startswith(prefix + "/"):
            return value
    raise KeyError("no median for " + prefix + " (did the benchmark fail?)")


def to_us(value, unit):
    return value * {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[unit]


def verdict(ok):
    return "met" if ok else "**missed**"


def machine():
    cpu = "unknown"
    try:
        for line in read("/proc/cpuinfo").splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        load = read("/proc/loadavg").split()[0]
    except OSError:
        load = "?"
    return {"nproc": os.cpu_count(), "cpu": cpu, "kernel": platform.release(), "load": load,
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")}


TARGET_WARNING_GAP_MS = 50
LIMIT_MAIN_LOOP = ("the main loop's own work (the 100 ms poll, a redraw); the check itself runs on "
                   "a thread of its own")

def target(figure, measured, goal, met, limit):
    """One row of the targets table; new figures add a row here."""
    return {"figure": figure, "measured": measured, "goal": goal, "met": met, "limit": limit}


def download_limit(dl, dl_ratio):
    fastest = max(median(dl[c]["mbps"]) for c in ("updater", "curl-memory", "wget-memory"))
    server = ("not the server: nginx sending with sendfile could serve %.0f MB/s on a core of its own, "
              "%.1f times the fastest client that keeps the image" % (server_ceiling_mbps(dl),
                                                                       server_ceiling_mbps(dl) / fastest))
    calls = ""
    if "calls" in dl["updater"] and "calls" in dl["curl-memory"]:
        calls = " (%d receive calls against curl's %d)" % (dl["updater"]["calls"][0],
                                                           dl["curl-memory"]["calls"][0])
    return ("each client's own work: copying the body out of the loopback socket into fresh pages of "
            "memory%s; %s" % (calls, server))


def load_warning_page(work):
    """The Warning page's figures from bench/warning_page.py --json, if it ran."""
    path = os.path.join(work, "warning-page.json")
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def build_report(work, image_bytes, mach):
    dl = load_download(os.path.join(work, "net"), image_bytes)
    flash = load_flash(read(os.path.join(work, "flash.jsonl")).splitlines())
    memory = load_memory(read(os.path.join(work, "memory.jsonl")).splitlines())
    tick = gbench_medians(json.loads(read(os.path.join(work, "tick.json"))))
    probe_udp = gbench_medians(json.loads(read(os.path.join(work, "probe-udp.json"))))
    probe_echo = gbench_medians(json.loads(read(os.path.join(work, "probe-echo.json"))))
    kflash_path = os.path.join(work, "kernel-flash.jsonl")
    kflash = load_kernel_flash(read(kflash_path).splitlines()) if os.path.exists(kflash_path) else {}
    run_load = load_run_load(work)

    dl_ratio = download_ratio(dl, "curl-memory")
    wget_ratio = download_ratio(dl, "wget-memory")
    rss = max(dl["updater"]["rss"])
    rss_limit = image_bytes + TARGET_RSS_SLACK
    fetch_mib = image_bytes / float(MIB)

    conn = find_median(tick, "tick/connection_test")
    floor = find_median(tick, "tick/node_open_close")
    conn_us, floor_us = to_us(conn[0], conn[2]), to_us(floor[0], floor[2])
    redisc = {n: to_us(*[find_median(tick, "tick/rediscovery/%d" % n)[i] for i in (0, 2)])
              for n in (1, 20, 200)}
    udp = find_median(probe_udp, "probe/udp_answered")
    echo = find_median(probe_echo, "probe/echo_only")
    udp_us, echo_ms = to_us(udp[0], udp[2]), to_us(echo[0], echo[2]) / 1000.0

    L = []
    L.append("# Benchmark results")
    L.append("")
    L.append("Machine: %s CPUs, %s, kernel %s; load average %s when the report was written. Date: %s."
             % (mach["nproc"], mach["cpu"], mach["kernel"], mach["load"], mach["date"]))
    if run_load:
        L.append("Load during the run: load averages (1, 5, 15 min) %s at its start and %s at its end; "
                 "the CPUs were busy %.0f%% of the run's time (every process, this benchmark's own "
                 "included). The machine is shared with other engineers' builds, so single runs vary; "
                 "the ratios pair each run of the updater with the reference run just before or after "
                 "it, and those ratios are what count."
                 % (run_load["start"], run_load["end"], 100.0 * run_load["busy"]))
    L.append("Built in Release (build/bench) and measured by `bench/run`; every figure is the median "
             "of the runs, MB = 10^6 bytes.")
    L.append("")
    L.append("## Download (64 MiB image, local update server on loopback, private namespace)")
    L.append("")
    L.append("Served by Debian's nginx (%s, sendfile, one worker) in the benchmark's namespace. "
             "Each fetch is a process of its own, timed from its start to its exit; the clients take "
             "turns, in an order that moves by one place every round, and every round ends with curl to "
             "/dev/null." % dl["server"]["server"])
    L.append("")
    L.append("| fetch | throughput MB/s | CPU ms/MiB | runs |")
    L.append("|---|---:|---:|---:|")
    server_ms = dl["server"]["cpu_seconds"] * 1000.0 / (dl["server"]["bytes"] / float(MIB))
    L.append("| the server's ceiling: bytes nginx sent per second of its worker's CPU | %.0f | %.2f | %d |"
             % (server_ceiling_mbps(dl), server_ms, dl["server"]["bytes"] // image_bytes))
    for client, name in (("curl-null", "curl to /dev/null (what the server delivers to a client that "
                                       "keeps nothing)"),
                         ("curl-memory", "curl into memory (`-o /dev/shm/...`)"),
                         ("wget-memory", "wget into memory (`-O /dev/shm/...`)"),
                         ("updater", "`lm_download::http_download` (into memory)")):
        c = dl[client]
        L.append("| %s | %.1f | %.2f | %d |"
                 % (name, median(c["mbps"]), median(c["cpu"]) * 1000.0 / fetch_mib, len(c["mbps"])))
    L.append("")
    L.append("Ratio updater/curl into memory (median of the rounds' pairs): **%.2f**; updater/wget: "
             "%.2f. Peak resident memory of the download process: **%.1f MiB** for a %.0f MiB image "
             "(%+.1f MiB). CPU time is user plus system time of the whole process (wait4), start-up "
             "included; the server's is its worker's over all the timed fetches."
             % (dl_ratio, wget_ratio, rss / MIB, image_bytes / MIB, (rss - image_bytes) / MIB))
    L.append("")
    L.append("## Flash stage (emulated reader, 16384-byte URBs, 64 in flight)")
    L.append("")
    L.append("| block | updater MB/s | reference MB/s | ratio | "
             "updater CPU ms/MiB | reference CPU ms/MiB | most URBs in flight | most bytes in flight |")
    L.append("|---|---:|---:|---:|---:|---:|---:|---:|")
    flash_rows = {}
    for mib in sorted(flash):
        c = flash[mib]
        up, ref = flash_summary(c["updater"], mib), flash_summary(c["reference"], mib)
        ratio = paired_ratio(c["updater"], c["reference"])
        gap_ms = (median(c["updater"]["seconds"]) - median(c["reference"]["seconds"])) * 1000.0
        flash_rows[mib] = (up, ref, ratio, gap_ms)
        L.append("| %d MiB | %.1f | %.1f | **%.2f** | %.2f | %.2f | %d | %d |"
                 % (mib, up["mbps"], ref["mbps"], ratio,
                    up["cpu_ms_per_mib"], ref["cpu_ms_per_mib"], up["max_urbs"], up["max_bytes"]))
    L.append("")
    L.append("The reference client streams a frame built before its clock starts; the updater's URBs "
             "point into the image, and only the frame's first and last URB are assembled, as they go "
             "out. CPU time is that of the writing thread alone (the "
             "emulated reader runs in a process of its own). The in-flight counts are the updater's, as "
             "the emulated reader saw them (submitted and not yet reaped); the reference client keeps "
             "the same window.")
    L.append("")
    L.append("## Memory added by one write (emulated reader)")
    L.append("")
    L.append("| client | block | added at the peak of the write |")
    L.append("|---|---:|---:|")
    for who in ("updater", "reference"):
        if who in memory:
            L.append("| %s | %.0f MiB | %.2f MiB |" % (who, memory[who][0] / MIB, memory[who][1] / MIB))
    L.append("")
    L.append("The process's peak resident size during the write (VmHWM, reset just before it) minus its "
             "resident size before the write, the image included. The reference client's figure is its "
             "URB array; its frame was built, and counted, before.")
    L.append("")
    if kflash:
        L += kernel_flash_section(kflash)
    L.append("## Status tick")
    L.append("")
    L.append("| operation | time µs |")
    L.append("|---|---:|")
    L.append("| connection test, reader attached (`get_device_connect_status`: open and close) | %.1f |" % conn_us)
    L.append("| bare `open` + `close` of the same emulated node (floor) | %.1f |" % floor_us)
    for n in (1, 20, 200):
        L.append("| one rediscovery (`discover_device`), %d USB %s in sysfs | %.1f |"
                 % (n, "entry" if n == 1 else "entries", redisc[n]))
    L.append("")
    L.append("## Reachability probe (`get_internet_con_status`, private namespace)")
    L.append("")
    L.append("| server answers | time |")
    L.append("|---|---:|")
    L.append("| the UDP probe (port unreachable) | %.1f µs |" % udp_us)
    L.append("| only the ICMP echo (UDP port 45678 swallowed) | %.1f ms |" % echo_ms)
    L.append("")

    T = []
    T.append(target("download throughput", "%.2f x curl into memory" % dl_ratio,
                    ">= %.2f x curl into memory" % TARGET_DOWNLOAD_RATIO,
                    dl_ratio >= TARGET_DOWNLOAD_RATIO, download_limit(dl, dl_ratio)))
    T.append(target("download peak memory", "%.1f MiB" % (rss / MIB),
                    "<= image + 8 MiB (%.0f MiB)" % (rss_limit / MIB), rss <= rss_limit, LIMIT_IMAGE))
    for mib in sorted(flash_rows):
        ratio = flash_rows[mib][2]
        T.append(target("flash %d MiB, emulated reader" % mib, "%.2f x reference" % ratio,
                        ">= %.2f x reference" % TARGET_FLASH_RATIO, ratio >= TARGET_FLASH_RATIO,
                        LIMIT_EMULATION))
    for mib in sorted(kflash):
        ratio = paired_ratio(kflash[mib]["updater"], kflash[mib]["reference"])
        T.append(target("flash %d MiB, real kernel (QEMU guest)" % mib, "%.2f x reference" % ratio,
                        ">= %.2f x reference" % TARGET_FLASH_RATIO, ratio >= TARGET_FLASH_RATIO,
                        LIMIT_GUEST_CPU))
    added = memory["updater"][1]
    T.append(target("memory added by a %.0f MiB write" % (memory["updater"][0] / MIB), "%.2f MiB" % (added / MIB),
                    "<= %.1f MiB" % (TARGET_WRITE_ADDED_BYTES / MIB), added <= TARGET_WRITE_ADDED_BYTES,
                    LIMIT_EDGES))
    most_bytes = max(r[0]["max_bytes"] for r in flash_rows.values())
    T.append(target("URB bytes in flight", "%d bytes at most" % most_bytes, "<= 1 MiB",
                    most_bytes <= TARGET_IN_FLIGHT_BYTES, LIMIT_WINDOW))
    T.append(target("connection test", "%.1f µs, %.3f x the floor" % (conn_us, conn_us / floor_us),
                    "<= %.2f x a bare open + close (%.1f µs)" % (TARGET_CONNECTION_OVER_FLOOR, floor_us),
                    conn_us <= TARGET_CONNECTION_OVER_FLOOR * floor_us, LIMIT_NODE_OPEN))
    warning = load_warning_page(work)
    if warning:
        gap = warning["worst_gap_ms"]
        T.append(target("Warning page, longest main-loop gap (probes dropped)", "%.1f ms" % gap,
                        "<= %d ms" % TARGET_WARNING_GAP_MS, gap <= TARGET_WARNING_GAP_MS, LIMIT_MAIN_LOOP))
    L.append("## Targets")
    L.append("")
    L.append("| figure | measured | target | | limit |")
    L.append("|---|---|---|---|---|")
    for t in T:
        L.append("| %s | %s | %s | %s | %s |" % (t["figure"], t["measured"], t["goal"], verdict(t["met"]), t["limit"]))
    L.append("")
    L += observations(dl, dl_ratio, rss, image_bytes, flash_rows, conn_us, floor_us, redisc, udp_us, echo_ms)
    return "\n".join(L) + "\n"


def observations(dl, dl_ratio, rss, image_bytes, flash_rows, conn_us, floor_us, redisc, udp_us, echo_ms):
    """The measured facts behind each figure, as sentences; bench/limits.md explains them."""
    L = ["## What this run shows", ""]
    calls = ""
    if "calls" in dl["updater"] and "calls" in dl["curl-memory"]:
        calls = (" Counted with strace on one extra fetch each: the updater made %d receive calls "
                 "and %d waits, curl into memory %d receive calls and %d waits, for the same %d bytes."
                 % (dl["updater"]["calls"][0], dl["updater"]["calls"][1], dl["curl-memory"]["calls"][0],
                    dl["curl-memory"]["calls"][1], image_bytes))
    L.append("- Download: %.2f of curl into memory (target %.2f: %s), %.2f of wget; the server's "
             "ceiling is %.1f times the updater's throughput.%s"
             % (dl_ratio, TARGET_DOWNLOAD_RATIO, verdict(dl_ratio >= TARGET_DOWNLOAD_RATIO),
                download_ratio(dl, "wget-memory"), server_ceiling_mbps(dl) / median(dl["updater"]["mbps"]),
                calls))
    L.append("- Peak memory: %.1f MiB above the image's %.0f MiB (target 8 MiB: %s)."
             % ((rss - image_bytes) / MIB, image_bytes / MIB, verdict(rss <= image_bytes + TARGET_RSS_SLACK)))
    for mib, (up, ref, ratio, gap_ms) in sorted(flash_rows.items()):
        L.append("- Flash %d MiB: %.2f of the reference (target %.2f: %s); CPU %.2f against %.2f ms/MiB; "
                 "the updater's median write differs from the reference's by %+.1f ms."
                 % (mib, ratio, TARGET_FLASH_RATIO, verdict(ratio >= TARGET_FLASH_RATIO),
                    up["cpu_ms_per_mib"], ref["cpu_ms_per_mib"], gap_ms))
    L.append("- Connection test: %.1f µs, of which a bare open and close of the node takes %.1f µs "
             "(%+.1f%%; target within %.0f%%: %s)."
             % (conn_us, floor_us, 100.0 * (conn_us / floor_us - 1.0),
                100.0 * (TARGET_CONNECTION_OVER_FLOOR - 1.0),
                verdict(conn_us <= TARGET_CONNECTION_OVER_FLOOR * floor_us)))
    per_entry = (redisc[200] - redisc[1]) / 199.0
    L.append("- Rediscovery: %.1f µs per additional USB entry (from 1 to 200 entries: %.1f to %.1f µs)."
             % (per_entry, redisc[1], redisc[200]))
    L.append("- Probe: %.1f µs when the UDP probe is answered; %.1f ms when only the echo answers."
             % (udp_us, echo_ms))
    L.append("")
    return L


def main(argv):
    if len(argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    work, image_bytes, out = argv[1], int(argv[2]), argv[3]
    table = build_report(work, image_bytes, machine())
    notes = os.path.join(os.path.dirname(os.path.abspath(__file__)), "limits.md")
    text = table
    if os.path.exists(notes):
        text += "\n" + read(notes)
    warning = load_warning_page(work)
    if warning:
        text += "\n" + warning["section"]
    with open(out, "w") as f:
        f.write(text)
    sys.stdout.write(table)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
