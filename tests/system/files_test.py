#!/usr/bin/env python3
"""files_test.py BLANKIMG: files into and out of FAT volumes, read by what
really reads them: fsck.fat -n through a loop device (as root), mtools'
mcopy and mdir through image@@offset, blankimg's --list as JSON, and its
--extract held against the tree that went in; refusals leave the image as
it was, and damaged volumes end --list and --extract with a clear error.
Prints "N passed, N failed"."""
import atexit, hashlib, json, os, shutil, stat, subprocess, sys, tempfile

from tally import check, finish

TOOL = os.path.abspath(sys.argv[1])
if not (shutil.which("mcopy") and shutil.which("fsck.fat")):
    print("mtools and dosfstools are needed: skipped")
    sys.exit(77)
ROOT = os.geteuid() == 0
# DOSBox runs once, for the native tool built without sanitizers.
with open(TOOL, "rb") as elf:
    binary = elf.read()
EMULATORS = int.from_bytes(binary[18:20], "little") == 62 and b"__asan_init" not in binary
work = tempfile.mkdtemp(prefix="blankimg-files-")
atexit.register(shutil.rmtree, work, True)
EPOCH = 1700000000  # 2023-11-14 22:13:20 UTC: later times are clamped to it
env = dict(os.environ, SOURCE_DATE_EPOCH=str(EPOCH), MTOOLS_SKIP_CHECK="1", TZ="UTC", LANG="C.UTF-8",
           LC_ALL="C.UTF-8")


def run(*command, **options):
    return subprocess.run(command, capture_output=True, env=env, timeout=120, **options)


def here(*names):
    return os.path.join(work, *names)


def write(path, data, mtime=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)
    if mtime is not None:
        os.utime(path, (mtime, mtime))


def make_tree(root):
    """Long, short, lower-case, non-ASCII and many names, a read-only file,
    an empty one, times before 1980 and after the epoch, a deep path."""
    write(os.path.join(root, "README.1ST"), b"plain 8.3\n", 981173106)
    write(os.path.join(root, "readme.txt"), b"lower case\n", 981173107)  # odd: rounds to 2 s
    write(os.path.join(root, "Long File Name With Spaces.document"), os.urandom(70000), 1000000000)
    write(os.path.join(root, "r\u00e9sum\u00e9.txt"), "caf\u00e9\n".encode(), 315532800)
    write(os.path.join(root, "dice \U0001F3B2.bin"), b"\x00" * 5000 + b"end", 1600000000)
    write(os.path.join(root, "empty"), b"", 100)  # before 1980
    write(os.path.join(root, "a.b.c.d"), b"dots", 1500000000)
    write(os.path.join(root, ".hidden"), b"leading dot", 1500000000)
    write(os.path.join(root, "ro.txt"), b"read only", 1400000000)
    os.chmod(os.path.join(root, "ro.txt"), 0o444)
    write(os.path.join(root, "Games", "Doom", "e1", "m1", "map.wad"), os.urandom(3000), 1300000000)
    for number in range(150):
        write(os.path.join(root, "many", "file number %03d.txt" % number), b"%d" % number, 1200000000)
    write(os.path.join(root, "later.txt"), b"after the epoch", 1800000000)
    # Directories' own times, once what they hold is written.
    for folder, when in (("Games/Doom/e1/m1", 1100000000), ("Games", 1100000002), ("many", 1100000004)):
        os.utime(os.path.join(root, folder), (when, when))


def tree_of(root, times=True):
    """Every file and directory under root: its kind, sha256, time and
    write bit, as FAT keeps them (times even, 1980 to the epoch)."""
    found = {}
    for top, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(top, name)
            status = os.lstat(path)
            key = os.path.relpath(path, root)
            when = min(max(int(status.st_mtime), 315532800), EPOCH) // 2 * 2 if times else 0
            if stat.S_ISDIR(status.st_mode):
                found[key] = ("dir", when)
                continue
            with open(path, "rb") as data:
                digest = hashlib.sha256(data.read()).hexdigest()
            found[key] = ("file", digest, when, bool(status.st_mode & 0o222))
    return found


def volume_offset(image):
    info = json.loads(run(TOOL, "--output=json", "--info", image).stdout)
    volume = info["partitions"][0]
    return volume["offset"], volume["sectors"] * info["bytes-per-sector"]


