"""The command's output in every mode, frozen: the SHA-256 of what it prints
(or of the files it edits in place) and its exit status, on the shipped
samples and files made from them and, in the stress tier, on a generated
20 MB corpus. Any change to what the command writes shows here; a change that
is meant comes with new checksums. Every run gives --words, whose default is
not what is frozen here."""

import gzip
import hashlib
import os
import pathlib
import random
import shutil
import subprocess
import sys

import pytest

from fernquill_tools import cli

DATA = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data"
KEYWORDS = ["-k", str(DATA / "keywords.tsv"), "-k", str(DATA / "german_keywords.tsv")]
SAMPLES = ["articles.txt", "folding.txt", "german.txt"]
# A file name that is not UTF-8: its records carry it as \udcXX escapes.
ODD_NAME = os.fsdecode(b"odd\xff.txt")


def sample_inputs(root):
    """The samples, and files made from them with what the samples lack: CR LF
    line ends, a missing final line feed, bytes that are not UTF-8, gzip, a
    folder tree and a file name that is not UTF-8."""
    text = b"".join((DATA / name).read_bytes() for name in SAMPLES)
    lines = text.split(b"\n")
    for name in SAMPLES:
        shutil.copy(DATA / name, root / name)
    (root / "crlf.txt").write_bytes(b"\r\n".join(lines[:8]) + b"\r\nno final line feed: New York")
    bad = list(lines)
    bad[2] += b" \xff New York"
    bad[5] = b"caf\xc3 Berlin \xed\xa0\x80 python"
    (root / "bad.txt").write_bytes(b"\n".join(bad))
    (root / "packed.gz").write_bytes(gzip.compress(text, mtime=0))
    (root / "tree" / "sub").mkdir(parents=True)
    (root / "tree" / "a.txt").write_bytes(lines[0] + b"\n")
    (root / "tree" / "sub" / "b.txt").write_bytes(b"\n".join(lines[3:9]))
    (root / "tree" / ODD_NAME).write_bytes(text)


# name: (arguments after the command, inputs). Each runs with each --words.
EXTRACT = {
    "lines": ([], SAMPLES),
    "bytes": (["--offsets", "bytes"], SAMPLES),
    "text": (["--with-text"], SAMPLES + ["crlf.txt"]),
    "text-bytes": (["--with-text", "--offsets", "bytes"], ["german.txt"]),
    "count": (["-c"], SAMPLES),
    "per-file": (["-c", "--per-file"], SAMPLES + ["crlf.txt"]),
    "file-records": (["--records", "file"], SAMPLES),
    "approx": (["-t", "0.8", "--with-text"], SAMPLES),
    "approx-count": (["-t", "0.7", "-c"], SAMPLES),
    "case": (["-s"], SAMPLES),
    "overlaps": (["--allow-overlaps"], SAMPLES),
    "word-chars": (["--word-chars=-é"], SAMPLES),
    "fallback": (["--fallback", "--with-text"], SAMPLES),
    "gzip": ([], ["packed.gz", "crlf.txt"]),
    "recursive": (["-r"], ["tree"]),
    "recursive-per-file": (["-r", "-c", "--per-file"], ["tree"]),
    "strict": ([], ["german.txt", "bad.txt", "articles.txt"]),
    "replace-errors": (["--errors", "replace", "--with-text"], ["bad.txt"]),
    "skip-errors": (["--errors", "skip"], ["bad.txt"]),
    "skip-errors-count": (["--errors", "skip", "-c"], ["bad.txt"]),
    "skip-file-record": (["--errors", "skip", "--records", "file"], ["bad.txt", "german.txt"]),
}
REPLACE = {
    "lines": ([], SAMPLES + ["crlf.txt"]),
    "file-records": (["--records", "file"], SAMPLES),
    "approx": (["-t", "0.8"], SAMPLES),
    "fallback": (["--fallback"], SAMPLES),
    "gzip": ([], ["packed.gz"]),
    "recursive": (["-r"], ["tree"]),
    "strict": ([], ["bad.txt", "german.txt"]),
    "replace-errors": (["--errors", "replace"], ["bad.txt"]),
    "skip-errors": (["--errors", "skip"], ["bad.txt", "crlf.txt"]),
    "in-place": (["-i"], SAMPLES + ["crlf.txt"]),
    "in-place-backup": (["-i.bak", "--fallback"], SAMPLES),
    "in-place-skip": (["-i", "--errors", "skip"], ["bad.txt"]),
}
WORDS = ("ascii", "unicode")

