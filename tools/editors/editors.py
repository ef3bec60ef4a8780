#!/usr/bin/env python3
"""vla with real desktop editors on a virtual display, xdotool playing the user.

  tools/editors/editors.py --vla BIN --service BIN [--results DIR] [--fast]
                           [--only EDITOR:SCENARIO,...] [--repeat N] [--lang L] [--list]

It starts Xvfb, openbox, a session bus and the stand-in ticket service in a
private desktop environment; each scenario issues tickets, makes the editor
(EDITORS: how to open, type into, save and close it) their default, runs vla
and plays a person. Then it checks what reached the service:

  - the upload holds exactly the bytes the editor last saved; a document
    closed unsaved sends nothing and its ticket is dropped; an edit saved
    elsewhere (Save As, "Use ODF format") may instead be kept, nothing sent;
  - no decision (vla's "Subiremos"/"No subiremos" line, or the service's
    first request for the ticket) before the harness closed the editor, nor
    later than --slow seconds after it;
  - nothing left in the ticket's folder, vla ended with status 0;
  - a question of vla with the focus is not answered by text and Return typed
    as if meant for the editor. Once the editor is closed, a question still
    there is answered with a click on its first button (the one that sends).

It prints a matrix (outcome and reason, seconds from the close to the
decision, how each question was answered) to RESULTS/matrix.txt, beside vla's
log, the service's journal and screenshots of each run. Every wait is bounded;
every process it started (adopted as a child subreaper) is ended by its id.
The exit status is 1 when any run failed.
"""
import argparse
import collections
import ctypes
import fnmatch
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE_DOC = os.path.join(HERE, "..", "example", "informe.doc")

# vla's log lines that carry its decision on a ticket.
DECISION = re.compile(r"Subiremos el fichero|No subiremos el fichero|ha desaparecido|no se envía nada")
LOCK_FILE = re.compile(r"^\.~lock\..*#$")


def stamp(t):
    return time.strftime("%H:%M:%S", time.localtime(t)) + ".%03d" % int((t % 1) * 1000)


def until(check, timeout, step=0.5):
    """Calls check() until it returns something true or `timeout` seconds
    passed; returns its last answer."""
    deadline = time.time() + timeout
    while True:
        got = check()
        if got or time.time() >= deadline:
            return got
        time.sleep(step)


class Failure(Exception):
    """The harness could not play its part (no window, no save...)."""


# ---------------------------------------------------------------------------
# Processes: the harness adopts every descendant, so that it can end them all.

def become_subreaper():
    try:
        ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    except OSError:
        pass


