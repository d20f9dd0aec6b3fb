#!/usr/bin/env python3
"""fat_test.py BLANKIMG: formats disks with --fat and reads them with what
really reads them, none of it this project's: blankimg --info's JSON for
where the volume is, then fsck.fat and sfdisk through loop devices (as
root), mtools through image@@offset, a file written through fusefat and
read back after a remount, DOSBox reading and writing the disk's bytes,
and QEMU's BIOS booting the boot code. Prints "N passed, N failed"."""
import json, os, shlex, shutil, subprocess, sys, tempfile, time

from tally import check, finish

TOOL = os.path.abspath(sys.argv[1])
# The emulators boot the bytes the tool writes, which every host writes
# alike (the other checks hold them to that): they run once, for the
# native tool built without sanitizers, not again for each other build.
with open(TOOL, "rb") as elf:
    binary = elf.read()
EMULATORS = int.from_bytes(binary[18:20], "little") == 62 and b"__asan_init" not in binary
if not (shutil.which("mdir") and shutil.which("fsck.fat") and shutil.which("sfdisk")):
    print("mtools, dosfstools and fdisk are needed: skipped")
    sys.exit(77)
ROOT = os.geteuid() == 0
work = tempfile.mkdtemp(prefix="blankimg-fat-")
env = dict(os.environ, SOURCE_DATE_EPOCH="1700000000", MTOOLS_SKIP_CHECK="1")


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, env=env, **options)


class loop:
    """A loop device over part of a file, for the tools that read devices."""

    def __init__(self, path, offset, size):
        self.device = run("losetup", "-f", "--show", "-o", str(offset), "--sizelimit", str(size),
                          path).stdout.strip()

    def __enter__(self):
        return self.device

    def __exit__(self, *_):
        run("losetup", "-d", self.device)


def make(name, arguments):
    path = os.path.join(work, name)
    made = run(TOOL, "--preallocation=off", *arguments, path)
    return path, made


def describe(path):
    return json.loads(run(TOOL, "--output=json", "--info", path).stdout)


# The matrix: the options, then the file system and partition type the
# volume must have (None: no partition table).
MATRIX = [
    (["--fat", "--floppy=160K"], "FAT12", None),
    (["--fat", "--floppy=180K"], "FAT12", None),
    (["--fat", "--floppy=320K"], "FAT12", None),
    (["--fat", "--floppy=360K"], "FAT12", None),
    (["--fat", "--floppy=720K"], "FAT12", None),
    (["--fat", "--floppy=1.2M"], "FAT12", None),
    (["--fat", "--floppy=1.44M", "--label=Floppy", "--blocksize=1"], "FAT12", None),
    (["--fat", "--floppy=1.68M"], "FAT12", None),
    (["--fat", "--floppy=2.88M"], "FAT12", None),
    (["--fat", "--size=10M"], "FAT12", 0x01),
    (["--fat", "--size=31M"], "FAT16", 0x04),
    (["--fat", "--size=100M", "--label=DATA"], "FAT16", 0x06),
    (["--fat", "--size=504M"], "FAT16", 0x06),
    (["--fat", "--size=2G"], "FAT32", 0x0C),
    (["--fat", "--size=10G"], "FAT32", 0x0C),
    (["--fat", "--size=100G"], "FAT32", 0x0C),
    (["--fat=16", "--size=10M"], "FAT16", 0x04),
    (["--fat=12", "--size=100M"], "FAT12", 0x01),
    (["--fat=32", "--size=100M"], "FAT32", 0x0B),
    (["--fat=16", "--size=1G"], "FAT16", 0x0E),  # past cylinder 1023: LBA
    (["--fat", "--partition=none", "--size=100M"], "FAT16", None),
    (["--fat", "--partition=mbr", "--floppy=1.44M"], "FAT12", 0x01),
    (["--fat", "--size=1G", "--sector-size=4096"], "FAT16", 0x06),
    (["--fat", "10", "1024", "16", "63", "512"], "FAT16", 0x06),  # geometry as operands
    # FAT16 by size would have 65,527 clusters: the next type that holds it.
    (["--fat", "63", "4161", "16", "63", "512"], "FAT32", 0x0C),
    # FAT16 by size would have too few clusters: FAT12 holds it.
    (["--fat", "--partition=none", "63", "65", "1", "63", "4096"], "FAT12", None),
    # 32 MiB in bytes, not in sectors, makes FAT16's small type.
    (["--fat", "--size=128M", "--sector-size=4096"], "FAT16", 0x06),
    # A floppy by its numbers is that floppy.
    (["--fat", "18", "80", "2", "18", "512"], "FAT12", None),
    # FAT12 by size, but past what CHS can address: FAT16 with an LBA type.
    (["--fat", "16", "2000", "1", "16", "512"], "FAT16", 0x0E),
]


