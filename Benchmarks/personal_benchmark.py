#!/usr/bin/env python3
"""How much the writer's own text helps: a personal journal with and without it.

The journal is the project's own: 32 earlier entries of one writer, as text, naming their
friends (names from Irish, Polish, Igbo, Japanese, Zulu and Swedish), the places they go and
their pastimes; then 12 new entries that reuse them, spoken by flite's four voices with pauses
of 0.4 to 1.5 s. For the new entries, with no personal text and with the earlier entries
learnt:
  - the word error rate of the helper transcribing the file;
  - the share of the writer's own words (the names, places and pastimes) that come out;
  - the wall time of the request.
With the text learnt, also the time `learn` took to build the personal model, and the
word error rate of the general journals A to D and of Debian's LibriVox readings (a personal
text must not make general speech worse), and live dictation of the new entries at the pace of
speech: its word error rate and how long after its speech each final came (median, longest).

A second journal, --held-out, has another writer, other names and other voices (flite's shifted
in pitch and tempo, and espeak-ng's); nothing was tuned on it: its figures are the ones to quote.

Usage: Benchmarks/personal_benchmark.py [build/vorel-speech] [--held-out] [--no-general] [--no-live]
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import recordings
from word_error_rate import alignment, errors, words

# The writer's own words: none of them wins in the general model on its own.
FRIENDS = ["siobhan", "wojciech", "nkechi", "aoife", "bartosz", "kenji", "thandiwe", "ingrid"]
PLACES = ["szczecin", "gdansk", "rathmines", "kilkenny", "ballycastle"]
PASTIMES = ["kombucha", "zumba", "bouldering", "sourdough", "crochet", "kimchi", "ukulele",
            "covid"]
OWN_WORDS = set(FRIENDS + PLACES + PASTIMES)

EARLIER = [
    "Siobhan came round for dinner and we talked about her new flat in Rathmines.",
    "Wojciech sent photos from Szczecin. The harbour looks beautiful in winter.",
    "I tried a new kombucha recipe today. The first batch was far too sour.",
    "Zumba class was packed tonight. Nkechi and I stood at the back and laughed the whole time.",
    "Went bouldering with Bartosz after work. My arms are still shaking.",
    "Fed the sourdough starter twice today. It finally smells right.",
    "Aoife called from Kilkenny. Her mother is feeling better.",
    "Kenji taught me how to make kimchi. We filled three jars.",
    "I started a crochet blanket for Thandiwe's baby. Blue and yellow squares.",
    "Ingrid played the ukulele at the party and everybody sang along.",
    "Still tired after the covid booster. Stayed in and read all afternoon.",
    "Took the train to Gdansk with Wojciech. We walked along the old river front.",
    "Siobhan and Aoife are planning a week in Ballycastle in August.",
    "My kombucha is fizzy at last. Nkechi wants to try it on Sunday.",
    "Zumba again with Nkechi. Thandiwe joined us for the first time.",
    "Bouldering at the new wall in Rathmines. Bartosz climbed the red route twice.",
    "Baked two sourdough loaves and gave one to Ingrid next door.",
    "Kenji is moving to Szczecin for work. I will miss our Friday dinners.",
    "Worked on the crochet blanket for an hour. Six squares left.",
    "Aoife sent a parcel from Kilkenny with tea and a letter.",
    "Practised the ukulele for twenty minutes. My fingers hurt.",
    "Thandiwe had her baby. A little girl. I finished the crochet blanket just in time.",
    "Wojciech says the covid rules in Gdansk have changed again.",
    "Made kimchi fried rice with Kenji's kimchi. Best lunch of the week.",
    "Bartosz wants to go bouldering in Ballycastle when we visit Siobhan.",
    "A long Zumba class tonight. Ingrid came along and loved it.",
    "Siobhan's sourdough is better than mine. She uses more water.",
    "Walked to Rathmines market with Aoife and bought a new ukulele case.",
    "Nkechi brought jollof rice and we drank my kombucha in the garden.",
    "Called Wojciech in Szczecin. His sister is getting married in May.",
    "Bouldering with Bartosz and Kenji. I finally reached the top of the blue wall.",
    "Quiet evening with crochet and the radio. Thandiwe sent photos of the baby.",
]

NEW = [
    "siobhan and i went bouldering in rathmines this morning",
    "wojciech called from szczecin to say he is coming to visit",
    "i made a new batch of kombucha and a jar of kimchi",
    "zumba class with nkechi was great fun again tonight",
    "aoife is staying with her mother in kilkenny for a week",
    "bartosz baked sourdough bread and gave me a loaf",
    "kenji and thandiwe came for dinner after the zumba class",
    "i finished another crochet square while ingrid played the ukulele",
    "we took the night train from gdansk back to szczecin",
    "siobhan says the weather in ballycastle has been lovely",
    "nkechi had covid last week but she is feeling better now",
    "tomorrow i will go bouldering with bartosz and aoife",
]
PAUSES = [0.6, 1.2, 0.4, 1.5, 0.8, 0.5]
VOICES = ["slt", "rms", "awb", "kal16"]

# A second writer, held out: nothing of the personal words' building was tuned on this journal,
# its names or its voices (flite's shifted in pitch and tempo, and espeak-ng's). Its new entries
# also say the writer's names as possessives and plurals the earlier entries may not hold.
FRIENDS_2 = ["priya", "chidi", "anya", "emeka", "mairead", "tadhg", "yusuf", "oksana"]
PLACES_2 = ["ljubljana", "kyiv", "howth", "portobello", "clonakilty"]
PASTIMES_2 = ["pilates", "kayaking", "macrame", "paddleboarding", "matcha", "tagine", "sudoku"]
OWN_WORDS_2 = set(FRIENDS_2 + PLACES_2 + PASTIMES_2)

EARLIER_2 = [
    "Priya and I went kayaking off Howth this morning. The sea was flat and grey.",
    "Chidi is back from Kyiv. He brought me a painted egg for the shelf.",
    "Pilates at half seven. Anya says my back is getting stronger.",
    "Emeka cooked a lamb tagine and we ate it in the garden until dark.",
    "Mairead rang from Clonakilty. The bakery there is doing well.",
    "Tadhg finally finished the macrame plant hanger he started in spring.",
    "Yusuf and I did the sudoku on the train to Portobello.",
    "Oksana made matcha for everyone at work. Nobody liked it but her.",
    "Paddleboarding in Portobello with Priya. I fell in twice.",
    "Chidi wants to spend a month in Ljubljana next summer.",
    "Anya has a new pilates studio near the canal.",
    "Emeka and Tadhg argued about football for an hour.",
    "Mairead is coming up from Clonakilty for the wedding.",
    "A long walk around Howth head with Yusuf. We saw seals.",
    "Oksana's sister is still in Kyiv. She worries about her every day.",
    "Made a macrame wall hanging for Anya's birthday.",
    "Kayaking again with Priya and Chidi. My shoulders ache.",
    "Emeka lent me a book about Ljubljana and its bridges.",
    "Tried matcha with oat milk. Better than I expected.",
    "Tadhg and Mairead got engaged on the beach at Clonakilty.",
    "Sudoku before bed. The hard one took me forty minutes.",
    "Yusuf is learning to cook tagine from his grandmother.",
    "Pilates with Anya and Oksana, then coffee in Portobello.",
    "Priya booked flights to Ljubljana for October.",
    "Chidi called from Kyiv. The trains are running again.",
    "Paddleboarding lesson in Howth. Emeka stood up on his first try.",
    "Oksana brought matcha cake to the office.",
    "Finished the macrame basket. Tadhg wants one for his flat.",
    "Mairead and I did the crossword and the sudoku on Sunday.",
    "Yusuf's tagine was even better than Emeka's.",
]

NEW_2 = [
    "priya and chidi went kayaking in howth on saturday",
    "anya moved her pilates class to thursday evenings",
    "emeka's tagine was the best thing i ate all week",
    "mairead sent a postcard from clonakilty with a picture of the harbour",
    "tadhg is making macrame hangers for the market",
    "yusuf and oksana are planning a trip to ljubljana",
    "i did two sudoku puzzles on the bus to portobello",
    "oksana's family in kyiv are safe and well",
    "paddleboarding with priya was harder than it looked",
    "chidi's sister drinks matcha every morning",
    "we had dinner at emeka's and talked about kyiv",
    "anya and tadhg went to pilates together for the first time",
]
VOICES_2 = ["slt@pitch=-250,tempo=1.08", "rms@pitch=180,tempo=0.92", "awb@pitch=120,tempo=1.1",
            "kal16@pitch=-150", "espeak:en-us", "espeak:en-gb-x-rp"]
PAUSES_2 = [0.9, 0.5, 1.3, 0.7, 1.1, 0.6]

JOURNALS = {
    "tuned": (EARLIER, NEW, OWN_WORDS, VOICES, PAUSES),
    "held-out": (EARLIER_2, NEW_2, OWN_WORDS_2, VOICES_2, PAUSES_2),
}


def transcribe(helper, wav, data_home):
    env = dict(os.environ, XDG_DATA_HOME=data_home)
    request = json.dumps({"op": "transcribe", "locale": "en-US", "path": wav}) + "\n"
    started = time.monotonic()
    done = subprocess.run([helper], input=request, capture_output=True, text=True, env=env,
                          check=True)
    seconds = time.monotonic() - started
    text = " ".join(seg["text"] for line in done.stdout.splitlines()
                    if (event := json.loads(line))["kind"] == "segments"
                    for seg in event["segments"])
    return text, seconds


def own_word(word, own_words):
    """Whether a spoken word is one of the writer's own, or its possessive or plural."""
    return any(word in (w, w + "'s", w + "s") for w in own_words)