def fsck_clean(image, what):
    if not ROOT:
        return
    offset, size = volume_offset(image)
    device = run("losetup", "-f", "--show", "-o", str(offset), "--sizelimit", str(size),
                 image).stdout.decode().strip()
    checked = run("fsck.fat", "-n", device)
    run("losetup", "-d", device)
    check(checked.returncode == 0, "%s: fsck.fat -n clean: %s" % (what, checked.stdout[-600:]))


def at(image):
    return "%s@@%d" % (image, volume_offset(image)[0])


def sha(path):
    with open(path, "rb") as data:
        return hashlib.sha256(data.read()).hexdigest()


source = here("source")
make_tree(source)
given = tree_of(source)

# Onto new disks of each FAT, by the tree's contents: every reader sees the
# tree that went in.
DISKS = [("FAT12", ["--floppy=1.44M"]), ("FAT16", ["--size=20M"]), ("FAT32", ["--size=600M", "--fat=32"])]
for file_system, arguments in DISKS:
    image = here(file_system + ".img")
    made = run(TOOL, *arguments, "--add=" + source + "/.", image)
    check(made.returncode == 0 and made.stderr == b"", "%s: made: %s" % (file_system, made.stderr))
    fsck_clean(image, file_system)
    mtools_out = here(file_system + "-mcopy")
    copied = run("mcopy", "-s", "-n", "-m", "-i", at(image), "::/", mtools_out)
    check(copied.returncode == 0, "%s: mcopy -s: %s" % (file_system, copied.stderr))
    # mtools keeps neither the read-only bit nor the file's time, and shows
    # a character past U+FFFF as its two surrogates, each an "_".
    bmp = lambda name: "".join("__" if ord(c) > 0xffff else c for c in name)
    check(tree_of(mtools_out, times=False) == {bmp(k): v[:2] + (0, True) if v[0] == "file" else ("dir", 0)
                                              for k, v in given.items()},
          "%s: mcopy -s gives the tree back, long names and all" % file_system)
    extracted = here(file_system + "-out")
    out = run(TOOL, "--extract=" + extracted, image)
    check(out.returncode == 0, "%s: --extract: %s" % (file_system, out.stderr))
    info = run(TOOL, "--info", image)
    check(info.returncode == 0 and b"errors: none" in info.stdout, "%s: --info finds it clean" % file_system)
    check(tree_of(extracted) == given, "%s: --extract gives the tree back, times and bits" % file_system)
    listed = json.loads(run(TOOL, "--list", "--output=json", image).stdout)
    check({e["path"]: e["size"] for e in listed} ==
          {k: os.path.getsize(os.path.join(source, k)) if v[0] == "file" else 0 for k, v in given.items()},
          "%s: --list names every path with its size" % file_system)
    modified = {e["path"]: e["modified"] for e in listed}
    check((modified["later.txt"], modified["Games"]) == ("2023-11-14T22:13:20Z", "2004-11-09T11:33:22Z"),
          "%s: times kept, and none past SOURCE_DATE_EPOCH: %s" % (file_system, modified["later.txt"]))
    lines = run(TOOL, "--list", image).stdout.decode().splitlines()
    check(any(line.startswith("-r--a ") and line.endswith("  ro.txt") for line in lines) and
          "d----          0  2004-11-09 11:33:22  Games/" in lines, "%s: --list as text" % file_system)
    shorts = {e["path"]: e["short-name"] for e in listed}
    check((shorts["readme.txt"], shorts["Long File Name With Spaces.document"]) == ("README.TXT", "LONGFI~1.DOC"),
          "%s: --list gives the short names" % file_system)

# A FUSE mount of the FAT16 volume reads the same tree, long names and all.
if ROOT and shutil.which("fusefat"):
    image = here("FAT16.img")
    offset, size = volume_offset(image)
    mount_point = here("mnt")
    os.mkdir(mount_point)
    device = run("losetup", "-f", "--show", "-o", str(offset), "--sizelimit", str(size),
                 image).stdout.decode().strip()
    mounted = run("fusefat", "-o", "ro", device, mount_point)
    seen = tree_of(mount_point, times=False) if mounted.returncode == 0 else {}
    run("fusermount", "-u", mount_point)
    run("losetup", "-d", device)
    check({k: v[:2] if v[0] == "file" else ("dir",) for k, v in seen.items()} ==
          {k: v[:2] if v[0] == "file" else ("dir",) for k, v in given.items()},
          "fusefat reads the tree: %s" % mounted.stderr)