def make_with(name, arguments):
    """make, with dest in front of the numbers where they are operands."""
    if arguments[-1].isdigit():
        path = os.path.join(work, name)
        return path, run(TOOL, "--preallocation=off", *arguments[:-5], path, *arguments[-5:])
    return make(name, arguments)


for number, (arguments, file_system, part_type) in enumerate(MATRIX):
    where = " ".join(arguments)
    path, made = make_with("m%d" % number, arguments)
    check(made.returncode == 0 and made.stderr == "", "%s: made (%s)" % (where, made.stderr))
    if made.returncode != 0:
        continue
    info = describe(path)
    volumes = info["partitions"]
    check(len(volumes) == 1, "%s: one volume in %s" % (where, volumes))
    if len(volumes) != 1:
        continue
    volume = volumes[0]
    label = next((a.split("=")[1].upper() for a in arguments if a.startswith("--label=")), "NO NAME")
    check((volume["file-system"], volume["type"], volume["label"]) == (file_system, part_type, label),
          "%s: --info says %s" % (where, volume))
    sector = info["bytes-per-sector"]
    check(volume["active"] == (part_type is not None), "%s: active" % where)
    check(volume["start-sector"] == (info["sectors"] if part_type is not None else 0),
          "%s: starts on the second track" % where)
    check(volume["offset"] == info["data-offset"] + volume["start-sector"] * sector, where + ": offset")
    disk_bytes = info["virtual-size"]
    check(volume["start-sector"] + volume["sectors"] == disk_bytes // sector, where + ": to the disk's end")
    volume_bytes = volume["sectors"] * sector
    # mtools reads through the offset, without root; a file copied in reads back.
    image_at = "%s@@%d" % (path, volume["offset"])
    listed = run("mdir", "-i", image_at, "::")
    check(listed.returncode == 0, "%s: mdir (%s)" % (where, listed.stderr))
    # FORMAT's serial for SOURCE_DATE_EPOCH, 2023-11-14 22:13:20 UTC, and the
    # hidden sectors a system's boot code counts from: the partition's start.
    check("Serial Number is 1DF4-1F0E" in listed.stdout, "%s: serial: %s" % (where, listed.stdout))
    hidden = "hidden sectors: %d\n" % volume["start-sector"]
    check(hidden in run("minfo", "-i", image_at, "::").stdout, "%s: %s" % (where, hidden))
    # Back through a raw disk, the geometry is found again: in the partition
    # table, or in the boot sector where the table's end is FDISK's LBA
    # placeholder; the raw knows no sector size but 512.
    if sector == 512:
        run(TOOL, "--to-raw=" + os.path.join(work, "round.raw"), path)
        again = json.loads(run(TOOL, "--dry-run", "--output=json", "--from-raw=" + os.path.join(work, "round.raw"),
                               os.path.join(work, "again")).stdout)
        os.remove(os.path.join(work, "round.raw"))
        check(all(again[k] == info[k] for k in ("cylinders", "heads", "sectors")), "%s: back from raw: %s" % (where, again))
    if number in (6, 11, 13, 20):
        hello = os.path.join(work, "hello.txt")
        open(hello, "w").write("hello, disk\n")
        copied = run("mcopy", "-i", image_at, hello, "::HELLO.TXT")
        typed = run("mtype", "-i", image_at, "::HELLO.TXT")
        check(copied.returncode == 0 and typed.stdout == "hello, disk\n", "%s: mcopy, mtype" % where)
    if not ROOT:
        continue
    with loop(path, volume["offset"], volume_bytes) as device:
        checked = run("fsck.fat", "-n", device)
        check(checked.returncode == 0 and "wrong" not in checked.stdout.lower(),
              "%s: fsck.fat -n: %s%s" % (where, checked.stdout, checked.stderr))
    if part_type is not None:
        with loop(path, info["data-offset"], disk_bytes) as device:
            table = json.loads(run("sfdisk", "--json", device).stdout)["partitiontable"]["partitions"]
            check([(p["start"], p["size"], int(p["type"], 16), p.get("bootable", False)) for p in table]
                  == [(volume["start-sector"], volume["sectors"], part_type, True)],
                  "%s: sfdisk --json: %s" % (where, table))

def patch(name, *edits):
    """Writes each (offset, bytes) of edits into the file name."""
    with open(name, "r+b") as out:
        for offset, data in edits:
            out.seek(offset)
            out.write(data)


# Blocks moved in the file: the offsets --info gives go through the map.
# Block 0, the MBR's, moved to the end: the volume is where it was, and
# mtools reads it through the line --info prints; the disk is no longer
# one run, so no QEMU line. Then two of the volume's blocks swapped: no
# one offset reads it, and --info says so.
path, _ = make("moved", ["--fat", "--size=31M"])
info = describe(path)
size, start = info["block-bytes"], info["data-offset"]
whole = open(path, "rb").read()
with open(path, "ab") as image:
    image.write(whole[start:start + size])
patch(path, (80, (size << 44 | len(whole)).to_bytes(8, "big")))
moved, text = describe(path), run(TOOL, "--info", path).stdout
check(moved["error-count"] == 0 and moved["partitions"][0]["offset"] == info["partitions"][0]["offset"],
      "block 0 moved: the volume's offset %s" % moved["partitions"])
pasted = [l.split(": ", 1)[1] for l in text.splitlines() if l.startswith("  mtools: ")]
listed = run(*shlex.split(pasted[0])) if pasted else None
check(listed is not None and listed.returncode == 0 and "Serial Number" in listed.stdout,
      "block 0 moved: mdir as --info prints it: %s" % (listed and listed.stderr))
check("\nqemu: " not in text, "block 0 moved: no QEMU line for a disk in pieces")
patch(path, (88, whole[96:104] + whole[88:96]))
swapped, text = describe(path), run(TOOL, "--info", path).stdout
check(swapped["partitions"][0]["offset"] is None and "not one run of the file" in text and
      "mtools:" not in text, "blocks 1 and 2 swapped: no offset: %s" % swapped["partitions"])

# Refused before anything is created: the message, the cause where one is
# known, status 1, no file.
NO_FIT = "fat type does not fit the volume\n"
PAST_CHS = "blankimg: --fat=12: the partition ends past what CHS can address, and FAT12 has no LBA type\n"
NOT_ASCII = "invalid label\nblankimg: --label: printable ASCII characters only\n"
for arguments, message in [
        (["--fat=12", "--size=1G"], NO_FIT + PAST_CHS),
        (["--fat=12", "16", "2000", "1", "16", "512"], NO_FIT + PAST_CHS),
        (["--fat=32", "--floppy=1.44M"], NO_FIT),
        (["--fat=16", "--size=3G"], NO_FIT),
        # 4,085 clusters: FAT12 to some readers, FAT16 to others.
        (["--fat=16", "1", "4153", "1", "1", "512"], NO_FIT),
        # 65,526 clusters: FAT16 to some readers, FAT32 to others.
        (["--fat=32", "--partition=none", "1", "66600", "1", "1", "512"], NO_FIT),
        (["--fat", "--label=A.B", "--size=10M"], "invalid label\n"),
        (["--fat", "--label=TWELVE_CHARS", "--size=10M"], "invalid label\n"),
        (["--fat", "--label=CAF\u00c9", "--size=10M"], NOT_ASCII),
        (["--fat", "--label=\u5b57", "--size=10M"], NOT_ASCII),  # 0xE5 first: "deleted"
        (["--fat", "63", "100", "256", "256", "512"],
         "invalid geometry\nblankimg: --fat: a BIOS addresses at most 255 heads\n"),
        (["--fat", "64", "10", "16", "64", "512"],
         "invalid geometry\nblankimg: --fat: a BIOS addresses at most 63 sectors per track\n")]:
    path, made = make_with("refused", arguments)
    check((made.returncode, made.stderr, os.path.exists(path)) == (1, message, False),
          "%s: refused (%s)" % (arguments, made.stderr))

# The same command, the same bytes.
first, _ = make("same1", ["--fat", "--label=X", "--size=10M"])
second, _ = make("same2", ["--fat", "--label=X", "--size=10M"])
check(open(first, "rb").read() == open(second, "rb").read(), "SOURCE_DATE_EPOCH: the same bytes")
# Into a pipe, in one pass in disk order: the bytes the file gets.
piped = subprocess.run([TOOL, "--fat", "--label=X", "--size=10M", "/dev/stdout"], capture_output=True,
                       env=env)
check(piped.returncode == 0 and piped.stdout == open(first, "rb").read(), "into a pipe: %s" % piped.stderr)

# As root, the volume mounted through a loop device with fusefat (the kernel
# here has no vfat): a file written there reads back after a remount, and
# fsck.fat is still clean.
if ROOT and shutil.which("fusefat"):
    path, _ = make("mounted", ["--fat", "--size=31M"])
    volume = describe(path)["partitions"][0]
    mount_point = os.path.join(work, "mnt")
    os.mkdir(mount_point)
    with loop(path, volume["offset"], volume["sectors"] * 512) as device:
        def mounted(*, writable):
            return run("fusefat", "-o", "rw+" if writable else "ro", device, mount_point)
        ok = mounted(writable=True).returncode == 0
        if ok:
            open(os.path.join(mount_point, "WRITTEN.TXT"), "w").write("through fusefat\n")
            ok = run("fusermount", "-u", mount_point).returncode == 0
        back = ""
        if ok and mounted(writable=False).returncode == 0:
            back = open(os.path.join(mount_point, "WRITTEN.TXT")).read()
            run("fusermount", "-u", mount_point)
        check(back == "through fusefat\n", "fusefat: a file written reads back after a remount")
        checked = run("fsck.fat", "-n", device)
        check(checked.returncode == 0, "fusefat: fsck.fat -n after: " + checked.stdout)


def disk_bytes_of(path):
    """The disk's bytes out of an image laid out as this tool lays it out."""
    info = describe(path)
    with open(path, "rb") as image:
        image.seek(info["data-offset"])
        return info, image.read(info["virtual-size"])


# DOSBox mounts the disk's bytes with the header's geometry, reads a file
# copied in with mtools, and writes one that mtools reads back.
if EMULATORS and shutil.which("dosbox"):
    path, _ = make("dosbox", ["--fat", "--size=31M"])
    info, disk = disk_bytes_of(path)
    raw = os.path.join(work, "disk.raw")
    open(raw, "wb").write(disk)
    volume_at = "%s@@%d" % (raw, info["partitions"][0]["start-sector"] * 512)
    hello = os.path.join(work, "in.txt")
    open(hello, "w").write("from mtools\r\n")
    run("mcopy", "-i", volume_at, hello, "::IN.TXT")
    dosbox_env = dict(env, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="dummy", HOME=work)
    commands = ["imgmount c %s -size 512,%d,%d,%d" % (raw, info["sectors"], info["heads"], info["cylinders"]),
                "copy c:\\in.txt c:\\out.txt", "exit"]
    ran = subprocess.run(["dosbox", "-noconsole"] + [a for c in commands for a in ("-c", c)],
                         capture_output=True, text=True, env=dosbox_env, timeout=60)
    typed = run("mtype", "-i", volume_at, "::OUT.TXT")
    check(typed.stdout.splitlines() == ["from mtools"],  # text mode reads "\r\n" as "\n"
          "DOSBox: copied a file mtools wrote and reads back: %r %s" % (typed, ran.stdout[-400:]))
    if ROOT:
        with loop(raw, info["partitions"][0]["start-sector"] * 512, len(disk) - 63 * 512) as device:
            check(run("fsck.fat", "-n", device).returncode == 0, "DOSBox: fsck.fat -n after")

    # DOSBox's boot -l c starts the MBR with DL = 00h. The loader must read
    # the volume's boot sector from the hard disk all the same; a boot
    # sector of the test's own then copies itself, with the drive it was
    # given in its fourth byte, to the sector after the MBR through INT 13h,
    # and DOSBox's disk shows it once DOSBox has ended.
    # xor ax, ax; mov es, ax; mov ds, ax; mov [0x7C03], dl; mov ax, 0x0301;
    # mov cx, 2; xor dh, dh; mov bx, 0x7C00; int 13h; hlt; jmp $-1
    MARK_CODE = bytes.fromhex("31C08EC08ED88816037CB80103B9020030F6BB007CCD13F4EBFD")
    start = info["partitions"][0]["start-sector"] * 512
    sector = bytearray(disk[start:start + 512])
    sector[2 + sector[1]:2 + sector[1] + len(MARK_CODE)] = MARK_CODE
    open(raw, "wb").write(disk[:start] + bytes(sector) + disk[start + 512:])
    commands = ["imgmount 2 %s -t hdd -fs none -size 512,%d,%d,%d" % (raw, info["sectors"], info["heads"],
                                                                       info["cylinders"]), "boot -l c"]
    booting = subprocess.Popen(["dosbox", "-noconsole"] + [a for c in commands for a in ("-c", c)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=dosbox_env)
    time.sleep(3)
    booting.terminate()  # DOSBox writes its disk out as it ends
    try:
        booting.wait(10)
    except subprocess.TimeoutExpired:
        booting.kill()
    mark = open(raw, "rb").read(1024)[512:]
    check(mark[3] == 0x80 and mark[4:] == bytes(sector[4:]),
          "DOSBox boot -l c: the loader reached the volume's boot sector: %r" % mark[:16])

# QEMU's BIOS boots the disk straight out of the image, with the IDE disk
# given the image's geometry. A boot sector put where SYS puts one (the
# volume's first sector, its parameters kept) writes to the debug port; the
# stub the tool writes says there is no system and must not.
MARKER = b"BOOTED\n"
# mov dx, 0xe9; then mov al, c / out dx, al for each byte; then hlt, jmp $-1
TEST_CODE = bytes([0xBA, 0xE9, 0x00]) + b"".join(bytes([0xB0, c, 0xEE]) for c in MARKER) + bytes(
    [0xF4, 0xEB, 0xFD])


def qemu_line(path):
    """The QEMU command line that --info prints for the disk, as a list."""
    printed = run(TOOL, "--info", path).stdout
    line = next((l for l in printed.splitlines() if l.startswith("qemu: ")), None)
    return shlex.split(line[len("qemu: "):]) if line else None


def boots(path, marker, expected):
    """Whether QEMU, run as --info says, writes marker to its debug port."""
    log = os.path.join(work, "debugcon.txt")
    if os.path.exists(log):
        os.remove(log)
    command = qemu_line(path)
    if command is None:
        return False
    qemu = subprocess.Popen(command + ["-display", "none", "-no-reboot", "-nodefaults", "-debugcon",
                                       "file:" + log, "-boot", "c"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Booted in a second or two; the stub, which never writes there, is given
    # the same time and more to be reached and to wait for its key.
    deadline = time.time() + (20 if expected else 5)
    while time.time() < deadline and not (os.path.exists(log) and marker in open(log, "rb").read()):
        time.sleep(0.1)
    qemu.kill()
    qemu.wait()
    return marker in open(log, "rb").read()


def put_boot_code(path, code):
    """code where the volume's boot sector jumps to, its parameters kept."""
    at = describe(path)["partitions"][0]["offset"]
    with open(path, "r+b") as image:
        image.seek(at)
        sector = bytearray(image.read(512))
        code_at = 2 + sector[1]  # where the jump at the start leads
        sector[code_at:code_at + len(code)] = code
        image.seek(at)
        image.write(sector)


# A boot sector that reads the root directory's first sector by CHS, worked
# out from its own BPB (hidden and reserved sectors, the FATs, sectors per
# track and heads), and says "R" on the debug port where that sector holds
# the volume's label: it reaches the root only where QEMU's BIOS has the
# geometry the boot sector names.
CHS_CODE = bytes.fromhex(
    "31C08ED88EC0660FB706167CBE2B7C85C0750766A1247CBE477C660FB61E107C66F7E3660FB71E0E7C6601D86603061C"
    "7C6631D2660FB71E187C66F7F34288D16631D2660FB71E1A7C66F7F388D688C5C0E40608E1B280BB007EB80102CD1372"
    "13BF007EB90B00F3A67509BAE900B052EEB00AEEF4EBFD")

if EMULATORS and shutil.which("qemu-system-i386"):
    for arguments in (["--fat", "--size=31M"], ["--fat", "--size=10G"]):
        path, _ = make("boot", arguments)
        check(not boots(path, MARKER, False), "%s: the stub, untouched, does not reach the port" % arguments)
        put_boot_code(path, TEST_CODE)
        check(boots(path, MARKER, True), "%s: the loader boots the volume's boot sector" % arguments)
    for arguments in (["--fat", "--label=BOOTCHS", "--size=2G"], ["--fat", "--label=BOOTCHS", "--size=10G"]):
        path, _ = make("chs", arguments)
        put_boot_code(path, CHS_CODE)
        check(boots(path, b"R\n", True), "%s: read by CHS, the root is where the boot sector says" % arguments)

shutil.rmtree(work, ignore_errors=True)
finish()
