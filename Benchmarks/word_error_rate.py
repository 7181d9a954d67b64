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


def alignment(reference, hypothesis):
    """For each hypothesis word, the reference word it stands for (a match or a substitution) in
    a least-cost alignment, or None for an inserted word."""
    ref, hyp = words(reference), words(hypothesis)
    cost = [[0] * (len(hyp) + 1) for _ in range(len(ref) + 1)]
    for i in range(len(ref) + 1):
        cost[i][0] = i
    for j in range(len(hyp) + 1):
        cost[0][j] = j
    for i in range(1, len(ref) + 1):
        for j in range(1, len(hyp) + 1):
            cost[i][j] = min(cost[i - 1][j] + 1, cost[i][j - 1] + 1,
                             cost[i - 1][j - 1] + (ref[i - 1] != hyp[j - 1]))
    stands_for = [None] * len(hyp)
    i, j = len(ref), len(hyp)
    while i > 0 and j > 0:
        if cost[i][j] == cost[i - 1][j - 1] + (ref[i - 1] != hyp[j - 1]):
            stands_for[j - 1] = i - 1
            i, j = i - 1, j - 1
        elif cost[i][j] == cost[i][j - 1] + 1:
            j -= 1
        else:
            i -= 1
    return stands_for