# --dry-run counts what --add would take, and writes nothing.
planned = run(TOOL, "--dry-run", "--output=json", "--size=20M", "--add=" + source + "/.", here("planned.img"))
added = json.loads(planned.stdout or b"{}").get("added", {})
files = sum(1 for v in given.values() if v[0] == "file")
check((added.get("files"), added.get("directories")) == (files, len(given) - files) and
      added.get("clusters", 0) > 0 and not os.path.exists(here("planned.img")),
      "--dry-run with --add: %s" % added)

# FSInfo's count of free clusters is FAT32's to keep true.
wrong = here("FAT32.img")
with open(wrong, "r+b") as disk:
    disk.seek(volume_offset(wrong)[0] + 512 + 488)
    disk.write((12345).to_bytes(4, "little"))
info = run(TOOL, "--info", wrong)
check(info.returncode == 2 and b"FSInfo counts 12345 free clusters" in info.stdout, "FSInfo: %s" % info.stdout[-200:])

# The same tree and command make the same bytes.
again = here("again.img")
run(TOOL, "--size=20M", "--add=" + source + "/.", again)
check(sha(again) == sha(here("FAT16.img")), "the same tree makes the same image")
dosnames = run("mdir", "-/", "-a", "-i", at(again), "::").stdout.decode()
for short in ["README   1ST", "README   TXT", "LONGFI~1 DOC", "ABC~1    D", "HIDDEN~1", "R_SUM_~1 TXT"]:
    check(short in dosnames, "short name %r in mdir: %s" % (short, dosnames[:800]))

# DOSBox's DIR sees the short names, and TYPE a file, on the disk --add
# made; what they print goes to files that mtools reads back.
if EMULATORS and shutil.which("dosbox"):
    for_dos = here("for-dos")
    write(os.path.join(for_dos, "readme.txt"), b"typed by DOS\r\n")
    write(os.path.join(for_dos, "Long Name Dir", "inner file.txt"), b"x")
    image, raw = here("dos.img"), here("dos.raw")
    run(TOOL, "--size=31M", "--add=" + for_dos + "/.", image)
    run(TOOL, "--to-raw=" + raw, image)
    info = json.loads(run(TOOL, "--output=json", "--info", image).stdout)
    commands = ["imgmount c %s -size 512,%d,%d,%d" % (raw, info["sectors"], info["heads"], info["cylinders"]),
                "dir c:\\LONGNA~1 > c:\\DIR.TXT", "type c:\\README.TXT > c:\\TYPED.TXT", "exit"]
    dosbox_env = dict(env, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="dummy", HOME=work)
    subprocess.run(["dosbox", "-noconsole"] + [a for c in commands for a in ("-c", c)],
                   capture_output=True, env=dosbox_env, timeout=60)
    raw_at = "%s@@%d" % (raw, info["partitions"][0]["start-sector"] * 512)
    listing = run("mtype", "-i", raw_at, "::DIR.TXT").stdout
    typed = run("mtype", "-i", raw_at, "::TYPED.TXT").stdout
    check(b"INNERF~1" in listing and b"TXT" in listing, "DOSBox: DIR of LONGNA~1: %r" % listing)
    check(typed.replace(b"\r", b"") == b"typed by DOS\n", "DOSBox: TYPE README.TXT: %r" % typed)

# Into a volume mtools wrote, its free space in holes: the file runs
# through them, a directory of another case is merged, and --extract gives
# back what mtools was given.
mine = here("mtools.img")
run(TOOL, "--floppy=1.44M", "--fat", mine)
pieces = here("pieces")
for number in range(20):
    write(os.path.join(pieces, "piece%02d.bin" % number), os.urandom(60000), 1400000000)