def own_words_heard(reference, hypothesis, own_words, only=None):
    """The share of the reference's own words that the hypothesis has in their place (of those
    at the reference word indices `only`, when given)."""
    ref, hyp = words(reference), words(hypothesis)
    heard = {i for j, i in enumerate(alignment(reference, hypothesis))
             if i is not None and hyp[j] == ref[i]}
    own = [i for i, w in enumerate(ref)
           if own_word(w, own_words) and (only is None or i in only)]
    return sum(i in heard for i in own) / len(own) if own else float("nan")


def by_voice(script_sentences, voices, reference, hypothesis, own_words):
    """Own words heard for each voice's sentences."""
    at, spoken_by = 0, {}
    for n, sentence in enumerate(script_sentences):
        count = len(words(sentence))
        spoken_by.setdefault(voices[n % len(voices)], set()).update(range(at, at + count))
        at += count
    return {voice: own_words_heard(reference, hypothesis, own_words, indices)
            for voice, indices in spoken_by.items()}


def learn(helper, data_home, earlier):
    """The earlier entries put in place as the journaling application would, then learnt by the
    client (a request never waits for a build: the first after a new text still goes without
    it); the seconds learning took."""
    folder = os.path.join(data_home, "vorel-speech", "personal", "en-US")
    os.makedirs(folder, mode=0o700, exist_ok=True)
    with open(os.path.join(folder, "journal.txt"), "w") as out:
        out.write("\n".join(earlier) + "\n")
    client = os.path.join(os.path.dirname(helper), "vorel-speech-client")
    started = time.monotonic()
    subprocess.run([client, "learn", "--list", "--helper", helper], check=True,
                   stdout=subprocess.DEVNULL, env=dict(os.environ, XDG_DATA_HOME=data_home))
    return time.monotonic() - started


