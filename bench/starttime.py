#!/usr/bin/python3
"""Start-to-first-200 of orvo: starts it N times from a prepared folder and
polls GET / until it answers 200. Prints the median and the spread in ms."""
import os, socket, statistics, subprocess, sys, time

folder, port, runs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]) if len(sys.argv) > 3 else 20
env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=folder + "/runtime",
           XDG_CONFIG_HOME=folder + "/home/.config", HOME=folder + "/home")
os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
req = f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nConnection: close\r\n\r\n".encode()
times = []
for _ in range(runs):
    t0 = time.perf_counter()
    p = subprocess.Popen([folder + "/orvo", "-r"], cwd=folder, env=env,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while True:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                s.sendall(req)
                if s.recv(64).startswith(b"HTTP/1.1 200"):
                    break
        except OSError:
            time.sleep(0.001)
        if time.perf_counter() - t0 > 10:
            break
    times.append((time.perf_counter() - t0) * 1000)
    p.terminate()
    p.wait(10)
print(f"{statistics.median(times):.1f} {min(times):.1f} {max(times):.1f}")