write(os.path.join(pieces, "GAMES", "Old Save.txt"), b"old", 1400000000)
run("mcopy", "-s", "-m", "-i", at(mine), *[os.path.join(pieces, n) for n in sorted(os.listdir(pieces))], "::/")
for number in range(0, 20, 2):
    run("mdel", "-i", at(mine), "::/piece%02d.bin" % number)
    os.remove(os.path.join(pieces, "piece%02d.bin" % number))
# mtools writes a file into the holes it left, in pieces.
write(os.path.join(pieces, "mtools spread.bin"), os.urandom(150000), 1400000000)
run("mcopy", "-m", "-i", at(mine), os.path.join(pieces, "mtools spread.bin"), "::/")
extracted = here("mtools-out")
out = run(TOOL, "--extract=" + extracted, mine)
check(out.returncode == 0 and tree_of(extracted, times=False) == tree_of(pieces, times=False),
      "--extract of what mtools wrote: %s" % out.stderr)
addition = here("addition")
write(os.path.join(addition, "games", "new save.txt"), b"new", 1400000000)
write(os.path.join(addition, "spread.bin"), os.urandom(200000), 1400000000)
# Holes in it, over clusters whose old bytes are not zeros.
write(os.path.join(addition, "sparse.bin"), b"head", 1400000000)
with open(os.path.join(addition, "sparse.bin"), "r+b") as sparse:
    sparse.seek(300000)
    sparse.write(b"tail")
out = run(TOOL, "--add=" + addition + "/.", mine)
check(out.returncode == 0, "--add into mtools' volume: %s" % out.stderr)
fsck_clean(mine, "--add into holes")
for name in ("spread.bin", "sparse.bin"):
    fetched = here(name)
    run("mcopy", "-n", "-i", at(mine), "::/" + name, fetched)
    check(sha(fetched) == sha(os.path.join(addition, name)), "%s over holes reads back" % name)
games = run("mdir", "-/", "-b", "-i", at(mine), "::/GAMES").stdout.decode()
check("Old Save.txt" in games and "new save.txt" in games, "GAMES merged: %s" % games)

# Into an image whose blocks stand in the file in reverse order, as its
# map says: what --add writes lands where the map puts each block.
def reverse_blocks(image):
    info = json.loads(run(TOOL, "--output=json", "--info", image).stdout)
    count, length = info["block-count"], info["block-bytes"]
    with open(image, "rb") as disk:
        whole = disk.read()
    data = 80 + 8 * count + 8
    entries = b"".join((length << 44 | data + (count - 1 - i) * length).to_bytes(8, "big") for i in range(count))
    blocks = b"".join(whole[data + i * length:data + (i + 1) * length] for i in reversed(range(count)))
    with open(image, "wb") as disk:
        disk.write(whole[:80] + entries + whole[80 + 8 * count:data] + blocks)


reversed_image = here("reversed.img")
run(TOOL, "--floppy=1.44M", "--blocksize=1", "--fat", reversed_image)
reverse_blocks(reversed_image)
out = run(TOOL, "--add=" + source + "/Games", "--add=" + source + "/readme.txt", reversed_image)
check(out.returncode == 0, "--add into reversed blocks: %s" % out.stderr)
raw = here("reversed.raw")
run(TOOL, "--to-raw=" + raw, reversed_image)
checked = run("fsck.fat", "-n", raw)
check(checked.returncode == 0, "reversed blocks: fsck.fat -n clean: %s" % checked.stdout[-300:])
back = here("reversed-out")
os.makedirs(back)
run("mcopy", "-s", "-n", "-i", raw, "::/Games", "::/readme.txt", back + "/")
check(tree_of(back, times=False) == {k: v for k, v in tree_of(source, times=False).items()
                                      if k == "readme.txt" or k.startswith("Games")},
      "reversed blocks: mcopy reads back what went in")

# Refusals, each before anything is written: the image stays as it was.
odd = here("odd")
os.makedirs(odd)
write(os.path.join(odd, "clash", "Same.txt"), b"1")
write(os.path.join(odd, "clash", "SAME.TXT"), b"2")
write(os.path.join(odd, "clash", "SZ.TXT"), b"3")  # between the two, byte by byte
write(os.path.join(odd, "colon", "a:b"), b"1")
os.makedirs(os.path.join(odd, "link"))
os.symlink("/etc/passwd", os.path.join(odd, "link", "passwd"))
os.makedirs(os.path.join(odd, "fifo"))
os.mkfifo(os.path.join(odd, "fifo", "pipe"))
os.makedirs(os.path.join(odd, "huge"))
with open(os.path.join(odd, "huge", "4g"), "wb") as huge:
    huge.truncate(4 << 30)