FROZEN = {
    'extract lines ascii': '0 ed2e6bd78b2d42f57ffd24f763ec36ed1a47bc67813fb5161993663ce5187a59',
    'extract lines unicode': '0 a2c22a5a50eb5c35ee793231fdfe96364f8e887628f69ae1c22f7421e3f0a9e4',
    'extract bytes ascii': '0 a03618b10a4b553bbc2b8c17e746650f3e3b25b27dcc7b9d6e862630ee50a656',
    'extract bytes unicode': '0 6551f5b926d1c9737a228859306b83a75b2abf656711a526b56818ef20556055',
    'extract text ascii': '0 53d912e29362f16874130103fc06a8ff026218dbe850b62107a53ae8639e2741',
    'extract text unicode': '0 92f274a22793b282b0e260b5b8e052133a299a4d27a03418fef253ff610b4fd8',
    'extract text-bytes ascii': '0 71c2f3b66a384f6aa2d066cf9fa3fda8d44ed1b3de27ed021b80ba6990d66e17',
    'extract text-bytes unicode': '0 5e271329fe1679fcabce62fc8607e03b72a169e1ca05a5034dca8795224c2833',
    'extract count ascii': '0 0db36ac7578eb8f41f01101d195c52051a01fa6fa3b5c6424ee360eb9c35a821',
    'extract count unicode': '0 5645056e00bbf210d6c7f71a9d6df02eac550ae872ffeeeda38909dba7cf3228',
    'extract per-file ascii': '0 2555d72b578bb3bda64f6df44722af3e1e221fa18845248786b049dfdb495457',
    'extract per-file unicode': '0 49f6b05e805c02bd6c111fddc7a9b95075b79c0cee961d03aa428653912dfcf3',
    'extract file-records ascii': '0 75d10c4860c3949f6bae8ff6e521775072f422263488328b1714b0d65de72713',
    'extract file-records unicode': '0 936d220f925ad1e06fa690b87b25b8d74076c15cce0dfecd7056f5ee16a343a0',
    'extract approx ascii': '0 460f3b4430e5013b5b90a400d651f700a50fcd470bbd294e96939645dda62e08',
    'extract approx unicode': '0 09f8ae2f075668b621bca2755e77d3f3278ac9d0ba48b65a77b5ec484e06179e',
    'extract approx-count ascii': '0 dff2e7f19107c70d9b11642c98f69c4b50c3a8bdc66f001a4d768fc6ad22bae7',
    'extract approx-count unicode': '0 4f8760bd9f4922a44fc63b083173045b4c2d330c843af11b1fb6de7831a3e3f0',
    'extract case ascii': '0 0822a975ecff2290bbfadb90399c9519bb83fffb22c06c08ba176e9378923079',
    'extract case unicode': '0 cd7f3221c135beabd74043aa233a4965a548907464b994babf1027a5da79071a',
    'extract overlaps ascii': '0 fa526cb9545368b66a072d81958ebe7fd205dbff8c50c067a832a8184f1fd9b4',
    'extract overlaps unicode': '0 fa526cb9545368b66a072d81958ebe7fd205dbff8c50c067a832a8184f1fd9b4',
    'extract word-chars ascii': '0 ed2e6bd78b2d42f57ffd24f763ec36ed1a47bc67813fb5161993663ce5187a59',
    'extract word-chars unicode': '0 a2c22a5a50eb5c35ee793231fdfe96364f8e887628f69ae1c22f7421e3f0a9e4',
    'extract fallback ascii': '0 9adf9ea3478c93e186b3890062aa996e076fe4a550ef2f353ab563463959bbde',
    'extract fallback unicode': '0 bfd434c5342bcae3d29f3f1f8e9b92d90d746b25e10025944cc94056cd3793bf',
    'extract gzip ascii': '0 7569ba005c180fde45e3caa1d07c34ab9e02b91c81c518c0cab9091834bcd2fb',
    'extract gzip unicode': '0 ce6b7de7616d3450208a46cf3d4f696aaa79f104faaa6e0ee84863a1fda85a10',
    'extract recursive ascii': '0 9a729dc45c78529cbcf06692e32a74ef3c7067a8ee4093ab3259ae50202f535b',
    'extract recursive unicode': '0 646bb266ecb514022f11935e5512b2fa2723b5b0bef2dfe99096cc16c35b9f74',
    'extract recursive-per-file ascii': '0 6d78887963245d81bcb2c0bdda08ad5eeb3788f6ccf6ee1b930a723b29219aaf',
    'extract recursive-per-file unicode': '0 7e3f93c6845d60b0910fe19eaf89bd343b0effc8785b4aad0c61e6d903ac468f',
    'extract strict ascii': '2 21a60fe017065395a182588d778bbc405b469fd524518f3a418d1e4f97f92b91',
    'extract strict unicode': '2 e2c730648f7be84cd123c36ea617ca5004f86ffbd4c946b6c370488122b89297',
    'extract replace-errors ascii': '0 4eee1e99ded55c89bb8677207f4242fb07e33c78ff7bb60a6b090295d4947253',
    'extract replace-errors unicode': '0 ce74664605fe9d5cd5bdc9e1e4ac881a9a78e48e39db17d7949f5ed14636d162',
    'extract skip-errors ascii': '0 9739847de18a0be8db84ff0b150a6fda75c775c440394afc0aacf41ca63ef78e',
    'extract skip-errors unicode': '0 6a3e8fc4e15c0d1e1c10f12bdbc0299629379e15b244b2a1b6e216bd25453a89',
    'extract skip-errors-count ascii': '0 46c42785944b938b58b64996fac4607367a8c1bb85fac5cc1cb5405ffb3bd6ff',
    'extract skip-errors-count unicode': '0 f538e6bae77c33c7bb95a2566785997acc02fdc52814155e4ba2db3625b5df85',
    'extract skip-file-record ascii': '0 2d598e4e57ffb803ae46185567993950cadf81f2e6e2ea9507e5d7abb7b129fd',
    'extract skip-file-record unicode': '0 9415515c92117649e4ab405792d2643c670b5f10db313f8b3e6cbfea509ebec5',
    'replace lines ascii': '0 a68cfd1055a8eb3fb1c99057560b0c607755ae998d88d8b23f0d936a99f7cbb9',
    'replace lines unicode': '0 377a81d46010c99a089a4c50d9cb0765a0d0a326819bfa98a30a1c28a7d06d58',
    'replace file-records ascii': '0 be59062e739e58b739f3b6db0f8bb35989963558a2f8613d0a4fb58ce6666074',
    'replace file-records unicode': '0 e7691a3915012926b0f1d96ad378841d98ff39f7a0363bd2a5e153dda52f173b',
    'replace approx ascii': '0 32f37d63a38311bdbc0da2e00ee6c22eb58d13d53ab0217d776bb6d972574740',
    'replace approx unicode': '0 aa5b7a6045365e51ba839c47060cd2ae0cecb25f4aeb11609605f0fe9d42a994',
    'replace fallback ascii': '0 0660c7692e2fb6d03ee637f8a22fe108950f02df3102716eec7b5126c9e64997',
    'replace fallback unicode': '0 0e23c111d14ce43951da9e117f48b8b3d5f2c272f344071dca574b01ef96d9d8',
    'replace gzip ascii': '0 be59062e739e58b739f3b6db0f8bb35989963558a2f8613d0a4fb58ce6666074',
    'replace gzip unicode': '0 e7691a3915012926b0f1d96ad378841d98ff39f7a0363bd2a5e153dda52f173b',
    'replace recursive ascii': '0 2d9e4a6a963913a756b2e5b1372f5c23f6f0c6cb730dc3e58a69ae62dc84ff00',
    'replace recursive unicode': '0 00f3798d5d3d1c1ff5b18662f584011e4b8cd3674045b42aca9ab374ea598d73',
    'replace strict ascii': '2 404f71cdd6e20f7a75fe37237b1e4ce8e87c5ab8cabbdb0bb60f47fe41d611b5',
    'replace strict unicode': '2 33c678efb3001bfb14857ef157c0e58b18a983a6fa3e6e83bc257a89ab2b6db9',
    'replace replace-errors ascii': '0 72a033d673324a58d892572d068326cf8f32fae3a115333eb912d05e8ceeeee4',
    'replace replace-errors unicode': '0 f2f99a29512ddea56ae68ef0dc709b9ab7177a70b62642e0570420569a2fe95e',
    'replace skip-errors ascii': '0 785a13280734bca915b2e013064a71cfef4840ce6480f07e6e7cc68c8269d680',
    'replace skip-errors unicode': '0 284f55ee236841dc912d1584a90684739f68b1d6e6c627d377198907154a1197',
    'replace in-place ascii': '0 77bd4cf0db86c7ae5e1db0a3f2263906fd481c73b8ae154af07ade0dd5a13b92',
    'replace in-place unicode': '0 eaf508a3f4d772ada15c0e51cd8847c799fffa2a68c69977019eb5f88a6c463c',
    'replace in-place-backup ascii': '0 ab959db03d7dfca0af8553f0bf8623e9d6e31fbc74125b5656039a11f4758b21',
    'replace in-place-backup unicode': '0 f89b8078ff2f2e013246ee557d16b77616ed84899ac80ccf84797556348d2b27',
    'replace in-place-skip ascii': '0 bdf0e13bc1b12041e730ef4a2a4cb054ee95eb3efcbd4118142fc226f82f0014',
    'replace in-place-skip unicode': '0 29a04e8bf18e32120d438bc8b542df778f51bb86566d267598696750161748fa',
    'stdin extract ascii plain': '0 ea72e54357b14e533bd4a93804a07619e3a437ddbe71a179c7de834b8dd65d6f',
    'stdin extract ascii gzip': '0 ea72e54357b14e533bd4a93804a07619e3a437ddbe71a179c7de834b8dd65d6f',
    'stdin extract unicode plain': '0 676dce63da1e770a5be420dffeb98487da925e5fe7442f981a74944a8bc0b276',
    'stdin extract unicode gzip': '0 676dce63da1e770a5be420dffeb98487da925e5fe7442f981a74944a8bc0b276',
    'stdin replace ascii plain': '0 be59062e739e58b739f3b6db0f8bb35989963558a2f8613d0a4fb58ce6666074',
    'stdin replace ascii gzip': '0 be59062e739e58b739f3b6db0f8bb35989963558a2f8613d0a4fb58ce6666074',
    'stdin replace unicode plain': '0 e7691a3915012926b0f1d96ad378841d98ff39f7a0363bd2a5e153dda52f173b',
    'stdin replace unicode gzip': '0 e7691a3915012926b0f1d96ad378841d98ff39f7a0363bd2a5e153dda52f173b',
}


