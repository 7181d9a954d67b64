"""Recordings the benchmarks make for themselves: journals spoken by flite's voices with
different sentences and pause patterns, pink noise mixed in with sox, and Debian's LibriVox
readings. Each journal comes with its script, and with where its sentences end (in seconds)."""
import os
import re
import subprocess

LIBRIVOX = "/usr/share/pocketsphinx/test/data/librivox"

# Journal A: four voices in turn, pauses of 0.4 to 2 s between sentences.
JOURNAL_A = [
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
PAUSES_A = [0.4, 1.2, 0.7, 2.0, 0.5, 1.5, 0.9, 0.4, 1.8, 0.6, 1.0, 0.8]

# Journal B: other sentences and voices, and only 0.3 to 0.5 s between sentences, as people
# speak when they do not stop to think.
JOURNAL_B = [
    "this morning the train was late again so i walked to work",
    "it took almost an hour but the weather was nice",
    "at lunch i sat in the park and watched the ducks on the pond",
    "my colleague brought a cake because it was her birthday",
    "in the evening i went to the market to buy fresh fish",
    "the man at the stall told me how to cook it with lemon",
    "after dinner i called my mother and we talked for a long time",
    "she wants to come and stay with us in the spring",
    "i have to clean the spare room before she arrives",
    "the cat slept on my lap while i was reading",
    "i am trying to go to bed earlier this month",
    "tomorrow i will ride my bike to the office if it does not rain",
    "i still need to pay the bill for the water",
    "my daughter has a school concert on friday evening",
    "she has been practising the same song every night",
    "i think it will be a good week",
]
PAUSES_B = [0.3, 0.5, 0.4, 0.35, 0.45, 0.3, 0.5, 0.4]

# Journal C: one long passage in one voice with no pause between its sentences but the breath
# flite takes at a full stop.
JOURNAL_C = [
    "last summer we drove to the mountains for a week",
    "the road was narrow and the car was full of bags and boxes",
    "on the first day it rained so we played cards in the kitchen",
    "then the sky cleared and we walked up to the lake above the village",
    "the water was so cold that nobody wanted to swim",
    "my son found a small green frog and carried it all the way back",
    "in the evenings we made a fire and told stories until late",
    "on the last morning we saw a deer standing at the edge of the forest",
    "i would like to go back there next year with the whole family",
    "it was the best holiday we have had in a long time",
]

# Journal D: sentences spoken in clauses, with a pause of 0.4 to 0.6 s inside sentences as well
# as between them (0.5 to 0.9 s): where a sentence ends cannot be told from the pause alone.
JOURNAL_D = [
    ["when i got home from work", "the kitchen was full of smoke"],
    ["my son had tried to bake bread", "but he forgot about it"],
    ["we opened all the windows", "and went out for a walk"],
    ["on the way back", "we stopped at the bakery on the corner"],
    ["the baker laughed when he heard the story"],
    ["after dinner", "i helped my son with his homework"],
    ["he has to write about a person he admires", "and he chose his grandfather"],
    ["i was surprised", "because they have not met very often"],
    ["before going to bed", "i read a few pages of my book"],
    ["it was a strange day", "but a good one"],
]
PAUSES_D = [0.4, 0.6, 0.5, 0.45, 0.55]  # inside a sentence
ENDS_D = [0.7, 0.5, 0.9, 0.6, 0.8]  # after one


def sox(*args):
    subprocess.run(["sox", "-D", *args], check=True, capture_output=True)


def seconds(path):
    return float(subprocess.run(["soxi", "-D", path], capture_output=True, text=True,
                                check=True).stdout)


def _speak(scratch, name, text, voice):
    """`voice` is a flite voice ("slt"), an espeak-ng one ("espeak:en-us"), either with sox's
    pitch (cents) and tempo shifts after "@" ("slt@pitch=-200,tempo=1.1")."""
    voice, _, shifts = voice.partition("@")
    raw = os.path.join(scratch, name + "-raw.wav")
    if voice.startswith("espeak:"):
        subprocess.run(["espeak-ng", "-v", voice[len("espeak:"):], "-w", raw, text], check=True)
    else:
        subprocess.run(["flite", "-voice", voice, "-t", text, "-o", raw], check=True)
    effects = []
    for shift in filter(None, shifts.split(",")):
        effect, _, value = shift.partition("=")
        effects += [effect, value]
    wav = os.path.join(scratch, name + ".wav")
    sox(raw, "-r", "16000", "-c", "1", "-b", "16", wav, *effects)
    return wav


def _silence(scratch, length):
    path = os.path.join(scratch, f"silence-{length}.wav")
    if not os.path.exists(path):
        sox("-n", "-r", "16000", "-c", "1", "-b", "16", path, "trim", "0", str(length))
    return path


def sentences(scratch, name, script, voices, pauses, lead=0.4):
    """Each sentence spoken on its own, with a pause after it; returns (wav, script text,
    sentence end times in seconds)."""
    parts, ends, at = [_silence(scratch, lead)], [], lead
    for n, sentence in enumerate(script):
        wav = _speak(scratch, f"{name}-{n}", sentence, voices[n % len(voices)])
        at += seconds(wav)
        ends.append(at)
        pause = pauses[n % len(pauses)]
        parts += [wav, _silence(scratch, pause)]
        at += pause
    out = os.path.join(scratch, name + ".wav")
    sox(*parts, out)
    return out, " ".join(script), ends


def clauses(scratch, name, script, voices):
    """Each sentence spoken clause by clause, with pauses inside and after sentences; returns
    (wav, script text, sentence end times in seconds)."""
    parts, ends, at, n = [_silence(scratch, 0.4)], [], 0.4, 0
    for s, sentence in enumerate(script):
        for c, clause in enumerate(sentence):
            wav = _speak(scratch, f"{name}-{s}-{c}", clause, voices[s % len(voices)])
            at += seconds(wav)
            last = c == len(sentence) - 1
            if last:
                ends.append(at)
            pause = (ENDS_D if last else PAUSES_D)[n % len(PAUSES_D)]
            n += 1
            parts += [wav, _silence(scratch, pause)]
            at += pause
    out = os.path.join(scratch, name + ".wav")
    sox(*parts, out)
    return out, " ".join(" ".join(sentence) for sentence in script), ends


def passage(scratch, name, script, voice):
    """The whole script as one passage, spoken at once; sentence ends are not known."""
    text = ". ".join(script) + "."
    wav = _speak(scratch, name + "-speech", text, voice)
    out = os.path.join(scratch, name + ".wav")
    sox(_silence(scratch, 0.4), wav, _silence(scratch, 1.0), out)
    return out, " ".join(script), None


def _rms(path):
    out = subprocess.run(["sox", path, "-n", "stat"], capture_output=True, text=True).stderr
    return float(re.search(r"RMS\s+amplitude:\s+([0-9.]+)", out).group(1))


def noisy(scratch, clean, snr):
    """`clean` with pink noise mixed in at `snr` dB below its speech."""
    length = seconds(clean)
    unit = os.path.join(scratch, "pink.wav")
    sox("-R", "-n", "-r", "16000", "-c", "1", "-b", "16", unit, "synth", str(length),
        "pinknoise", "vol", "0.1")
    # Speech level over the whole file includes its pauses; measure it over the speech alone.
    speech = os.path.join(scratch, "speech-only.wav")
    sox(clean, speech, "silence", "1", "0.05", "0.5%", "-1", "0.3", "0.5%")
    volume = 0.1 * _rms(speech) / _rms(unit) / 10 ** (snr / 20)
    noise = os.path.join(scratch, f"noise-{snr}.wav")
    sox("-R", "-n", "-r", "16000", "-c", "1", "-b", "16", noise, "synth", str(length),
        "pinknoise", "vol", f"{volume:.6f}")
    out = os.path.join(os.path.dirname(clean),
                       os.path.basename(clean)[:-4] + f"-{snr}db.wav")
    sox("-m", clean, noise, out)
    return out


def librivox(scratch):
    ids = open(os.path.join(LIBRIVOX, "fileids")).read().split()
    out = os.path.join(scratch, "librivox.wav")
    sox(*[os.path.join(LIBRIVOX, i + ".wav") for i in ids], out)
    reference = " ".join(re.sub(r"</?s>|\(.*\)", "", line).strip()
                         for line in open(os.path.join(LIBRIVOX, "transcription")))
    return out, reference


def journals(scratch):
    """The clean journals: [(name, wav, script, its sentences)]."""
    a = sentences(scratch, "journal-a", JOURNAL_A, ["slt", "rms", "awb", "kal16"], PAUSES_A)
    b = sentences(scratch, "journal-b", JOURNAL_B, ["kal16", "awb", "slt", "rms"], PAUSES_B)
    c = passage(scratch, "journal-c", JOURNAL_C, "rms")
    d = clauses(scratch, "journal-d", JOURNAL_D, ["awb", "slt", "kal16", "rms"])
    return [("journal A, pauses 0.4-2 s", a[0], a[1], JOURNAL_A),
            ("journal B, pauses 0.3-0.5 s", b[0], b[1], JOURNAL_B),
            ("journal C, one passage", c[0], c[1], JOURNAL_C),
            ("journal D, pauses in sentences", d[0], d[1], [" ".join(s) for s in JOURNAL_D])]
