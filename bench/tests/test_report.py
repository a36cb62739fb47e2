"""Checks of bench/report.py: the figures it writes must come from the raw
results exactly, and a failed or short run must never become a figure."""
import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import report  # noqa: E402

MIB = 1 << 20

STRACE_C = """% time     seconds  usecs/call     calls    errors syscall
------ ----------- ----------- --------- --------- ----------------
 55.10    0.010000           1     65537           recvfrom
 40.00    0.008000           1     65538         3 poll
  4.90    0.001000          10       100           read
------ ----------- ----------- --------- --------- ----------------
100.00    0.019000           0    131175         3 total
"""


def gbench(entries):
    """A Google Benchmark JSON document with the given (run_name, aggregate, real, unit[, error])."""
    benchmarks = []
    for e in entries:
        b = {"run_name": e[0], "run_type": "aggregate", "aggregate_name": e[1],
             "real_time": e[2], "cpu_time": e[2], "time_unit": e[3]}
        if len(e) > 4:
            b["error_occurred"] = True
        benchmarks.append(b)
    return {"benchmarks": benchmarks}


def flash_line(client, mib, seconds, urbs=64, nbytes=MIB):
    return json.dumps({"client": client, "mib": mib, "seconds": seconds, "cpu_seconds": seconds / 4,
                       "max_urbs_in_flight": urbs, "max_bytes_in_flight": nbytes,
                       "frame_bytes": mib * MIB + 10})


class Parsing(unittest.TestCase):
    def test_strace_summaries(self):
        counts = report.strace_counts(STRACE_C)
        self.assertEqual(counts, {"recvfrom": 65537, "poll": 65538, "read": 100})

    def test_only_successful_median_aggregates_are_taken(self):
        medians = report.gbench_medians(gbench([
            ("tick/connection_test/repeats:5", "mean", 99.0, "us"),
            ("tick/connection_test/repeats:5", "median", 25.0, "us"),
            ("tick/rediscovery/20/repeats:5", "median", 0.2, "ms", "error"),
        ]))
        value = report.find_median(medians, "tick/connection_test")
        self.assertEqual(report.to_us(value[0], value[2]), 25.0)
        with self.assertRaises(KeyError):
            report.find_median(medians, "tick/rediscovery/20")
        # A prefix must end at a path step: /2 is not /20.
        medians = report.gbench_medians(gbench([("tick/rediscovery/20/repeats:5", "median", 1, "ms")]))
        with self.assertRaises(KeyError):
            report.find_median(medians, "tick/rediscovery/2")
        self.assertEqual(report.to_us(*[report.find_median(medians, "tick/rediscovery/20")[i]
                                        for i in (0, 2)]), 1000.0)


class Flash(unittest.TestCase):
    def test_medians_paired_ratio_and_in_flight_maxima(self):
        lines = [flash_line("updater", 16, 0.40), flash_line("reference", 16, 0.36),
                 flash_line("updater", 16, 0.80, urbs=65, nbytes=MIB + 16384),
                 flash_line("reference", 16, 0.72),
                 flash_line("updater", 16, 0.44), flash_line("reference", 16, 0.40)]
        sizes = report.load_flash(lines)
        up = report.flash_summary(sizes[16]["updater"], 16)
        self.assertAlmostEqual(up["mbps"], (16 * MIB + 10) / 1e6 / 0.44)
        self.assertEqual(up["max_urbs"], 65)
        self.assertEqual(up["max_bytes"], MIB + 16384)
        self.assertAlmostEqual(up["cpu_ms_per_mib"], 0.44 / 4 * 1000 / 16)
        # Run i pairs with run i: ratios 0.9, 0.9, 0.909..
        self.assertAlmostEqual(report.paired_ratio(sizes[16]["updater"], sizes[16]["reference"]), 0.9)


class KernelFlash(unittest.TestCase):
    def line(self, client, seconds, mib=16):
        return json.dumps({"client": client, "mib": mib, "seconds": seconds})

    def test_row_from_paired_guest_writes_and_unpaired_runs_refused(self):
        lines = [self.line("updater", 4.0), self.line("reference", 3.6),
                 self.line("updater", 8.0), self.line("reference", 8.0)]
        section = "\n".join(report.kernel_flash_section(report.load_kernel_flash(lines)))
        # Median throughputs of 16777226 bytes: updater in 4.0 and 8.0 s, reference in 3.6 and
        # 8.0 s; paired ratios 0.9 and 1.0.
        self.assertIn("| 16 MiB | 3.1 | 3.4 | **0.95** | 2 |", section)
        with self.assertRaises(ValueError):
            report.load_kernel_flash(lines[:3])


