#!/usr/bin/env python3
# Host side of the serial-driver tier: kernel and initramfs, the QEMU guest, its pty peers and its unplug channel.
"""
prepare KERNEL_DEB OUT_DIR: vmlinux (uncompressed, for the direct boot) and initrd.gz from the kernel package.
run OUT_DIR BUILD_DIR TEST_BIN: boots the guest, serves its ports and prints one summary line.
"""
import gzip
import json
import lzma
import os
import pty
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tarfile
import tempfile
import termios
import time
import tty

# What the guest loads, dependencies first (found by the modules' own "depends=" field).
MODULES = ["virtio_pci", "9pnet_virtio", "9p", "virtio_console", "xhci_pci", "ftdi_sio"]
BUSYBOX = "/bin/busybox"

INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
# Stands in for udev: new tty nodes (a plugged-back adapter too) are opened by the unprivileged run.
printf 'ttyS[0-9]* 0:0 666\nttyUSB[0-9]* 0:0 666\nvport.* 0:0 666\n' >/etc/mdev.conf
mdev -d
for m in $(cat /modules.order); do insmod /lib/modules/$m.ko || echo "@@vm insmod $m failed"; done
mkdir -p /mnt
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,ro hostroot /mnt || echo "@@vm no 9p"
mount -t devtmpfs dev /mnt/dev
mkdir -p /mnt/dev/pts
mount -t devpts devpts /mnt/dev/pts
mount -t proc proc /mnt/proc
mount -t sysfs sys /mnt/sys
mount -t tmpfs tmp /mnt/tmp

