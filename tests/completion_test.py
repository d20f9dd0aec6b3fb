#!/usr/bin/env python3
"""completion_test.py COMPLETION_SCRIPT: types partial command lines into a
real interactive bash on a pseudo-terminal, presses Tab (or M-*, which
inserts every completion), then Enter, and reads back the words bash ran."""
import os
import pty
import select
import sys
import tempfile
import time

CASES = [  # keys typed after "blankimg ", the words the command then gets
    ("--pre\t", "--preallocation="),
    ("--preallocation=\x1b*", "--preallocation=falloc full off"),  # readline sorts them
    ("--preallocation=f\x1b*", "--preallocation=falloc full"),
    ("--preallocation=fa\t", "--preallocation=falloc"),
    ("--preallocation f\x1b*", "--preallocation falloc full"),
    ("--floppy=1.4\t", "--floppy=1.44M"),
    ("--output=j\t", "--output=json"),
    ("--sector-size \x1b*", "--sector-size 1024 2048 4096 512"),
    ("--no\t", "--no-clobber"),
    ("--sync di\t", "--sync disk.img"),
    ("--size=10G di\t", "--size=10G disk.img"),
    ("--preallocation=off -- di\t", "--preallocation=off -- disk.img"),
    ("--info di\t", "--info disk.img"),
    ("disk.img 6\t", "disk.img 6"),
    ("disk.img --pro\t", "disk.img --pro"),
]


def read_until(fd, marker, after=b"", seconds=10):
    """What the terminal shows up to marker, once after has been shown."""
    text = b""
    deadline = time.time() + seconds
    while not (after in text and marker in text[text.find(after):]) and time.time() < deadline:
        if select.select([fd], [], [], 0.1)[0]:
            text += os.read(fd, 4096)
    return text


def main():
    script = os.path.abspath(sys.argv[1])
    os.chdir(tempfile.mkdtemp())
    open("disk.img", "w").close()
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp("bash", ["bash", "--norc", "--noprofile", "-i"])
    # The command prints each word it gets in brackets after a tag.
    os.write(fd, b"PS1='$ '; source '%s'; blankimg() { printf 'RAN'; printf '[%%s]' \"$@\"; echo; }\n"
             % script.encode())
    os.write(fd, b"echo READY\n")
    read_until(fd, b"READY\r\n")
    failures = 0
    for keys, words in CASES:
        os.write(fd, b"blankimg " + keys.encode())
        time.sleep(0.3)  # let the completion finish before Enter
        os.write(fd, b"\n")
        shown = read_until(fd, b"\n", after=b"RAN[").decode(errors="replace")
        ran = shown[shown.rfind("RAN"):].split("\n")[0].strip()
        expected = "RAN" + "".join("[%s]" % word for word in words.split(" "))
        if ran != expected:
            print("blankimg %r: ran %r, expected %r" % (keys, ran, expected))
            failures += 1
    os.write(fd, b"exit\n")
    os.waitpid(pid, 0)
    print("%d passed, %d failed" % (len(CASES) - failures, failures))
    return 1 if failures else 0


sys.exit(main())
