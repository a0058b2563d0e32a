"""Scans between changes see the store as it is at that moment: whether the scan runs on a
compiled index, on the store's own walk after a change, or compiles on the way."""

import random

import pytest

from helpers import ALPHABETS, build, each_seed, random_case, run


def random_word(rng, alphabet, longest):
    return "".join(rng.choice(alphabet) for _ in range(rng.randint(1, longest)))


def change(rng, kp, model, alphabet, added):
    """One random change, applied to both; some of them change nothing."""
    roll = rng.random()
    if roll < 0.4:
        keyword = rng.choice(added) if added and rng.random() < 0.3 else random_word(rng, alphabet, 4)
        clean = rng.choice([None, None, "clean", "é"])
        kp.add_keyword(keyword, clean)
        model.add_keyword(keyword, clean)
        added.append(keyword)
    elif roll < 0.6 and added:
        keyword = rng.choice(added)
        assert kp.remove_keyword(keyword) == model.remove_keyword(keyword)
    elif roll < 0.75:
        char = rng.choice(alphabet + "_é")
        kp.add_non_word_boundary(char)
        model.word_chars.add(ord(char))


@pytest.mark.slow  # a randomized differential run
@each_seed(range(3))
def test_every_scan_sees_the_latest_change(seed):
    rng = random.Random(seed)
    for _ in range(40):
        options, keywords, _ = random_case(rng)
        kp, model = build(options, keywords)
        alphabet = rng.choice(ALPHABETS)
        added = [k for k, _ in keywords]
        for _ in range(25):
            change(rng, kp, model, alphabet, added)
            if rng.random() < 0.3:
                # Long enough to make the next exact scan compile the index at once.
                text = random_word(rng, alphabet, 3000)
                threshold = None
            else:
                text = random_word(rng, alphabet, 12)
                threshold = rng.choice([None, None, 0.9, 0.75])
            expected = model.extract(text, threshold)
            assert run(kp, text, threshold) == expected, (options, added, text, threshold)
            if options["case_sensitive"] or len(text.lower().encode()) == len(text.encode()):
                # The model's replacement takes scan offsets as input offsets.
                assert kp.replace_keywords(text, threshold) == model.replace(text, threshold)