class WholeReport(unittest.TestCase):
    def make_work(self, root, download_bytes=64 * MIB, rss_kb=68620, updater_seconds=0.2,
                  flash_bytes=MIB, conn_us=25.0, added_bytes=64 * 1024 + 4096, load=True):
        net = os.path.join(root, "net")
        os.makedirs(net)
        # Three rounds: the updater takes updater_seconds, curl into memory
        # 0.2 s, wget 0.25 s, curl to /dev/null 0.1 s; the clients' order
        # turns each round, as the session writes it.
        seconds = {"updater": updater_seconds, "curl-memory": 0.2, "wget-memory": 0.25, "curl-null": 0.1}
        cpu = {"updater": 0.32, "curl-memory": 0.16, "wget-memory": 0.24, "curl-null": 0.08}
        with open(os.path.join(net, "fetches.jsonl"), "w") as f:
            for i in range(3):
                order = ["updater", "curl-memory", "wget-memory"]
                for client in order[i:] + order[:i] + ["curl-null"]:
                    f.write(json.dumps({"client": client, "round": i, "seconds": seconds[client],
                                        "cpu_seconds": cpu[client],
                                        "max_rss_bytes": rss_kb * 1024 if client == "updater" else 5 * MIB,
                                        "bytes": download_bytes if client == "updater" else 64 * MIB})
                            + "\n")
        with open(os.path.join(net, "server.json"), "w") as f:
            # 12 fetches of 64 MiB in 0.12 s of the worker's CPU.
            json.dump({"server": "nginx 1.22.1", "bytes": 12 * 64 * MIB, "cpu_seconds": 0.12,
                       "clock_ticks_per_second": 100}, f)
        with open(os.path.join(net, "updater.strace"), "w") as f:
            f.write(STRACE_C)
        with open(os.path.join(root, "flash.jsonl"), "w") as f:
            for mib in (1, 16, 64):
                f.write(flash_line("updater", mib, 0.02 * mib, nbytes=flash_bytes) + "\n")
                f.write(flash_line("reference", mib, 0.0196 * mib) + "\n")
        with open(os.path.join(root, "memory.jsonl"), "w") as f:
            for client, added in (("updater", added_bytes), ("reference", 300 * 1024)):
                f.write(json.dumps({"client": client, "mib": 64, "image_bytes": 64 * MIB,
                                    "added_bytes": added}) + "\n")
        with open(os.path.join(root, "kernel-flash.jsonl"), "w") as f:
            for client, seconds in (("updater", 2.0), ("reference", 1.8)):
                f.write(json.dumps({"client": client, "mib": 16, "seconds": seconds}) + "\n")
        if load:
            # 400 of 1000 ticks idle between the snapshots: busy 60%.
            for name, loadavg, user, idle in (("load-start.txt", "3.10 2.00 1.20 3/400 9", 5000, 1000),
                                              ("load-end.txt", "4.00 2.50 1.40 2/410 99", 5600, 1400)):
                with open(os.path.join(root, name), "w") as f:
                    f.write("%s\ncpu  %d 0 0 %d 0 0 0 0 0 0\n" % (loadavg, user, idle))
        tick = [("tick/connection_test/repeats:5", "median", conn_us, "us"),
                ("tick/node_open_close/repeats:5", "median", 24.0, "us")]
        tick += [("tick/rediscovery/%d/repeats:5" % n, "median", 9.0 * n, "us") for n in (1, 20, 200)]
        for name, doc in (("tick.json", gbench(tick)),
                          ("probe-udp.json", gbench([("probe/udp_answered/iterations:200/repeats:5",
                                                      "median", 60.0, "us")])),
                          ("probe-echo.json", gbench([("probe/echo_only/iterations:1/repeats:3",
                                                       "median", 2002.0, "ms")]))):
            with open(os.path.join(root, name), "w") as f:
                json.dump(doc, f)

    def build(self, **kw):
        with tempfile.TemporaryDirectory() as root:
            self.make_work(root, **kw)
            mach = {"nproc": 2, "cpu": "cpu", "kernel": "k", "load": "0", "date": "d"}
            return report.build_report(root, 64 * MIB, mach)

    def target_line(self, text, start):
        return next(line for line in text.splitlines() if line.startswith(start))

    def test_all_targets_met(self):
        text = self.build()
        # Only the guest's 16 MiB write (2.0 s against 1.8 s: 0.90) misses.
        self.assertEqual(1, text.count("**missed**"))
        self.assertIn("**missed**", self.target_line(text, "| flash 16 MiB, real kernel"))
        # 16 MiB: updater 0.32 s, reference 0.3136 s.
        self.assertIn("| 16 MiB | 52.4 | 53.5 | **0.98** | 5.00 | 4.90 | 64 | 1048576 |", text)
        self.assertIn("differs from the reference's by +6.4 ms", text)
        self.assertIn("2002.0 ms", text)
        # CPU per MiB of each fetch: 0.32, 0.16, 0.24 and 0.08 s for 64 MiB; the
        # server: 768 MiB (805.3 MB) in 0.12 s of CPU.
        self.assertIn("| `lm_download::http_download` (into memory) | 335.5 | 5.00 | 3 |", text)
        self.assertIn("| curl into memory (`-o /dev/shm/...`) | 335.5 | 2.50 | 3 |", text)
        self.assertIn("| wget into memory (`-O /dev/shm/...`) | 268.4 | 3.75 | 3 |", text)
        self.assertIn("| curl to /dev/null (what the server delivers to a client that keeps nothing) "
                      "| 671.1 | 1.25 | 3 |", text)
        self.assertIn("| the server's ceiling: bytes nginx sent per second of its worker's CPU | 6711 "
                      "| 0.16 | 12 |", text)
        self.assertIn("updater/curl into memory (median of the rounds' pairs): **1.00**; updater/wget: 1.25",
                      text)
        self.assertIn("ceiling is 20.0 times the updater's throughput", text)
        # Only the updater was traced: no comparison of calls is made up.
        self.assertNotIn("receive calls", text)
        self.assertIn("| updater | 64 MiB | 0.07 MiB |", text)
        self.assertIn("at its start and 4.00 2.50 1.40 at its end; the CPUs were busy 60%", text)
        # Every target names what bounds it.
        rows = [l for l in text.split("## Targets")[1].split("## What")[0].splitlines() if l.startswith("| ")]
        self.assertEqual(10, len(rows))  # header, 2 download, 3 + 1 flash, memory, in flight, connection
        for row in rows[1:]:
            self.assertGreater(len(row.split("|")[5].strip()), 10, row)
        self.assertIn(report.LIMIT_GUEST_CPU, self.target_line(text, "| flash 16 MiB, real kernel"))

    def test_each_missed_target_is_named(self):
        text = self.build(rss_kb=(72 * MIB) // 1024 + 1, flash_bytes=MIB + 1,
                          conn_us=25.3, added_bytes=int(0.1 * MIB) + 1, load=False)
        self.assertIn("**missed**", self.target_line(text, "| download peak memory"))
        self.assertIn("**missed**", self.target_line(text, "| URB bytes in flight"))
        # 25.3 against a floor of 24.0 is 5.4% over it.
        self.assertIn("**missed**", self.target_line(text, "| connection test |"))
        self.assertIn("**missed**", self.target_line(text, "| memory added by a 64 MiB write"))
        self.assertIn("met", self.target_line(text, "| download throughput"))
        self.assertNotIn("Load during the run", text)
        slow = self.build(updater_seconds=0.22)  # 0.2 / 0.22 < 0.95
        self.assertIn("**missed**", self.target_line(slow, "| download throughput"))

    def test_a_short_download_is_refused(self):
        with self.assertRaises(ValueError):
            self.build(download_bytes=64 * MIB - 1)

    def test_ratio_pairs_fetches_of_the_same_round(self):
        # Round 0: updater 100 against curl 100; round 1: 90 against 100;
        # round 2: 300 against 100 (curl's slow round). Paired: 1.0, 0.9, 3.0.
        dl = {"updater": {"round": [0, 1, 2], "mbps": [100.0, 90.0, 300.0]},
              "curl-memory": {"round": [2, 0, 1], "mbps": [100.0, 100.0, 100.0]}}
        self.assertAlmostEqual(report.download_ratio(dl, "curl-memory"), 1.0)
        # A round the reference missed is not paired.
        dl["curl-memory"] = {"round": [0, 1], "mbps": [100.0, 100.0]}
        self.assertAlmostEqual(report.download_ratio(dl, "curl-memory"), 0.95)

    def test_a_missing_client_or_server_time_is_refused(self):
        with tempfile.TemporaryDirectory() as root:
            self.make_work(root)
            net = os.path.join(root, "net")
            with open(os.path.join(net, "server.json"), "w") as f:
                json.dump({"server": "nginx", "bytes": 64 * MIB, "cpu_seconds": 0.0}, f)
            with self.assertRaises(ValueError):
                report.load_download(net, 64 * MIB)
            path = os.path.join(net, "fetches.jsonl")
            with open(path) as f:
                kept = [l for l in f if '"wget-memory"' not in l]
            with open(path, "w") as f:
                f.writelines(kept)
            with self.assertRaises(ValueError):
                report.load_download(net, 64 * MIB)


if __name__ == "__main__":
    unittest.main()