deep = os.path.join(odd, "deep", *["d"] * 33)
os.makedirs(deep)
write(os.path.join(odd, "room", "big.bin"), b"\x01" * 1500000)
for number in range(230):
    write(os.path.join(odd, "root", "F%03d" % number), b"x")
REFUSED = [
    ("clash", "can't add file", b"only by case"),
    ("colon", "can't add file", b"a name FAT cannot hold"),
    ("link", "can't add file", b"neither a file nor a directory"),
    ("fifo", "can't add file", b"neither a file nor a directory"),
    ("huge", "can't add file", b"4 GiB or more"),
    ("deep", "can't add file", b"deeper than 32"),
    ("room", "no room on the volume", b"bytes more are needed"),
    ("root", "root directory full", b""),
]
target = here("FAT12.img")
before = sha(target)
for case, line, cause in REFUSED:
    out = run(TOOL, "--add=" + os.path.join(odd, case) + "/.", target)
    lines = out.stderr.split(b"\n")
    check(out.returncode == 1 and lines[0] == line.encode() and cause in out.stderr,
          "%s: refused: %s" % (case, out.stderr))
    check(sha(target) == before, "%s: the image is as it was" % case)
    new = here("refused-" + case + ".img")
    out = run(TOOL, "--floppy=1.44M", "--add=" + os.path.join(odd, case) + "/.", new)
    check(out.returncode == 1 and not os.path.exists(new), "%s: no new image is left" % case)
out = run(TOOL, "--floppy=1.44M", "--add=" + source + "/readme.txt", "/dev/null")
check(out.stderr == b"can't open dest\nblankimg: /dev/null: --add makes its disk in a file, which it reads back "
      b"to add to\n", "--add onto a device is refused first: %s" % out.stderr)
out = run(TOOL, "--add=" + source + "/readme.txt", target)
check(out.stderr.startswith(b"can't add file\n") and b"readme.txt exists" in out.stderr, "an existing file")
check(sha(target) == before, "an existing file: the image is as it was")
out = run(TOOL, "--force", "--add=" + os.path.join(odd, "clash", "Same.txt"), "--add=" + source + "/readme.txt",
          target)
check(out.returncode == 0, "--force replaces it: %s" % out.stderr)
fsck_clean(target, "--force")


def damage(image, change):
    """Patches the volume: change(volume bytes, layout) -> bytes."""
    offset, size = volume_offset(image)
    with open(image, "r+b") as disk:
        disk.seek(offset)
        volume = bytearray(disk.read(size))
        boot = volume[:512]
        layout = {"reserved": int.from_bytes(boot[14:16], "little"), "fats": boot[16],
                  "fat_sectors": int.from_bytes(boot[22:24], "little"),
                  "root": int.from_bytes(boot[17:19], "little"), "cluster": boot[13] * 512}
        layout["root_at"] = 512 * (layout["reserved"] + layout["fats"] * layout["fat_sectors"])
        layout["data_at"] = layout["root_at"] + 32 * layout["root"]
        change(volume, layout)
        disk.seek(offset)
        disk.write(volume)


def short_entry(volume, start, end, name):
    """The offset of the short entry of that name in [start, end)."""
    return next(i for i in range(start, end, 32) if volume[i:i + 11] == name)


def set_fat(volume, layout, cluster, value):
    for copy in range(layout["fats"]):
        at = 512 * (layout["reserved"] + copy * layout["fat_sectors"]) + 2 * cluster
        volume[at:at + 2] = value.to_bytes(2, "little")


def first_cluster(volume, layout, name):
    at = short_entry(volume, layout["root_at"], layout["data_at"], name)
    return int.from_bytes(volume[at + 26:at + 28], "little")


def fat16_loop(volume, layout):
    # "big"'s chain: its first cluster points to itself, in each FAT.
    first = first_cluster(volume, layout, b"BIG        ")
    set_fat(volume, layout, first, first)


