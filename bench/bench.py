#!/usr/bin/env python3
"""Benchmark of stowpak: the pack, and the walk of wide and flat trees.

Builds the tool (or takes --tool) and the floor program bench/floor.c
(with `cc -O2`, beside the tool's build in build/bench), makes three
workspaces in a fresh temporary directory, and times the tool against a
common command doing comparable work in the same workspace, and against the
floor:

  W1  a real pack: 83 files of 24,576 bytes in a few directories (63 packed,
      20 beyond the limit), against `tar -cf OUT root`;
  W2  a wide tree: 200,000 entries in 2,000 directories, 63 of them files of
      24,576 bytes and the rest 16-byte files, against `find -L root -type f`;
  W3  one flat directory of 100,000 16-byte files, against the same find.

The floor does the system work of one pack and nothing else: it reads the
template's header, lists every folder with getdents64 in large blocks,
opens folders relative to their parent, takes a status only for links and
entries of unknown kind, reads the head of the first 63 regular files it
meets and writes, syncs and renames the image as the tool does; it sorts,
prints and builds no paths. Its image is checked like the tool's.

--scale multiplies the entry counts of W2 and W3 (W1 is fixed). The three
commands run in turn (tool, other, floor), one round after another, after a
warm-up round; the times are medians over --runs rounds, and tool/floor is
the median over the rounds of the tool's time over the floor's in the same
round. Wall time is taken with time.perf_counter around
each run, peak resident memory from the ru_maxrss that os.wait4 returns for
that run's process. Linux only (ru_maxrss in KiB, child subreaper).

Usage: bench/bench.py [--tool PATH] [--scale F] [--runs N] [--tmp DIR]
The table goes to standard output, progress to standard error.
"""
import argparse
import ctypes
import errno
import os
import platform
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

HEADER_SIZE = 768
RECORD_SIZE = 20096
IMAGE_SIZE = HEADER_SIZE + 64 * RECORD_SIZE  # 63 records and the closing one
FULL_SIZE = 24576                            # a source file read whole
SMALL_SIZE = 16
PACKED = 63
MIN_ENTRIES = 500

W1_DIRS = ["area1", "area2", "area2/deep", "area3"]
W1_FILES = PACKED + 20


class BenchError(Exception):
    pass