def word_options(words, options=()):
    """--words, with the fallback only where a mode asks for it (--words
    unicode brings it along otherwise)."""
    return ["--words", words, *([] if "--fallback" in options else ["--no-fallback"])]


def cases(extract, replace):
    for command, table in (("extract", extract), ("replace", replace)):
        for name, (options, inputs) in table.items():
            for words in WORDS:
                yield f"{command} {name} {words}", [command, *options, *word_options(words, options)], inputs


def digest(status, *parts):
    h = hashlib.sha256()
    for part in parts:
        h.update(len(part).to_bytes(8, "little") + part)
    return f"{status} {h.hexdigest()}"


def run_in_process(capsysbinary, root, argv, inputs):
    """Runs the command in `root` on copies of `inputs`; its exit status and
    the digest of its output, or of the edited files and backups in place."""
    work = root / "run"
    if work.exists():
        shutil.rmtree(work)
    shutil.copytree(root / "in", work)
    os.chdir(work)
    capsysbinary.readouterr()
    status = cli.main([*argv, *KEYWORDS, "--no-progress", *inputs])
    out = capsysbinary.readouterr().out
    if "-i" in argv or "-i.bak" in argv:
        edited = sorted(p for p in work.rglob("*") if p.is_file())
        return digest(status, out, *(os.fsencode(p.relative_to(work)) + b"\0" + p.read_bytes() for p in edited))
    return digest(status, out)


