#!/usr/bin/env python3
"""What the second core does: journal A of Benchmarks/recordings.py (two minutes) transcribed by
vorel-speech and by pocketsphinx_continuous, each held to one core and then to two with
taskset; the best of three runs each.

Usage: Benchmarks/cores_benchmark.py [build/vorel-speech]
"""
import json
import os
import subprocess
import sys
import tempfile
import time

import recordings

MODEL = "/usr/share/pocketsphinx/model/en-us"


def best_of_three(command, stdin_text):
    best = float("inf")
    for _ in range(3):
        started = time.monotonic()
        subprocess.run(command, input=stdin_text, capture_output=True, text=True, check=True)
        best = min(best, time.monotonic() - started)
    return best


def main():
    helper = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/vorel-speech")
    with tempfile.TemporaryDirectory() as scratch:
        wav = recordings.journals(scratch)[0][1]
        cli = ["pocketsphinx_continuous", "-infile", wav, "-hmm", MODEL + "/en-us", "-lm",
               MODEL + "/en-us.lm.bin", "-dict", MODEL + "/cmudict-en-us.dict", "-logfn",
               "/dev/null"]
        request = json.dumps({"op": "transcribe", "locale": "en-US", "path": wav}) + "\n"
        print(f"journal A, {recordings.seconds(wav):.0f} s of audio; best of three runs")
        for cores in ["0", "0,1"]:
            pinned = ["taskset", "-c", cores]
            mine = best_of_three(pinned + [helper], request)
            theirs = best_of_three(pinned + cli, "")
            print(f"  cores {cores:<4} helper {mine:6.2f} s   CLI {theirs:6.2f} s   "
                  f"helper / CLI {mine / theirs:.2f}")


if __name__ == "__main__":
    main()
