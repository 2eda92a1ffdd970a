#!/usr/bin/env python3
"""The serial line on a real Linux kernel.

Boots Debian's own kernel under QEMU (TCG) with a busybox initramfs, a second 16550 UART (guest
ttyS1) and QEMU's FTDI adapter on xHCI (guest ttyUSB0), runs line_driver inside, and checks
every modem-line change QEMU traces against one table per device. The console is the guest's
own ttyS0; nothing here opens a serial device of this host.

  kernel_rig.py [--bench] LINE_DRIVER WORK_DIR [KERNEL_CACHE_DIR]
--bench runs rounds of open/pull in/release/close and prints the timings, without a verdict.
Exit 77 only when the kernel package cannot be had.
"""
import glob, json, lzma, os, queue, re, shutil, socket, statistics, subprocess, sys, tempfile
import threading, time

bench = "--bench" in sys.argv
arguments = [a for a in sys.argv[1:] if a != "--bench"]
driver, work = arguments[:2]
cache = arguments[2] if len(arguments) > 2 else os.path.join(work, "cache")
os.makedirs(work, exist_ok=True)
os.makedirs(cache, exist_ok=True)


# Load order matters: insmod does not follow dependencies.
MODULES = ["drivers/usb/common/usb-common", "drivers/usb/core/usbcore",
           "drivers/usb/host/xhci-hcd", "drivers/usb/host/xhci-pci",
           "drivers/usb/serial/usbserial", "drivers/usb/serial/ftdi_sio"]

# Ports 3 and 4 are second nodes with the numbers of 1 and 2: the lock must go by device number.
INIT = """#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
mount -t tmpfs run /run; mkdir -p /run/lock /var; chmod 1777 /run/lock; ln -s /run/lock /var/lock
for m in %s; do insmod /modules/$m.ko; done
n=0; while [ ! -c /dev/ttyUSB0 ] && [ $n -lt 500 ]; do sleep 0.02; n=$((n+1)); done
[ -c /dev/ttyUSB0 ] || { dmesg | tail -n 40; echo @@no-adapter; reboot -f; }
node() { mknod $2 c $((0x$(stat -c %%t $1))) $((0x$(stat -c %%T $1))); }
node /dev/ttyS1 /dev/relay-s1; node /dev/ttyUSB0 /dev/relay-usb0
stty -echo
echo @@ready
VANTRELO_PORTS=/dev/ttyS1:/dev/ttyUSB0:/dev/relay-s1:/dev/relay-usb0 \\
    LD_LIBRARY_PATH=/lib/x86_64-linux-gnu /line_driver
reboot -f
""" % " ".join(os.path.basename(m) for m in MODULES)


def kernel():
    """Debian's current kernel, fetched once into the build tree and never installed. Only the
    image and the few modules the guest loads are kept: the whole package unpacks to 450 MB."""
    deps = subprocess.run(["apt-cache", "depends", "linux-image-amd64"],
                          capture_output=True, text=True).stdout
    names = re.findall(r"Depends: (linux-image-\S+)", deps)
    want = f"{cache}/{names[0][len('linux-image-'):]}" if names else None
    download = f"{cache}/download"
    if want and not os.path.exists(f"{want}/vmlinuz"):
        subprocess.run(["rm", "-rf", download], check=True)
        os.makedirs(download)
        if subprocess.run(["apt-get", "download", names[0]], cwd=download).returncode == 0:
            tree = f"{download}/tree"
            subprocess.run(["dpkg-deb", "-x", glob.glob(f"{download}/*.deb")[0], tree],
                           check=True)
            subprocess.run(f"rm -rf {cache}/*/vmlinuz {cache}/*/modules", shell=True)
            os.makedirs(f"{want}/modules", exist_ok=True)
            for m in MODULES:
                # Debian 13 keeps them under /usr and compressed; busybox's insmod takes them plain.
                found = glob.glob(f"{tree}/lib/modules/*/kernel/{m}.ko*") + \
                    glob.glob(f"{tree}/usr/lib/modules/*/kernel/{m}.ko*")
                if not found:
                    sys.exit(f"FAIL: {names[0]} has no module {m}")
                with (lzma.open if found[0].endswith(".xz") else open)(found[0], "rb") as module:
                    data = module.read()
                open(f"{want}/modules/{os.path.basename(m)}.ko", "wb").write(data)
            os.rename(glob.glob(f"{tree}/boot/vmlinuz-*")[0], f"{want}/vmlinuz")
        subprocess.run(["rm", "-rf", download], check=True)
    # Without the network an older kernel kept here still does.
    kept = sorted(glob.glob(f"{cache}/*/vmlinuz"))
    if not kept:
        print("SKIP: no kernel package to boot")
        sys.exit(77)
    return kept[-1], os.path.dirname(kept[-1]) + "/modules"


