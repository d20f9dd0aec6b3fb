#!/usr/bin/env python3
"""raw_test.py BLANKIMG: raw disks in and out. Each source goes in with
--from-raw and comes back out with --to-raw in each preallocation mode: the
disk comes back as the source byte for byte, then zeros to the end of the
last cylinder; with off, holes stay holes both ways. The geometry comes from
a floppy's length, or from an MBR that fdisk wrote for a chosen geometry. A
damaged image and a source held by a writer are refused. Then the faults a
copy meets, made real with strace and with a running QEMU: a source that
shrinks, a stop signal or SIGKILL half way, a kernel copy refused, zeros
written as data, more runs of data than anyone asks about, a copy onto its
own source. Prints "N passed, N failed"."""
import fcntl, itertools, json, os, random, re, resource, shutil, signal, subprocess, sys, tempfile, time

from tally import check, finish

TOOL = os.path.abspath(sys.argv[1])
# Under qemu-user (a cross-built tool), strace and rlimits see the
# emulator's own calls and address space, not the tool's: those tests are
# for a tool that runs natively (x86-64 or i686 here).
# A tool built with AddressSanitizer reserves terabytes of shadow memory,
# and its leak checker cannot work under ptrace.
with open(TOOL, "rb") as elf:
    binary = elf.read()
NATIVE = int.from_bytes(binary[18:20], "little") in (3, 62)
SANITIZED = b"__asan_init" in binary
TRACED_ENV = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
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
    (holes, (32, 128, 32), []),  # whole cylinders that hold it exactly
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

# Partition tables that say nothing of the geometry, so the size rule
# holds: a GPT (whose raw gets the whole cylinders that hold it exactly),
# a protective entry even with believable CHS, entries no BIOS could have
# written (1 head and 1 sector, 256 heads) and CHS that disagree with LBA.
def entry(head, sector, cylinder, first, count, kind=0x06):
    return bytes([0x80, 1, 1, 0, kind, head, sector | (cylinder >> 8) << 6, cylinder & 0xFF]) + \
        first.to_bytes(4, "little") + count.to_bytes(4, "little")


def patch(name, *edits):
    """Writes each (offset, bytes) of edits into the file name."""
    with open(name, "r+b") as out:
        for offset, data in edits:
            out.seek(offset)
            out.write(data)


for name, first_sector in [("gpt", None), ("one head", entry(0, 1, 100, 1, 100)),
                           ("256 heads", entry(255, 63, 10, 63, 11 * 256 * 63 - 63)),
                           ("protective", entry(31, 32, 100, 1, 100 * 1024 + 1023, 0xEE))]:
    # The GPT's 214,200 sectors: no whole number of 16-head, 63-sector cylinders.
    source = sparse_source(path("table.raw"), (214200 if first_sector is None else 6502 * 1008 - 8) * 512, [])
    if first_sector is None:
        subprocess.run(["sfdisk", "-q", source], input=b"label: gpt\n,,L\n", capture_output=True)
    else:
        patch(source, (446, first_sector), (510, b"\x55\xaa"))
    plan = json.loads(run(TOOL, "--dry-run", "--output=json", "--from-raw=" + source, path("x")).stdout)
    found = (plan["cylinders"], plan["heads"], plan["sectors"])
    exact = found[0] * found[1] * found[2] * 512 == os.path.getsize(source) and found[1] <= 255
    check(plan["geometry-from"] == "raw length, by the size rule" and
          (exact if first_sector is None else found == (6502, 16, 63)), "%s: the geometry %s" % (name, found))

