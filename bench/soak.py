#!/usr/bin/env python3
"""Soak run: the release build plays a looping melody for a long while on a
private JACK test server, with 'r' (play the file again) every 30 seconds, and
records what it plays. At the end it reports the program's resident memory
at the start and the end, the server's xruns, and the pitch measured in the
last minute against the melody's notes. Not part of the test suite.

    python3 bench/soak.py [--minutes 10] [--repeat-every 30] [--keep DIR]

Builds build/release (or $GW_BUILD_DIR) first with scripts/setup.sh. Every process it starts is ended
by its id, also when the run fails.
"""

import argparse
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# scripts/setup.sh builds here too when GW_BUILD_DIR names another folder.
BUILD = os.path.join(ROOT, os.environ.get("GW_BUILD_DIR", os.path.join("build", "release")))

# The input's own pitch is the base; the notes bend it up and down, and the
# melody loops (InfiniteLoop) for as long as it is left to play.
BASE_HZ = 440.0
NOTES = [(1000, 440.0), (1000, 660.0), (1000, 550.0), (1000, 330.0)]


class Run:
    def __init__(self, folder):
        self.folder = folder
        self.children = []  # (name, Popen), ended newest first
        self.env = dict(os.environ)
        self.server = "gwsoak%d" % os.getpid()
        self.env.update({"JACK_DEFAULT_SERVER": self.server, "JACK_NO_START_SERVER": "1"})
        self.master = None
        self.program = None
        self.output = b""
        self.cursor = 0  # expect searches from here

    def start(self, name, argv, **kwargs):
        log = open(os.path.join(self.folder, name + ".log"), "wb")
        kwargs.setdefault("stdout", log)
        kwargs.setdefault("stderr", log)
        child = subprocess.Popen(argv, env=self.env, **kwargs)
        self.children.append((name, child))
        return child

    def end_all(self):
        for name, child in reversed(self.children):
            if child.poll() is None:
                child.send_signal(signal.SIGTERM)
                try:
                    child.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
        self.children = []
        if self.master is not None:
            os.close(self.master)
            self.master = None

    def start_program(self):
        self.master, slave = pty.openpty()
        self.program = self.start(
            "program", [os.path.join(BUILD, "driver", "glidewarper")],
            stdin=slave, stdout=slave, stderr=slave, cwd=self.folder, start_new_session=True)
        os.close(slave)

    def read(self, seconds):
        end = time.monotonic() + seconds
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return
            ready, _, _ = select.select([self.master], [], [], left)
            if not ready:
                return
            try:
                data = os.read(self.master, 65536)
            except OSError:
                return
            if not data:
                return
            self.output += data.replace(b"\r", b"")  # the terminal ends lines with CR LF

    def expect(self, text, seconds=20):
        """Waits for text after what expect found last; returns the seconds it took."""
        needle = text.encode()
        start = time.monotonic()
        while needle not in self.output[self.cursor:]:
            if time.monotonic() - start > seconds or self.program.poll() is not None:
                raise RuntimeError("did not see %r; output ends with:\n%s" %
                                   (text, self.output[-2000:].decode(errors="replace")))
            self.read(0.05)
        self.cursor = self.output.index(needle, self.cursor) + len(needle)
        return time.monotonic() - start

    def key(self, keys):
        os.write(self.master, keys.encode())


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def first_line(child, seconds=20):
    """The first line a child prints, or "" if none comes in time."""
    ready, _, _ = select.select([child.stdout], [], [], seconds)
    return child.stdout.readline().decode().strip() if ready else ""


def wav_tail(source, seconds, target):
    """Copies the last `seconds` of a WAV file (any sample format) to `target`."""
    with open(source, "rb") as f:
        data = f.read()
    at, fmt = 12, None
    while at + 8 <= len(data):
        chunk, size = data[at:at + 4], struct.unpack("<I", data[at + 4:at + 8])[0]
        if chunk == b"fmt ":
            fmt = data[at:at + 8 + size]
            rate, _, align = struct.unpack("<IIH", data[at + 12:at + 22])
        elif chunk == b"data":
            body = data[at + 8:at + 8 + size]
            keep = min(len(body), int(seconds * rate) * align)
            body = body[len(body) - keep:]
            with open(target, "wb") as out:
                out.write(b"RIFF" + struct.pack("<I", 4 + len(fmt) + 8 + len(body)) + b"WAVE")
                out.write(fmt + b"data" + struct.pack("<I", len(body)) + body)
            return keep // align / rate
        at += 8 + size + (size & 1)
    raise RuntimeError("no audio in " + source)


def run_tool(run, argv, seconds=15):
    return subprocess.run(argv, env=run.env, capture_output=True, text=True, timeout=seconds)