def live_finals(helper, wav, data_home, scratch):
    """Live dictation at the pace of speech: (text, [seconds from speech end to its final])."""
    import live_benchmark
    audio = live_benchmark.wav_audio(wav, scratch)
    old = os.environ.get("XDG_DATA_HOME")
    os.environ["XDG_DATA_HOME"] = data_home  # the helper's environment
    try:
        lines, written = live_benchmark.stream(helper, audio, 1)
    finally:
        if old is None:
            del os.environ["XDG_DATA_HOME"]
        else:
            os.environ["XDG_DATA_HOME"] = old
    text, waits = [], []
    for at, event in lines:
        if event["kind"] == "segments":
            for seg in event["segments"]:
                text.append(seg["text"])
                waits.append(at - written[min(len(written) - 1, seg["endMs"] // 100)])
    return " ".join(text), waits


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    helper = os.path.abspath(args[0] if args else "build/vorel-speech")
    journal = "held-out" if "--held-out" in sys.argv else "tuned"
    earlier, new, own_words, voices, pauses = JOURNALS[journal]
    scratch = tempfile.mkdtemp(prefix="vorel-personal-")
    try:
        wav, script, _ = recordings.sentences(scratch, "personal", new, voices, pauses)
        plain = os.path.join(scratch, "plain")
        personal = os.path.join(scratch, "personal-home")
        os.makedirs(plain)
        learning = learn(helper, personal, earlier)
        earlier_words = sum(len(words(e)) for e in earlier)
        print(f"personal journal ({journal}): {len(earlier)} earlier entries ({earlier_words} "
              f"words), {len(new)} new ones spoken ({recordings.seconds(wav):.0f} s, "
              f"{sum(own_word(w, own_words) for w in words(script))} of the writer's own words)")
        print(f"  voices: {', '.join(voices)}")

        text, seconds = transcribe(helper, wav, plain)
        wrong, count = errors(script, text)
        print(f"  without the text:  word error rate {wrong / count:.3f}, own words heard "
              f"{own_words_heard(script, text, own_words):.2f}, request {seconds:.2f} s")
        text, seconds = transcribe(helper, wav, personal)
        wrong, count = errors(script, text)
        print(f"  with the text:     word error rate {wrong / count:.3f}, own words heard "
              f"{own_words_heard(script, text, own_words):.2f}, request {seconds:.2f} s "
              f"(learning it took {learning:.2f} s)")
        for voice, share in by_voice(new, voices, script, text, own_words).items():
            print(f"    own words heard in {voice}'s sentences: {share:.2f}")
        print(f"  heard: {text}")

        if "--no-live" not in sys.argv:
            for name, home in (("without", plain), ("with", personal)):
                text, waits = live_finals(helper, wav, home, scratch)
                wrong, count = errors(script, text)
                print(f"  live, {name} the text: word error rate {wrong / count:.3f}, finals "
                      f"after their speech: median {statistics.median(waits):.2f} s, longest "
                      f"{max(waits):.2f} s")

        if "--no-general" not in sys.argv:
            print("general speech, without and with the personal text:")
            general = [(name, w, s) for name, w, s, _ in recordings.journals(scratch)]
            lv, reference = recordings.librivox(scratch)
            general.append(("librivox", lv, reference))
            for name, w, s in general:
                rates = []
                for home in (plain, personal):
                    text, _ = transcribe(helper, w, home)
                    wrong, count = errors(s, text)
                    rates.append(wrong / count)
                print(f"  {name:32} {rates[0]:.3f} -> {rates[1]:.3f} "
                      f"({100 * (rates[1] - rates[0]):+.1f} points)")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
