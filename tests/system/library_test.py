#!/usr/bin/env python3
"""library_test.py BUILD_DIR TOOL: libblankimg as a program that uses it
sees it. Installed, the shared library exports blankimg_* names alone and
needs no C++ library; examples/new_disk.c builds against it through
pkg-config and through CMake's find_package, and the disk each run makes
is intact for --info, clean for fsck.fat, and byte for byte the disk the
tool makes of the same request. Through ctypes, the raw jobs give what
--from-raw and --to-raw give, and the errors are the tool's. Prints "N
passed, N failed"."""
import atexit, ctypes, json, os, shutil, subprocess, sys, tempfile

from tally import check, finish

BUILD, TOOL = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
work = tempfile.mkdtemp(prefix="blankimg-library-")
atexit.register(shutil.rmtree, work, True)
prefix = os.path.join(work, "prefix")


def run(*command, **options):
    return subprocess.run(command, capture_output=True, **options)


check(run("cmake", "--install", BUILD, "--prefix", prefix).returncode == 0, "installed")
libdir = next(os.path.join(root) for root, _, files in os.walk(prefix) if "libblankimg.so.1" in files)
shared = os.path.join(libdir, "libblankimg.so.1")
exported = run("nm", "-D", "--defined-only", shared).stdout.decode().split("\n")
names = [line.split()[-1] for line in exported if line.strip()]
check(names and all(name.startswith("blankimg_") for name in names), "exported: %s" % names)
dynamic = run("readelf", "-d", shared).stdout.decode()
check("Library soname: [libblankimg.so.1]" in dynamic and "libstdc++" not in dynamic,
      "soname and no C++ library: %s" % dynamic)

env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(libdir, "pkgconfig"), LD_LIBRARY_PATH=libdir)
flags = run("pkg-config", "--cflags", "--libs", "blankimg", env=env).stdout.decode().split()
example = os.path.join(SOURCE, "examples", "new_disk.c")
by_pkg_config = os.path.join(work, "new_disk_pkg")
built = run("cc", "-std=c11", "-Wall", "-Wextra", "-pedantic", "-Werror", example, *flags, "-o", by_pkg_config)
check(built.returncode == 0, "built with pkg-config %s: %s" % (flags, built.stderr))
# The header is C++ too.
as_cxx = run("c++", "-std=c++17", "-Wall", "-Werror", "-fsyntax-only", "-x", "c++", example, *flags[:1])
check(as_cxx.returncode == 0, "the header as C++: %s" % as_cxx.stderr)
cmake_build = os.path.join(work, "cmake-build")
configured = run("cmake", "-S", os.path.join(SOURCE, "examples"), "-B", cmake_build,
                 "-DCMAKE_PREFIX_PATH=" + prefix)
built = run("cmake", "--build", cmake_build)
check(configured.returncode == 0 and built.returncode == 0,
      "built with find_package: %s %s" % (configured.stderr, built.stdout[-2000:]))

# The tool makes the same disk of the same request, at the same moment.
made_by_tool = os.path.join(work, "tool.img")
run(TOOL, "--fat", "--label=GAMES", "--size=64M", made_by_tool, env=dict(env, SOURCE_DATE_EPOCH="0"))
with open(made_by_tool, "rb") as image:
    tool_bytes = image.read()
for program in (by_pkg_config, os.path.join(cmake_build, "new_disk")):
    image = program + ".img"
    ran = run(program, image, env=env)
    check(ran.returncode == 0 and b"FAT16 volume \"GAMES\"" in ran.stdout, "%s ran: %s %s" % (program, ran.stdout, ran.stderr))
    info = run(TOOL, "--info", "--output=json", image)
    check(info.returncode == 0, "%s intact: %s" % (image, info.stdout))
    volume = json.loads(info.stdout)["partitions"][0]
    with open(image, "rb") as made:
        disk = made.read()
    check(disk == tool_bytes, "%s: the tool's bytes" % image)
    extracted = image + ".volume"
    with open(extracted, "wb") as out:
        out.write(disk[volume["offset"]:volume["offset"] + volume["sectors"] * 512])
    fsck = run("fsck.fat", "-n", extracted)
    check(fsck.returncode == 0, "%s: fsck.fat %s" % (image, fsck.stdout))
    # With a file to add, it is on the volume, as the tool lists it.
    with_file = program + "-file.img"
    ran = run(program, with_file, example, env=env)
    listed = run(TOOL, "--list", "--output=json", with_file)
    check(ran.returncode == 0 and [(f["path"], f["size"]) for f in json.loads(listed.stdout or b"[]")] ==
          [("new_disk.c", os.path.getsize(example))], "%s added a file: %s %s" % (program, ran.stderr, listed.stdout))

