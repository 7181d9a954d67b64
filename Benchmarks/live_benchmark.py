#!/usr/bin/env python3
"""Live dictation through vorel-speech.

1. Latency: streams the LibriVox readings (1 s of silence after each), then journal B
   (pauses of 0.3-0.5 s) and journal C (one passage without pauses) of Benchmarks/recordings.py,
   as 100 ms frames at real-time pace, and prints, per segment, how long after the end of its
   audio was written its segments line arrived, and for every frame of speech how long until the
   next volatile (or segments) line arrived after it was written; median and 95th percentile of
   each. For the journals also: the first segments line after the first speech was written, and
   the longest wait between segments lines while speech goes on.
2. Memory: streams 10 minutes of speech (the readings over and over) at three times the pace of
   speech, which the recogniser keeps up with, and prints the helper's resident memory at 1, 5
   and 10 minutes of audio.
3. With --long: a 30-minute session of speech and long silences (20 s after each reading), at
   the same pace, with its memory at 1, 5, 10, 20 and 30 minutes.

Usage: Benchmarks/live_benchmark.py [build/vorel-speech] [--skip-memory] [--long]
"""
import json
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time

import recordings

LIBRIVOX = "/usr/share/pocketsphinx/test/data/librivox"
RATE = 48000
FRAME = 9600  # bytes: 100 ms


def percentile(values, p):
    values = sorted(values)
    if not values:
        return float("nan")
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def readings_audio(scratch, repeat=1, pause=1):
    ids = open(os.path.join(LIBRIVOX, "fileids")).read().split()
    silence = os.path.join(scratch, "silence.wav")
    subprocess.run(["sox", "-n", "-r", "16000", "-c", "1", "-b", "16", silence, "trim", "0",
                    str(pause)], check=True)
    parts = []
    for _ in range(repeat):
        for i in ids:
            parts += [os.path.join(LIBRIVOX, i + ".wav"), silence]
    raw = os.path.join(scratch, "speech.raw")
    subprocess.run(["sox", "-D"] + parts + ["-r", str(RATE), "-c", "1", "-b", "16", "-e",
                    "signed-integer", "-t", "raw", raw], check=True)
    return open(raw, "rb").read()


def stream(helper, audio, pace, on_line=None, on_frame=None):
    """Streams audio in 100 ms frames, `pace` seconds of audio per wall second (0: no pacing).
    Returns the lines with their arrival times, and the write time of every frame."""
    process = subprocess.Popen([helper], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    lines = []

    def read():
        for line in process.stdout:
            lines.append((time.monotonic(), json.loads(line)))
            if on_line:
                on_line(process, lines[-1])

    reader = threading.Thread(target=read)
    reader.start()
    process.stdin.write(b'{"op":"listen","locale":"en-US"}\n')
    process.stdin.flush()
    written = []
    start = time.monotonic()
    try:
        for n, at in enumerate(range(0, len(audio), FRAME)):
            if pace:
                delay = start + n * 0.1 / pace - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
            payload = audio[at:at + FRAME]
            process.stdin.write(struct.pack("<I", len(payload)) + payload)
            process.stdin.flush()
            written.append(time.monotonic())
            if on_frame:
                on_frame(process, n)
        process.stdin.close()
    except BrokenPipeError:
        pass  # the helper ended the session early: its last line says why
    reader.join()
    if lines and lines[-1][1]["kind"] != "done":
        print(f"the session ended early: {lines[-1][1]}", file=sys.stderr)
    process.wait()
    return lines, written


def wav_audio(wav, scratch):
    raw = os.path.join(scratch, "journal.raw")
    subprocess.run(["sox", "-D", wav, "-r", str(RATE), "-c", "1", "-b", "16", "-e",
                    "signed-integer", "-t", "raw", raw], check=True)
    return open(raw, "rb").read()


def latency(helper, scratch, audio, name, continuous=False):
    print(f"--- {name}")
    lines, written = stream(helper, audio, pace=1.0)
    frames = len(written)

    def written_at(ms):  # when the frame holding this point of the audio was written
        return written[min(frames - 1, ms // 100)]

    finals, trailing = [], []
    arrivals = [(t, e) for t, e in lines if e["kind"] in ("volatile", "segments")]
    print("utterance  end of audio  segments line after")
    for t, event in lines:
        if event["kind"] == "segments":
            segment = event["segments"][0]
            delay = t - written_at(segment["endMs"])
            finals.append(delay)
            print(f"  {len(finals):3d}      {segment['endMs'] / 1000:7.2f} s   {delay:6.2f} s")
    speech_frames = set()
    for _, event in lines:
        if event["kind"] == "segments":
            s = event["segments"][0]
            speech_frames.update(range(s["startMs"] // 100, s["endMs"] // 100))
    j = 0
    for n in sorted(speech_frames):
        while j < len(arrivals) and arrivals[j][0] < written[n]:
            j += 1
        if j < len(arrivals):
            trailing.append(arrivals[j][0] - written[n])
    print(f"last line: {lines[-1][1]}")
    segment_lines = [(t, e) for t, e in lines if e["kind"] == "segments"]
    if continuous and segment_lines:
        first_speech = written_at(segment_lines[0][1]["segments"][0]["startMs"])
        waits = [b[0] - a[0] for a, b in zip(segment_lines, segment_lines[1:])]
        print(f"first segments line {segment_lines[0][0] - first_speech:.2f} s after the first "
              f"speech was written (goal: within 8 s); longest wait between segments lines "
              f"{max(waits, default=0):.2f} s (goal: 8 s)")
    print(f"final segment after the end of its audio: median {percentile(finals, 50):.2f} s, "
          f"p95 {percentile(finals, 95):.2f} s (goal: p95 within 2.0 s)")
    print(f"volatile text behind the audio written:   median {percentile(trailing, 50):.2f} s, "
          f"p95 {percentile(trailing, 95):.2f} s (goal: p95 within 0.5 s)")


def memory(helper, scratch, minutes=10, pause=1, marks=(1, 5, 10)):
    audio = readings_audio(scratch, repeat=1, pause=pause)
    seconds = len(audio) / (2 * RATE)
    audio = audio * int(minutes * 60 / seconds + 1)
    audio = audio[:minutes * 60 * RATE * 2]
    samples = {}

    def sample(process, n):
        if (n + 1) % 600 == 0 and (n + 1) // 600 in marks:
            with open(f"/proc/{process.pid}/status") as status:
                rss = [line for line in status if line.startswith("VmRSS")][0].split()[1]
            samples[(n + 1) // 600] = int(rss) / 1024

    began = time.monotonic()
    lines, _ = stream(helper, audio, pace=3.0, on_frame=sample)
    took = time.monotonic() - began
    print(f"{minutes} minutes of audio (readings with {pause} s pauses) streamed in {took:.0f} s; "
          f"last line: {lines[-1][1]}")
    for minute in sorted(samples):
        print(f"  resident memory at {minute:2d} min of audio: {samples[minute]:6.1f} MiB")


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    helper = args[0] if args else "build/vorel-speech"
    with tempfile.TemporaryDirectory() as scratch:
        latency(helper, scratch, readings_audio(scratch), "LibriVox readings, 1 s apart")
        journals = recordings.journals(scratch)
        for name, wav, _, _ in journals[1:]:
            latency(helper, scratch, wav_audio(wav, scratch), name, continuous=True)
        if "--skip-memory" not in sys.argv:
            memory(helper, scratch)
        if "--long" in sys.argv:
            memory(helper, scratch, minutes=30, pause=20, marks=(1, 5, 10, 20, 30))


if __name__ == "__main__":
    main()
