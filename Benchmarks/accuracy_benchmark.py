#!/usr/bin/env python3
"""How well vorel-speech hears, against pocketsphinx_continuous on the same model.

Recordings, made here (Benchmarks/recordings.py):
  - journal A: 24 journal sentences in four flite voices, pauses of 0.4 to 2 s;
  - journal B: 16 other sentences in the voices in another order, pauses of 0.3 to 0.5 s;
  - journal C: ten sentences spoken as one passage by one voice, without pauses;
  - journal D: ten sentences spoken clause by clause, with pauses inside sentences too;
  - journal A +20 dB, +10 dB: journal A mixed with pink noise at that signal-to-noise ratio;
  - librivox: Debian's five LibriVox readings joined (pocketsphinx-testdata).

For each, the word error rate of the command-line recogniser, of the helper transcribing the
file, and of the helper dictating it live (frames of 100 ms at 48 kHz) at the pace of speech
and at three times that pace; for the file, wall time and peak memory of both (GNU time). Then
the clean journals together (all their errors over all their words) with the spread across
them. Words compare in lower case. Last, where the helper's file transcripts start sentences:
a capital at the start of a segment (other than "I", a weekday or a month) against the
sentences of the journals' scripts, as precision and recall.

Usage: Benchmarks/accuracy_benchmark.py [build/vorel-speech] [--skip-live-1x] [--file-only]
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
from word_error_rate import alignment, errors, wer, words

MODEL = "/usr/share/pocketsphinx/model/en-us"


def timed(command, stdin_bytes, scratch):
    """Runs a command under GNU time: (stdout, seconds, peak MiB)."""
    peak = os.path.join(scratch, "peak")
    started = time.monotonic()
    done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak, *command], input=stdin_bytes,
                          capture_output=True, check=True)
    seconds = time.monotonic() - started
    return done.stdout.decode(), seconds, int(open(peak).read().split()[-1]) / 1024


def segments_text(output):
    return " ".join(seg["text"] for line in output.splitlines()
                    if (event := json.loads(line))["kind"] == "segments"
                    for seg in event["segments"])


def live(helper, wav, pace, scratch):
    raw = os.path.join(scratch, "live.raw")
    recordings.sox(wav, "-r", "48000", "-c", "1", "-b", "16", "-e", "signed-integer", "-t", "raw", raw)
    audio = open(raw, "rb").read()
    process = subprocess.Popen([helper], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    out = []
    reader = threading.Thread(target=lambda: out.append(process.stdout.read()))
    reader.start()
    process.stdin.write(b'{"op":"listen","locale":"en-US"}\n')
    started = time.monotonic()
    try:
        for n, at in enumerate(range(0, len(audio), 9600)):
            frame = audio[at:at + 9600]
            process.stdin.write(struct.pack("<I", len(frame)) + frame)
            process.stdin.flush()
            wait = started + (n + 1) * 0.1 / pace - time.monotonic()
            if wait > 0:
                time.sleep(wait)
        process.stdin.close()
    except BrokenPipeError:
        pass  # the helper ended the session early: its last line says why
    reader.join()
    process.wait()
    output = out[0].decode()
    last = json.loads(output.splitlines()[-1])
    if last["kind"] != "done":
        print(f"  live at {pace}x: {last}", file=sys.stderr)
    return segments_text(output)


ALWAYS_CAPITAL = {"i", "i'm", "i'll", "i've", "i'd", "monday", "tuesday", "wednesday",
                  "thursday", "friday", "saturday", "sunday", "january", "february", "april",
                  "june", "july", "august", "september", "october", "november", "december"}


def sentence_starts(output, sentences):
    """(capitals at a sentence start, capitals, sentence starts with a capital, sentences)."""
    starts, at = set(), 0
    for sentence in sentences:
        starts.add(at)
        at += len(words(sentence))
    hypothesis, capital = [], set()
    for line in output.splitlines():
        event = json.loads(line)
        for segment in event.get("segments", []) if event["kind"] == "segments" else []:
            said = segment["text"].split()
            if said and said[0][:1].isupper() and said[0].lower() not in ALWAYS_CAPITAL:
                capital.add(len(words(" ".join(hypothesis))))
            hypothesis += said
    stands_for = alignment(" ".join(sentences), " ".join(hypothesis))
    right = sum(1 for j in capital if stands_for[j] in starts)
    found = sum(1 for j, i in enumerate(stands_for) if i in starts and j in capital)
    return right, len(capital), found, len(starts)


def main():
    helper = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 and not sys.argv[1].startswith("-")
                             else "build/vorel-speech")
    file_only = "--file-only" in sys.argv
    skip_1x = "--skip-live-1x" in sys.argv or file_only
    with tempfile.TemporaryDirectory() as scratch:
        journals = recordings.journals(scratch)
        first_wav, first_script = journals[0][1], journals[0][2]
        runs = [(name, wav, script, True) for name, wav, script, _ in journals]
        sentences_of = {name: sentences for name, _, _, sentences in journals}
        capitals = [0, 0, 0, 0]
        runs += [("journal A +20 dB", recordings.noisy(scratch, first_wav, 20), first_script,
                  False),
                 ("journal A +10 dB", recordings.noisy(scratch, first_wav, 10), first_script,
                  False),
                 ("librivox", *recordings.librivox(scratch), False)]
        print(f"{'recording':<31} {'secs':>5}  {'WER cli':>7} {'file':>6} {'live1x':>6} "
              f"{'live3x':>6}  {'time file/cli':>15}  {'peak MiB file/cli':>17}")
        together = {"cli": [0, 0], "file": [0, 0], "live1x": [0, 0], "live3x": [0, 0]}
        spread = {key: [] for key in together}
        for name, wav, reference, clean in runs:
            length = recordings.seconds(wav)
            cli, cli_time, cli_peak = timed(
                ["pocketsphinx_continuous", "-infile", wav, "-hmm", MODEL + "/en-us", "-lm",
                 MODEL + "/en-us.lm.bin", "-dict", MODEL + "/cmudict-en-us.dict", "-logfn",
                 "/dev/null"], b"", scratch)
            request = json.dumps({"op": "transcribe", "locale": "en-US", "path": wav}) + "\n"
            out, file_time, file_peak = timed([helper], request.encode(), scratch)
            heard = {"cli": cli, "file": segments_text(out)}
            if name in sentences_of:
                for k, n in enumerate(sentence_starts(out, sentences_of[name])):
                    capitals[k] += n
            if not skip_1x:
                heard["live1x"] = live(helper, wav, 1, scratch)
            if not file_only:
                heard["live3x"] = live(helper, wav, 3, scratch)
            rates = {key: wer(reference, text) for key, text in heard.items()}
            if clean:
                for key, text in heard.items():
                    wrong, count = errors(reference, text)
                    together[key][0] += wrong
                    together[key][1] += count
                    spread[key].append(rates[key])
            shown = {key: f"{rates[key]:.3f}" if key in rates else "-" for key in together}
            print(f"{name:<31} {length:>5.0f}  {shown['cli']:>7} {shown['file']:>6} "
                  f"{shown['live1x']:>6} {shown['live3x']:>6}  {file_time:>6.2f}/{cli_time:<6.2f} s"
                  f"  {file_peak:>7.1f}/{cli_peak:<7.1f}")
        print("clean journals together (spread across them):")
        for key, (wrong, count) in together.items():
            if count:
                print(f"  {key:<7} {wrong / count:.3f} ({min(spread[key]):.3f} to "
                      f"{max(spread[key]):.3f})")
        if together["file"][1]:
            ratio = together["file"][0] / max(1, together["cli"][0])
            print(f"  file / cli: {ratio:.2f} (goal: at most 0.85)")
        right, made, found, starts = capitals
        print(f"sentence starts (a capital at a segment's start, clean journals): precision "
              f"{right / max(1, made):.2f} ({right} of {made}), recall {found / max(1, starts):.2f} "
              f"({found} of {starts})")


if __name__ == "__main__":
    main()
