#!/usr/bin/env python3
"""raw_test.py BLANKIMG: raw disks in and out. Each source goes in with
--from-raw and comes back out with --to-raw in each preallocation mode: the
disk comes back as the source byte for byte, then zeros to the end of the
last cylinder; with off, holes stay holes both ways. The geometry comes from
a floppy's length, or from an MBR that fdisk wrote for a chosen geometry. A
damaged image and a source held by a writer are refused. Prints "N passed,
N failed"."""
import fcntl, json, os, random, shutil, subprocess, sys, tempfile

from tally import check, finish

TOOL = os.path.abspath(sys.argv[1])
work = tempfile.mkdtemp(prefix="blankimg-raw-")
MIB = 1 << 20


def run(*command):
    return subprocess.run(command, capture_output=True)


def path(name):
    return os.path.join(work, name)


def allocated(name):
    return os.stat(name).st_blocks * 512


def sparse_source(name, length, runs):
    """length bytes, holes but for runs of random data: (offset, length)."""
    with open(name, "wb") as out:
        out.truncate(length)
        for offset, size in runs:
            out.seek(offset)
            out.write(random.randbytes(size))
    return name


random.seed(21)
floppy = sparse_source(path("floppy.raw"), 1474560, [(0, 1474560)])
odd = sparse_source(path("odd.raw"), 7 * MIB + 12345, [(0, 4096), (3 * MIB, MIB), (7 * MIB, 12345)])
holes = sparse_source(path("holes.raw"), 64 * MIB, [(i * 8 * MIB, MIB) for i in range(8)])
# An MBR as fdisk writes it for 32 heads and 32 sectors a track.
mbr = sparse_source(path("mbr.raw"), 20 * MIB, [(MIB, MIB)])
fdisk = subprocess.run(["fdisk", "-c=dos", "-H", "32", "-S", "32", mbr], input=b"n\np\n1\n\n\na\nw\n",
                       capture_output=True)
check(fdisk.returncode == 0, "fdisk wrote an MBR: %s" % fdisk.stderr)

SOURCES = [  # the source, the geometry it must get (cylinders, heads, sectors), the disk given
    (floppy, (80, 2, 18), []),
    (odd, (15, 16, 63), []),
    (holes, (131, 16, 63), []),
    (mbr, (40, 32, 32), []),
    # Given, in blocks of 64 sectors: the last block reaches past the disk.
    (odd, (15, 16, 63), ["64", "15", "16", "63", "512"]),
]
for source, geometry, disk in SOURCES:
    length = os.path.getsize(source)
    plan = json.loads(run(TOOL, "--dry-run", "--output=json", "--from-raw=" + source, path("x"),
                          *disk).stdout)
    check((plan["cylinders"], plan["heads"], plan["sectors"]) == geometry,
          "%s: the geometry %s" % (source, plan))
    for mode in ("off", "falloc", "full"):
        image, back = path("image"), path("back.raw")
        for leftover in (image, back):
            if os.path.exists(leftover):
                os.remove(leftover)
        made = run(TOOL, "--preallocation=" + mode, "--from-raw=" + source, image, *disk)
        check(made.returncode == 0 and made.stderr == b"", "%s %s: made (%s)" % (source, mode, made.stderr))
        info = json.loads(run(TOOL, "--output=json", "--info", image).stdout)
        check(info["error-count"] == 0 and info["as-created"], "%s %s: intact" % (source, mode))
        out = run(TOOL, "--preallocation=" + mode, "--to-raw=" + back, image)
        check(out.returncode == 0, "%s %s: --to-raw (%s)" % (source, mode, out.stderr))
        data = open(back, "rb").read()
        check(len(data) == info["virtual-size"] and data[:length] == open(source, "rb").read()
              and data[length:].count(0) == len(data) - length, "%s %s: round trip" % (source, mode))
        # With off, holes stay holes: the copy takes what the source takes,
        # and a file-system block for each run of data cut at the image's
        # start, which is not on a block boundary.
        if mode == "off":
            slack = 64 * 4096 + 3 * MIB  # the map, and a block for each run
            check(allocated(image) <= allocated(source) + slack,
                  "%s: image takes %d, source %d" % (source, allocated(image), allocated(source)))
            check(allocated(back) <= allocated(source) + slack,
                  "%s: raw back takes %d" % (source, allocated(back)))
        if mode == "full":
            check(allocated(back) >= len(data), "%s full: every byte written" % source)

# Larger than the disk asked for: refused before anything is made.
refused = run(TOOL, "--from-raw=" + holes, "--size=10M", path("small"))
check((refused.returncode, refused.stderr, os.path.exists(path("small"))) == (1, b"image too large\n", False),
      "a source larger than the disk: %s" % refused.stderr)

# A damaged image is refused with status 2 and its findings; nothing made.
image = path("damaged")
run(TOOL, "--from-raw=" + floppy, image)
with open(image, "r+b") as damaged:
    damaged.seek(80 + 8 * 3)
    damaged.write(bytes(8))  # block 3: no bytes
refused = run(TOOL, "--to-raw=" + path("never.raw"), image)
check(refused.returncode == 2 and b"block 3 holds no bytes" in refused.stdout and
      not os.path.exists(path("never.raw")), "damaged: %s %s" % (refused.returncode, refused.stdout))

# A source held by a writer, as a running emulator holds its disk: refused.
for source, arguments, message in [(floppy, ["--from-raw=" + floppy, path("locked")], b"can't open raw\n"),
                                   (path("image"), ["--to-raw=" + path("locked.raw"), path("image")],
                                    b"can't open image\n")]:
    with open(source, "r+b") as writer:
        fcntl.flock(writer, fcntl.LOCK_EX)
        held = run(TOOL, *arguments)
    check((held.returncode, held.stderr) == (1, message), "held %s: %s" % (source, held.stderr))
    check(run(TOOL, *arguments).returncode == 0, "let go: %s" % arguments)

shutil.rmtree(work, ignore_errors=True)
finish()
