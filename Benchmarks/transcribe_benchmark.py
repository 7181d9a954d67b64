#!/usr/bin/env python3
"""Transcribes the LibriVox test set, joined into one file, through vorel-speech and through
pocketsphinx_continuous with the same model, in one run. Prints both wall times, their ratio,
peak memory and both word error rates against the set's transcription.

Usage: Benchmarks/transcribe_benchmark.py [build/vorel-speech] [runs]
"""
import json
import os
import re
import resource
import subprocess
import sys
import tempfile
import time

from word_error_rate import wer

LIBRIVOX = "/usr/share/pocketsphinx/test/data/librivox"
MODEL = "/usr/share/pocketsphinx/model/en-us"


def measured(command, stdin_text):
    """Runs a command; returns its output, wall time and peak resident memory (KiB)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    start = time.monotonic()
    done = subprocess.run(command, input=stdin_text, capture_output=True, text=True, check=True)
    elapsed = time.monotonic() - start
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return done.stdout, elapsed, peak if peak > before else None


def main():
    helper = sys.argv[1] if len(sys.argv) > 1 else "build/vorel-speech"
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    ids = open(os.path.join(LIBRIVOX, "fileids")).read().split()
    reference = " ".join(
        re.sub(r"</?s>|\(.*\)", "", line).strip()
        for line in open(os.path.join(LIBRIVOX, "transcription")))
    with tempfile.TemporaryDirectory() as scratch:
        joined = os.path.join(scratch, "librivox.wav")
        subprocess.run(["sox"] + [os.path.join(LIBRIVOX, i + ".wav") for i in ids] + [joined],
                       check=True)
        request = json.dumps({"op": "transcribe", "locale": "en-US", "path": joined}) + "\n"
        cli = ["pocketsphinx_continuous", "-infile", joined, "-hmm", MODEL + "/en-us",
               "-lm", MODEL + "/en-us.lm.bin", "-dict", MODEL + "/cmudict-en-us.dict",
               "-logfn", "/dev/null"]
        helper_times, cli_times = [], []
        helper_peak = cli_peak = 0
        for _ in range(runs):
            # Each measured alone, in its own process tree, so that peaks are their own.
            out, t, _ = measured([sys.executable, __file__, "--peak"] + [helper], request)
            peak, text = out.split("\n", 1)
            helper_times.append(t)
            helper_peak = max(helper_peak, int(peak))
            helper_text = " ".join(
                seg["text"] for line in text.splitlines()
                if (event := json.loads(line))["kind"] == "segments" for seg in event["segments"])
            out, t, _ = measured([sys.executable, __file__, "--peak"] + cli, "")
            peak, cli_text = out.split("\n", 1)
            cli_times.append(t)
            cli_peak = max(cli_peak, int(peak))
        h, c = min(helper_times), min(cli_times)
        print(f"audio: {len(ids)} LibriVox readings joined, best of {runs} runs")
        print(f"vorel-speech            {h:7.2f} s   peak {helper_peak / 1024:6.1f} MiB   "
              f"WER {wer(reference, helper_text):.3f}")
        print(f"pocketsphinx_continuous {c:7.2f} s   peak {cli_peak / 1024:6.1f} MiB   "
              f"WER {wer(reference, ' '.join(cli_text.split())):.3f}")
        print(f"time ratio {h / c:.2f}x, memory ratio {helper_peak / cli_peak:.2f}x "
              f"(goal: both within 1.1x, WER no worse)")


def peak_of():
    """Runs the command after --peak, passing standard input through, and prints its peak RSS
    first, then its output."""
    command = sys.argv[2:]
    done = subprocess.run(command, input=sys.stdin.read(), capture_output=True, text=True)
    print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
    print(done.stdout, end="")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--peak":
        peak_of()
    else:
        main()
