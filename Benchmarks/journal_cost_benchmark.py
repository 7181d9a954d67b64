#!/usr/bin/env python3
"""What a big personal journal costs: learning it, the model it makes, and every request after.

Makes a 10 MB journal (about a decade of daily entries) of the worst kind for the personal
model: sentences of words drawn at random from the whole dictionary, with made-up names in half
of them, so that hardly an n-gram repeats and thousands of words are the writer's own. Learns it
with the client (`learn`, timed, with the peak memory of the client and the model checker),
then transcribes the bundled sample without and with it, in turn (the best of five, in wall
and CPU seconds, with the helper's peak memory).

Usage: Benchmarks/journal_cost_benchmark.py [build/vorel-speech] [--megabytes N]
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile

DICTIONARY = "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict"
SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "samples",
                      "journal-note.flac")


def journal(path, megabytes):
    random.seed(1)
    with open(DICTIONARY) as lines:
        words = [line.split()[0] for line in lines if "(" not in line.split()[0]]
    names = [f"Zorbly{i}" for i in range(3000)] + ["Priya", "Chidi", "Ljubljana", "Siobhan"]
    size, out = 0, []
    while size < megabytes * 1_000_000:
        sentence = [random.choice(words) for _ in range(random.randint(6, 18))]
        if random.random() < 0.5:
            sentence[random.randrange(len(sentence))] = random.choice(names)
        line = " ".join(sentence).capitalize() + ".\n"
        out.append(line)
        size += len(line)
    with open(path, "w") as file:
        file.write("".join(out))


def timed(command, env):
    """Wall seconds, the peak resident memory (MiB) of the command or the largest process it
    waited for, and the CPU seconds of all of them, by GNU time in a process of its own."""
    done = subprocess.run(["/usr/bin/time", "-f", "%e %M %U %S", *command], env=env, check=True,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    seconds, kilobytes, user, system = done.stderr.strip().splitlines()[-1].split()
    return float(seconds), int(kilobytes) / 1024, float(user) + float(system)


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    helper = os.path.abspath(args[0] if args else "build/vorel-speech")
    client = os.path.join(os.path.dirname(helper), "vorel-speech-client")
    megabytes = 10
    if "--megabytes" in sys.argv:
        megabytes = float(sys.argv[sys.argv.index("--megabytes") + 1])
    scratch = tempfile.mkdtemp(prefix="vorel-journal-cost-")
    try:
        text = os.path.join(scratch, "journal.txt")
        journal(text, megabytes)
        plain = dict(os.environ, XDG_DATA_HOME=os.path.join(scratch, "plain"))
        personal = dict(os.environ, XDG_DATA_HOME=os.path.join(scratch, "personal"))
        seconds, peak, _ = timed([client, "learn", text, "--helper", helper], personal)
        built = os.path.join(scratch, "personal", "vorel-speech", "models", ".personal", "en-US")
        model = sum(os.path.getsize(os.path.join(root, name))
                    for root, _, names in os.walk(built) for name in names
                    if name == "personal.lm")
        print(f"a {megabytes:g} MB journal of random dictionary words: learnt in {seconds:.1f} s, "
              f"peak {peak:.0f} MiB (client and checker), language model {model / 1e6:.1f} MB")
        # Taken in turn, so that a busy moment of the machine falls on both alike.
        runs = {"without the journal": (plain, []), "with the journal": (personal, [])}
        for _ in range(5):
            for env, taken in runs.values():
                taken.append(timed([client, "transcribe", SAMPLE, "--format", "txt",
                                    "--helper", helper], env))
        best = {}
        for name, (_, taken) in runs.items():
            best[name] = (min(r[0] for r in taken), min(r[2] for r in taken))
            print(f"  a request {name}: {best[name][0]:.2f} s, {best[name][1]:.2f} CPU-s (best "
                  f"of five), peak {max(r[1] for r in taken):.0f} MiB")
        (wall0, cpu0), (wall1, cpu1) = best.values()
        print(f"  with the journal a request takes {wall1 / wall0:.2f} times as long, "
              f"{cpu1 / cpu0:.2f} times the CPU")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