def check_frozen(capsysbinary, root, table, frozen):
    here = os.getcwd()
    try:
        found = {name: run_in_process(capsysbinary, root, argv, inputs) for name, argv, inputs in table}
    finally:
        os.chdir(here)
    changed = [f"{name}: {found[name]} (frozen {frozen.get(name)})"
               for name in found if found[name] != frozen.get(name)]
    assert not changed, "output changed:\n" + "\n".join(changed)


@pytest.mark.slow  # a run of the command per mode
def test_every_mode_on_the_samples(tmp_path, capsysbinary):
    (tmp_path / "in").mkdir()
    sample_inputs(tmp_path / "in")
    check_frozen(capsysbinary, tmp_path, list(cases(EXTRACT, REPLACE)), FROZEN)


@pytest.mark.slow
@pytest.mark.parametrize("command", ["extract", "replace"])
def test_stdin_gzip_and_pipes(command):
    # A pipe is read as it arrives, not as a file of known size.
    text = b"".join((DATA / name).read_bytes() for name in SAMPLES)
    for words in WORDS:
        for data in (text, gzip.compress(text, mtime=0)):
            result = subprocess.run([sys.executable, "-m", "fernquill_tools", command, *word_options(words), *KEYWORDS],
                                    input=data, capture_output=True, timeout=120)
            name = f"stdin {command} {words} {'gzip' if data is not text else 'plain'}"
            assert digest(result.returncode, result.stdout) == FROZEN.get(name), name