def initramfs(path, modules):
    """A newc cpio written here, so no cpio tool or root is needed for the console node."""
    files = {"init": INIT.encode(), "bin/busybox": open("/bin/busybox", "rb").read(),
             "line_driver": open(driver, "rb").read()}
    for m in MODULES:
        name = f"{os.path.basename(m)}.ko"
        files[f"modules/{name}"] = open(f"{modules}/{name}", "rb").read()
    ldd = subprocess.run(["ldd", driver], capture_output=True, text=True, check=True).stdout
    for lib in re.findall(r"(/\S+) \(0x", ldd):
        files[lib.lstrip("/")] = open(os.path.realpath(lib), "rb").read()
    out, ino = bytearray(), [0]

    def entry(name, mode, data=b"", rdev=(0, 0)):
        ino[0] += 1
        fields = [ino[0], mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name) + 1, 0]
        out.extend(b"070701" + b"".join(b"%08x" % f for f in fields) + name.encode() + b"\0")
        out.extend(b"\0" * (-len(out) % 4) + data + b"\0" * (-len(data) % 4))

    dirs = {"dev", "proc", "sys", "run", "bin"}
    for name in files:
        parts = name.split("/")[:-1]
        dirs.update("/".join(parts[:i + 1]) for i in range(len(parts)))
    for d in sorted(dirs):
        entry(d, 0o40755)
    entry("dev/console", 0o20600, rdev=(5, 1))
    for name, data in files.items():
        entry(name, 0o100755, data)
    entry("TRAILER!!!", 0)
    open(path, "wb").write(out)


