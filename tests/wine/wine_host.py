#!/usr/bin/env python3
# Linux side of the COM-port tests: ptys as COM ports, their peers, the modem-line shim and the control channel.
"""
wine TEST_EXE WINEPREFIX: maps the ptys as COM ports of the prefix and runs TEST_EXE under Wine.
native TEST_EXE: runs the same tests natively, the ptys reached as COMn aliases of a port map directory.
Options: --meter-sim PATH (the Linux meter simulator), --timeout S; GTEST_FILTER narrows the run. Prints
one summary line; the exit code is 0 only when tests passed and none failed.
"""
import argparse
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "vm"))
import vm_host  # noqa: E402  (its Peer: echo and sink modes, the count, the meter simulator's life)

HERE = os.path.dirname(os.path.abspath(__file__))
PORTS = ("COM5", "COM6")  # the library's port object on the first, the meter link on the second
PEER_LINES = ("CTS", "DSR", "RLSD", "RING")

# Run in a new session: opening the slave makes it this process's controlling tty, so no Wine
# process can take it as its own and flood stderr when the master goes.
HOLDER = "import os,sys; fd=os.open(sys.argv[1], os.O_RDWR); print('held', flush=True); sys.stdin.read()"


def log(*a):
    print("wine-tests:", *a, file=sys.stderr, flush=True)


class ComPeer(vm_host.Peer):
    """The Linux end of one COM port: vm_host's echo and sink, the meter simulator through a relay,
    bytes sent on request (optionally one at a time with a gap) and the modem lines of the shim."""

    def __init__(self, name, master, slave_path, state_dir, meter_sim):
        super().__init__(name, slave_path, master)
        self.number = int(slave_path.rsplit("/", 1)[1])
        self.state_dir = state_dir
        self.meter_sim = meter_sim
        self.relay = None  # the meter simulator's pty while in meter mode
        self.to_relay = b""
        self.scheduled = []  # (due time, bytes) to send
        self.set_lines([])
        with open(self.state_path("out"), "w"):
            pass

    def state_path(self, suffix):
        return os.path.join(self.state_dir, "%d.%s" % (self.number, suffix))

    def set_lines(self, words):
        bad = [w for w in words if w not in PEER_LINES]
        if bad:
            raise RuntimeError("not a line the peer drives: " + " ".join(bad))
        tmp = self.state_path("in.tmp")
        with open(tmp, "w") as f:
            f.write(" ".join(words) + "\n")
        os.replace(tmp, self.state_path("in"))

    def polls(self):
        try:
            return os.path.getsize(self.state_path("polls"))
        except OSError:
            return 0

    def await_watching(self, timeout=3.0):
        """Waits until Wine watches the lines again: true once it does, or when no test process has the shim
        (natively). Wine notices a change only while a WaitCommEvent is pending (Windows keeps one that came
        between two waits for the next): after a report, the waiter asks for the lines once more to start
        its next wait, whose thread then keeps asking."""
        if not os.path.exists(self.state_path("polls")):
            return True
        start, end = self.polls(), time.monotonic() + timeout
        while self.polls() < start + 3:
            if time.monotonic() > end:
                return False
            time.sleep(0.002)
        return True

    def own_lines(self):
        with open(self.state_path("out")) as f:
            return " ".join(f.read().split())

    def readable(self):
        if self.mode != "meter":
            return super().readable()
        try:
            data = os.read(self.fd, 65536)
        except OSError:
            return
        self.received += len(data)
        self.to_relay += data

    def relay_readable(self):
        try:
            self.pending += os.read(self.relay, 65536)
        except OSError:
            pass

    def relay_writable(self):
        try:
            n = os.write(self.relay, self.to_relay)
            self.to_relay = self.to_relay[n:]
        except (BlockingIOError, InterruptedError):
            pass

    def stop_sim(self):
        super().stop_sim()
        if self.relay is not None:
            os.close(self.relay)
            self.relay = None
        self.to_relay = b""

    def set_mode(self, mode, args, build):
        self.scheduled = []
        if mode != "meter":
            return super().set_mode(mode, args, build)
        # The simulator serves a pty of its own; this peer carries the bytes between the two.
        super().set_mode("sink", [], build)
        if not self.meter_sim or not os.access(self.meter_sim, os.X_OK):
            raise RuntimeError("no meter simulator (--meter-sim)")
        self.mode = "meter"
        self.sim = subprocess.Popen([self.meter_sim] + args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                    stdin=subprocess.DEVNULL)
        path = self.sim.stdout.readline().decode().strip()
        if not path:
            raise RuntimeError("the meter simulator did not start")
        os.set_blocking(self.sim.stdout.fileno(), False)
        self.relay = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.relay)
        os.set_blocking(self.relay, False)

    def send(self, data, gap_ms, delay_ms):
        now = time.monotonic() + delay_ms / 1000
        if gap_ms <= 0:
            self.scheduled.append((now, data))
        else:
            self.scheduled += [(now + i * gap_ms / 1000, data[i:i + 1]) for i in range(len(data))]

    def send_due(self):
        while self.scheduled and self.scheduled[0][0] <= time.monotonic():
            self.pending += self.scheduled.pop(0)[1]