def cross_link(volume, layout):
    # "big"'s last cluster runs on into "sub"'s.
    first = first_cluster(volume, layout, b"BIG        ")
    set_fat(volume, layout, first + 4, first_cluster(volume, layout, b"SUB        "))


def directory_loop(volume, layout):
    # "sub"'s first entry after "." and ".." becomes a directory: "sub" itself.
    cluster = first_cluster(volume, layout, b"SUB        ")
    inside = layout["data_at"] + (cluster - 2) * layout["cluster"] + 64
    volume[inside:inside + 11] = b"LOOP       "
    volume[inside + 11] = 0x10
    volume[inside + 26:inside + 28] = cluster.to_bytes(2, "little")


def fats_differ(volume, layout):
    volume[512 * (layout["reserved"] + layout["fat_sectors"]) + 100] ^= 0xff


def lost(volume, layout):
    set_fat(volume, layout, 1000, 0xffff)


def short_size(volume, layout):
    # "big" says 100 bytes, its chain holds 9000.
    at = short_entry(volume, layout["root_at"], layout["data_at"], b"BIG        ")
    volume[at + 28:at + 32] = (100).to_bytes(4, "little")


def shared_directories(volume, layout):
    # 24 levels of directories, each holding two entries for the next: a
    # tree of 2^24 paths through 24 clusters.
    for level in range(24):
        cluster = 1000 + level
        at = layout["data_at"] + (cluster - 2) * layout["cluster"]
        volume[at:at + layout["cluster"]] = bytes(layout["cluster"])
        for number, name in enumerate((b"A          ", b"B          ")):
            entry = at + 32 * number
            volume[entry:entry + 11] = name
            volume[entry + 11] = 0x10
            volume[entry + 26:entry + 28] = (cluster + 1).to_bytes(2, "little")
        set_fat(volume, layout, cluster, 0xffff)
    last = layout["data_at"] + (1024 - 2) * layout["cluster"]
    volume[last:last + layout["cluster"]] = bytes(layout["cluster"])
    set_fat(volume, layout, 1024, 0xffff)
    at = short_entry(volume, layout["root_at"], layout["data_at"], b"SUB        ")
    volume[at + 26:at + 28] = (1000).to_bytes(2, "little")


DAMAGE = [("chain loop", fat16_loop, "loops back", True), ("cross-link", cross_link, "in two chains", False),
          ("directory loop", directory_loop, "holds itself", True), ("FATs differ", fats_differ, "FATs differ", False),
          ("lost clusters", lost, "1 lost clusters", False),
          ("short size", short_size, "a size its chain does not fit", False),
          ("shared directories", shared_directories, "in two chains", True)]
for name, change, finding, stops in DAMAGE:
    broken = here(name.replace(" ", "-") + ".img")
    tree = here(name.replace(" ", "-"))
    write(os.path.join(tree, "big"), os.urandom(9000))
    write(os.path.join(tree, "sub", "file"), b"x")
    run(TOOL, "--size=20M", "--add=" + tree + "/.", broken)
    damage(broken, change)
    if ROOT:
        offset, size = volume_offset(broken)
        device = run("losetup", "-f", "--show", "-o", str(offset), "--sizelimit", str(size),
                     broken).stdout.decode().strip()
        check(run("fsck.fat", "-n", device).returncode != 0, "%s: fsck.fat -n finds it too" % name)
        run("losetup", "-d", device)
    info = run(TOOL, "--info", broken)
    check(info.returncode == 2 and finding.encode() in info.stdout, "%s: --info: %s" % (name, info.stdout[-300:]))
    before = sha(broken)
    out = run(TOOL, "--add=" + os.path.join(tree, "sub"), broken)
    check(out.returncode == 1 and b"is damaged" in out.stderr and sha(broken) == before,
          "%s: --add refuses it, writing nothing: %s" % (name, out.stderr))
    if not stops:
        continue
    for job in (["--list"], ["--extract=" + here(name.replace(" ", "-") + "-out")]):
        out = run(TOOL, *job, broken)
        check(out.returncode == 1 and out.stderr.startswith(b"damaged volume\n"),
              "%s: %s ends with an error: %s" % (name, job[0], out.stderr))

finish()