# The booted guest: its console for the steps and its QMP monitor for unplugging the adapter.
class Guest:
    def __init__(self):
        vmlinuz, modules = kernel()
        initrd, self.trace = f"{work}/initramfs.cpio", f"{work}/trace.log"
        initramfs(initrd, modules)
        # A socket's path must fit in 108 bytes, which a build tree's may not.
        self.sockets = tempfile.mkdtemp(prefix="kernel-rig-")
        self.qmp_path = f"{self.sockets}/qmp"
        if os.path.exists(self.trace):
            os.remove(self.trace)
        # QEMU attaches usb-serial only once its chardev is open, which a null chardev never
        # is. Guest ttyS1 needs no backend: its modem lines are read from the trace.
        self.qemu = subprocess.Popen(
            ["qemu-system-x86_64", "-accel", "tcg", "-m", "512", "-nodefaults",
             "-no-user-config", "-display", "none", "-vga", "none", "-monitor", "none",
             "-no-reboot", "-kernel", vmlinuz, "-initrd", initrd,
             "-append", "console=ttyS0 quiet loglevel=1 panic=-1 usbcore.autosuspend=-1",
             "-serial", "stdio", "-serial", "null",
             "-device", "qemu-xhci,id=xhci", "-chardev", "file,id=usbchr,path=/dev/null",
             "-device", "usb-serial,id=ftdi,chardev=usbchr",
             "-qmp", f"unix:{self.qmp_path},server=on,wait=off",
             "-msg", "timestamp=on", "-D", self.trace,
             "-d", "trace:serial_write,trace:usb_serial_handle_control"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.lines = queue.Queue()
        self.console = open(f"{work}/console.log", "w")
        threading.Thread(target=self.read, daemon=True).start()
        try:
            self.expect("@@ready", 120)
            self.qmp = socket.socket(socket.AF_UNIX)
            self.qmp.connect(self.qmp_path)
            self.qmp_file = self.qmp.makefile("rw")
            self.qmp_file.readline()
            self.command("qmp_capabilities")
        except BaseException:
            self.finish()
            raise

    def read(self):
        for raw in self.qemu.stdout:
            line = raw.decode(errors="replace").rstrip("\r\n")
            self.console.write(line + "\n")
            self.console.flush()
            self.lines.put(line)
        self.lines.put(None)

    def expect(self, prefix, timeout=30):
        end = time.monotonic() + timeout
        while True:
            line = self.lines.get(timeout=max(0.1, end - time.monotonic()))
            if line is None:
                raise RuntimeError("guest stopped")
            if prefix in line:
                return line[line.index(prefix):]

    def step(self, marker, command):
        self.qemu.stdin.write(f"{marker} {command}\n".encode())
        self.qemu.stdin.flush()
        return self.expect(f"@@ {marker} ").split(" ", 2)[2]

    def command(self, name, wait_event=None, **arguments):
        self.qmp_file.write(json.dumps({"execute": name, "arguments": arguments}) + "\n")
        self.qmp_file.flush()
        seen_return, seen_event = False, wait_event is None
        while not (seen_return and seen_event):
            reply = json.loads(self.qmp_file.readline())
            if "error" in reply:
                raise RuntimeError(reply["error"])
            seen_return |= "return" in reply
            seen_event |= reply.get("event") == wait_event

    def unplug(self):
        self.command("device_del", "DEVICE_DELETED", id="ftdi")

    def plug(self):
        self.command("device_add", driver="usb-serial", id="ftdi", chardev="usbchr")

    def finish(self):
        shutil.rmtree(self.sockets, ignore_errors=True)
        try:
            self.step(0, "quit")
            self.qemu.wait(30)
        except Exception:
            self.qemu.kill()
            self.qemu.wait()
            self.console.flush()
            print("The guest's console, last lines:")
            print("".join(open(f"{work}/console.log").readlines()[-30:]))


def trace_events(path):
    """(time, kind, value): 'mark' for a step's marker, 'uart'/'usb' for modem-line writes."""
    events = []
    for line in open(path):
        m = re.match(r"\d+@(\d+\.\d+):(\w+) (.*)", line)
        if not m:
            continue
        t, event, rest = float(m[1]), m[2], m[3]
        if event == "serial_write":
            addr, val = (int(x, 16) for x in re.findall(r"0x([0-9a-f]+)", rest))
            if addr == 7:
                events.append((t, "mark", val))
            elif addr == 4:
                # A full MCR write: both lines' levels.
                events.append((t, "uart", {"rts": val >> 1 & 1, "dtr": val & 1}))
        elif event == "usb_serial_handle_control":
            request, value = (int(x, 16) for x in re.findall(r"0x([0-9a-f]+)", rest))
            # FTDI SET_MODEM_CTRL: bits 8/9 say which of DTR/RTS bits 0/1 apply.
            if request == 0x4001:
                change = {}
                if value & 0x200:
                    change["rts"] = value >> 1 & 1
                if value & 0x100:
                    change["dtr"] = value & 1
                events.append((t, "usb", change))
    return events


# One row per step: name, command (or host action), what the answer must be, then the lines:
# rts "0"/"1" = the level after the step, never the other level on the way; "pulse0" = ends
# low, a first opening's short rise allowed; "drop0" = "0", lowered on its own first;
# "still" = no modem-line write at all; dtr = the level after the step; sends = at least one
# write even when the level does not change (the FTDI driver sends every request, the 8250
# driver skips an unchanged MCR).
def table(port, alias, dev, usb):
    rows = [
        ("first opening", f"open {port}", "ok", "pulse0", 1, False),
        ("pull in", "rts 1", "ok", "1", 1, True),
        ("pull in again", "rts 1", "ok", "1", 1, usb),
        ("release", "rts 0", "ok", "0", 1, True),
        ("release again", "rts 0", "ok", "0", 1, usb),
        ("pull in before second holder", "rts 1", "ok", "1", 1, True),
        ("baud 0 while held", f"sh stty -F {dev} | grep -q 'speed 0 baud'", "ok", "still", None,
         False),
        ("second holder refused", f"hold {port}", "busy", "still", None, False),
        ("second holder via other node refused", f"hold {alias}", "busy", "still", None, False),
        ("closing while pulled in", "close", "ok", "drop0", None, True),
        ("second opening", f"open {port}", "ok", "0", 1, False),
        ("pull in after reopening", "rts 1", "ok", "1", 1, True),
        ("closing again", "close", "ok", "drop0", None, True),
        ("set -hupcl", f"sh stty -F {dev} -hupcl", "ok", None, None, False),
        ("opening on -hupcl", f"open {port}", "ok", "0", 1, False),
        ("pull in on -hupcl", "rts 1", "ok", "1", 1, True),
        ("closing on -hupcl", "close", "ok", "drop0", None, True),
        ("set hupcl", f"sh stty -F {dev} hupcl", "ok", None, None, False),
    ]
    if usb:
        rows += [
            ("opening before unplug", f"open {port}", "ok", "0", 1, False),
            ("pull in before unplug", "rts 1", "ok", "1", 1, True),
            ("unplug", "!unplug", None, None, None, False),
            ("node gone", f"gone {dev}", "ok", None, None, False),
            ("pull in after unplug fails", "rts 1", "gone", None, None, False),
            ("closing after unplug", "close", "ok", None, None, False),
            ("plug in", "!plug", None, None, None, False),
            ("node back", f"back {dev}", "ok", None, None, False),
            ("first opening after plug-in", f"open {port}", "ok", "pulse0", 1, False),
            ("pull in after plug-in", "rts 1", "ok", "1", 1, True),
            ("closing after plug-in", "close", "ok", "drop0", None, True),
        ]
    return rows


def bench_rows(port):
    return [("bench opening", f"open {port}", "ok", "0", 1, False),
            ("bench pull in", "rts 1", "ok", "1", 1, True),
            ("bench release", "rts 0", "ok", "0", 1, True),
            ("bench closing", "close", "ok", "drop0", None, True)] * 20


ANSWERS = {"ok": lambda a: a.startswith("ok"), "busy": lambda a: a.startswith("fail 16 "),
           "gone": lambda a: re.match(r"fail (5|6|19) ", a) is not None}


def run():
    devices = [("16550 ttyS1", "uart", table(1, 3, "/dev/ttyS1", False)),
               ("FTDI ttyUSB0", "usb", table(2, 4, "/dev/ttyUSB0", True))]
    if bench:
        closing = ("closing", "close", "ok", "0", None, False)
        devices = [(n, k, rows[:1] + [closing] + bench_rows(1 if k == "uart" else 2))
                   for n, k, rows in devices]
    guest, steps, marker = Guest(), [], 0
    try:
        for name, kind, rows in devices:
            for row in rows:
                marker = marker % 250 + 1
                if row[1] == "!unplug":
                    guest.unplug()
                    answer = None
                elif row[1] == "!plug":
                    guest.plug()
                    answer = None
                else:
                    answer = guest.step(marker, row[1])
                steps.append((name, kind, marker, row, answer))
    finally:
        guest.finish()
    return steps, trace_events(guest.trace)


def check(steps, events):
    """Splits the trace at the markers and holds each step to its row."""
    marks = [(i, e[2], e[0]) for i, e in enumerate(events) if e[1] == "mark"]
    failures, figures = 0, {}
    levels = {"uart": {}, "usb": {}}
    cursor = 0
    for name, kind, marker, row, answer in steps:
        title, command, want, rts, dtr, sends = row
        if command.startswith("!"):
            print(f"     {name:13} {title}")
            continue
        # This step's marker is the next one with its value; its events run to the next marker.
        while cursor < len(marks) and marks[cursor][1] != marker:
            cursor += 1
        if cursor == len(marks):
            raise RuntimeError(f"marker {marker} not in the trace")
        start, t0 = marks[cursor][0], marks[cursor][2]
        stop = marks[cursor + 1][0] if cursor + 1 < len(marks) else len(events)
        mine = [e for e in events[start:stop] if e[1] == kind]
        seen, before = [], levels[kind].get("rts")
        for t, _, change in mine:
            levels[kind].update(change)
            seen.append((t, dict(levels[kind])))
        # RTS levels as they changed, from the level before the step; writes that keep a
        # level (the UART's MCR carries both lines) are no movement.
        rts_seen = [before]
        for _, state in seen:
            if state.get("rts") != rts_seen[-1]:
                rts_seen.append(state.get("rts"))
        now = levels[kind]
        problems = []
        if want and not ANSWERS[want](answer):
            problems.append(f"answer {answer!r}, wanted {want}")
        if rts in ("0", "1", "pulse0", "drop0") and now.get("rts") != (1 if rts == "1" else 0):
            problems.append(f"RTS {now.get('rts')} after the step")
        if rts in ("0", "1", "drop0") and (0 if rts == "1" else 1) in rts_seen[1:]:
            problems.append(f"RTS moved the wrong way: {rts_seen}")
        # Closing lowers RTS itself, DTR still up, before close() and HUPCL drop both at once.
        fall = next((s for _, s in seen if s.get("rts") == 0), None)
        if rts == "drop0" and before == 1 and fall is not None and fall.get("dtr") != 1:
            problems.append(f"RTS fell only with DTR, as HUPCL drops them: {fall}")
        if rts == "pulse0" and rts_seen[1:].count(1) > 1:
            problems.append(f"RTS rose more than once: {rts_seen}")
        # The line's first call lowers RTS alone; a baud of 0 written first would take DTR too.
        rise = next((i for i, (_, s) in enumerate(seen) if s.get("rts") == 1), None)
        if rts == "pulse0" and rise is not None and rise + 1 < len(seen):
            after = seen[rise + 1][1]
            if after.get("rts") != 0 or after.get("dtr") != 1:
                problems.append(f"the write after the rise is not RTS low, DTR high: {after}")
        if rts == "still" and mine:
            problems.append(f"lines moved: {[c for _, _, c in mine]}")
        if dtr is not None and now.get("dtr") != dtr:
            problems.append(f"DTR {now.get('dtr')} while open")
        if sends and not mine:
            problems.append("no modem-line write")
        # How long RTS was high in an opening, up to the write that lowered it. A level left
        # high by whoever had the port before counts too: the relay is pulled in all that time.
        detail = ""
        if command.startswith("open"):
            high, rose = 0.0, t0 if before == 1 else None
            for t, state in seen:
                if state.get("rts") == 1 and rose is None:
                    rose = t
                elif state.get("rts") == 0 and rose is not None:
                    high, rose = high + t - rose, None
            first = "first" if rts == "pulse0" else "later"
            figures.setdefault((name, first), []).append(high * 1e3)
            detail = f" (RTS high {high * 1e3:.3f} ms)"
            if rts == "0" and high > 0:
                problems.append("RTS high at an opening after the first")
        elif command.startswith("rts") and mine:
            figures.setdefault((name, "trace"), []).append((mine[0][0] - t0) * 1e3)
            m = re.match(r"ok (\d+)", answer or "")
            if m:
                figures.setdefault((name, "call"), []).append(int(m[1]) / 1e3)
            detail = f" (line {(mine[0][0] - t0) * 1e3:.3f} ms after the marker)"
        verdict = "FAIL" if problems else "PASS"
        failures += bool(problems)
        if not bench or problems:
            print(f"{verdict} {name:13} {title}{detail}")
            print("".join(f"       {p}\n" for p in problems), end="")
    return failures, figures


def main():
    began = time.monotonic()
    steps, events = run()
    failures, figures = check(steps, events)
    print()
    for (device, what), values in sorted(figures.items()):
        label = {"first": "RTS high at first opening",
                 "later": "RTS high at later openings",
                 "trace": "click-to-line, marker to trace",
                 "call": "putRTSEnable call in guest"}[what]
        print(f"{device:13} {label:32} median {statistics.median(values):8.3f} ms"
              f"  max {max(values):8.3f} ms  n={len(values)}")
    print(f"{len(steps)} steps, {failures} failed, {time.monotonic() - began:.0f} s")
    return 0 if bench or failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