def control(words, peers):
    """One request: ping | mode PORT echo|sink|meter [SIM ARGS] | count PORT | send PORT HEX [GAP_MS [DELAY_MS]]
    | lines PORT [CTS DSR RLSD RING] | own PORT | watching PORT (a comm-event wait is pending under Wine)."""
    try:
        if words == ["ping"]:
            return "ok"
        if len(words) < 2 or words[1] not in peers:
            return "err unknown request " + " ".join(words)
        peer = peers[words[1]]
        if words[0] == "mode" and len(words) >= 3:
            peer.set_mode(words[2], words[3:], None)
            return "ok"
        if words[0] == "count":
            return "ok %d" % peer.received
        if words[0] == "send" and len(words) >= 3:
            numbers = [int(w) for w in words[3:5]] + [0, 0]
            peer.send(bytes.fromhex(words[2]), numbers[0], numbers[1])
            return "ok"
        if words[0] == "lines":
            peer.await_watching()
            peer.set_lines(words[2:])
            return "ok"
        if words[0] == "watching":
            return "ok" if peer.await_watching() else "err Wine does not watch the lines of " + words[1]
        if words[0] == "own":
            return ("ok " + peer.own_lines()).rstrip()
        return "err unknown request " + " ".join(words)
    except Exception as e:  # told to the test, which fails with it
        return "err " + str(e)


def build_shim(work):
    out = os.path.join(work, "pty_modem_shim.so")
    subprocess.run(["cc", "-std=c11", "-O2", "-Wall", "-Wextra", "-Werror", "-shared", "-fPIC", "-o", out,
                    os.path.join(HERE, "pty_modem_shim.c"), "-ldl"], check=True)
    return out


def check_shim(shim, state_dir, peer):
    """The shim answers for a shared pty in a process it is preloaded into: a failing rig shows here, not as
    a puzzling test failure."""
    peer.set_lines(["CTS", "RING"])
    probe = ("import fcntl,os,struct,termios,sys; fd=os.open(sys.argv[1], os.O_RDWR|os.O_NOCTTY); "
             "g=lambda: struct.unpack('i', fcntl.ioctl(fd, termios.TIOCMGET, struct.pack('i', 0)))[0]; "
             "a=g(); fcntl.ioctl(fd, termios.TIOCMBIS, struct.pack('i', termios.TIOCM_RTS)); print(a, g())")
    env = dict(os.environ, LD_PRELOAD=shim, PTY_MODEM_DIR=state_dir)
    r = subprocess.run([sys.executable, "-c", probe, peer.path], env=env, capture_output=True, text=True, timeout=20)
    got = r.stdout.split()
    want = [str(termios.TIOCM_CTS | termios.TIOCM_RI), str(termios.TIOCM_CTS | termios.TIOCM_RI | termios.TIOCM_RTS)]
    ok = got == want and peer.own_lines() == "RTS"
    peer.set_lines([])
    with open(peer.state_path("out"), "w"):
        pass
    os.remove(peer.state_path("polls"))
    if not ok:
        raise RuntimeError("the modem-line shim does not answer: %s %s" % (r.stdout.strip(), r.stderr.strip()))


def wine_env(prefix):
    return dict(os.environ, WINEPREFIX=prefix, WINEDEBUG=os.environ.get("WINEDEBUG", "-all"),
                WINEDLLOVERRIDES=os.environ.get("WINEDLLOVERRIDES", "mscoree,mshtml="))


