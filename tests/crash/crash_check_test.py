#!/usr/bin/env python3
"""The crash-state checker, checked both ways, then run on tuvo_2.

Usage: crash_check_test.py TUVO_2 MAKE_COLLECTION
Exit 77 (skipped) where the program cannot be traced here.
"""

import glob
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "crash_check.py")
SKIPPED = 77
TITLE_OFFSET = 22     # where a PSID header keeps the title
TITLE_SIZE = 32
TUNES_IN_ONE_DIRECTORY = 80
# Few files may be open, so batches are small (the run keeps 256 files for
# the walk and four per tune): 80 tunes fill more than two, and the naming
# thread runs.
FILES_OPEN_AT_ONCE = 400

failures = []


def check(name, root, command, expect_ok, expect_text=None, **options):
    args = [sys.executable, CHECKER, root]
    for key, value in options.items():
        args[2:2] = ["--" + key, value]
    done = subprocess.run(args + ["--"] + command, capture_output=True, text=True)
    out = done.stdout.strip()
    if done.returncode == 2:
        print("SKIPPED: %s" % out)
        sys.exit(SKIPPED)
    ok = done.returncode == 0
    if ok != expect_ok or (expect_text and expect_text not in out):
        failures.append("%s: expected %s, got exit %d:\n%s" % (
            name, "no problem" if expect_ok else "problems", done.returncode, out[-2000:]))
    else:
        print("ok  %s: %s" % (name, out.splitlines()[-1] if out else ""))


def tune(title, size=2000):
    head = bytearray(b"PSID\x00\x02\x00\x7c" + bytes(TITLE_OFFSET - 8))
    head += title.encode().ljust(TITLE_SIZE, b"\0")
    head += bytes(0x7c - len(head))
    return bytes(head) + bytes((i * 7 + len(title)) % 251 for i in range(size))


def main():
    tuvo, make_collection = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if shutil.which("strace") is None:
        print("SKIPPED: strace is not installed")
        return SKIPPED
    with tempfile.TemporaryDirectory() as tmp:
        # The checker both ways: a program that deletes the old file before
        # the new one's bytes are synced loses it; one that syncs first, not.
        for name, command, expect_ok in [
            ("copy, delete", "cp OLD.DAT new.sid && rm OLD.DAT", False),
            ("copy, sync, delete", "cp OLD.DAT new.sid && sync new.sid && rm OLD.DAT", True),
            ("copy, sync all, rename", "cp OLD.DAT new.sid && sync && mv new.sid OLD.DAT", True),
        ]:
            root = os.path.join(tmp, "tiny" + str(len(failures)) + name.replace(" ", "").replace(",", ""))
            os.makedirs(root)
            with open(os.path.join(root, "OLD.DAT"), "wb") as f:
                f.write(tune("Old Tune"))
            check(name, root, ["sh", "-c", command], expect_ok, None if expect_ok else "OLD.DAT is lost")

        # The real program on a generated collection with one full directory.
        root = os.path.join(tmp, "c64music")
        subprocess.run([make_collection, root, "--tunes=100", "--seed=7"], check=True, stdout=subprocess.DEVNULL)
        many = glob.glob(os.path.join(root, "*", ""))[0]
        for i in range(TUNES_IN_ONE_DIRECTORY):
            title = "Crash Tune %d" % (i // 2 if i % 10 == 0 else i)  # a few share a title
            with open(os.path.join(many, "CRASH%03d.DAT" % i), "wb") as f:
                f.write(tune(title, 1000 + 37 * i))
        # A name taken before the run: the tune announced under it is taken
        # back with a cancel entry.
        with open(os.path.join(many, "Crash_Tune_7.sid"), "wb") as f:
            f.write(b"taken")
        answers = os.path.join(tmp, "answers")
        with open(answers, "w") as f:
            f.write("y\ny\ny\n")
        limited = ["sh", "-c", 'ulimit -n %d && exec "$0"' % FILES_OPEN_AT_ONCE, tuvo]
        check("tuvo_2", root, limited, True, document="documnts/qm_sids.txt", record="tuvo_2.undo", stdin=answers)
        with open(os.path.join(root, "tuvo_2.undo")) as f:
            full_batch = '"batch":%d}' % ((FILES_OPEN_AT_ONCE - 256) // 4)
            if full_batch not in f.read():
                failures.append("tuvo_2: no full batch in the record, so the naming thread did not run")
        check("tuvo_2 --undo", root, [tuvo, "--undo"], True, document="DOCUMENTS/qm_sids.txt", stdin=answers)
    for f in failures:
        print("FAILED " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
