#!/usr/bin/env python3
# Both Windows programs as a user meets them, under Wine in an X server: installed, started, used, removed.
"""
wine_programs.py --setup SETUP.EXE --zip PROGRAMS.ZIP --prefix DIR --shots DIR --slave-sim PATH --meter-sim PATH

In a new Wine prefix: installs with the installer silently; busprobe does one 03H exchange on COM5 against
modbus-slave-sim and keeps its settings in %APPDATA%\\busprobe while its folder takes no files; Ormet-Master
does one measurement on COM6 against ormet-meter-sim; the zip's busprobe keeps its settings beside itself;
each installed window is shot and the shot checked not blank; the uninstaller removes the programs.
Needs DISPLAY (run under xvfb-run). Prints one summary line; the exit code is 0 only when every check passed.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
import wine_host  # noqa: E402  (the prefix's ports, the modem-line shim, Wine's environment)

PRODUCT = "busprobe suite"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\busprobe-suite"
SLAVE_COM, METER_COM = 5, 6
# busprobe's settings for the exchange: COM5 at 9600 (ordinal 6), 4 registers from 0 of slave 1.
BUSPROBE_INI = "[Main]\nPortNo=%d\nBaud=6\n[03H]\n485Addr=1\nRegAddr=0\nRegNum=4\n" % SLAVE_COM
OLD = 1_000_000_000  # an mtime long past: a file saved by the program is newer


def log(*a):
    print("wine-programs:", *a, flush=True)


class Checks:
    def __init__(self):
        self.passed, self.failed = [], []

    def check(self, name, ok, detail=""):
        (self.passed if ok else self.failed).append(name)
        log("%s %s%s" % ("ok  " if ok else "FAIL", name, ": " + detail if detail else ""))
        return ok


class Wine:
    """Runs Windows programs in one prefix; every process it starts is ended by its id."""

    def __init__(self, prefix, shim, lines_dir):
        self.prefix = prefix
        self.env = wine_host.wine_env(prefix)
        # No menu entries or file associations on the Linux desktop from the installer's links.
        self.env["WINEDLLOVERRIDES"] = "mscoree,mshtml,winemenubuilder.exe="
        self.env.update(LD_PRELOAD=shim, PTY_MODEM_DIR=lines_dir)

    def drive_c(self, *parts):
        return os.path.join(self.prefix, "drive_c", *parts)

    def run(self, args, timeout, extra_env=None):
        env = dict(self.env, **(extra_env or {}))
        p = subprocess.Popen(["wine"] + args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, errors="replace")
        try:
            out, _ = p.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            out, _ = p.communicate()
            return None, out
        return p.returncode, out

    def start(self, args, extra_env=None):
        env = dict(self.env, **(extra_env or {}))
        return subprocess.Popen(["wine"] + args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def user_folder(self, name):
        users = self.drive_c("users")
        for user in sorted(os.listdir(users)):
            if user != "Public":
                return os.path.join(users, user, name)
        raise RuntimeError("the prefix has no user folder")


def windows_path(wine, unix_path):
    rel = os.path.relpath(unix_path, wine.drive_c())
    return "C:\\" + rel.replace("/", "\\")


def top_windows():
    """(id, title, x, y, width, height) of the viewable top-level windows of the X server."""
    out = subprocess.run(["xwininfo", "-root", "-children"], capture_output=True, text=True).stdout
    found = []
    for wid in re.findall(r"^\s+(0x[0-9a-f]+) ", out, re.M):
        info = subprocess.run(["xwininfo", "-id", wid], capture_output=True, text=True).stdout
        if "IsViewable" not in info:
            continue
        num = {k: int(re.search(k + r":\s+(-?\d+)", info).group(1))
               for k in ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height")}
        title = re.search(r'xwininfo: Window id: \S+ "(.*)"', info)
        found.append((wid, title.group(1) if title else "", num["Absolute upper-left X"],
                      num["Absolute upper-left Y"], num["Width"], num["Height"]))
    return found


def shot_not_blank(path, geometry):
    """Distinct colours and spread of the window's part of the shot: a window painted with its controls and
    texts has dozens of colours (hundreds when smoothed), an empty or black one a few."""
    x, y, w, h = geometry
    out = subprocess.run(["convert", path, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage", "-format",
                          "%k %[fx:standard_deviation]", "info:"], capture_output=True, text=True).stdout.split()
    colours, spread = int(out[0]), float(out[1])
    return colours >= 16 and spread > 0.05, "%d colours, spread %.3f" % (colours, spread)


def shoot(wine, exe, title_re, shot, checks, name):
    """Starts the installed program, waits for its window and a painted shot of it, keeps the shot."""
    proc = wine.start([exe])
    deadline = time.monotonic() + 60
    detail = "no window"
    ok = False
    try:
        while time.monotonic() < deadline and proc.poll() is None:
            windows = [w for w in top_windows() if re.search(title_re, w[1]) and w[4] > 200 and w[5] > 100]
            if windows:
                subprocess.run(["import", "-window", "root", shot], check=True)
                ok, detail = shot_not_blank(shot, windows[0][2:])
                detail = "%dx%d, %s" % (windows[0][4], windows[0][5], detail)
                if ok:
                    break
            time.sleep(0.3)  # polling the X server for a condition, with the deadline above
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        subprocess.run(["wineserver", "-w"], env=wine.env, timeout=60)
    return checks.check(name + " window shot " + os.path.basename(shot), ok, detail)


def smoke(wine, exe, var, extra_env, pattern, checks, name):
    rc, out = wine.run([exe], 120, dict(extra_env, **{var: "1"}))
    lines = [l.strip() for l in out.splitlines() if l.startswith(var)]
    ok = rc == 0 and any(re.match(pattern, l) for l in lines)
    checks.check(name, ok, "; ".join(lines) or "rc %s, %s" % (rc, out.strip()[-300:]))
    return ok


def immutable(path, on):
    """A folder that takes no new files, even for root (Wine runs as whoever runs it): false if not possible."""
    return subprocess.run(["chattr", "+i" if on else "-i", path], capture_output=True).returncode == 0


def put_ini(path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", newline="\r\n") as f:
        f.write(BUSPROBE_INI)
    os.utime(path, (OLD, OLD))


def saved(path):
    return os.path.exists(path) and os.path.getmtime(path) > OLD


def run(args):
    started = time.monotonic()
    checks = Checks()
    work = tempfile.mkdtemp(prefix="wine-programs-")
    lines_dir = os.path.join(work, "lines")
    os.makedirs(lines_dir)
    os.makedirs(args.shots, exist_ok=True)
    sims, holders = [], []
    wine = None
    install_dir = None
    locked = False
    programs_started = exchanges = shots = 0
    try:
        shim = wine_host.build_shim(work)
        shutil.rmtree(args.prefix, ignore_errors=True)
        wine = Wine(args.prefix, shim, lines_dir)
        t = time.monotonic()
        subprocess.run(["wineboot", "-i"], env=wine.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
        log("new prefix in %.1f s" % (time.monotonic() - t))

        # The simulators on ptys of their own, held by a session of their own (see wine_host), as COM5 and COM6.
        ports = {}
        for com, cmd in ((SLAVE_COM, [args.slave_sim]), (METER_COM, [args.meter_sim])):
            sim = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            sims.append(sim)
            path = sim.stdout.readline().decode().strip()
            if not path.startswith("/dev/pts/"):
                raise RuntimeError("%s did not print its pty" % cmd[0])
            holder = subprocess.Popen([sys.executable, "-c", wine_host.HOLDER, path], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, start_new_session=True)
            holders.append(holder)
            if holder.stdout.readline().strip() != b"held":
                raise RuntimeError("the pty holder did not start")
            # A device on the far end: the lines a connected adapter shows.
            with open(os.path.join(lines_dir, "%s.in" % path.rsplit("/", 1)[1]), "w") as f:
                f.write("CTS DSR\n")
            ports["COM%d" % com] = path
        wine_host.map_ports(args.prefix, ports, work)

        t = time.monotonic()
        rc, out = wine.run([args.setup, "/S"], 180)
        install_dir = wine.drive_c("Program Files", PRODUCT)
        menu = wine.drive_c("ProgramData", "Microsoft", "Windows", "Start Menu", "Programs", PRODUCT)
        files = [os.path.join(install_dir, f) for f in ("busprobe.exe", "Ormet-Master.exe", "Uninstall.exe")]
        links = [os.path.join(menu, f) for f in ("busprobe.lnk", "Ormet-Master.lnk", "Uninstall %s.lnk" % PRODUCT)]
        _, reg = wine.run(["reg", "query", UNINSTALL_KEY, "/v", "DisplayVersion"], 60)
        missing = [os.path.basename(p) for p in files + links if not os.path.exists(p)]
        checks.check("silent install", rc == 0 and not missing and "DisplayVersion" in reg,
                     "%.1f s%s" % (time.monotonic() - t, ", missing " + ", ".join(missing) if missing else ""))
        busprobe = windows_path(wine, files[0])
        ormet = windows_path(wine, files[1])

        # busprobe from Program Files, which takes no files: its settings live in %APPDATA%\busprobe.
        appdata_ini = os.path.join(wine.user_folder("AppData"), "Roaming", "busprobe", "modbus_cfg.ini")
        put_ini(appdata_ini)
        locked = immutable(install_dir, True)
        if smoke(wine, busprobe, "BUSPROBE_SMOKE", {}, r"BUSPROBE_SMOKE 03H: \S", checks,
                 "busprobe 03H exchange on COM%d" % SLAVE_COM):
            exchanges += 1
        programs_started += 1
        beside = os.path.join(install_dir, "modbus_cfg.ini")
        if locked:
            checks.check("busprobe settings in %APPDATA%\\busprobe", saved(appdata_ini) and not os.path.exists(beside))
        else:
            log("note: chattr is not available, so Program Files takes files and the settings stay beside busprobe")
            checks.check("busprobe settings beside the installed program", saved(beside))

        if smoke(wine, ormet, "ORMET_SMOKE", {"ORMET_SMOKE_PORT": str(METER_COM)}, r"ORMET_SMOKE U: *[0-9]",
                 checks, "Ormet-Master measurement on COM%d" % METER_COM):
            exchanges += 1
        programs_started += 1

        # The zip's busprobe in a folder of the user's: the settings beside it, %APPDATA% left alone.
        portable = wine.drive_c("busprobe-portable")
        with zipfile.ZipFile(args.zip) as z:
            z.extractall(portable)
        put_ini(os.path.join(portable, "modbus_cfg.ini"))
        os.utime(appdata_ini, (OLD, OLD))
        smoke(wine, windows_path(wine, os.path.join(portable, "busprobe.exe")), "BUSPROBE_SMOKE", {},
              r"BUSPROBE_SMOKE 03H: \S", checks, "zip's busprobe 03H exchange")
        checks.check("zip's busprobe settings beside it",
                     saved(os.path.join(portable, "modbus_cfg.ini")) and not saved(appdata_ini))

        for exe, title, name in ((busprobe, r"MODBUS", "busprobe"), (ormet, r"Ormet", "Ormet-Master")):
            if shoot(wine, exe, title, os.path.join(args.shots, name + ".png"), checks, name):
                shots += 1

        if locked:
            locked = not immutable(install_dir, False)
        uninstaller = windows_path(wine, files[2])
        # _?= runs the uninstaller in place, so that wine returns when it is done.
        rc, _ = wine.run([uninstaller, "/S", "_?=" + windows_path(wine, install_dir)], 120)
        _, reg = wine.run(["reg", "query", UNINSTALL_KEY], 60)
        left = [os.path.basename(p) for p in files[:2] + links if os.path.exists(p)]
        checks.check("silent uninstall", rc == 0 and not left and "DisplayName" not in reg,
                     "left " + ", ".join(left) if left else "")
    except Exception as e:  # counted, so the run fails with the reason
        checks.check("run", False, str(e))
    finally:
        if locked:
            immutable(install_dir, False)
        if wine is not None:
            subprocess.run(["wineserver", "-k"], env=wine.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=wine.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for p in sims:
            p.terminate()
        for p in holders:
            p.stdin.close()
        for p in holders + sims:
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        shutil.rmtree(work, ignore_errors=True)
    print("wine-programs: %d programs started, %d exchanges done, %d screenshots checked (in %s)"
          % (programs_started, exchanges, shots, args.shots))
    print("wine-programs: %d passed, %d failed in %.0f s" % (len(checks.passed), len(checks.failed),
                                                            time.monotonic() - started), flush=True)
    return 0 if not checks.failed else 1


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for name in ("--setup", "--zip", "--prefix", "--shots", "--slave-sim", "--meter-sim"):
        ap.add_argument(name, required=True)
    args = ap.parse_args()
    args.prefix, args.shots = os.path.abspath(args.prefix), os.path.abspath(args.shots)
    if not os.environ.get("DISPLAY"):
        ap.error("needs an X server (DISPLAY)")
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
