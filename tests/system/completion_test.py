#!/usr/bin/env python3
"""completion_test.py COMPLETION_SCRIPT: types partial command lines into a
real interactive bash on a pseudo-terminal, presses Tab (or M-*, which
inserts every completion), then Enter, and reads back the words bash ran."""
import os, pty, re, select, sys, tempfile, time

CASES = [  # keys typed after "blankimg ", the words the command then gets
    ("--pre\t", "--preallocation="),
    ("--preallocation=\x1b*", "--preallocation=falloc full off"),  # readline sorts them
    ("--preallocation=f\x1b*", "--preallocation=falloc full"),
    ("--preallocation f\x1b*", "--preallocation falloc full"),
    ("--floppy=1.4\t", "--floppy=1.44M"),
    ("--sector-size \x1b*", "--sector-size 1024 2048 4096 512"),
    ("--sync --no\t", "--sync --no-clobber"),
    ("--preallocation=off -- di\t", "--preallocation=off -- disk.img"),
    ("--size=10G di\t", "--size=10G disk.img"),
    ("--fat=\x1b*", "--fat=12 16 32"),
    ("--from-raw=di\t", "--from-raw=disk.img"),
    ("--fat=16 --label=X di\t", "--fat=16 --label=X disk.img"),
    ("disk.img 6\t", "disk.img 6"),
]

script = os.path.abspath(sys.argv[1])
os.chdir(tempfile.mkdtemp())
open("disk.img", "w").close()
PROMPT = b"READY> "
pid, fd = pty.fork()
if pid == 0:
    os.environ["PS1"] = PROMPT.decode()
    os.execvp("bash", ["bash", "--norc", "--noprofile", "-i"])


def read_until(pattern, seconds=10):
    shown, deadline = b"", time.time() + seconds
    while not re.search(pattern, shown) and time.time() < deadline:
        if select.select([fd], [], [], 0.1)[0]:
            shown += os.read(fd, 4096)
    return shown


# The command prints the words it gets, each in brackets, on a line of their own.
os.write(fd, b"source '%s'; blankimg() { printf 'RAN'; printf '[%%s]' \"$@\"; echo; }\n" % script.encode())
read_until(re.escape(PROMPT) + rb"$")
failures = 0
for keys, words in CASES:
    # Readline completes at the Tab before it reads the Enter behind it.
    os.write(fd, b"blankimg " + keys.encode() + b"\n")
    shown = read_until(rb"RAN\[.*\n[\s\S]*" + re.escape(PROMPT))
    ran = re.search(rb"RAN(\[[^\r\n]*)", shown)
    expected = "".join("[%s]" % word for word in words.split(" "))
    if ran is None or ran.group(1).decode() != expected:
        print("blankimg %r: ran %r, expected %r" % (keys, ran and ran.group(1), expected))
        failures += 1
os.write(fd, b"exit\n")
print("%d passed, %d failed" % (len(CASES) - failures, failures))
sys.exit(1 if failures else 0)