# The raw jobs, called as a C program calls them, against the tool's.
library = ctypes.CDLL(shared)
library.blankimg_work_size.restype = ctypes.c_size_t
library.blankimg_strerror.restype = ctypes.c_char_p
work_memory = ctypes.create_string_buffer(library.blankimg_work_size())

# The file jobs: a listing the caller stops after its first file.
taken = []
TAKE = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
take = TAKE(lambda context, file: taken.append(ctypes.cast(file, ctypes.POINTER(ctypes.c_char_p))[0]) or 0)
listed = library.blankimg_list_files(with_file.encode(), 0, take, None, work_memory, len(work_memory))
check(listed == 0 and taken == [b"new_disk.c"], "blankimg_list_files: %d %s" % (listed, taken))


class Progress(ctypes.Structure):
    _fields_ = [("report", ctypes.c_void_p), ("finish", ctypes.c_void_p), ("context", ctypes.c_void_p)]


class Geometry(ctypes.Structure):
    _fields_ = [("cylinders", ctypes.c_uint64), ("heads", ctypes.c_uint32),
                ("sectors_per_track", ctypes.c_uint32), ("bytes_per_sector", ctypes.c_uint32)]


class Create(ctypes.Structure):
    _fields_ = [("path", ctypes.c_char_p), ("floppy", ctypes.c_char_p), ("size", ctypes.c_uint64),
                ("sector_size", ctypes.c_uint32), ("geometry", Geometry), ("blocksize", ctypes.c_uint32),
                ("preallocation", ctypes.c_int), ("fat", ctypes.c_int), ("partitioning", ctypes.c_int),
                ("label", ctypes.c_char_p), ("made_at", ctypes.c_uint64), ("from_raw", ctypes.c_char_p),
                ("no_clobber", ctypes.c_int), ("sync", ctypes.c_int), ("progress", Progress)]


class ToRaw(ctypes.Structure):
    _fields_ = [("image", ctypes.c_char_p), ("raw", ctypes.c_char_p), ("preallocation", ctypes.c_int),
                ("no_clobber", ctypes.c_int), ("sync", ctypes.c_int), ("progress", Progress)]


def call(job, request):
    return getattr(library, job)(ctypes.byref(request), work_memory, len(work_memory))


raw = os.path.join(work, "disk.raw")
run(TOOL, "--to-raw=" + raw, made_by_tool)
for name, create, tool_arguments, error in [
        ("from a raw disk", Create(from_raw=raw.encode(), preallocation=1), ["--from-raw=" + raw], 0),
        ("a floppy of no such size", Create(floppy=b"1.5M"), ["--floppy=1.5M"], 5),
        ("a label FAT refuses", Create(size=10 << 20, fat=1, label=b"A*B"), ["--fat", "--label=A*B", "--size=10M"], 7)]:
    by_library, by_tool = os.path.join(work, "library.img"), os.path.join(work, "tool.img")
    create.path = by_library.encode()
    returned = call("blankimg_create", create)
    made = run(TOOL, *tool_arguments, by_tool)
    check(returned == error and (made.returncode == 0) == (error == 0) and
          (error == 0 or made.stderr.decode().startswith(library.blankimg_strerror(error).decode() + "\n")),
          "%s: %d, %s" % (name, returned, made.stderr))
    if error == 0:
        check(open(by_library, "rb").read() == open(by_tool, "rb").read() and
              os.stat(by_library).st_blocks <= os.stat(by_tool).st_blocks + 64, name + ": the tool's bytes and holes")
        out = os.path.join(work, "library.raw")
        returned = call("blankimg_to_raw", ToRaw(image=by_library.encode(), raw=out.encode()))
        check(returned == 0 and open(out, "rb").read() == open(raw, "rb").read(), "to raw: %d" % returned)

# Inspected: intact, then damaged as --info finds it (status 2).
info = ctypes.create_string_buffer(4096)
damaged = os.path.join(work, "library.img")
verdicts = [library.blankimg_inspect(damaged.encode(), info, work_memory, len(work_memory))]
with open(damaged, "r+b") as image:
    image.seek(88)
    image.write(b"NotTheEnd")
verdicts.append(library.blankimg_inspect(damaged.encode(), info, work_memory, len(work_memory)))
check(verdicts == [0, 16] and run(TOOL, "--info", damaged).returncode == 2, "inspected: %s" % verdicts)

finish()
