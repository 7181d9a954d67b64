#!/usr/bin/env python3
"""What hostile or absurd input costs the helper: for each case, its wall time, peak resident
memory, exit status and last line. None of these may take minutes or gigabytes.

  - 100 MB of empty frames after a listen request (25 million frames)
  - a 20 MB request line of "[" with no line feed
  - a 40 KB WAV file that says its sample rate is 1 Hz
  - a download server that sends the archive and then zeros for ever (the catalog gives the size)

Usage: Benchmarks/robustness_benchmark.py [build/vorel-speech]
"""
import http.server
import json
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time

READING = "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0880.wav"


def run(helper, stdin, env, scratch):
    """Runs the helper once under GNU time; returns (seconds, peak MiB, status, last line,
    bytes on standard error)."""
    stdin_path = os.path.join(scratch, "stdin")
    with open(stdin_path, "wb") as f:
        f.write(stdin)
    peak_path = os.path.join(scratch, "peak")
    started = time.monotonic()
    with open(stdin_path, "rb") as source:
        done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak_path, helper],
                              stdin=source, capture_output=True, env=env)
    seconds = time.monotonic() - started
    peak = int(open(peak_path).read().split()[-1]) / 1024
    lines = done.stdout.decode(errors="replace").splitlines()
    return seconds, peak, done.returncode, lines[-1] if lines else "(nothing)", len(done.stderr)


class Endless(http.server.BaseHTTPRequestHandler):
    archive = b""

    def do_GET(self):
        self.send_response(200)
        self.send_header("Connection", "close")
        self.end_headers()
        try:
            self.wfile.write(self.archive)
            zeros = bytes(1 << 16)
            for _ in range(1 << 16):  # 4 GiB at the most
                self.wfile.write(zeros)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def log_message(self, *args):
        pass


def case(name, helper, scratch):
    env = dict(os.environ, XDG_DATA_HOME=os.path.join(scratch, "home"))
    if name == "empty-frames":
        frames = struct.pack("<I", 0) * (25 << 20)
        return run(helper, b'{"op":"listen","locale":"en-US"}\n' + frames, env, scratch)
    if name == "bracket-line":
        return run(helper, b"[" * (20 << 20), env, scratch)
    if name == "one-hertz":
        wav = open(READING, "rb").read()[:40_000]
        wav = wav[:24] + struct.pack("<II", 1, 2) + wav[32:]
        path = os.path.join(scratch, "one-hertz.wav")
        open(path, "wb").write(wav)
        request = json.dumps({"op": "transcribe", "locale": "en-US", "path": path})
        return run(helper, request.encode() + b"\n", env, scratch)
    if name == "endless-download":
        archive = os.path.join(scratch, "model.tar")
        subprocess.run(["tar", "-cf", archive, "-C", "/usr/share/pocketsphinx/model", "en-us"],
                       check=True)
        Endless.archive = open(archive, "rb").read()
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Endless)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        import hashlib
        catalog = {"models": [{"locale": "fr-FR",
                               "url": f"http://127.0.0.1:{server.server_port}/fr.tar",
                               "sha256": hashlib.sha256(Endless.archive).hexdigest(),
                               "size": len(Endless.archive)}]}
        os.makedirs(os.path.join(scratch, "home", "vorel-speech"), exist_ok=True)
        with open(os.path.join(scratch, "home", "vorel-speech", "catalog.json"), "w") as f:
            json.dump(catalog, f)
        result = run(helper, b'{"op":"install-assets","locale":"fr-FR"}\n', env, scratch)
        server.shutdown()
        return result
    raise ValueError(name)


def main():
    helper = sys.argv[1] if len(sys.argv) > 1 else "build/vorel-speech"
    print(f"{'case':<18} {'seconds':>8} {'peak MiB':>9} {'status':>6}  last line")
    for name in ["empty-frames", "bracket-line", "one-hertz", "endless-download"]:
        with tempfile.TemporaryDirectory() as scratch:
            seconds, peak, status, last, err = case(name, helper, scratch)
        last = last if len(last) <= 100 else last[:97] + "..."
        print(f"{name:<18} {seconds:>8.2f} {peak:>9.1f} {status:>6}  {last}"
              + ("  (wrote to standard error!)" if err else ""))


if __name__ == "__main__":
    main()