def map_ports(prefix, targets, work):
    """COM ports of the prefix leading to targets (name: path, or None to remove the port); the server
    is stopped, so that the next one takes them and no Wine process keeps a pty open."""
    env = wine_env(prefix)
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        subprocess.run(["wineboot", "-i"], env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    reg = os.path.join(work, "ports.reg")
    with open(reg, "w") as f:
        f.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n")
        for name, path in targets.items():
            f.write('"%s"=%s\n' % (name, '"%s"' % path if path else "-"))
    subprocess.run(["wine", "reg", "import", reg], env=env, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run(args):
    start = time.monotonic()
    work = tempfile.mkdtemp(prefix="wine-tests-")
    state_dir = os.path.join(work, "lines")
    os.makedirs(state_dir)
    peers, holders, clients = {}, [], {}
    listener = proc = None
    lines, partial = [], b""
    prefix_s = 0.0
    mapped = False
    try:
        for name in PORTS:
            master, slave = os.openpty()
            path = os.ttyname(slave)
            holder = subprocess.Popen([sys.executable, "-c", HOLDER, path], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, start_new_session=True)
            holders.append(holder)
            if holder.stdout.readline().strip() != b"held":
                raise RuntimeError("the pty holder did not start")
            os.close(slave)
            peers[name] = ComPeer(name, master, path, state_dir, args.meter_sim)
        shim = build_shim(work)
        check_shim(shim, state_dir, peers["COM5"])

        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        env = dict(os.environ, WINE_RIG_CONTROL="127.0.0.1:%d" % listener.getsockname()[1],
                   WINE_RIG_PORT=PORTS[0], WINE_RIG_METER_COM=PORTS[1][3:])
        if args.mode == "wine":
            t = time.monotonic()
            mapped = True
            map_ports(args.prefix, {name: p.path for name, p in peers.items()}, work)
            prefix_s = time.monotonic() - t
            env.update(wine_env(args.prefix))
            env.update(LD_PRELOAD=shim, PTY_MODEM_DIR=state_dir)
            cmd = ["wine", args.exe]
        else:
            comports = os.path.join(work, "comports")
            os.makedirs(comports)
            for name, p in peers.items():
                os.symlink(p.path, os.path.join(comports, name))
            env.update(COMPORTS_DIR=comports, COMPORTS_AUTO="0")
            cmd = [args.exe]
        cmd.append("--gtest_color=no")
        proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
        out = proc.stdout
        os.set_blocking(out.fileno(), False)
        end = time.monotonic() + args.timeout
        while True:
            if time.monotonic() > end:
                log("the tests did not finish within", args.timeout, "s")
                proc.kill()
                break
            for p in peers.values():
                p.send_due()
            rl = [out, listener] + list(clients) + [p.fd for p in peers.values()]
            rl += [p.relay for p in peers.values() if p.relay is not None]
            rl += [p.sim.stdout for p in peers.values() if p.sim and not p.sim.stdout.closed]
            wl = [p.fd for p in peers.values() if p.pending]
            wl += [p.relay for p in peers.values() if p.relay is not None and p.to_relay]
            due = [s[0] for p in peers.values() for s in p.scheduled[:1]]
            wait = max(0.0, min([0.5] + [d - time.monotonic() for d in due]))
            r, w, _ = select.select(rl, wl, [], wait)
            for p in peers.values():
                if p.fd in r:
                    p.readable()
                if p.fd in w:
                    p.writable()
                if p.relay is not None and p.relay in r:
                    p.relay_readable()
                if p.relay is not None and p.relay in w:
                    p.relay_writable()
                if p.sim and p.sim.stdout in r and p.sim.stdout.read() == b"":
                    p.sim.stdout.close()
            if listener in r:
                c, _ = listener.accept()
                clients[c] = b""
            for c in [c for c in clients if c in r]:
                data = c.recv(4096)
                if not data:
                    c.close()
                    del clients[c]
                    continue
                clients[c] += data
                while b"\n" in clients[c]:
                    req, clients[c] = clients[c].split(b"\n", 1)
                    c.sendall((control(req.decode().split(), peers) + "\n").encode())
            if out in r:
                data = out.read() or b""
                partial += data
                *complete, partial = partial.split(b"\n")
                for raw in complete:
                    line = raw.decode("utf-8", "replace").rstrip("\r")
                    lines.append(line)
                    print(line, flush=True)
                if not data and proc.poll() is not None:
                    break
        rc = proc.wait()
    finally:
        if proc is not None and proc.poll() is None:
            proc.kill()
            proc.wait()
        if mapped:
            # The prefix is left without the ports, whose ptys go now; its server lets go of them first.
            map_ports(args.prefix, {name: None for name in peers}, work)
        for c in clients:
            c.close()
        if listener is not None:
            listener.close()
        for p in peers.values():
            p.stop_sim()
            os.close(p.fd)
        for h in holders:
            h.stdin.close()
            try:
                h.wait(5)
            except subprocess.TimeoutExpired:
                h.send_signal(signal.SIGKILL)
                h.wait()
        shutil.rmtree(work, ignore_errors=True)
    return summary(lines, rc, args.mode, time.monotonic() - start, prefix_s)


def summary(lines, rc, mode, seconds, prefix_s):
    passed = failed = skipped = 0
    failures = []
    for line in lines:
        m = re.match(r"\[\s+(OK|FAILED|SKIPPED)\s+\] ([^\s,]+).* \(\d+ ms\)$", line)
        if not m:
            continue
        if m.group(1) == "OK":
            passed += 1
        elif m.group(1) == "FAILED":
            failed += 1
            failures.append(m.group(2))
        else:
            skipped += 1
    # In ctest's words as well, so scripts that add up ctest summaries count these too.
    total = passed + failed + skipped
    where = "under Wine" if mode == "wine" else "natively"
    extra = ", port mapping %.1f s" % prefix_s if mode == "wine" else ""
    print("wine-tests: %d%% tests passed, %d tests failed out of %d (%d passed, %d skipped) %s in %.1f s%s"
          % (100 * (total - failed) // max(total, 1), failed, total, passed, skipped, where, seconds, extra),
          flush=True)
    for f in failures:
        log("FAILED", f)
    return 0 if rc == 0 and failed == 0 and passed > 0 else 1


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("mode", choices=["wine", "native"])
    ap.add_argument("exe")
    ap.add_argument("prefix", nargs="?")
    ap.add_argument("--meter-sim", default="")
    ap.add_argument("--timeout", type=float, default=280)
    args = ap.parse_args()
    if args.mode == "wine" and not args.prefix:
        ap.error("wine needs a prefix")
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