def progress(text):
    print(text, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# Workspaces
# ---------------------------------------------------------------------------

FULL_BASE = bytes(((k * 7) % 251) + 1 for k in range(FULL_SIZE))
SMALL_DATA = b"stowpak bench\n\0\0"[:SMALL_SIZE]


def full_file(number):
    """A 24,576-byte source file whose label field names it."""
    data = bytearray(FULL_BASE)
    label = b"FILE %05d\0" % number
    data[96:96 + len(label)] = label
    return bytes(data)


def write_file(path, data):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
    finally:
        os.close(fd)


def new_workspace(path):
    os.mkdir(path)
    os.mkdir(os.path.join(path, "root"))
    template = bytes((i * 13) % 256 for i in range(1024))
    write_file(os.path.join(path, "HXQT.GBA"), template)


class Counter:
    """Prints a preparation line at each tenth of `total` entries."""

    def __init__(self, name, total):
        self.name, self.total, self.done, self.next = name, total, 0, 0

    def add(self, n=1):
        self.done += n
        if self.done >= self.next:
            progress("  %s: %d/%d entries" % (self.name, self.done, self.total))
            self.next += max(self.total // 10, 1)


def make_w1(path):
    """83 full files over four directories, one nested; 87 entries."""
    new_workspace(path)
    root = os.path.join(path, "root")
    for d in W1_DIRS:
        os.mkdir(os.path.join(root, d))
    for i in range(W1_FILES):
        d = W1_DIRS[i % len(W1_DIRS)]
        write_file(os.path.join(root, d, "f%03d.bin" % i), full_file(i))
    return len(W1_DIRS) + W1_FILES


def make_w2(path, entries, dirs):
    """`entries` entries: `dirs` directories below root holding the files.
    The first directory's first 63 files, the ones packed, are full size."""
    new_workspace(path)
    root = os.path.join(path, "root")
    files = entries - dirs
    counter = Counter("W2", entries)
    for j in range(dirs):
        sub = os.path.join(root, "d%05d" % j)
        os.mkdir(sub)
        count = files // dirs + (1 if j < files % dirs else 0)
        for k in range(count):
            data = full_file(k) if j == 0 and k < PACKED else SMALL_DATA
            write_file(os.path.join(sub, "f%06d.dat" % k), data)
        counter.add(count + 1)
    return entries


def make_w3(path, entries):
    """`entries` small files in root itself."""
    new_workspace(path)
    root = os.path.join(path, "root")
    counter = Counter("W3", entries)
    for k in range(entries):
        write_file(os.path.join(root, "f%06d.dat" % k), SMALL_DATA)
        if k % 1000 == 999 or k == entries - 1:
            counter.add(k % 1000 + 1)
    return entries


# ---------------------------------------------------------------------------
# Running a command
# ---------------------------------------------------------------------------

PR_SET_CHILD_SUBREAPER = 36


class Launcher:
    """Runs commands and reports each one's wall time, exit status and peak RSS.

    On Linux a child's ru_maxrss starts from the peak RSS of the process it
    was forked from (exec keeps the replaced image's peak), so a command
    started straight from this Python process (some 15 MiB) would report at
    least that much. Instead a small
    shell forks each command: the command waits on a FIFO, this process (a
    child subreaper) adopts it once the shell's subshell has exited, opens
    the FIFO to let it go and times it from there to its exit, reaping it
    with os.wait4. Waiting until released also keeps the subshell from
    reaping it first. A bare `true` reads about 1 MiB this way.
    """

    def __init__(self, tmp):
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
            raise BenchError("cannot become a child subreaper (Linux only): "
                             + os.strerror(ctypes.get_errno()))
        self.fifo = os.path.join(tmp, "go")
        os.mkfifo(self.fifo)
        self.shell = subprocess.Popen(["/bin/sh"], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, text=True,
                                      bufsize=1)
        self.pending = None

    def run(self, argv, cwd):
        """Answers (seconds, exit status, peak RSS in KiB) of one run of
        `argv` in `cwd`, with standard input and output on /dev/null."""
        line = "( ( read -r _ <%s && cd %s && exec %s ) </dev/null >/dev/null" \
               " & echo $! )\n" % (shlex.quote(self.fifo), shlex.quote(cwd),
                                   shlex.join(argv))
        self.shell.stdin.write(line)
        self.shell.stdin.flush()
        reply = self.shell.stdout.readline()
        if not reply.strip().isdigit():
            raise BenchError("the launching shell failed (%r)" % reply)
        pid = self.pending = int(reply)
        fd = self._release_end(pid)
        try:
            start = time.perf_counter()
            os.write(fd, b"\n")
            _, status, usage = os.wait4(pid, 0)
            seconds = time.perf_counter() - start
        finally:
            os.close(fd)
        self.pending = None
        return seconds, os.waitstatus_to_exitcode(status), usage.ru_maxrss

    def _release_end(self, pid):
        """Waits until `pid` is this process's child and is reading the FIFO;
        answers the FIFO's write end."""
        deadline = time.monotonic() + 10.0
        while time.monotonic() < deadline:
            try:
                adopted = os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                adopted = None  # its subshell has not exited yet
            if adopted is not None:
                if adopted[0] == pid:
                    self.pending = None
                    raise BenchError("a command ended before it was started")
                try:
                    return os.open(self.fifo, os.O_WRONLY | os.O_NONBLOCK)
                except OSError as e:
                    if e.errno != errno.ENXIO:
                        raise
            time.sleep(0.0002)
        raise BenchError("a command did not start within 10 s")

    def close(self):
        if self.pending is not None:
            try:
                os.kill(self.pending, 9)
                os.waitpid(self.pending, 0)
            except OSError:
                pass
        try:
            self.shell.stdin.close()
        except OSError:
            pass
        self.shell.wait()


def measure(launcher, name, ws, commands, runs):
    """Runs `commands`, a list of (key, argv, check after each run), in turn
    in `ws`: a warm-up round, then `runs` rounds. Answers, for each key, the
    list of (ms, peak RSS KiB) of its runs, round by round."""
    results = {key: [] for key, _, _ in commands}
    for i in range(runs + 1):
        for key, argv, check in commands:
            seconds, status, rss = launcher.run(argv, ws)
            if status != 0:
                raise BenchError("%s: `%s` exited with status %d (in %s)"
                                 % (name, shlex.join(argv), status, ws))
            check()
            if i > 0:
                results[key].append((seconds * 1000.0, rss))
        progress("  %s: run %d/%d" % (name, i, runs) if i else
                 "  %s: warm-up done" % name)
    return results


# ---------------------------------------------------------------------------
# Build, main
# ---------------------------------------------------------------------------

def build_tool():
    if shutil.which("cmake") is None:
        raise BenchError("cmake not found; install it or pass --tool PATH")
    build = os.path.join(REPO, "build", "bench")
    for cmd in (["cmake", "-S", REPO, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                 "-DSTOWPAK_TESTS=OFF"],
                ["cmake", "--build", build, "-j2"]):
        progress("$ " + shlex.join(cmd))
        if subprocess.run(cmd, stdout=sys.stderr).returncode != 0:
            raise BenchError("the build failed: " + shlex.join(cmd))
    return os.path.join(build, "stowpak")


def build_floor():
    """Compiles bench/floor.c into build/bench/floor; answers its path."""
    if shutil.which("cc") is None:
        raise BenchError("`cc` not found; the floor program bench/floor.c "
                         "needs a C compiler")
    build = os.path.join(REPO, "build", "bench")
    os.makedirs(build, exist_ok=True)
    out = os.path.join(build, "floor")
    cmd = ["cc", "-O2", "-Wall", "-Wextra", "-o", out,
           os.path.join(REPO, "bench", "floor.c")]
    progress("$ " + shlex.join(cmd))
    if subprocess.run(cmd, stdout=sys.stderr).returncode != 0:
        raise BenchError("the build failed: " + shlex.join(cmd))
    return out


def source_version():
    """The commit the tool was built from, marked when src/ differs."""
    try:
        head = subprocess.run(["git", "-C", REPO, "rev-parse", "--short",
                               "HEAD"], capture_output=True, text=True)
        dirty = subprocess.run(["git", "-C", REPO, "status", "--porcelain",
                                "--", "src", "CMakeLists.txt"],
                               capture_output=True, text=True)
    except OSError:
        return None
    if head.returncode != 0:
        return None
    return head.stdout.strip() + (" + local changes" if dirty.stdout else "")


def check_image(ws, who):
    """Checks the size of the image `who` wrote in `ws`, then removes it."""
    path = os.path.join(ws, "STOWPK.GBA")
    try:
        size = os.stat(path).st_size
    except FileNotFoundError:
        raise BenchError("%s exited 0 but wrote no %s" % (who, path))
    if size != IMAGE_SIZE:
        raise BenchError("%s from %s is %d bytes, expected %d"
                         % (path, who, size, IMAGE_SIZE))
    os.unlink(path)


def remove_if_present(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def mib(kib_values):
    return statistics.median(kib_values) / 1024.0


def main():
    parser = argparse.ArgumentParser(
        description="Times stowpak against tar, find and its floor program "
        "on generated trees.")
    parser.add_argument("--tool", help="stowpak binary to measure "
                        "(default: build it into build/bench)")
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiplies the entry counts of W2 and W3 "
                        "(default 1.0)")
    parser.add_argument("--runs", type=int, default=11,
                        help="measured runs of each command (default 11)")
    parser.add_argument("--tmp", default=None,
                        help="where to make the temporary directory "
                        "(default: the system's)")
    args = parser.parse_args()
    if args.scale <= 0 or args.runs < 1:
        parser.error("--scale must be positive and --runs at least 1")

    for name in ("tar", "find"):
        if shutil.which(name) is None:
            raise BenchError("`%s` not found on PATH; the benchmark compares "
                             "with it" % name)
    if not os.path.exists("/bin/sh"):
        raise BenchError("/bin/sh not found")

    if args.tool:
        tool = os.path.abspath(args.tool)
        version = None
    else:
        tool = build_tool()
        version = source_version()
    if not (os.path.isfile(tool) and os.access(tool, os.X_OK)):
        raise BenchError("no executable tool at " + tool)
    floor = build_floor()

    w2_entries = max(round(200000 * args.scale), MIN_ENTRIES)
    w2_dirs = max(round(2000 * args.scale), 5)
    w3_entries = max(round(100000 * args.scale), MIN_ENTRIES)

    tmp = tempfile.mkdtemp(prefix="stowpak-bench-", dir=args.tmp)
    launcher = None
    try:
        progress("preparing workspaces in " + tmp)
        tar_out = os.path.join(tmp, "out.tar")
        w1, w2, w3 = (os.path.join(tmp, n) for n in ("w1", "w2", "w3"))
        workloads = [
            ("W1 pack", w1, make_w1(w1), ["tar", "-cf", tar_out, "root"],
             lambda: remove_if_present(tar_out)),
            ("W2 wide tree", w2, make_w2(w2, w2_entries, w2_dirs),
             ["find", "-L", "root", "-type", "f"], lambda: None),
            ("W3 flat dir", w3, make_w3(w3, w3_entries),
             ["find", "-L", "root", "-type", "f"], lambda: None),
        ]
        progress("syncing")
        os.sync()

        launcher = Launcher(tmp)
        rows = []
        for name, ws, entries, other, after_other in workloads:
            commands = [
                ("tool", [tool], lambda ws=ws: check_image(ws, "stowpak")),
                ("other", other, after_other),
                ("floor", [floor], lambda ws=ws: check_image(ws, "floor")),
            ]
            got = measure(launcher, name, ws, commands, args.runs)
            t, o, f = got["tool"], got["other"], got["floor"]
            tool_ms = statistics.median(ms for ms, _ in t)
            other_ms = statistics.median(ms for ms, _ in o)
            floor_ms = statistics.median(ms for ms, _ in f)
            paired = statistics.median(a / b for (a, _), (b, _) in zip(t, f))
            shown = "tar -cf OUT root" if other[0] == "tar" else shlex.join(other)
            rows.append((name, entries, tool_ms, shown, other_ms,
                         tool_ms / other_ms, mib(k for _, k in t),
                         mib(k for _, k in o), floor_ms, paired,
                         mib(k for _, k in f)))
        _, _, bare = launcher.run([shutil.which("true") or "/bin/true"], tmp)
    finally:
        if launcher is not None:
            launcher.close()
        progress("removing " + tmp)
        shutil.rmtree(tmp, ignore_errors=True)

    cpus = len(os.sched_getaffinity(0))
    print("stowpak benchmark: %d CPUs (nproc), %s %s; scale %g; %d runs, medians"
          % (cpus, platform.system(), platform.release(), args.scale,
             args.runs))
    if version:
        print("stowpak built from %s (Release)" % version)
    fmt = "%-12s %7s %10s  %-20s %9s %6s %11s %9s %9s %10s %9s"
    print(fmt % ("workload", "entries", "stowpak ms", "other command",
                 "other ms", "ratio", "stowpak MiB", "other MiB", "floor ms",
                 "tool/floor", "floor MiB"))
    for (name, entries, tool_ms, shown, other_ms, ratio, tool_mib, other_mib,
         floor_ms, paired, floor_mib) in rows:
        print(fmt % (name, entries, "%.2f" % tool_ms, shown, "%.2f" % other_ms,
                     "%.2f" % ratio, "%.1f" % tool_mib, "%.1f" % other_mib,
                     "%.2f" % floor_ms, "%.2f" % paired, "%.1f" % floor_mib))
    print("ratio = stowpak ms / other ms (of the medians); tool/floor = median "
          "over the rounds of stowpak ms / floor ms in the same round")
    print("floor = bench/floor.c: the system calls of one pack (list, open, "
          "status, read, write, sync, rename), nothing sorted or printed")
    print("MiB = peak RSS (ru_maxrss); a bare `true` shows %.1f MiB"
          % (bare / 1024.0))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BenchError as e:
        print("bench.py: " + str(e), file=sys.stderr)
        sys.exit(1)
