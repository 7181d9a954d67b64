#!/usr/bin/env python3
"""What hostile or absurd input costs the helper: for each case, its wall time, peak resident
memory, exit status and last line. None of these may take minutes or gigabytes.

  - 100 MB of empty frames after a listen request (25 million frames)
  - a 20 MB request line of "[" with no line feed
  - a 40 KB WAV file that says its sample rate is 1 Hz
  - a download server that sends the archive and then zeros for ever (the catalog gives the size)
  - 30 minutes of digital silence, and 10 minutes of loud noise, sent as fast as the pipe takes
    them after a listen request (the queues must hold the sender back, or the lag rule end it)

And what it costs the client (vorel-speech-client beside the helper):

  - the first Ctrl-C while the input stalls: a silent pipe, a WAV or FLAC header and then nothing,
    a sound server that accepts and never answers, endless zeros to keep for transcription; the
    seconds from the signal to the exit, and the exit status
  - locales with a catalog of 3,000 entries

Usage: Benchmarks/robustness_benchmark.py [build/vorel-speech]
"""
import http.server
import json
import os
import signal
import socket
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
    return run_file(helper, stdin_path, env, scratch)


def run_file(helper, stdin_path, env, scratch):
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
    if name in ("silent-frames-fast", "noise-frames-fast"):
        minutes, sample = (30, bytes(9600)) if name.startswith("silent") else (10, os.urandom(9600))
        path = os.path.join(scratch, "stdin")
        with open(path, "wb") as f:
            f.write(b'{"op":"listen","locale":"en-US"}\n')
            frame = struct.pack("<I", len(sample)) + sample
            for _ in range(minutes * 6):
                f.write(frame * 100)
        return run_file(helper, path, env, scratch)
    raise ValueError(name)


def client_interrupt(client, case, scratch):
    """Seconds from the first Ctrl-C to the client's exit, and its exit status."""
    env = dict(os.environ, TMPDIR=scratch, XDG_DATA_HOME=os.path.join(scratch, "home"),
               PULSE_SERVER="unix:" + os.path.join(scratch, "mute"))
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(os.path.join(scratch, "mute"))
    listener.listen(8)  # accepts, never answers
    read_end, write_end = os.pipe()
    stdin = read_end
    arguments = {"transcribe, silent pipe": ["transcribe", "-"],
                 "dictate, silent pipe": ["dictate", "-"],
                 "dictate, WAV header only": ["dictate", "-"],
                 "dictate, FLAC header only": ["dictate", "-"],
                 "dictate, mute sound server": ["dictate"],
                 "transcribe, endless zeros": ["transcribe", "-"]}[case]
    if "WAV" in case:
        os.write(write_end, b"RIFF$\0\0\0WAVE")
    if "FLAC" in case:
        os.write(write_end, b"fLaC")
    if "zeros" in case:
        stdin = open("/dev/zero", "rb")
    process = subprocess.Popen([client] + arguments, stdin=stdin, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, env=env)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:  # until its Ctrl-C handler is in place
        with open(f"/proc/{process.pid}/status") as status:
            caught = [l for l in status if l.startswith("SigCgt:")]
        if caught and int(caught[0].split()[1], 16) & 2:
            break
        time.sleep(0.005)
    time.sleep(0.5)  # well into the wait
    started = time.monotonic()
    process.send_signal(signal.SIGINT)
    try:
        status = process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        process.kill()
        status = "still running after 30 s"
    seconds = time.monotonic() - started
    os.close(write_end)
    listener.close()
    left = [n for n in os.listdir(scratch) if n not in ("mute", "home")]
    return seconds, status, left


def client_locales(client, scratch):
    home = os.path.join(scratch, "home")
    os.makedirs(os.path.join(home, "vorel-speech"))
    regions = ["US", "GB", "FR", "DE", "ES"]
    models = []
    for i in range(3000):
        language = i // 5
        locale = chr(97 + language // 26) + chr(97 + language % 26) + "-" + regions[i % 5]
        models.append({"locale": locale, "url": "https://example.org/m.tgz"})
    with open(os.path.join(home, "vorel-speech", "catalog.json"), "w") as f:
        json.dump({"models": models}, f)
    started = time.monotonic()
    done = subprocess.run([client, "locales"], capture_output=True,
                          env=dict(os.environ, XDG_DATA_HOME=home))
    return time.monotonic() - started, done.returncode, done.stdout.count(b",") + 1


def main():
    helper = sys.argv[1] if len(sys.argv) > 1 else "build/vorel-speech"
    print(f"{'case':<18} {'seconds':>8} {'peak MiB':>9} {'status':>6}  last line")
    for name in ["empty-frames", "bracket-line", "one-hertz", "endless-download",
                 "silent-frames-fast", "noise-frames-fast"]:
        with tempfile.TemporaryDirectory() as scratch:
            seconds, peak, status, last, err = case(name, helper, scratch)
        last = last if len(last) <= 100 else last[:97] + "..."
        print(f"{name:<18} {seconds:>8.2f} {peak:>9.1f} {status:>6}  {last}"
              + ("  (wrote to standard error!)" if err else ""))

    client = os.path.join(os.path.dirname(helper), "vorel-speech-client")
    print()
    print(f"{'client, first Ctrl-C':<30} {'seconds':>8} {'status':>7}  left in TMPDIR")
    for which in ["transcribe, silent pipe", "dictate, silent pipe", "dictate, WAV header only",
                 "dictate, FLAC header only", "dictate, mute sound server",
                 "transcribe, endless zeros"]:
        with tempfile.TemporaryDirectory() as scratch:
            seconds, status, left = client_interrupt(client, which, scratch)
        print(f"{which:<30} {seconds:>8.2f} {status:>7}  {left or 'nothing'}")
    with tempfile.TemporaryDirectory() as scratch:
        seconds, status, count = client_locales(client, scratch)
    print(f"{'locales, 3,000 in the catalog':<30} {seconds:>8.2f} {status:>7}  ({count} listed)")


if __name__ == "__main__":
    main()
