"""Extract and replace keywords in a text file with fernquill.

Usage: python examples/demo.py [KEYWORDS.tsv] [TEXT.txt] [--threshold T]
"""

import argparse
import pathlib
import pickle

import fernquill

HERE = pathlib.Path(__file__).parent


def load_processor(path):
    kp = fernquill.KeywordProcessor()
    for line in path.read_text(encoding="utf-8").splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        keyword, _, clean_name = line.partition("\t")
        kp.add_keyword(keyword, clean_name or None)
    return kp


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("keywords", nargs="?", default=HERE / "data" / "keywords.tsv", type=pathlib.Path)
    parser.add_argument("text", nargs="?", default=HERE / "data" / "articles.txt", type=pathlib.Path)
    parser.add_argument("--threshold", type=float, default=0.8)
    args = parser.parse_args()

    kp = load_processor(args.keywords)
    print(f"{kp!r} from {args.keywords}")
    lines = args.text.read_text(encoding="utf-8").splitlines()

    for number, line in enumerate(lines, 1):
        print(f"\nline {number}: {line}")
        for match in kp.extract_keywords(line):
            print(f"  exact   {match!r}")
        for match in kp.extract_keywords(line, args.threshold):
            if match.similarity < 1.0:
                print(f"  approx  {match!r}")
        print(f"  replaced: {kp.replace_keywords(line)}")

    # The batch methods give the same results for all lines at once.
    batch = kp.parallel_replace_keywords_from_texts(lines)
    assert batch == [kp.replace_keywords(line) for line in lines]

    # A processor survives pickling with its keywords and options.
    copy = pickle.loads(pickle.dumps(kp))
    assert copy.get_all_keywords() == kp.get_all_keywords()
    print(f"\n{len(lines)} lines, batch and pickled copy agree")


if __name__ == "__main__":
    main()