# ---------------------------------------------------------------------------
# The 20 MB corpus

CORPUS_BYTES = 20 << 20
LONG_LINE_BYTES = 3 << 20  # past the length whose matches are taken a piece at a time
FILLER = ("the of and to in a is that for it as was with be by on not he this are or his from at which but "
          "have an they you were her she there been one all we their has would when if so no will more "
          "about can out up them some could what into than time only other new very just like").split()
ODD_WORDS = ["zurück", "daß", "Straße", "Köln", "İstanbul", "café", "naïve", "CAFÉ", "über-all", "x_y",
             "Berlin-Mitte", "New\tYork", "maschine", "pythonic", "ﬁle", "ǅemal"]


def corpus_words(rng):
    keywords = [line.split("\t")[0] for path in ("keywords.tsv", "german_keywords.tsv")
                for line in (DATA / path).read_text(encoding="utf-8").splitlines() if not line.startswith("#")]
    made = ["".join(rng.choices("abcdefghijklmnoprstu", k=rng.randint(3, 9))) for _ in range(2000)]
    return keywords, made


def corpus_line(rng, words, weights):
    n = rng.choice((0, 1, 3, 8, 12, 20, 40, 90))
    line = " ".join(rng.choices(words, weights, k=n))
    if rng.random() < 0.02:
        line += "\r"
    return line