def soak(args, folder):
    run = Run(folder)
    try:
        run.start("jackd", ["jackd", "-n", run.server, "--no-realtime", "-d", "dummy",
                            "-r", "44100", "-p", "512"])
        run_tool(run, ["jack_wait", "-s", run.server, "-w", "-t", "10"])
        tone = run.start("tone", [os.path.join(BUILD, "tests", "jack", "gw_tone"), str(BASE_HZ)],
                         stdout=subprocess.PIPE)
        if first_line(tone) != "ready":
            raise RuntimeError("the test tone did not start")

        melody = "%g\n" % BASE_HZ + "".join("%d %g\n" % note for note in NOTES)
        with open(os.path.join(folder, "melody.txt"), "w") as f:
            f.write(melody)
        with open(os.path.join(folder, "glidewarperconfig.txt"), "w") as f:
            f.write("File: melody.txt\nDefaultInput: 1\nDefaultOutput: 0\n"
                    "DefaultKeyCode: 32\nDefaultKeyName: space\nInfiniteLoop: yes\n")

        run.start_program()
        run.expect("for default ('1')\n")
        run.key(" ")
        run.expect("Press space to proceed, 'x' to exit\n")
        recorder = run.start("record", [os.path.join(BUILD, "tests", "jack", "gw_record"),
                                        os.path.join(folder, "played.wav")],
                             stdout=subprocess.PIPE)
        if not first_line(recorder).startswith("connected"):
            raise RuntimeError("the recorder did not connect")
        run.key(" ")
        run.expect("Wire on, file melody.txt.\n")
        run.read(5)
        rss_start = resident_kib(run.program.pid)
        started = time.monotonic()
        total = args.minutes * 60.0
        plays = 1
        rss_samples = [(0.0, rss_start)]
        while True:
            next_repeat = plays * args.repeat_every
            if next_repeat >= total - 1:
                break
            run.read(max(0.0, started + next_repeat - time.monotonic()))
            run.key("r")
            run.expect("Press space to proceed, 'x' to exit\n")
            run.key(" ")
            run.expect("Wire on, file melody.txt.\n")
            plays += 1
            rss_samples.append((time.monotonic() - started, resident_kib(run.program.pid)))
        run.read(max(0.0, started + total - time.monotonic()))
        rss_end = resident_kib(run.program.pid)
        run.key(" ")
        run.expect("Finished. gNumNoInputs = ")
        run.program.wait(timeout=20)
        finished = run.output[run.cursor:].split(b"\n")[0].decode()

        recorder.send_signal(signal.SIGTERM)
        recorded = recorder.communicate(timeout=30)[0].decode()
        tail = os.path.join(folder, "last-minute.wav")
        wav_tail(os.path.join(folder, "played.wav"), 60.0, tail)
        track = run_tool(run, [os.path.join(BUILD, "tests", "jack", "gw_pitchtrack"), tail],
                         seconds=600).stdout
        run.end_all()

        with open(os.path.join(folder, "jackd.log"), errors="replace") as f:
            server_log = f.read()
        xruns = len(re.findall(r"xrun", server_log, re.IGNORECASE))

        report(args, plays, rss_samples, rss_start, rss_end, finished, recorded, xruns, track)
    finally:
        run.end_all()


def report(args, plays, rss_samples, rss_start, rss_end, finished, recorded, xruns, track):
    print("soak: %g minutes, %d plays of a looping melody ('r' every %g s)" %
          (args.minutes, plays, args.repeat_every))
    print("resident memory: %d KiB at the start, %d KiB at the end (%+d KiB)" %
          (rss_start, rss_end, rss_end - rss_start))
    print("  samples after each 'r' (s: KiB): " +
          ", ".join("%d: %d" % (t, kib) for t, kib in rss_samples))
    print("server xruns (lines of the JACK server's log that report one): %d" % xruns)
    print("program: gNumNoInputs = %s" % finished.strip())
    print("recorder: " + " ".join(recorded.split()))

    segments = []
    duration = 0.0
    for line in track.splitlines():
        m = re.match(r"\S+: ([\d.]+) s,", line)
        if m:
            duration = float(m.group(1))
        m = re.match(r"\s+([\d.]+) - +([\d.]+) s +([\d.]+) Hz", line)
        if m:
            segments.append(tuple(float(x) for x in m.groups()))
    last_minute = max(0.0, duration - 60.0)
    voiced = on_note = 0.0
    per_note = {hz: [] for _, hz in NOTES}
    for start, end, hz in segments:
        start = max(start, last_minute)
        if end <= start:
            continue
        nearest = min(per_note, key=lambda note: abs(note - hz))
        voiced += end - start
        if abs(hz - nearest) <= nearest * 0.01:
            on_note += end - start
            per_note[nearest].append((end - start, hz))
    print("pitch in the last %.1f s recorded: %.1f s voiced, %.1f s (%.1f%%) "
          "within 1%% of a melody note" %
          (duration, voiced, on_note, 100.0 * on_note / voiced if voiced else 0.0))
    for note, found in per_note.items():
        seconds = sum(s for s, _ in found)
        mean = sum(s * hz for s, hz in found) / seconds if seconds else 0.0
        print("  note %6.1f Hz: %5.1f s, measured %6.1f Hz (%+.2f%%)" %
              (note, seconds, mean, 100.0 * (mean / note - 1.0) if seconds else 0.0))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--repeat-every", type=float, default=30.0)
    parser.add_argument("--keep", help="folder for the recording and logs (kept)")
    args = parser.parse_args()

    subprocess.run(["bash", os.path.join(ROOT, "scripts", "setup.sh"), "release"], check=True,
                   stdout=subprocess.DEVNULL)
    folder = args.keep or tempfile.mkdtemp(prefix="gwsoak.")
    os.makedirs(folder, exist_ok=True)
    try:
        soak(args, folder)
    finally:
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