# Not a raw disk: a disk image of another format, by its signature, is
# refused, the cause naming the format and the way out of it. An empty raw
# gives no geometry.
for name, at, signature, format in [("tagged.img", 0, b"Tavrelin", b"an image of blankimg's already"),
                                    ("disk.qcow2", 0, b"QFI\xfb", b"a qcow2 image"),
                                    ("disk.vdi", 0x40, b"\x7f\x10\xda\xbe", b"a VDI image"),
                                    ("fixed.vhd", MIB - 512, b"conectix", b"a VHD image"),
                                    ("empty.raw", None, b"", b"is empty: no disk holds nothing")]:
    source = path(name)
    with open(source, "wb") as out:
        if at is not None:
            out.truncate(MIB)
            out.seek(at)
            out.write(signature)
    if os.path.exists(path("foreign.img")):
        os.remove(path("foreign.img"))
    refused = run(TOOL, "--from-raw=" + source, path("foreign.img"))
    first = b"invalid size\n" if at is None else b"can't open raw\n"
    check(refused.returncode == 1 and refused.stderr.startswith(first + b"blankimg: " + source.encode()) and
          format in refused.stderr and not os.path.exists(path("foreign.img")),
          "%s refused: %s" % (name, refused.stderr))

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

# A disk larger than any file (2048 x 2048 x 2048 sectors of 2^31 bytes):
# --info calls it damaged, --to-raw refuses it as too large. A header of no
# cylinders shows a volume of no sectors, wrapping nothing.
image = path("huge")
run(TOOL, "--fat", "--floppy=1.44M", image)
patch(image, (32, (2048).to_bytes(4, "big") * 3), (76, (1 << 31).to_bytes(4, "big")))
info, refused = run(TOOL, "--info", image), run(TOOL, "--to-raw=" + path("huge.raw"), image)
check(info.returncode == 2 and b"more than any file holds" in info.stdout and
      (refused.returncode, refused.stderr) == (1, b"image too large\n") and
      not os.path.exists(path("huge.raw")), "a disk past 64 bits: %s %s" % (info.stdout, refused.stderr))
patch(image, (32, bytes(4)), (76, (512).to_bytes(4, "big")))
check((info := run(TOOL, "--info", image)).returncode == 2 and b"18446744073709551615" not in info.stdout and
      b"volume 1: no sectors" in info.stdout, "no cylinders: %s" % info.stdout)

# A hostile map: 2^24 one-sector blocks in a file of a few KiB on disk, its
# map a hole but for entries 0 and 1, swapped. Within an address space
# smaller than the map, and with none, the findings are listed, never "out
# of memory". Smaller where sanitized or emulated, a hundred times slower,
# and where the limit is not set.
blocks = 1 << 24 if NATIVE and not SANITIZED else 1 << 18
hostile, data_at = path("hostile.img"), 88 + 8 * blocks
open(hostile, "wb").write(b"Tavrelin" + b"".join(f.to_bytes(4, "big") for f in [80, 2, 2, 0, 1, blocks, blocks, 1, 1]) + bytes(32) + (512).to_bytes(4, "big") +
                          (512 << 44 | (data_at + 512)).to_bytes(8, "big") + (512 << 44 | data_at).to_bytes(8, "big"))
patch(hostile, (80 + 8 * blocks, b"EndOfLis" + b"\1" * 1024))


def address_space_of_96_mib():
    resource.setrlimit(resource.RLIMIT_AS, (96 << 20, 96 << 20))


for limit in ([address_space_of_96_mib] if NATIVE and not SANITIZED else []) + [None]:
    looked = subprocess.run([TOOL, "--output=json", "--info", hostile], capture_output=True, preexec_fn=limit)
    found = json.loads(looked.stdout) if looked.returncode == 2 else {}
    check(found.get("error-count") == blocks - 2 and found.get("errors", [""])[0] == "block 2 holds no bytes",
          "a hostile map, %s: %s %s" % (limit and limit.__name__, looked.returncode, looked.stderr))

# A source held by a writer, as a running emulator holds its disk, with
# flock or a record lock of its first bytes: refused.
for (source, arguments, message), lock in zip(
        [(floppy, ["--from-raw=" + floppy, path("locked")], b"can't open raw\n"),
         (path("image"), ["--to-raw=" + path("locked.raw"), path("image")], b"can't open image\n")] * 2,
        [lambda f: fcntl.flock(f, fcntl.LOCK_EX)] * 2 + [lambda f: fcntl.lockf(f, fcntl.LOCK_EX, 100, 0)] * 2):
    with open(source, "r+b") as writer:
        lock(writer)
        held = run(TOOL, *arguments)
    check((held.returncode, held.stderr) == (1, message + b"blankimg: " + source.encode() +
                                             b": in use: another program holds it locked\n"),
          "held %s: %s" % (source, held.stderr))
    check(run(TOOL, *arguments).returncode == 0, "let go: %s" % arguments)