def make_corpus(root):
    """20 MB of lines from a seeded draw of words: filler, made-up words (a
    quarter of them keywords), the samples' keywords in any case, odd words,
    one line of 3 MiB; beside it a file with bytes that are not UTF-8."""
    rng = random.Random(20261208)
    keywords, made = corpus_words(rng)
    words = FILLER + made + keywords + [k.upper() for k in keywords] + ODD_WORDS
    weights = [40] * len(FILLER) + [1] * len(made) + [20] * (2 * len(keywords)) + [5] * len(ODD_WORDS)
    (root / "made.tsv").write_text("".join(f"{w}\t{w[::-1]}\n" for w in made[::4]), encoding="utf-8")
    lines, size = [], 0
    while size < CORPUS_BYTES:
        lines.append(corpus_line(rng, words, weights))
        size += len(lines[-1]) + 1
        if len(lines) == 1000:
            lines.append(" ".join(rng.choices(words, weights, k=LONG_LINE_BYTES // 6)))
    data = "\n".join(lines).encode("utf-8")
    (root / "corpus.txt").write_bytes(data)
    (root / "corpus.gz").write_bytes(gzip.compress(data[: 2 << 20], mtime=0))
    bad = bytearray(data[: 4 << 20])
    for at in rng.sample(range(len(bad)), 40):
        bad[at] = rng.choice(b"\xff\xc3\xed\x80")
    (root / "bad.txt").write_bytes(bytes(bad))
    (root / "small.txt").write_bytes(data[: 1 << 20])


CORPUS_EXTRACT = {
    "lines": ([], ["corpus.txt"]),
    "text": (["--with-text", "-k", "../made.tsv"], ["corpus.txt"]),
    "per-file": (["-c", "--per-file", "-k", "../made.tsv"], ["corpus.txt", "corpus.gz"]),
    "fallback": (["--fallback", "--offsets", "bytes"], ["corpus.txt"]),
    "approx": (["-t", "0.8", "--with-text"], ["small.txt"]),
    "file-record": (["--records", "file", "-c"], ["corpus.txt"]),
    "strict": ([], ["bad.txt"]),
    "replace-errors": (["--errors", "replace", "--with-text"], ["bad.txt"]),
    "skip-errors": (["--errors", "skip"], ["bad.txt"]),
}
CORPUS_REPLACE = {
    "lines": (["-k", "../made.tsv"], ["corpus.txt"]),
    "approx": (["-t", "0.8"], ["small.txt"]),
    "in-place": (["-i.bak", "--fallback"], ["corpus.txt", "corpus.gz"]),
    "skip-errors": (["--errors", "skip"], ["bad.txt"]),
}

FROZEN_CORPUS = {
    'extract lines ascii': '0 7fbdf63250c2f9768ff5602f5495f755326e7a7410fb9199364f58977b2fd936',
    'extract lines unicode': '0 06f80f6c8e573218b74bf268d401777b6cc545f7186df6e36af1bb57e44748b4',
    'extract text ascii': '0 3cd6c19279539503b0a4cdc2390454ed60e922fe2c5b7bce3372a6c0f1fc4fa7',
    'extract text unicode': '0 76c4cef7c00cb675e8d6a9b70448de46d28a49c5a1eceae8a289865ebe015dfa',
    'extract per-file ascii': '0 94136b7e3a40b877f973996a4f5ce04465a8eead2b42ea4477e15f295aaf2bbb',
    'extract per-file unicode': '0 2e2be999300d11373b4d8a0058ddc4e7d545096252cb21bcbc17a4433521cb6f',
    'extract fallback ascii': '0 ab3965f40da15aeb79ed8f610fcc952c8a746da28396744f6e214c62e19d4ea1',
    'extract fallback unicode': '0 47c53871d1089798535412bf5345c10b5c1146faadf2ddb72bb030ea042d1b8f',
    'extract approx ascii': '0 139cc67952f7f8f6fcf6c183ab7107643c337870d807f5f094efaaf38f54c209',
    'extract approx unicode': '0 03ad7cfc7b460e2b34c632ca0c9d79fa228bbb5bdd91dc42f5e5c5408ded5c71',
    'extract file-record ascii': '0 20b8ce55c9e7b2085c61ea18f91dd86ab7ccbda5acc32c1e090e2c5037a9a4ba',
    'extract file-record unicode': '0 fc0317b82eafbd71559940207d9e8cdd9134545901a9f81002f4549e6f3f4b00',
    'extract strict ascii': '2 376b438758a0eed9ab668acfb309a9c6350f015374b397eed0ab3802668cfe3c',
    'extract strict unicode': '2 376b438758a0eed9ab668acfb309a9c6350f015374b397eed0ab3802668cfe3c',
    'extract replace-errors ascii': '0 a0422ab195d20e01f8b2e122082d918239958fea39d2bbe913cede25e7b7b039',
    'extract replace-errors unicode': '0 88a7e4f2e37494b52fbd2c11ebf7354a627c7b9c69d8eb1bdf6f3c6a8207b5c3',
    'extract skip-errors ascii': '0 3b51a7565c9537930d9575442663be3636d844c688442f3a43e0937a45d13348',
    'extract skip-errors unicode': '0 7d8792528bae9389f5d014e97051324ba62bde5559d4e0a3ebacd8898628614e',
    'replace lines ascii': '0 cc881ca96696ee78b5f8d09b1f15ad915affac0ca9b613b1e541eddc6f2c9dd2',
    'replace lines unicode': '0 2a08c7f056ad4d456ce42f7273d1d832c3eee5c5eb6b03af0d45e8fc9e7b62e9',
    'replace approx ascii': '0 a32bde3ec4df0bf2ed075c80ace3f6e2a6e22356151f7bf1bc2e9c2cead8d13f',
    'replace approx unicode': '0 3c8a1c10782287b5975621c560ee9d6ff595b1b5f29123e6034beb93d8f1b2e6',
    'replace in-place ascii': '2 152f9519f07b450593cb885422a1eddde384b22098a810b110d192f58432da15',
    'replace in-place unicode': '2 5304245dddff084c0aa4a436eb3458a347c1a160dabb40cdaf8305f0e2c62d10',
    'replace skip-errors ascii': '0 53cc61a52b91a537eb1dd1aab52a85e481f18439b465ddad92c584095d766be6',
    'replace skip-errors unicode': '0 1ab761faed08550426006052e6517337608920fabead7c8a9812f3658385ec53',
}


@pytest.mark.stress
def test_every_mode_on_a_generated_corpus(tmp_path, capsysbinary):
    (tmp_path / "in").mkdir()
    make_corpus(tmp_path / "in")
    shutil.move(tmp_path / "in" / "made.tsv", tmp_path / "made.tsv")
    check_frozen(capsysbinary, tmp_path, list(cases(CORPUS_EXTRACT, CORPUS_REPLACE)), FROZEN_CORPUS)