bus_of() { basename "$(readlink /sys/class/tty/$1/device/subsystem 2>/dev/null)" 2>/dev/null; }
found() {
  usb=""; pci=""; ctl=""
  for t in /sys/class/tty/ttyUSB*; do [ -e "$t" ] && usb=${t##*/} && break; done
  for t in /sys/class/tty/ttyS*; do n=${t##*/}; [ "$(bus_of $n)" = pci ] && pci=$n; done
  for p in /sys/class/virtio-ports/*; do [ "$(cat $p/name 2>/dev/null)" = vmctl ] && ctl=${p##*/}; done
  [ -n "$usb" ] && [ -n "$pci" ] && [ -n "$ctl" ]
}
i=0
until found || [ $i -ge 100 ]; do sleep 0.1; i=$((i+1)); done
echo "@@vm devices usb=$usb pci=$pci ctl=$ctl after $i tenths"
for n in ttyS1 ttyS2 $pci $usb; do chmod 666 /dev/$n; done
chmod 666 /dev/$ctl

# VM_FILTER (from the kernel command line) narrows the run while working on a case.
filter=${VM_FILTER:-*}
vmenv="VM_TTY_16550=/dev/ttyS1 VM_TTY_CTS=/dev/ttyS2 VM_TTY_PCI=/dev/$pci VM_TTY_USB=/dev/$usb VM_CONTROL=/dev/$ctl VM_PCI_ID=ps1 VM_USB_ID=us1"
run() {
  echo "@@vm run $1 begin"
  chroot /mnt /usr/bin/env -i PATH=/usr/bin:/bin HOME=/tmp LANG=C $vmenv GTEST_FILTER="$2" $3 "$VM_TEST_BIN" --gtest_color=no
  echo "@@vm run $1 rc=$?"
}
run root "$filter" ""
# The bytes' way through a driver does not depend on who opened it: the long transfers run once.
run user "$filter-*OneMegabyte*" "setpriv --reuid=1000 --regid=1000 --clear-groups --"
echo "@@vm done"
sync
poweroff -f
"""


def log(*a):
    print("vm-tests:", *a, file=sys.stderr, flush=True)


# ---- prepare ----

def find_vmlinux(vmlinuz):
    data = open(vmlinuz, "rb").read()
    at = data.find(b"\xfd7zXZ\x00")
    if at < 0:
        raise SystemExit("no xz stream in " + vmlinuz)
    out = lzma.LZMADecompressor().decompress(data[at:])
    if out[:4] != b"\x7fELF":
        raise SystemExit("the kernel image did not unpack to an ELF file")
    return out


def module_index(moddir):
    index = {}
    for root, _, files in os.walk(moddir):
        for f in files:
            if f.endswith(".ko"):
                index[f[:-3].replace("-", "_")] = os.path.join(root, f)
    return index


def depends(path):
    for field in open(path, "rb").read().split(b"\0"):
        if field.startswith(b"depends="):
            return [d.replace("-", "_") for d in field[8:].decode().split(",") if d]
    return []


def module_order(index):
    order = []

    def visit(name):
        if name in order or name not in index:  # absent: built into the kernel
            return
        for d in depends(index[name]):
            visit(d)
        order.append(name)

    for m in MODULES:
        if m not in index:
            log("module", m, "not in the package: taken as built in")
        visit(m)
    return order


class Cpio:
    """newc archive writer."""

    def __init__(self):
        self.out = bytearray()
        self.ino = 1

    def add(self, name, mode, data=b"", target=None):
        body = target.encode() if target is not None else data
        nm = name.encode() + b"\0"
        hdr = "070701" + "".join("%08X" % v for v in (
            self.ino, mode, 0, 0, 1, 0, len(body), 0, 0, 0, 0, len(nm), 0))
        self.ino += 1
        self.out += hdr.encode() + nm
        self.out += b"\0" * (-len(self.out) % 4)
        self.out += body
        self.out += b"\0" * (-len(self.out) % 4)

    def finish(self):
        self.add("TRAILER!!!", 0)
        return bytes(self.out)


def prepare(deb, out):
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=out) as tmp:
        subprocess.run(["dpkg-deb", "-x", deb, tmp], check=True)
        vmlinuz = [f for f in os.listdir(os.path.join(tmp, "boot")) if f.startswith("vmlinuz")][0]
        open(os.path.join(out, "vmlinux"), "wb").write(find_vmlinux(os.path.join(tmp, "boot", vmlinuz)))
        index = module_index(os.path.join(tmp, "lib", "modules"))
        order = module_order(index)
        c = Cpio()
        for d in ("bin", "dev", "proc", "sys", "etc", "mnt", "lib", "lib/modules"):
            c.add(d, 0o040755)
        c.add("bin/busybox", 0o100755, open(BUSYBOX, "rb").read())
        c.add("init", 0o100755, INIT.encode())
        c.add("modules.order", 0o100644, ("\n".join(order) + "\n").encode())
        for m in order:
            c.add("lib/modules/%s.ko" % m, 0o100644, open(index[m], "rb").read())
        with gzip.open(os.path.join(out, "initrd.gz"), "wb", compresslevel=1) as f:
            f.write(c.finish())
    log("kernel and initramfs ready:", len(order), "modules:", " ".join(order))


# ---- run ----

class Qmp:
    def __init__(self, path, deadline):
        while True:
            try:
                self.s = socket.socket(socket.AF_UNIX)
                self.s.connect(path)
                break
            except OSError:
                self.s.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.f = self.s.makefile("rwb", buffering=0)
        self.events = []
        self.read()  # greeting
        self.cmd("qmp_capabilities")

    def read(self):
        line = self.f.readline()
        if not line:
            raise EOFError("QMP closed")
        return json.loads(line)

    def cmd(self, name, **args):
        msg = {"execute": name}
        if args:
            msg["arguments"] = args
        self.f.write(json.dumps(msg).encode() + b"\n")
        while True:
            r = self.read()
            if "event" in r:
                self.events.append(r)
            elif "return" in r or "error" in r:
                return r

    def wait_deleted(self, dev, timeout):
        """Waits for the guest to let go of dev (DEVICE_DELETED) before it may be added again."""
        end = time.monotonic() + timeout
        while True:
            for e in self.events:
                if e.get("event") == "DEVICE_DELETED" and e.get("data", {}).get("device") == dev:
                    self.events.remove(e)
                    return True
            left = end - time.monotonic()
            if left <= 0:
                return False
            r, _, _ = select.select([self.s], [], [], left)
            if r:
                self.events.append(self.read())


class Peer:
    """Host side of one guest port: echo (default), sink (count only), or handed to the meter simulator."""

    def __init__(self, name, path, fd=None):
        self.name = name
        self.path = path
        self.fd = fd if fd is not None else os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        os.set_blocking(self.fd, False)
        self.mode = "echo"
        self.pending = b""
        self.received = 0
        self.sim = None

    def readable(self):
        try:
            data = os.read(self.fd, 65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:  # the guest side is not there (yet)
            return
        self.received += len(data)
        if self.mode == "echo":
            self.pending += data

    def writable(self):
        try:
            n = os.write(self.fd, self.pending)
            self.pending = self.pending[n:]
        except (BlockingIOError, InterruptedError):
            pass
        except OSError:
            self.pending = b""

    def stop_sim(self):
        if self.sim:
            self.sim.send_signal(signal.SIGTERM)
            try:
                self.sim.wait(5)
            except subprocess.TimeoutExpired:
                self.sim.kill()
                self.sim.wait()
            self.sim = None
            tty.setraw(self.fd)

    def set_mode(self, mode, args, build):
        self.stop_sim()
        termios.tcflush(self.fd, termios.TCIOFLUSH)
        self.pending = b""
        self.received = 0
        self.mode = mode
        if mode == "meter":
            exe = os.path.join(build, "tools", "ormet-meter-sim", "ormet-meter-sim")
            self.sim = subprocess.Popen([exe, "--device", self.path] + args, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
            first = self.sim.stdout.readline()  # its port path: it is serving
            if not first:
                raise RuntimeError("the meter simulator did not start")
            # Its report lines are not needed; the main loop drains them so it never blocks.
            os.set_blocking(self.sim.stdout.fileno(), False)
        elif mode not in ("echo", "sink"):
            raise RuntimeError("unknown mode " + mode)


DEVICES = {
    "us1": {"driver": "usb-serial", "chardev": "s2", "id": "us1"},
    "ps1": {"driver": "pci-serial", "chardev": "s3", "id": "ps1", "bus": "rp1"},
}
PEERS = {"s1": "serial16550", "s2": "us1", "s3": "ps1"}


def run(out, build, test_bin, timeout):
    work = tempfile.mkdtemp(prefix="vm-tests-")
    qmp_path = os.path.join(work, "qmp")
    ctl_path = os.path.join(work, "ctl")
    cts_master, cts_slave = pty.openpty()
    cts_path = os.ttyname(cts_slave)
    # The qemu "serial" backend reads the host pty's modem lines, which a pty does not have: CTS reads low.
    os.close(cts_slave)
    append = "console=ttyS0 panic=-1 quiet 8250.nr_uarts=8 VM_TEST_BIN=" + test_bin
    if os.environ.get("VM_FILTER"):
        append += " VM_FILTER=" + os.environ["VM_FILTER"]
    cmd = ["qemu-system-x86_64", "-accel", "tcg", "-machine", "q35", "-smp", "1", "-m", "512",
           "-display", "none", "-no-reboot", "-nodefaults",
           "-kernel", os.path.join(out, "vmlinux"), "-initrd", os.path.join(out, "initrd.gz"),
           "-append", append,
           "-chardev", "stdio,id=con,signal=off", "-serial", "chardev:con",
           "-qmp", "unix:%s,server=on,wait=off" % qmp_path,
           "-fsdev", "local,id=fs1,path=/,security_model=none,readonly=on,multidevs=remap",
           "-device", "virtio-9p-pci,fsdev=fs1,mount_tag=hostroot",
           "-chardev", "pty,id=s1", "-device", "isa-serial,chardev=s1,index=1",
           "-chardev", "serial,id=s4,path=" + cts_path, "-device", "isa-serial,chardev=s4,index=2",
           "-device", "pcie-root-port,id=rp1,chassis=1,slot=1",
           "-chardev", "pty,id=s3", "-device", "pci-serial,chardev=s3,id=ps1,bus=rp1",
           "-device", "qemu-xhci,id=xhci",
           "-chardev", "pty,id=s2", "-device", "usb-serial,chardev=s2,id=us1",
           "-device", "virtio-serial-pci,id=vser",
           "-chardev", "socket,id=ctl,path=%s,server=on,wait=off" % ctl_path,
           "-device", "virtserialport,chardev=ctl,name=vmctl"]
    start = time.monotonic()
    qemu = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    console = qemu.stdout
    os.set_blocking(console.fileno(), False)
    peers = {}
    ctl = None
    lines = []
    partial = b""
    ok = False
    try:
        qmp = Qmp(qmp_path, time.monotonic() + 10)
        for c in qmp.cmd("query-chardev")["return"]:
            if c["label"] in PEERS and c["filename"].startswith("pty:"):
                name = PEERS[c["label"]]
                peers[name] = Peer(name, c["filename"][4:])
        peers["cts"] = Peer("cts", cts_path, cts_master)
        peers["cts"].mode = "sink"
        ctl = socket.socket(socket.AF_UNIX)
        ctl.connect(ctl_path)
        ctl_buf = b""
        end = start + timeout
        done = False
        while not done:
            if time.monotonic() > end:
                log("the guest did not finish within", timeout, "s")
                break
            rl = [console, ctl] + [p.fd for p in peers.values() if p.mode != "meter"]
            rl += [p.sim.stdout for p in peers.values() if p.sim and not p.sim.stdout.closed]
            wl = [p.fd for p in peers.values() if p.pending]
            r, w, _ = select.select(rl, wl, [], 0.5)
            for p in peers.values():
                if p.fd in r:
                    p.readable()
                if p.fd in w:
                    p.writable()
                if p.sim and p.sim.stdout in r:
                    if p.sim.stdout.read() == b"":  # the simulator ended: stop watching its output
                        p.sim.stdout.close()
            if console in r:
                data = console.read() or b""
                if not data and qemu.poll() is not None:
                    done = True
                partial += data
                *complete, partial = partial.split(b"\n")
                for raw in complete:
                    line = raw.decode("utf-8", "replace").rstrip("\r")
                    lines.append(line)
                    print(line, flush=True)
                    if line.startswith("@@vm done"):
                        ok = True
            if ctl in r:
                data = ctl.recv(4096)
                if not data:
                    done = True
                ctl_buf += data
                while b"\n" in ctl_buf:
                    req, ctl_buf = ctl_buf.split(b"\n", 1)
                    reply = control(req.decode().split(), qmp, peers, build)
                    ctl.sendall((reply + "\n").encode())
            if qemu.poll() is not None and console not in r:
                done = True
    finally:
        for p in peers.values():
            p.stop_sim()
        if qemu.poll() is None:
            qemu.terminate()
            try:
                qemu.wait(10)
            except subprocess.TimeoutExpired:
                qemu.kill()
                qemu.wait()
        shutil.rmtree(work, ignore_errors=True)
    return summary(lines, ok, time.monotonic() - start)


def control(words, qmp, peers, build):
    """One request from the guest: del ID | add ID | mode PEER echo|sink|meter [ARGS] | count PEER | ping."""
    try:
        if not words:
            return "err empty"
        if words[0] == "ping":
            return "ok"
        if words[0] == "del" and words[1] in DEVICES:
            r = qmp.cmd("device_del", id=words[1])
            return "ok" if "return" in r else "err " + r["error"]["desc"]
        if words[0] == "add" and words[1] in DEVICES:
            if not qmp.wait_deleted(words[1], 10):
                return "err the guest did not release " + words[1]
            r = qmp.cmd("device_add", **DEVICES[words[1]])
            return "ok" if "return" in r else "err " + r["error"]["desc"]
        if words[0] == "mode" and words[1] in peers:
            peers[words[1]].set_mode(words[2], words[3:], build)
            return "ok"
        if words[0] == "count" and words[1] in peers:
            return "ok %d" % peers[words[1]].received
        return "err unknown request " + " ".join(words)
    except Exception as e:  # told to the guest test, which fails with it
        return "err " + str(e)


DEVICE_OF = [("list", "VmEnumeration"), ("16550", "Serial16550"), ("pci", "PciUart"), ("usb", "UsbAdapter"), ("cts", "CtsLow")]


def summary(lines, ok, seconds):
    counts = {}
    passed = failed = skipped = 0
    failures = []
    for line in lines:
        m = re.match(r"\[\s+(OK|FAILED|SKIPPED)\s+\] ([^\s,]+).* \(\d+ ms\)$", line)
        if not m:
            continue
        verdict, name = m.groups()
        dev = next((d for d, key in DEVICE_OF if key in name), "other")
        counts[dev] = counts.get(dev, 0) + 1
        if verdict == "OK":
            passed += 1
        elif verdict == "FAILED":
            failed += 1
            failures.append(name)
        else:
            skipped += 1
    runs = [l for l in lines if l.startswith("@@vm run") and "rc=" in l]
    bad_rc = [l for l in runs if not l.endswith("rc=0")]
    per = ", ".join("%s %d" % (d, counts[d]) for d, _ in DEVICE_OF + [("other", "")] if d in counts)
    started = float(os.environ.get("VM_STARTED", "0"))
    total = time.time() - started if started else seconds
    print("vm-tests: %d passed, %d failed, %d skipped (tests per device: %s; as root and as uid 1000) "
          "in %.0f s, %.0f s of them in the guest" % (passed, failed, skipped, per or "none", total, seconds),
          flush=True)
    for f in failures:
        log("FAILED", f)
    # A run that ended without a verdict (a crash) names the test it was in.
    running = None
    for line in lines:
        m = re.match(r"\[ RUN\s+\] (\S+)", line)
        if m:
            running = m.group(1)
        elif re.match(r"\[\s+(OK|FAILED|SKIPPED)\s+\]", line):
            running = None
        elif line.startswith("@@vm run") and "rc=" in line and not line.endswith("rc=0") and running:
            log("ABORTED in", running, "(" + line.split()[2] + ")")
            running = None
    if not ok or len(runs) != 2:
        log("the guest did not complete both runs")
        return 1
    if failed or bad_rc or passed == 0:
        return 1
    return 0


def main():
    if len(sys.argv) >= 4 and sys.argv[1] == "prepare":
        prepare(sys.argv[2], sys.argv[3])
        return 0
    if len(sys.argv) >= 5 and sys.argv[1] == "run":
        timeout = int(sys.argv[5]) if len(sys.argv) > 5 else 400
        return run(sys.argv[2], sys.argv[3], sys.argv[4], timeout)
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
