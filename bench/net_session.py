#!/usr/bin/env python3
"""The download benchmark's session, run inside netns-run (a private network
namespace, loopback only).

    net_session.py BUILD_DIR WWW_DIR OUT_DIR RUNS HOST PATH SIZE

Serves WWW_DIR with Debian's nginx on port 80 (sendfile from the page cache,
one worker), the kind of server the real update server is, so that the
server is never what the clients wait for. Then, RUNS rounds, each fetch a
process of its own, in an order that turns by one place every round: the
updater's http_download (lumora-bench-download, into memory), curl writing
the image into memory (/dev/shm) and wget doing the same. Every round ends
with curl to /dev/null, the cheapest client there is, whose figure is a floor
of what the server delivers. Each fetch is timed from its start to its exit
on the same clock, with its CPU time and peak resident size from wait4().

The server's own ceiling is the bytes it sent over the CPU time its worker
used for them (user plus system, sendfile's copy included): what it could
send with a core to itself.

Writes OUT_DIR/fetches.jsonl (one line a fetch) and OUT_DIR/server.json, and,
when strace is there, OUT_DIR/{updater,curl-memory}.strace from one more
fetch each (not timed).
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import time

CLIENTS = ("updater", "curl-memory", "wget-memory")
KEPT = "/dev/shm/lumora-bench-fetch"

NGINX_CONF = """\
daemon off;
master_process on;
worker_processes 1;
user root;
pid {out}/nginx.pid;
error_log {out}/nginx-error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    client_body_temp_path {out}/nginx-tmp/body;
    proxy_temp_path {out}/nginx-tmp/proxy;
    fastcgi_temp_path {out}/nginx-tmp/fastcgi;
    uwsgi_temp_path {out}/nginx-tmp/uwsgi;
    scgi_temp_path {out}/nginx-tmp/scgi;
    types {{ }}
    default_type application/octet-stream;
    server {{
        listen 127.0.0.1:80;
        root {www};
    }}
}}
"""


def command(client, build, url, host, path, size):
    if client == "updater":
        return [os.path.join(build, "bench", "lumora-bench-download"), host, path, str(size)]
    if client == "curl-memory":
        return ["curl", "-sS", "--fail", "-o", KEPT, url]
    if client == "wget-memory":
        return ["wget", "-q", "-O", KEPT, url]
    if client == "curl-null":
        return ["curl", "-sS", "--fail", "-o", "/dev/null", url]
    raise ValueError(client)


def fetch(client, argv, size):
    """One fetch as a process: wall seconds, CPU seconds, peak RSS, bytes kept."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    out, err = proc.stdout.read().decode(), proc.stderr.read().decode()
    proc.stdout.close()
    proc.stderr.close()
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d): %s%s" % (client, proc.returncode, out, err))
    if client == "updater":
        got = int(dict(f.split("=") for f in out.split())["bytes"])
    elif client == "curl-null":
        got = size  # --fail and curl's own count: a short body is an error
    else:
        got = os.path.getsize(KEPT)
    if os.path.exists(KEPT):
        os.unlink(KEPT)
    return {"client": client, "seconds": seconds,
            "cpu_seconds": usage.ru_utime + usage.ru_stime,
            "max_rss_bytes": usage.ru_maxrss * 1024, "bytes": got}


def worker_pids(master):
    out = subprocess.run(["ps", "-o", "pid=", "--ppid", str(master)], capture_output=True, text=True)
    return [int(p) for p in out.stdout.split()]


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def wait_for_port(port, server):
    for _ in range(200):
        if server.poll() is not None:
            raise RuntimeError("nginx ended at start (status %d)" % server.returncode)
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.025)
    raise RuntimeError("nginx does not answer on port %d" % port)


def main(argv):
    if len(argv) != 8:
        sys.stderr.write(__doc__)
        return 2
    build, www, out, runs, host, path, size = argv[1:]
    runs, size = int(runs), int(size)
    # nginx takes relative paths from its own prefix.
    build, www, out = (os.path.abspath(p) for p in (build, www, out))
    url = "http://%s%s" % (host, path)
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    os.makedirs(os.path.join(out, "nginx-tmp"), exist_ok=True)
    conf = os.path.join(out, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF.format(out=out, www=www))
    server = subprocess.Popen([nginx, "-c", conf, "-e", os.path.join(out, "nginx-error.log")])
    try:
        wait_for_port(80, server)
        workers = worker_pids(server.pid)
        if len(workers) != 1:
            raise RuntimeError("nginx has %d workers, expected 1" % len(workers))
        # One untimed fetch of each: the image in the page cache, the
        # programs' pages loaded.
        for client in CLIENTS + ("curl-null",):
            fetch(client, command(client, build, url, host, path, size), size)

        ticks_before = cpu_ticks(workers[0])
        served = 0
        lines = []
        for i in range(runs):
            order = CLIENTS[i % len(CLIENTS):] + CLIENTS[:i % len(CLIENTS)]
            for client in order + ("curl-null",):
                r = fetch(client, command(client, build, url, host, path, size), size)
                r["round"] = i
                lines.append(r)
                served += size
        ticks = cpu_ticks(workers[0]) - ticks_before
        with open(os.path.join(out, "fetches.jsonl"), "w") as f:
            for r in lines:
                f.write(json.dumps(r) + "\n")
        hz = os.sysconf("SC_CLK_TCK")
        with open(os.path.join(out, "server.json"), "w") as f:
            json.dump({"server": "nginx %s" % nginx_version(nginx), "bytes": served,
                       "cpu_seconds": ticks / float(hz), "clock_ticks_per_second": hz}, f)

        if shutil.which("strace"):
            for client in ("updater", "curl-memory"):
                fetch(client, ["strace", "-f", "-c", "-o", os.path.join(out, client + ".strace")]
                      + command(client, build, url, host, path, size), size)
    finally:
        server.terminate()
        server.wait()
        if os.path.exists(KEPT):
            os.unlink(KEPT)
    return 0


def nginx_version(nginx):
    out = subprocess.run([nginx, "-v"], capture_output=True, text=True)
    return out.stderr.strip().split("/")[-1]


if __name__ == "__main__":
    sys.exit(main(sys.argv))
