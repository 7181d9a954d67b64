#!/usr/bin/env python3
"""32 helpers at once on this machine: a mix of "platform", "transcribe" and "listen" requests
started together. Every one must finish with correct, complete output. Prints how long the lot
took and how each kind fared.

Usage: Benchmarks/load_benchmark.py [build/vorel-speech] [helpers]
"""
import json
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time

READING = "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0880.wav"


def main():
    helper = sys.argv[1] if len(sys.argv) > 1 else "build/vorel-speech"
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 32
    with tempfile.TemporaryDirectory() as scratch:
        raw = os.path.join(scratch, "reading.raw")
        subprocess.run(["sox", "-D", READING, "-r", "48000", "-c", "1", "-b", "16", "-e",
                        "signed-integer", "-t", "raw", raw], check=True)
        audio = open(raw, "rb").read()
        frames = b"".join(struct.pack("<I", len(audio[i:i + 9600])) + audio[i:i + 9600]
                          for i in range(0, len(audio), 9600))
        kinds = ["platform", "transcribe", "listen"]
        jobs = []
        for n in range(count):
            kind = kinds[n % 3]
            if kind == "platform":
                stdin = b'{"op":"platform"}\n'
            elif kind == "transcribe":
                stdin = json.dumps({"op": "transcribe", "locale": "en-US", "path": READING}).encode() + b"\n"
            else:
                stdin = b'{"op":"listen","locale":"en-US"}\n' + frames
            jobs.append({"kind": kind, "stdin": stdin})

        def run(job):
            started = time.monotonic()
            done = subprocess.run([helper], input=job["stdin"], capture_output=True)
            job["seconds"] = time.monotonic() - started
            lines = [json.loads(line) for line in done.stdout.decode().splitlines()]
            job["ok"] = done.returncode == 0 and not done.stderr and check(job["kind"], lines)
            job["last"] = lines[-1] if lines else None

        def check(kind, lines):
            if kind == "platform":
                return lines == [{"floorMet": True, "osVersion": "macOS 26.0.0"}]
            text = " ".join(s["text"] for e in lines if e["kind"] == "segments" for s in e["segments"])
            return bool(lines) and lines[-1] == {"kind": "done"} and "young man" in text and \
                sum(1 for e in lines if e["kind"] == "done") == 1

        began = time.monotonic()
        threads = [threading.Thread(target=run, args=(job,)) for job in jobs]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        took = time.monotonic() - began
        print(f"{count} helpers at once on {os.cpu_count()} cores: all finished in {took:.1f} s")
        for kind in kinds:
            mine = [j for j in jobs if j["kind"] == kind]
            good = sum(j["ok"] for j in mine)
            slowest = max(j["seconds"] for j in mine)
            print(f"  {kind:10s} {good:2d}/{len(mine)} correct and complete, slowest {slowest:5.1f} s")
        bad = [j for j in jobs if not j["ok"]]
        for j in bad:
            print(f"  FAILED {j['kind']}: last line {j['last']}")
        sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