def proc_stat(pid):
    """The fields of /proc/PID/stat after the command's name (state first), or None."""
    try:
        with open("/proc/%s/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None


def alive(pid):
    stat = proc_stat(pid)
    return stat is not None and stat[0] != "Z"


def descendants(root):
    children = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        stat = proc_stat(entry)
        if stat:
            children.setdefault(int(stat[1]), []).append(int(entry))
    found, todo = [], [root]
    while todo:
        kids = children.get(todo.pop(), [])
        found += kids
        todo += kids
    return found


def reap():
    """Collects ended children (adopted ones included) so that none stays a zombie."""
    try:
        while os.waitpid(-1, os.WNOHANG)[0]:
            pass
    except ChildProcessError:
        pass


def end_processes(pids, grace=3.0):
    pids = [p for p in pids if p != os.getpid()]
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for p in pids:
            try:
                os.kill(p, sig)
            except ProcessLookupError:
                pass
        if until(lambda: reap() or not any(alive(p) for p in pids), grace, 0.1):
            return


# ---------------------------------------------------------------------------
# The desktop: Xvfb, openbox, a session bus, the service, the private HOME.

class Desktop:
    def __init__(self, args):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="vla-editors.")
        self.results = args.results
        self.infra = []  # Popen objects of the display, the WM, the bus, the service
        self.input_lock = threading.Lock()  # one player of the keyboard at a time
        home = os.path.join(self.work, "home")
        self.env = {k: v for k, v in os.environ.items() if not k.startswith(("XDG_", "DBUS_", "WAYLAND", "LC_"))}
        own = {"XDG_CONFIG_HOME": home + "/.config", "XDG_DATA_HOME": home + "/.local/share",
               "XDG_CACHE_HOME": home + "/.cache", "XDG_STATE_HOME": home + "/.local/state",
               "XDG_RUNTIME_DIR": os.path.join(self.work, "run")}
        for d in own.values():
            os.makedirs(d, mode=0o700)
        os.makedirs(own["XDG_DATA_HOME"] + "/applications")
        self.env.update(own, HOME=home, XDG_DATA_DIRS=home + "/.local/share:/usr/local/share:/usr/share",
                        XDG_CONFIG_DIRS="/etc/xdg", LANG=args.lang, LANGUAGE=args.lang.split(".")[0],
                        LC_ALL=args.lang, NO_AT_BRIDGE="1", GSETTINGS_BACKEND="memory", SAL_USE_VCLPLUGIN="gen")
        self.samples = os.path.join(self.work, "samples")
        os.makedirs(self.samples)
        self.journal = []  # (time, line) of the service's journal, read as it grows
        self.journal_lock = threading.Lock()
        self.stopping = threading.Event()

    def run(self, argv, timeout=30, check=True, **kw):
        r = subprocess.run(argv, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=timeout, text=True, **kw)
        if check and r.returncode != 0:
            raise Failure("%s: %s" % (" ".join(argv[:3]), (r.stderr or r.stdout).strip()[:200]))
        return r.stdout

    def spawn(self, argv, **kw):
        p = subprocess.Popen(argv, stdout=kw.pop("stdout", subprocess.DEVNULL), stderr=subprocess.DEVNULL,
                             env=self.env, **kw)
        self.infra.append(p)
        return p

    def start(self):
        r, w = os.pipe()
        self.spawn(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"], pass_fds=(w,))
        os.close(w)
        number = b""
        deadline = time.time() + 20
        while time.time() < deadline and not number.endswith(b"\n"):
            chunk = os.read(r, 16)
            if not chunk:
                break
            number += chunk
        os.close(r)
        if not number.strip():
            raise Failure("Xvfb did not start")
        self.env["DISPLAY"] = ":" + number.decode().strip()
        bus = self.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"], stdout=subprocess.PIPE,
                         text=True)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        self.spawn(["openbox", "--sm-disable"])
        until(lambda: self.run(["xdotool", "getmouselocation"], check=False, timeout=5), 10, 0.2)
        time.sleep(1)
        data, port_file = os.path.join(self.work, "service"), os.path.join(self.work, "port")
        os.makedirs(data)
        self.spawn([self.args.service, "serve", "--port", "0", "--data", data, "--port-file", port_file])
        if not until(lambda: os.path.exists(port_file) and os.path.getsize(port_file) > 0, 10, 0.1):
            raise Failure("the ticket service did not start")
        with open(port_file) as f:
            self.base = "http://127.0.0.1:" + f.read().strip()
        self.journal_path = os.path.join(data, "journal.log")
        threading.Thread(target=self.follow_journal, daemon=True).start()
        self.make_samples()

    def follow_journal(self):
        offset, pending = 0, b""
        while not self.stopping.is_set():
            try:
                with open(self.journal_path, "rb") as f:
                    f.seek(offset)
                    chunk = f.read()
            except OSError:
                chunk = b""
            if chunk:
                offset += len(chunk)
                t = time.time()
                *lines, pending = (pending + chunk).split(b"\n")
                with self.journal_lock:
                    self.journal.extend((t, line.decode("utf-8", "replace")) for line in lines)
            time.sleep(0.05)

    def journal_of(self, ticket_id, *starts):
        """The journal lines of a ticket, those that start with one of `starts` when given."""
        with self.journal_lock:
            return [(t, line) for t, line in self.journal
                    if "ticket=" + ticket_id in line and (not starts or line.startswith(starts))]

    def make_samples(self):
        s = self.samples
        shutil.copy(EXAMPLE_DOC, os.path.join(s, "informe.doc"))
        for name, text in (("nota.txt", "Nota de ejemplo.\nSegunda línea.\n"),
                           ("hoja.csv", "Concepto,Importe\nPapel,12\nTinta,30\n"),
                           ("nota.abw", '<?xml version="1.0" encoding="UTF-8"?>\n'
                            '<!DOCTYPE abiword PUBLIC "-//ABISOURCE//DTD AWML 1.0 Strict//EN" '
                            '"http://www.abisource.com/awml.dtd">\n'
                            '<abiword template="false" xmlns="http://www.abisource.com/awml.dtd" version="3.0.5" '
                            'fileformat="1.1">\n<section><p>Nota de ejemplo.</p></section>\n</abiword>\n')):
            with open(os.path.join(s, name), "w") as f:
                f.write(text)
        for ext in ("ods", "gnumeric"):
            if shutil.which("ssconvert"):
                self.run(["ssconvert", s + "/hoja.csv", s + "/hoja." + ext], check=False, timeout=60)
        if shutil.which("convert"):
            self.run(["convert", "-size", "160x120", "xc:skyblue", s + "/imagen.png"], timeout=30)

    def set_default(self, mime_to_desktop):
        with open(os.path.join(self.env["XDG_CONFIG_HOME"], "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\n")
            f.writelines("%s=%s\n" % item for item in mime_to_desktop.items())

    def libreoffice_profile(self, warn_alien_format):
        user = os.path.join(self.env["XDG_CONFIG_HOME"], "libreoffice", "4", "user")
        os.makedirs(user, exist_ok=True)
        shutil.rmtree(os.path.join(user, "backup"), ignore_errors=True)
        items = [("Office.Common/Misc", "ShowTipOfTheDay", "false"), ("Office.Common/Misc", "FirstRun", "false"),
                 ("Setup/Office", "ooSetupInstCompleted", "true"),
                 ("Office.Common/Save/Document", "WarnAlienFormat", str(bool(warn_alien_format)).lower()),
                 ("Office.Recovery/RecoveryInfo", "Enabled", "false")]
        with open(os.path.join(user, "registrymodifications.xcu"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<oor:items '
                    'xmlns:oor="http://openoffice.org/2001/registry" xmlns:xs="http://www.w3.org/2001/XMLSchema" '
                    'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">\n')
            f.writelines('<item oor:path="/org.openoffice.%s"><prop oor:name="%s" oor:op="fuse"><value>%s</value>'
                         '</prop></item>\n' % item for item in items)
            f.write("</oor:items>\n")

    def stop_editors(self):
        """Ends every descendant that is not part of the desktop itself."""
        keep = {p.pid for p in self.infra}
        end_processes([p for p in descendants(os.getpid()) if p not in keep])

    def stop(self):
        self.stopping.set()
        self.stop_editors()
        for p in reversed(self.infra):
            end_processes([p.pid])
        end_processes(descendants(os.getpid()))
        reap()
        if not self.args.keep:
            shutil.rmtree(self.work, ignore_errors=True)


# ---------------------------------------------------------------------------
# One run of one scenario.

class Ticket:
    def __init__(self, run, sample, name):
        ext = sample.rsplit(".", 1)[1]
        self.vldoc = os.path.join(run.folder, name + ".vldoc")
        self.label = os.path.basename(self.vldoc)
        self.doc = os.path.join(run.folder, name + "." + ext)
        sample = os.path.join(run.d.samples, sample)
        run.d.run([run.d.args.service, "issue", "--server", run.d.base, "--instance", "7", "--ext", ext,
                   "--out", self.vldoc, sample])
        with open(self.vldoc, "rb") as f:
            self.id = f.readline().decode().strip()
        with open(sample, "rb") as f:
            self.original = f.read()
        self.saved_path = None  # where the editor last saved the edit
        self.saved = None       # the bytes it saved there, read just before the close
        self.t_close = None
        self.t_gone = None  # when the harness saw the editor's window go


class Run:
    def __init__(self, desktop, number, editor, scenario):
        self.d = desktop
        self.editor, self.scenario = editor, scenario
        self.name = "%02d-%s-%s" % (number, editor, scenario)
        self.out = os.path.join(desktop.results, self.name)
        os.makedirs(self.out, exist_ok=True)
        self.folder = os.path.join(desktop.work, "runs", self.name, "Descargas")
        os.makedirs(self.folder)
        self.tickets = []
        self.vla = self.vla_status = None
        self.lines = []  # (time, line) of vla's standard error
        self.lines_lock = threading.Lock()
        self.questions = []  # dicts: window, time, focus, answered_by_typing, answer
        self.shots = 0
        self.notes = []
        self.expect_elsewhere = False  # the edit may land in another file (Save As, ODF)
        self.watching = threading.Event()
        self.kept = False
        self.asking = []  # threads that play the person in front of a question
        self.keymap = {}  # the editor's own shortcut for a key named in EDITORS, in this language

    # -- logging and screenshots
    def note(self, text):
        self.notes.append("%s %s" % (stamp(time.time()), text))

    def shot(self, label):
        self.shots += 1
        try:
            self.d.run(["import", "-window", "root", os.path.join(self.out, "%02d-%s.png" % (self.shots, label))],
                       timeout=30, check=False)
        except subprocess.TimeoutExpired:
            pass

    # -- tickets and vla
    def ticket(self, sample, name):
        self.tickets.append(Ticket(self, sample, name))
        return self.tickets[-1]

    def start_vla(self, ticket):
        """Runs vla on the ticket; the first call starts the vla this run follows."""
        proc = subprocess.Popen([self.d.args.vla, ticket.vldoc], env=self.d.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        threading.Thread(target=self.read_log, args=(proc.stderr,), daemon=True).start()
        if self.vla is None:
            self.vla = proc
            self.watching.set()
            threading.Thread(target=self.watch_questions, daemon=True).start()
            return proc
        try:
            proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            raise Failure("the second vla did not hand its ticket over within 60 s")
        self.note("second vla ended with %d" % proc.returncode)
        return proc

    def read_log(self, stream):
        with open(os.path.join(self.out, "vla.log"), "a", encoding="utf-8") as log:
            for raw in stream:
                t, line = time.time(), raw.decode("utf-8", "replace").rstrip("\n")
                with self.lines_lock:
                    self.lines.append((t, line))
                log.write("%s %s\n" % (stamp(t), line))
                log.flush()

    def log_of(self, ticket):
        with self.lines_lock:
            return [(t, l) for t, l in self.lines if l.startswith(ticket.label + ":")]

    # -- the X side
    def xdo(self, *argv, timeout=15, check=False):
        try:
            return self.d.run(["xdotool"] + list(argv), timeout=timeout, check=check)
        except subprocess.TimeoutExpired:
            self.note("xdotool %s: no answer within %d s" % (" ".join(argv), timeout))
            return ""

    def find_windows(self, pattern, by="--name"):
        return [w for w in self.xdo("search", "--onlyvisible", by, pattern).split() if w.isdigit()]

    def window(self, pattern, timeout=120, by="--name", exclude=()):
        """The newest visible window matching, not vla's nor one of `exclude`;
        gives up early when vla ended with no ticket open."""
        def found():
            wins = [w for w in self.find_windows(pattern, by) if w not in exclude and w not in self.vla_windows()]
            return wins or (self.vla is not None and self.vla.poll() is not None and not self.tickets_open())
        wins = until(found, timeout)
        if not isinstance(wins, list):
            self.shot("no-window")
            raise Failure("no window matching %r within %d s" % (pattern, timeout))
        self.note("window %s: %s" % (wins[-1], self.title(wins[-1])))
        return wins[-1]

    def tickets_open(self):
        return any(t.t_close is None for t in self.tickets)

    def title(self, win):
        return self.xdo("getwindowname", win).strip()

    def visible(self, win):
        return "IsViewable" in self.d.run(["xwininfo", "-id", win], check=False, timeout=10)

    def gone(self, win, timeout):
        return until(lambda: not self.visible(win), timeout, 0.3)

    def activate(self, win):
        if self.xdo("windowactivate", "--sync", win, timeout=10) == "" and self.focused() != win:
            self.xdo("windowfocus", "--sync", win, timeout=10)
        time.sleep(0.3)

    def focused(self):
        return self.xdo("getwindowfocus").strip()

    def play(self, win, steps, first=None):
        """Plays steps into the window: ("key", KEY...) or ("type", TEXT);
        first() is called once the window is active, just before the first step."""
        with self.d.input_lock:
            if win:
                self.activate(win)
            if first:
                first()
            for kind, *what in steps:
                for k in what:
                    if kind == "type":
                        self.xdo("type", "--delay", "60", k, timeout=60)
                    else:
                        self.xdo("key", "--clearmodifiers", self.keymap.get(k, k))
                    time.sleep(0.3)

    def keys(self, win, *keys):
        self.play(win, [("key",) + keys])

    def type(self, win, text):
        self.play(win, [("type", text)])

    # -- files
    def folder_files(self):
        def stat(f):
            try:
                st = os.stat(os.path.join(self.folder, f))
                return (st.st_ino, st.st_size, st.st_mtime_ns)
            except OSError:
                return None
        return {f: stat(f) for f in os.listdir(self.folder)}

    def wait_saved(self, ticket, before, timeout=30, quiet=1.5):
        """Waits until a save changed the folder (the document or a new file)
        and the result stayed the same for `quiet` seconds; records where."""
        deadline = time.time() + timeout
        changed, last, since = None, None, None
        while time.time() < deadline:
            now_files = self.folder_files()
            diff = sorted(f for f, st in now_files.items()
                          if st is not None and before.get(f) != st and not LOCK_FILE.match(f)
                          and not f.endswith((".vldoc", ".swp", "~")) and not f.startswith(".~"))
            if diff:
                if (diff, [now_files[f] for f in diff]) != last:
                    last, since = (diff, [now_files[f] for f in diff]), time.time()
                elif time.time() - since >= quiet:
                    changed = diff
                    break
            time.sleep(0.25)
        if not changed:
            self.shot("no-save")
            raise Failure("the save changed nothing in the folder within %d s" % timeout)
        # The document itself when it changed, otherwise the newest new file.
        name = os.path.basename(ticket.doc)
        pick = name if name in changed else max(changed, key=lambda f: now_files[f][2])
        ticket.saved_path = os.path.join(self.folder, pick)
        self.note("saved %s (%d bytes)" % (pick, now_files[pick][1]))

    def save(self, win, ticket, steps, timeout=30):
        before = self.folder_files()
        self.play(win, steps)
        self.wait_saved(ticket, before, timeout)

    def close(self, win, ticket, *keys, wait_gone=30):
        """Closes the editor's window with keys; the close time is taken just
        before the keys go (the window already active), after reading what
        was last saved."""
        if ticket.saved_path:
            try:
                with open(ticket.saved_path, "rb") as f:
                    ticket.saved = f.read()
            except OSError:
                ticket.saved = None
        self.shot("before-close")
        self.note("close %s" % " ".join(keys))
        self.play(win, [("key",) + keys], first=lambda: setattr(ticket, "t_close", time.time()))
        if win and wait_gone and self.gone(win, wait_gone):
            ticket.t_gone = time.time()
        elif win and wait_gone:
            self.shot("not-closed")
            self.note("the window %s is still there %d s after the close" % (win, wait_gone))

    # -- vla's windows
    def vla_windows(self):
        if self.vla is None:
            return []
        return sorted(set(self.find_windows(str(self.vla.pid), by="--pid")) | set(self.find_windows("^vla$")))

    def watch_questions(self):
        seen = set()
        while self.watching.is_set():
            for w in self.vla_windows():
                if w not in seen:
                    seen.add(w)
                    self.asking.append(threading.Thread(target=self.question, args=(w,), daemon=True))
                    self.asking[-1].start()
            time.sleep(0.5)

    def question(self, win):
        q = {"window": win, "time": time.time(), "title": self.title(win)}
        self.questions.append(q)
        time.sleep(1.0)  # as a person who has not noticed it yet
        self.shot("question")
        with self.d.input_lock:
            focus, active = self.focused(), self.xdo("getactivewindow").strip()
            q["focus"] = "%s (%s)" % (focus, self.title(focus) if focus else "")
            q["had_focus"] = win in (focus, active)
            if q["had_focus"]:
                # Text and Return, meant for the window the person works in.
                self.xdo("type", "--delay", "60", "ok")
                self.xdo("key", "Return")
        if q["had_focus"]:
            time.sleep(2.0)
        q["answered_by_typing"] = q["had_focus"] and not self.visible(win)
        q["answer"] = "typed" if q["answered_by_typing"] else "none"
        self.note("question in window %s (focus %s): %s" % (
            win, q["focus"], "took the keyboard and was ANSWERED by typing" if q["answered_by_typing"] else
            "took the keyboard, typing left it open" if q["had_focus"] else "did not take the keyboard"))
        if q["answered_by_typing"]:
            return
        self.shot("question-after-typing")
        # A person answers once done with the editor, if vla still asks then.
        while self.watching.is_set() and self.tickets_open():
            time.sleep(0.5)
        until(lambda: not self.watching.is_set() or not self.visible(win), 5)
        if not self.watching.is_set() or not self.visible(win):
            self.note("question in window %s went away unanswered" % win)
            q["answer"] = "withdrawn"
            return
        # A click on its first button (the one that sends), or Return where
        # no button is seen.
        button = self.first_button(win)
        with self.d.input_lock:
            if button:
                self.note("clicking the question's first button at %d,%d" % button)
                q["answer"] = "click"
                self.xdo("mousemove", str(button[0]), str(button[1]))
                time.sleep(0.3)
                self.xdo("click", "1")
            else:
                self.note("no button seen on the question; Return")
                q["answer"] = "return"
                self.activate(win)
                self.xdo("key", "--clearmodifiers", "Return")
        if not self.gone(win, 10):
            self.shot("question-not-answered")
            self.note("the question is still there after the harness answered it")

    def first_button(self, win):
        """The middle of the leftmost button of the window's bottom row, in
        screen coordinates, found in a screenshot: on some row near the bottom,
        each button is an unbroken run of pixels unlike the window's
        background (its lower border or shade), and runs are apart."""
        geo = dict(line.split("=", 1) for line in self.xdo("getwindowgeometry", "--shell", win).split() if "=" in line)
        try:
            x, y, width, height = (int(geo[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
            band = min(height, 70)
            text = self.d.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (width, band, x, y + height - band),
                               "-depth", "8", "txt:-"], timeout=30, check=False)
        except (KeyError, ValueError, subprocess.TimeoutExpired):
            return None
        pixels = {}
        for m in re.finditer(r"^(\d+),(\d+):.*#([0-9A-Fa-f]{6})", text, re.M):
            pixels[(int(m.group(1)), int(m.group(2)))] = tuple(int(m.group(3)[i:i + 2], 16) for i in (0, 2, 4))
        best = []
        for row in range(band):
            bg = pixels.get((1, row))
            if bg is None:
                continue
            runs, start = [], None
            for col in range(width + 1):
                differs = sum(abs(a - b) for a, b in zip(pixels.get((col, row), bg), bg)) > 18
                if differs and start is None:
                    start = col
                elif not differs and start is not None:
                    if 30 <= col - start < width - 4:
                        runs.append((start, col, row))
                    start = None
            if runs and len(runs) >= len(best):  # the lowest of the rows with most runs
                best = runs
        if not best:
            return None
        start, end, row = best[0]
        # The run is the button's lower edge: its middle is some 12 px up.
        return x + (start + end) // 2, max(y, y + height - band + row - 12)

    # -- the end of the run
    def decision_time(self, ticket):
        times = [t for t, l in self.log_of(ticket) if DECISION.search(l)]
        times += [t for t, _ in self.d.journal_of(ticket.id, "SubirFichero", "BorrarTicket")]
        return min(times, default=None)

    def finish(self, timeout):
        """Waits (bounded) for every decision and for vla to end, then stops
        everything this run started."""
        deadline = time.time() + timeout
        ended_at = decided_at = None
        while time.time() < deadline:
            decided = all(self.decision_time(t) is not None for t in self.tickets)
            ended = self.vla.poll() is not None
            if decided and ended:
                break
            if ended:  # without deciding every ticket: a moment for the journal
                ended_at = ended_at or time.time()
                if time.time() - ended_at > 3:
                    break
            if decided:  # vla lingers after its decisions: a bounded while
                decided_at = decided_at or time.time()
                if time.time() - decided_at > 30:
                    break
            time.sleep(0.5)
        self.watching.clear()
        for asking in self.asking:
            asking.join(30)
        self.shot("end")
        self.vla_status = self.vla.poll()
        if self.vla_status is None:
            self.note("vla still running at the end of the run: ended by the harness")
        self.d.stop_editors()
        reap()
        with open(os.path.join(self.out, "journal.log"), "w") as f:
            f.writelines("%s %s\n" % (stamp(ts), line) for t in self.tickets for ts, line in self.d.journal_of(t.id))
        with open(os.path.join(self.out, "harness.log"), "w") as f:
            f.write("\n".join(self.notes) + "\n")

    def verdict(self, slow):
        reasons, delays = [], []
        for t in self.tickets:
            who = t.label + ": " if len(self.tickets) > 1 else ""
            uploads = self.d.journal_of(t.id, "SubirFichero")
            deletes = self.d.journal_of(t.id, "BorrarTicket")
            decision = self.decision_time(t)
            if t.t_close is None:
                reasons.append(who + ("decided while the editor still had the document open" if decision is not None
                                      else "the harness never closed the document"))
                continue
            if decision is None:
                reasons.append(who + "no decision within the wait after the close")
            else:
                delays.append(decision - t.t_close)
                if delays[-1] < 0:
                    reasons.append(who + "decided %.1f s BEFORE the close" % -delays[-1])
                elif delays[-1] > slow:
                    reasons.append(who + "decision %.0f s after the close" % delays[-1])
            if t.saved_path is not None and t.saved == t.original:
                reasons.append(who + "harness: the saved document equals the original")
            stored = [m.group(1) for _, l in uploads for m in [re.search(r"-> ok guardado=(\S+)", l)] if m]
            if t.saved_path is None:
                if uploads:
                    reasons.append(who + "an unsaved document was uploaded")
                if not deletes:
                    reasons.append(who + "the ticket was not dropped")
            elif stored:
                with open(stored[-1], "rb") as f:
                    got = f.read()
                if got != t.saved:
                    reasons.append(who + "the upload (%d bytes) is not what was last saved (%s, %d bytes)%s" % (
                        len(got), os.path.basename(t.saved_path), len(t.saved or b""),
                        " but the original" if got == t.original else ""))
            elif uploads:
                reasons.append(who + "upload not accepted: " + uploads[-1][1][-80:])
            elif (t.saved_path != t.doc and self.expect_elsewhere and not deletes
                  and os.path.exists(t.saved_path)):
                self.kept = True
                self.note("%skept: nothing sent, ticket kept, the edit is in %s" % (who, t.saved_path))
            elif deletes:
                reasons.append(who + "saved edit (%s) not uploaded: ticket DROPPED" % os.path.basename(t.saved_path))
            else:
                reasons.append(who + "saved edit not uploaded")
        left = sorted(os.listdir(self.folder))
        if left and not self.kept:
            reasons.append("left in the folder: " + " ".join(left))
        typed = [q for q in self.questions if q.get("answered_by_typing")]
        if typed:
            reasons.append("%d question(s) answered by typing into the focused window%s" % (
                len(typed), " (the question had taken the keyboard)" if any(q.get("had_focus") for q in typed) else ""))
        if self.vla is None:
            reasons.append("vla was not started")
        elif self.vla_status is None and not self.kept:
            reasons.append("vla still running")
        elif self.vla_status is None:
            # The edit went to another file and the ticket's document is
            # unchanged: vla keeps waiting for the user's answer, as it should.
            self.note("vla still waiting for the user's answer at the end: ticket and edit kept")
        elif self.vla_status != 0 and not self.kept:
            reasons.append("vla exit status %d" % self.vla_status)
        reason = "; ".join(reasons) if reasons else (
            "kept: ticket and edit kept, nothing sent" if self.kept else "ok")
        return ("FAIL" if reasons else "PASS"), reason, delays


# ---------------------------------------------------------------------------
# The editors: how a person opens, types into, saves and closes each one. A
# step is ("key", KEY...) or ("type", TEXT), played into the editor's window.

def typed(text):
    return ("key", "ctrl+End"), ("type", text)


class Editor(collections.namedtuple(
        "Editor", "command desktop mime sample opens settle office title by edit save close",
        defaults=(90, 3, False, None, "--name", typed(" Palabra"), (("key", "ctrl+s"),), ("ctrl+q",)))):
    """command: its program (needed installed); desktop: its desktop entry, made
    the default for `mime`, the type of `sample` (the document a ticket is
    issued for); opens: seconds its window may take; settle: seconds before
    typing; office: LibreOffice (its profile; its dialogs and shortcuts in the
    desktop's language); title: its window's pattern (the document's name by
    default), searched `by` name or class; edit, save: steps; close: keys."""


CELL = ("key", "ctrl+Home", "Down", "Down", "Down"), ("type", "Sobres\t7\n")
EDITORS = {
    "writer": Editor("soffice", "libreoffice-writer.desktop", "application/msword", "informe.doc", opens=150,
                     office=True),
    "calc": Editor("soffice", "libreoffice-calc.desktop", "application/vnd.oasis.opendocument.spreadsheet",
                   "hoja.ods", opens=150, office=True, edit=CELL),
    "abiword": Editor("abiword", "abiword.desktop", "application/x-abiword", "nota.abw"),
    "gnumeric": Editor("gnumeric", "gnumeric.desktop", "application/x-gnumeric", "hoja.gnumeric", edit=CELL),
    "gedit": Editor("gedit", "org.gnome.gedit.desktop", "text/plain", "nota.txt", settle=2,
                    edit=typed("Linea anadida.\n")),
    "mousepad": Editor("mousepad", "org.xfce.mousepad.desktop", "text/plain", "nota.txt", settle=2,
                       edit=typed("Linea anadida.\n")),
    # Debian's vim.desktop has Terminal=true: vim runs in xterm.
    "vim": Editor("xterm", "vim.desktop", "text/plain", "nota.txt", title=r"^(xterm|XTerm|UXTerm)$", by="--class",
                  edit=(("key", "Escape"), ("type", "Go"), ("type", "Linea anadida."), ("key", "Escape")),
                  save=(("type", ":w\n"),), close=("colon", "q", "Return")),
    "gimp": Editor("gimp", "gimp.desktop", "image/png", "imagen.png", opens=240, settle=5, title="imagen"),
}

# LibreOffice in the desktop's language: its dialogs' titles (patterns) and
# answers, and its own shortcuts where they differ from the ones in EDITORS
# (Spanish: Ctrl+G saves, Ctrl+S underlines).
OFFICE_UI = {
    "en": {"query_save": r"LibreOffice|Save Document", "dont_save": "alt+n", "save_as": r"^Save As$",
           "keep_format": r"Confirm File Format|Keep current format", "use_odf": "alt+f", "keys": {}},
    "es": {"query_save": r"LibreOffice|guardar el documento", "dont_save": "alt+n",  # "_No guardar"
           "save_as": r"^Guardar como$", "keep_format": r"Confirmar el formato", "use_odf": "alt+f",
           "keys": {"ctrl+s": "ctrl+g"}},
}


def ui(r, key):
    lang = r.d.args.lang.split("_")[0].split(".")[0]
    return OFFICE_UI.get(lang, OFFICE_UI["en"])[key]


def prepare(r, ed, warn_alien_format=False):
    if ed.office:
        r.d.libreoffice_profile(warn_alien_format)
        r.keymap = ui(r, "keys")
    r.d.set_default({ed.mime: ed.desktop})


def open_doc(r, ed, name=None, settle=None):
    """Issues a ticket for the editor's sample, runs vla on it, waits for the
    editor's window and a moment more (as a person reads before typing)."""
    name = name or ed.sample.rsplit(".", 1)[0]
    t = r.ticket(ed.sample, name)
    r.start_vla(t)
    w = r.window(ed.title or re.escape(os.path.basename(t.doc)), ed.opens, by=ed.by)
    time.sleep(ed.settle if settle is None else settle)
    r.shot("open")
    return t, w


# ---------------------------------------------------------------------------
# The scenarios: each plays one person's session. `r` is the Run, `ed` the Editor.

def save(r, ed):
    """Typed into, saved, closed."""
    prepare(r, ed)
    t, w = open_doc(r, ed)
    r.play(w, ed.edit)
    r.save(w, t, ed.save)
    r.close(w, t, *ed.close)


def close_unchanged(settle):
    """Opened and closed, nothing typed."""
    def play(r, ed):
        prepare(r, ed)
        t, w = open_doc(r, ed, settle=settle)
        r.close(w, t, *ed.close)
    return play


def discard(r, ed):
    """Typed into, then closed with "Don't Save"."""
    prepare(r, ed)
    t, w = open_doc(r, ed)
    r.play(w, ed.edit)
    r.close(w, t, *ed.close, wait_gone=0)
    ask = r.window(ui(r, "query_save"), 30, exclude=(w,))
    time.sleep(1)
    r.shot("save-changes")
    r.keys(ask, ui(r, "dont_save"))
    if not r.gone(w, 30):
        r.shot("not-closed")
        raise Failure("the editor did not close after Don't Save")


def hand_off(r, ed):
    """An instance of the editor already runs with another document (outside
    the ticket's folder) and takes the ticket's document; closing that
    document is the end, the instance stays."""
    prepare(r, ed)
    other = os.path.join(r.d.work, "runs", r.name, "otra.txt")
    with open(other, "w") as f:
        f.write("Otro documento.\n")
    subprocess.Popen([ed.command, other], env=r.d.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
    first = r.window(r"otra\.txt", 60)
    time.sleep(2)
    t, w = open_doc(r, ed)
    r.play(w, ed.edit)
    r.save(w, t, ed.save)
    r.close(w, t, "ctrl+w", wait_gone=0)
    r.note("the first instance (window %s) stays open" % first)


def save_elsewhere(odf):
    """Typed into and saved under another name in the same folder: with Save
    As in the same format, or (odf) by answering LibreOffice's keep-format
    question "Use ODF Format", which saves a new .odt beside the document."""
    def play(r, ed):
        r.expect_elsewhere = True
        prepare(r, ed, warn_alien_format=odf)
        t, w = open_doc(r, ed)
        r.play(w, typed(" Formato" if odf else " Copia"))
        before = r.folder_files()
        r.keys(w, "ctrl+s" if odf else "ctrl+shift+s")
        if odf:
            ask = r.window(ui(r, "keep_format"), 30, exclude=(w,))
            time.sleep(1)
            r.shot("keep-format")
            r.keys(ask, ui(r, "use_odf"))  # "Use ODF _Format" beside the default "Use <format> Format"
        dialog = r.window(ui(r, "save_as"), 30)
        time.sleep(1)
        r.shot("save-as")
        # LibreOffice's own dialog may propose HOME, not the document's folder; it adds the extension.
        r.keys(dialog, "ctrl+a")
        r.type(dialog, os.path.join(r.folder, "informe" if odf else "informe-copia"))
        r.keys(dialog, "Return")
        if not odf:
            time.sleep(2)
            for extra in r.find_windows("%s|Confirm|%s" % (ui(r, "keep_format"), ui(r, "save_as"))):
                r.shot("save-as-question")
                r.note("Save As asked again: %s" % r.title(extra))
                r.keys(extra, "Return")
        r.wait_saved(t, before)
        w = r.window(r"informe\.odt" if odf else "informe-copia", 30)
        r.shot("saved-as")
        r.close(w, t, *ed.close)
    return play


def two_documents(r, ed):
    """Two tickets in one editor: the first closed with its window, the other with the editor."""
    prepare(r, ed)
    uno, w1 = open_doc(r, ed, "informe-uno", settle=0)
    dos, w2 = open_doc(r, ed, "informe-dos", settle=0)
    for t, w, word, keys in ((uno, w1, "PalabraUno", "ctrl+w"), (dos, w2, "PalabraDos", "ctrl+q")):
        time.sleep(3)
        r.play(w, typed(" " + word))
        r.save(w, t, ed.save)
        r.close(w, t, keys)
        time.sleep(8 if t is uno else 0)


def export_twice(r, ed):
    """GIMP: the image exported over itself twice, then GIMP quit discarding its own copy."""
    prepare(r, ed)
    t, w = open_doc(r, ed)
    gimp = r.xdo("getwindowpid", w).strip()
    for n in (1, 2):
        before = r.folder_files()
        r.keys(w, "ctrl+e")
        gimp_answer_export(r, w, gimp, before, n)
        r.wait_saved(t, before, timeout=30)
        time.sleep(2)
    r.close(w, t, *ed.close, wait_gone=0)
    deadline = time.time() + 60
    while time.time() < deadline and r.visible(w):
        for dialog in r.find_windows(r"Quit GIMP"):
            r.shot("quit")
            r.keys(dialog, "ctrl+d")  # Discard Changes
        time.sleep(1)
    if r.visible(w):
        r.shot("gimp-not-closed")
        r.note("GIMP's window is still there 60 s after the quit")


def gimp_answer_export(r, main, gimp, before, n):
    """Plays GIMP's export dialogs until the folder changes (bounded): the
    PNG options (GIMP's plug-in process: found by name), the question whether
    to replace the file (untitled), the file chooser ("Export Image")."""
    pressed = {}
    deadline = time.time() + 60
    while time.time() < deadline and r.folder_files() == before:
        wins = r.find_windows(r"Export Image as PNG")
        if not wins and gimp:
            wins = [d for d in r.find_windows(gimp, by="--pid") if d != main]
            # The replace question comes over the file chooser.
            wins.sort(key=lambda d: r.title(d) == "Export Image")
        for d in wins[:1]:
            if time.time() - pressed.get(d, 0) < 6:
                continue
            time.sleep(1)
            title = r.title(d)
            r.shot("export-%d" % n)
            r.note("export %d: window %s %r" % (n, d, title))
            r.keys(d, "Return" if re.search(r"Export Image|PNG", title) else "alt+r")  # Replace
            pressed[d] = time.time()
        time.sleep(0.5)


SCENARIOS = [
    ("writer", "save", save),
    ("writer", "no-save", close_unchanged(5)),
    ("writer", "discard", discard),
    ("writer", "save-as", save_elsewhere(odf=False)),
    ("writer", "keep-format-odf", save_elsewhere(odf=True)),
    ("writer", "two-documents", two_documents),
    ("calc", "save", save),
    ("abiword", "save", save),
    ("abiword", "quick-close", close_unchanged(1)),
    ("gnumeric", "save", save),
    ("gedit", "save", save),
    ("gedit", "hand-off", hand_off),
    ("mousepad", "hand-off", hand_off),
    ("vim", "terminal", save),
    ("gimp", "export-twice", export_twice),
]
FAST = ["writer:save", "writer:no-save", "gedit:save"]


def selected(args):
    patterns = FAST if args.fast else (args.only.split(",") if args.only else ["*"])
    return [s for s in SCENARIOS if any(fnmatch.fnmatch("%s:%s" % (s[0], s[1]), p) for p in patterns)]


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--vla", required=False)
    p.add_argument("--service", required=False)
    p.add_argument("--results", default=None)
    p.add_argument("--fast", action="store_true", help="only " + ", ".join(FAST))
    p.add_argument("--only", help="comma-separated EDITOR:SCENARIO patterns (shell wildcards)")
    p.add_argument("--repeat", type=int, default=1, help="runs of each scenario")
    p.add_argument("--slow", type=float, default=20.0, help="seconds from close to decision that count as a fault")
    p.add_argument("--wait", type=float, default=150.0, help="seconds to wait for decisions after the last close")
    p.add_argument("--lang", default="C.UTF-8", help="the desktop's locale, e.g. es_ES.UTF-8 (LibreOffice's dialogs "
                   "are played in English or Spanish)")
    p.add_argument("--keep", action="store_true", help="keep the work folder")
    p.add_argument("--list", action="store_true")
    args = p.parse_args()
    todo = selected(args)
    if args.list:
        for e, s, _ in todo:
            print("%s:%s" % (e, s))
        return 0
    if not todo:
        print("no scenario matches", file=sys.stderr)
        return 2
    if not args.vla or not args.service:
        p.error("--vla and --service are needed")
    norm = lambda name: name.lower().replace("-", "")  # es_ES.UTF-8 is listed as es_ES.utf8
    here = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE, text=True).stdout.split()
    if norm(args.lang) not in map(norm, here):
        p.error("no locale %s here (localedef -i %s -f UTF-8 %s)" % (args.lang, args.lang.split(".")[0], args.lang))
    args.results = os.path.abspath(args.results or tempfile.mkdtemp(prefix="vla-editors-results."))
    os.makedirs(args.results, exist_ok=True)
    become_subreaper()
    # Ended from outside: still end everything it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    desktop = Desktop(args)
    rows = []
    started = time.time()
    try:
        desktop.start()
        print("== display %s, service %s, results in %s" % (desktop.env["DISPLAY"], desktop.base, args.results),
              flush=True)
        number = 0
        for editor, scenario, play in todo:
            for _ in range(args.repeat):
                number += 1
                rows.append(run_one(desktop, number, editor, scenario, play))
    finally:
        desktop.stop()
    return report(rows, args, time.time() - started)


def run_one(desktop, number, editor, scenario, play):
    r = Run(desktop, number, editor, scenario)
    print("-- %s" % r.name, flush=True)
    t0 = time.time()
    harness_error = None
    try:
        if not shutil.which(EDITORS[editor].command):
            raise Failure("not installed: " + EDITORS[editor].command)
        play(r, EDITORS[editor])
    except (Failure, subprocess.TimeoutExpired) as e:
        harness_error = "harness: %s" % e
        r.note(harness_error)
    except Exception as e:  # a fault of the harness itself: this run only
        harness_error = "harness fault: %r" % e
        r.note(harness_error + "\n" + traceback.format_exc())
    if r.vla is not None:
        r.finish(desktop.args.wait)
    else:
        desktop.stop_editors()
    try:
        outcome, reason, delays = r.verdict(desktop.args.slow)
    except Exception as e:
        outcome, reason, delays = "FAIL", "harness fault in the checks: %r" % e, []
    if harness_error:
        # What vla did up to there still counts: a decision while the editor
        # was open is why the harness could not go on.
        outcome, reason = "FAIL", (reason + "; " if outcome == "FAIL" else "") + harness_error
    closed = [(desktop.journal_of(t.id, "SubirFichero"), t) for t in r.tickets if t.t_close is not None]
    row = {"editor": editor, "scenario": scenario, "outcome": outcome, "reason": reason, "delays": delays,
           "questions": ",".join(q.get("answer", "none") for q in r.questions) or "0", "seconds": time.time() - t0,
           "uploads": [ups[0][0] - t.t_close for ups, t in closed if ups],
           "gone": [t.t_gone - t.t_close for ups, t in closed if ups and t.t_gone is not None]}
    with open(os.path.join(r.out, "outcome.txt"), "w") as f:
        f.write("%s %s\n" % (outcome, reason))
    print("   %s %s (%.0f s)" % (outcome, reason, row["seconds"]), flush=True)
    return row


def report(rows, args, total):
    lines = ["%-9s %-16s %-4s %-10s %-9s %s" % ("editor", "scenario", "", "close->dec", "questions", "reason"),
             "(questions: how each was answered: typed = by the text typed into the focused window, "
             "click = the harness clicked its first button, withdrawn = vla took it back)"]
    lines += ["%-9s %-16s %-4s %-10s %-9s %s" % (row["editor"], row["scenario"], row["outcome"],
                                                  "/".join("%.1f" % d for d in row["delays"]) or "-",
                                                  row["questions"], row["reason"]) for row in rows]
    writer = [row for row in rows if (row["editor"], row["scenario"]) == ("writer", "save")]
    arrivals = [u for row in writer for u in row["uploads"]]
    if arrivals:
        lines.append("writer save: close -> upload at the service: median %.2f s over %d run(s) (%s)" % (
            statistics.median(arrivals), len(arrivals), ", ".join("%.2f" % a for a in arrivals)))
    gone = [g for row in writer for g in row["gone"]]
    if gone:
        lines.append("writer save: close -> LibreOffice's window gone (seen every 0.3 s): median %.2f s" %
                     statistics.median(gone))
    failed = sum(1 for row in rows if row["outcome"] != "PASS")
    lines.append("%d run(s), %d failed, %.0f s in all" % (len(rows), failed, total))
    print("\n" + "\n".join(lines))
    with open(os.path.join(args.results, "matrix.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