# --- The faults a copy meets. ---
STRACE = shutil.which("strace") is not None and NATIVE


def traced(injection, *arguments, wait=True):
    command = ["strace", "-f", "-o", "/dev/null", "-e", "inject=" + injection, TOOL, *arguments]
    if wait:
        return subprocess.run(command, capture_output=True, env=TRACED_ENV)
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=TRACED_ENV)


def fresh(*names):
    for name in names:
        if os.path.exists(path(name)):
            os.remove(path(name))
    return [path(name) for name in names]


def describe(image):
    done = run(TOOL, "--output=json", "--info", image)
    return done.returncode, json.loads(done.stdout) if done.stdout else {}


# 32 runs of 64 KiB, a MiB apart: each is one read in off, the default.
def make_spaced():
    random.seed(32)
    return sparse_source(path("spaced.raw"), 32 * MIB, [(i * MIB, 65536) for i in range(32)])


spaced = make_spaced()
pristine = open(spaced, "rb").read()
if STRACE:
    # Each fault half way through a copy in and out: the source cut to a
    # quarter while the reads (off) or kernel copies (falloc) are slowed is
    # a read error; a stop signal ends the run by that very signal. Either
    # gives the room back: no intact image (its marker is written last) and
    # an empty raw. SIGKILL, which nothing catches, still leaves no image
    # that --info calls intact.
    for fault, direction, mode, injection in [
            ("shrink", "in", "off", "pread64:delay_enter=50000:when=4+"),
            ("shrink", "out", "off", "pread64:delay_enter=50000:when=4+"),
            ("shrink", "in", "falloc", "copy_file_range:delay_enter=50000:when=4+"),
            ("shrink", "out", "falloc", "copy_file_range:delay_enter=50000:when=4+"),
            (signal.SIGTERM, "in", "off", "pread64:signal=SIGTERM:when=12"),
            (signal.SIGINT, "out", "off", "pread64:signal=SIGINT:when=12"),
            (signal.SIGHUP, "in", "off", "pread64:signal=SIGHUP:when=12"),
            (signal.SIGKILL, "in", "off", "pread64:signal=SIGKILL:when=12")]:
        make_spaced()
        image, back = fresh("fault.img", "fault.raw")
        if direction == "out":
            run(TOOL, "--from-raw=" + spaced, image)
        source, arguments = ((image, ["--to-raw=" + back, image]) if direction == "out" else
                             (spaced, ["--from-raw=" + spaced, "--size=32M", image]))
        copying = traced(injection, "--preallocation=" + mode, *arguments, wait=False)
        if fault == "shrink":
            time.sleep(0.5)
            os.truncate(source, os.path.getsize(source) // 4)
        _, err = copying.communicate()
        where = "%s %s %s" % (fault, direction, mode)
        expected = (1, b"read error\n") if fault == "shrink" else (-fault, b"")
        check((copying.returncode, err) == expected, "%s: ends %s %s" % (where, copying.returncode, err))
        if direction == "out":
            check(os.path.getsize(back) == 0, "%s: the raw is cut back" % where)
            continue
        status, info = describe(image)
        cut_back = os.path.getsize(image) < MIB
        check(status == 2 and "end-of-list marker is not \"EndOfLis\"" in info.get("errors", []) and
              cut_back == (fault != signal.SIGKILL), "%s: no intact image: %s" % (where, info.get("errors")))
    make_spaced()

    # On a cold cache the device gets the next runs' reads at once: each
    # piece of data is asked for ahead of its read, in and out, and before
    # the first, all 32 runs (2 MiB, within the 8 MiB asked at a time). A
    # source in memory is asked for nothing.
    for mode, cache in itertools.product(("off", "falloc"), ("cold", "warm")):
        for direction in ("in", "out"):
            image, back = fresh("ahead.img", "ahead.raw")
            if direction == "out":
                run(TOOL, "--from-raw=" + spaced, image)
            with open(image if direction == "out" else spaced, "rb") as source:
                os.fsync(source.fileno())
                if cache == "cold":
                    os.posix_fadvise(source.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)
                else:  # as a copy leaves it: its runs of data read, not its holes
                    fd, at = source.fileno(), 0
                    try:
                        while True:
                            at = os.lseek(fd, at, os.SEEK_DATA)
                            end = os.lseek(fd, at, os.SEEK_HOLE)
                            os.pread(fd, end - at, at)
                            at = end
                    except OSError:  # ENXIO: no data past at
                        pass
            arguments = ["--to-raw=" + back, image] if direction == "out" else ["--from-raw=" + spaced, image]
            listing = path("ahead.trace")
            # fadvise64 on x86-64, fadvise64_64 on i686: the same arguments.
            subprocess.run(["strace", "-o", listing, "-e", "trace=/^fadvise64,pread64,copy_file_range", TOOL,
                            "--preallocation=" + mode, *arguments], capture_output=True, env=TRACED_ENV)
            asked, unasked, first = [], [], None
            for line in open(listing):
                call, _, rest = line.partition("(")
                # The arguments but the buffer: (fd, count, offset) for a read.
                numbers = [int(n) for n in re.findall(r"\d+", re.sub(r'"(\\.|[^"\\])*"(\.\.\.)?', "", rest.split(") = ")[0]))]
                if call.startswith("fadvise64"):
                    asked.append((numbers[1], numbers[1] + numbers[2]))
                    continue
                reads = call == "pread64" and numbers[1] >= 65536  # not a sector, nor the map
                if reads or call == "copy_file_range":
                    if first is None:
                        first = len(asked)
                    at = numbers[2] if reads else numbers[1]
                    if not any(start <= at < end for start, end in asked):
                        unasked.append(at)
            where = "read ahead %s %s %s" % (direction, mode, cache)
            check((not asked) if cache == "warm" else (asked and not unasked and first == 32),
                  "%s: %d asked, unasked %s, %s runs asked before the first" % (where, len(asked), unasked[:3], first))
    make_spaced()

    # The kernel copy refused in each way that means "not this way": the
    # copy goes on through reads and writes. A real failure fails.
    for error, status in [("EPERM", 0), ("EACCES", 0), ("ETXTBSY", 0), ("EXDEV", 0), ("EIO", 1)]:
        image, back = fresh("kernel.img", "kernel.raw")
        made = traced("copy_file_range:error=" + error, "--preallocation=falloc",
                      "--from-raw=" + spaced, image)
        out = run(TOOL, "--to-raw=" + back, image) if made.returncode == 0 else made
        check((made.returncode, out.returncode) == (status, status) and
              (status != 0 or open(back, "rb").read()[:len(pristine)] == pristine),
              "copy_file_range %s: %s %s" % (error, made.returncode, made.stderr))

    # An image whose blocks stand in the file in reverse order comes out
    # whole, asking about its runs of data once a region, not once a block.
    image, back, log = fresh("reversed.img", "reversed.raw", "reversed.trace")
    run(TOOL, "--from-raw=" + odd, image)
    info = describe(image)[1]
    count, size, start = info["block-count"], info["block-bytes"], info["data-offset"]
    whole = open(image, "rb").read()
    patch(image, *[edit for i in range(count) for edit in (
        (80 + 8 * i, (size << 44 | start + (count - 1 - i) * size).to_bytes(8, "big")),
        (start + (count - 1 - i) * size, whole[start + i * size:start + (i + 1) * size]))])
    out = subprocess.run(["strace", "-o", log, "-e", "trace=lseek", TOOL, "--to-raw=" + back, image],
                         capture_output=True, env=TRACED_ENV)
    questions = open(log).read().count("SEEK_DATA")
    check(out.returncode == 0 and open(back, "rb").read()[:os.path.getsize(odd)] == open(odd, "rb").read()
          and questions <= 2 * (os.path.getsize(image) // MIB + 2),
          "blocks in reverse order: %d questions for %d blocks (%s)" % (questions, count, out.stderr))

# Zeros written as data, as dd writes a drive's: in off, the default for a
# copy, each block of them stays a hole, both ways.
written = path("written.raw")
open(written, "wb").write(bytes(MIB) + b"\1" * 4096 + bytes(7 * MIB - 4096))
image, back = fresh("written.img", "written.raw.back")
copied = [run(TOOL, *arguments).returncode for arguments in (["--from-raw=" + written, image],
                                                              ["--to-raw=" + back, image])]
check(copied == [0, 0] and open(back, "rb").read()[:8 * MIB] == open(written, "rb").read() and
      allocated(image) <= 64 * 1024 and allocated(back) <= 16 * 1024,
      "zeros as data stay holes: %s, image %d, raw %d" % (copied, allocated(image), allocated(back)))

# More runs than any fixed number of questions: 65,537 runs of 4 KiB, then
# a GiB of hole and one more run, in memory. Every hole stays a hole: each
# run takes at most a block more than in the source, as the data area does
# not start on a block boundary; the raw back takes what the source does.
shm = tempfile.mkdtemp(prefix="blankimg-runs-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
runs = os.path.join(shm, "runs.raw")
with open(runs, "wb") as out:
    for i in range(65537):
        out.seek(i * 8192)
        out.write(b"\1" * 4096)
    out.seek(65537 * 8192 + (1 << 30))
    out.write(b"\2" * 4096)
image, back = os.path.join(shm, "runs.img"), os.path.join(shm, "runs.back")
for arguments in (["--from-raw=" + runs, image], ["--to-raw=" + back, image]):
    check(run(TOOL, *arguments).returncode == 0, "65,538 runs: %s" % arguments)
check(allocated(image) <= allocated(runs) + 65538 * 4096 + 4 * MIB and allocated(back) <= allocated(runs) + 4096
      and subprocess.run(["cmp", "-n", str(os.path.getsize(runs)), runs, back]).returncode == 0,
      "65,538 runs: image %d, raw back %d for %d" % (allocated(image), allocated(back), allocated(runs)))
shutil.rmtree(shm, ignore_errors=True)

# A copy onto its own source is refused before anything is cut. A file is
# kept so by the locks; the same loop device at both ends by the check.
image = fresh("own.img")[0]
run(TOOL, "--from-raw=" + floppy, image)
if os.geteuid() == 0 and shutil.which("losetup"):
    # Padded to whole sectors, which a loop device ends on: intact still.
    open(image, "ab").write(bytes(-os.path.getsize(image) % 512))
    kept = open(image, "rb").read()
    device = run("losetup", "-f", "--show", image).stdout.decode().strip()
    refused = run(TOOL, "--to-raw=" + device, device)
    run("losetup", "-d", device)
    check(refused.returncode == 1 and refused.stderr.startswith(b"can't open dest\n") and
          open(image, "rb").read() == kept, "own source on a loop device: %s" % refused.stderr)

# QEMU's lock protocol: a writer holds a shared lock on byte 101, taken
# here by a helper; a reader's lock on byte 100, as another copy holds, is
# no writer.
image = fresh("qemu.img")[0]
run(TOOL, "--from-raw=" + floppy, image)
for source, arguments, message in [(floppy, ["--from-raw=" + floppy, path("q1")], b"can't open raw"),
                                   (image, ["--to-raw=" + path("q1.raw"), image], b"can't open image")]:
    for byte, refused in [(101, True), (100, False)]:
        fresh("q1", "q1.raw")
        with open(source, "rb") as reader:
            fcntl.lockf(reader, fcntl.LOCK_SH, 1, byte)
            held = run(TOOL, *arguments)
        check((held.returncode, held.stderr.split(b"\n")[0]) == ((1, message) if refused else (0, b"")),
              "byte %d held on %s: %s" % (byte, source, held.stderr))

# The progress of a copy into a pipe counts the image once, and ends at 100%.
piped = subprocess.run([TOOL, "--progress", "--from-raw=" + floppy, "/dev/stdout"],
                       capture_output=True)
final = piped.stderr.decode().strip().split("\n")[-1]
check(piped.returncode == 0 and "(100%)" in final and final.startswith("1.4 MiB of 1.4 MiB"),
      "progress into a pipe: %s" % final)

shutil.rmtree(work, ignore_errors=True)
finish()
