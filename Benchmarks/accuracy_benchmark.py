#!/usr/bin/env python3
"""How well vorel-speech hears, against pocketsphinx_continuous on the same model.

Recordings, made here:
  - journal: 24 journal sentences in four flite voices (slt, rms, awb, kal16), with pauses of
    0.4 to 2 s between them, about two minutes at 16 kHz;
  - journal +20 dB, journal +10 dB: the same mixed with pink noise at that signal-to-noise
    ratio (sox);
  - librivox: Debian's five LibriVox readings joined (pocketsphinx-testdata).

For each, the word error rate of the command-line recogniser, of the helper transcribing the
file, and of the helper dictating it live (frames of 100 ms at 48 kHz) at the pace of speech
and at three times that pace; and for the file, wall time and peak memory of both (GNU time).
Words compare in lower case.

Usage: Benchmarks/accuracy_benchmark.py [build/vorel-speech] [--skip-live-1x] [--file-only]
"""
import json
import os
import re
import struct
import subprocess
import sys
import tempfile
import threading
import time

from word_error_rate import wer

LIBRIVOX = "/usr/share/pocketsphinx/test/data/librivox"
MODEL = "/usr/share/pocketsphinx/model/en-us"
VOICES = ["slt", "rms", "awb", "kal16"]
PAUSES = [0.4, 1.2, 0.7, 2.0, 0.5, 1.5, 0.9, 0.4, 1.8, 0.6, 1.0, 0.8]
SENTENCES = [
    "today i woke up early and went for a long walk by the river",
    "the morning was cold but the sun came out after breakfast",
    "i called my sister to ask about her new job in the city",
    "she told me that the first week had been hard but interesting",
    "in the afternoon i worked on the garden and planted some tomatoes",
    "the neighbours came over for coffee and we talked about the summer",
    "i need to remember to buy bread and milk tomorrow morning",
    "my back hurts a little from carrying the heavy bags",
    "i finished reading the book about the history of the old town",
    "it made me think about my grandmother and the stories she told",
    "we had soup for dinner and watched a film about the ocean",
    "the children were tired and went to bed before nine",
    "i feel grateful for a quiet day with nothing urgent to do",
    "next week i have a meeting with the doctor on tuesday",
    "i should write a letter to my friend who moved to the coast",
    "the rain started in the evening and the street was very quiet",
    "i made a list of things i want to do before the end of the year",
    "learning to play the piano is still at the top of that list",
    "my brother says he will visit us at the end of the month",
    "we are planning to cook a big meal and invite the whole family",
    "i noticed that the birds come back to the tree every morning",
    "tomorrow i want to start running again after a long break",
    "the house feels warm and calm when everyone is asleep",
    "that is all for today and i am going to sleep now",
]


def sox(*args):
    subprocess.run(["sox", "-D", *args], check=True, capture_output=True)


def rms(path):
    out = subprocess.run(["sox", path, "-n", "stat"], capture_output=True, text=True).stderr
    return float(re.search(r"RMS\s+amplitude:\s+([0-9.]+)", out).group(1))


def journal(scratch):
    parts = []
    for n, sentence in enumerate(SENTENCES):
        raw = os.path.join(scratch, f"s{n}.wav")
        subprocess.run(["flite", "-voice", VOICES[n % len(VOICES)], "-t", sentence, "-o", raw],
                       check=True)
        wav = os.path.join(scratch, f"s{n}-16k.wav")
        sox(raw, "-r", "16000", "-c", "1", "-b", "16", wav)
        pause = os.path.join(scratch, f"p{n}.wav")
        sox("-n", "-r", "16000", "-c", "1", "-b", "16", pause, "trim", "0",
            str(PAUSES[n % len(PAUSES)]))
        parts += [wav, pause]
    out = os.path.join(scratch, "journal.wav")
    sox(os.path.join(scratch, "p0.wav"), *parts, out)
    return out, " ".join(SENTENCES)


def noisy(scratch, clean, snr):
    seconds = float(subprocess.run(["soxi", "-D", clean], capture_output=True,
                                   text=True).stdout)
    unit = os.path.join(scratch, "pink.wav")
    sox("-R", "-n", "-r", "16000", "-c", "1", "-b", "16", unit, "synth", str(seconds),
        "pinknoise", "vol", "0.1")
    # Speech level over the whole file includes its pauses; measure it over the speech alone.
    speech = os.path.join(scratch, "speech-only.wav")
    sox(clean, speech, "silence", "1", "0.05", "0.5%", "-1", "0.3", "0.5%")
    volume = 0.1 * rms(speech) / rms(unit) / 10 ** (snr / 20)
    noise = os.path.join(scratch, f"noise-{snr}.wav")
    sox("-R", "-n", "-r", "16000", "-c", "1", "-b", "16", noise, "synth", str(seconds),
        "pinknoise", "vol", f"{volume:.6f}")
    out = os.path.join(scratch, f"journal-{snr}db.wav")
    sox("-m", clean, noise, out)
    return out


def librivox(scratch):
    ids = open(os.path.join(LIBRIVOX, "fileids")).read().split()
    out = os.path.join(scratch, "librivox.wav")
    sox(*[os.path.join(LIBRIVOX, i + ".wav") for i in ids], out)
    reference = " ".join(re.sub(r"</?s>|\(.*\)", "", line).strip()
                         for line in open(os.path.join(LIBRIVOX, "transcription")))
    return out, reference


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
    sox(wav, "-r", "48000", "-c", "1", "-b", "16", "-e", "signed-integer", "-t", "raw", raw)
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


def main():
    helper = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 and not sys.argv[1].startswith("-")
                             else "build/vorel-speech")
    file_only = "--file-only" in sys.argv
    skip_1x = "--skip-live-1x" in sys.argv or file_only
    with tempfile.TemporaryDirectory() as scratch:
        clean, script = journal(scratch)
        recordings = [("journal", clean, script),
                      ("journal +20 dB", noisy(scratch, clean, 20), script),
                      ("journal +10 dB", noisy(scratch, clean, 10), script),
                      ("librivox", *librivox(scratch))]
        print(f"{'recording':<16} {'secs':>5}  {'WER cli':>7} {'file':>6} {'live1x':>6} "
              f"{'live3x':>6}  {'time file/cli':>15}  {'peak MiB file/cli':>17}")
        for name, wav, reference in recordings:
            seconds = float(subprocess.run(["soxi", "-D", wav], capture_output=True,
                                           text=True).stdout)
            cli, cli_time, cli_peak = timed(
                ["pocketsphinx_continuous", "-infile", wav, "-hmm", MODEL + "/en-us", "-lm",
                 MODEL + "/en-us.lm.bin", "-dict", MODEL + "/cmudict-en-us.dict", "-logfn",
                 "/dev/null"], b"", scratch)
            request = json.dumps({"op": "transcribe", "locale": "en-US", "path": wav}) + "\n"
            out, file_time, file_peak = timed([helper], request.encode(), scratch)
            file_wer = wer(reference, segments_text(out))
            live1 = "-" if skip_1x else f"{wer(reference, live(helper, wav, 1, scratch)):.3f}"
            live3 = "-" if file_only else f"{wer(reference, live(helper, wav, 3, scratch)):.3f}"
            print(f"{name:<16} {seconds:>5.0f}  {wer(reference, cli):>7.3f} {file_wer:>6.3f} "
                  f"{live1:>6} {live3:>6}  {file_time:>6.2f}/{cli_time:<6.2f} s  "
                  f"{file_peak:>7.1f}/{cli_peak:<7.1f}")


if __name__ == "__main__":
    main()
