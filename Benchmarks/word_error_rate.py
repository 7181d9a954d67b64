"""Word error rate of a hypothesis against a reference: words compare in lower case, without
punctuation (the helper writes "I'm" and capitalises a segment's first word; the references and
pocketsphinx_continuous are lower case)."""
import re


def words(text):
    return re.sub(r"[^a-z' ]", " ", text.lower()).split()


def wer(reference, hypothesis):
    wrong, count = errors(reference, hypothesis)
    return wrong / count


def errors(reference, hypothesis):
    """The word errors (substitutions, insertions, deletions) and the reference's length."""
    ref, hyp = words(reference), words(hypothesis)
    row = list(range(len(hyp) + 1))
    for i in range(1, len(ref) + 1):
        diagonal, row[0] = row[0], i
        for j in range(1, len(hyp) + 1):
            above = row[j]
            row[j] = min(row[j] + 1, row[j - 1] + 1, diagonal + (ref[i - 1] != hyp[j - 1]))
            diagonal = above
    return row[len(hyp)], len(ref)
