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


class Failure(Exception):
    """The harness could not play its part (no window, no save...)."""


# ---------------------------------------------------------------------------
# Processes: the harness adopts every descendant, so that it can end them all.

def become_subreaper():
    PR_SET_CHILD_SUBREAPER = 36
    try:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    except OSError:
        pass


def descendants(root):
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        ppid = int(stat.rsplit(")", 1)[1].split()[1])
        children.setdefault(ppid, []).append(int(entry))
    found, todo = [], [root]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def reap():
    """Collects ended children (adopted ones included) so that none stays a zombie."""
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


def end_processes(pids, grace=3.0):
    pids = [p for p in pids if p != os.getpid()]
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for p in pids:
            try:
                os.kill(p, sig)
            except ProcessLookupError:
                pass
        deadline = time.time() + grace
        while time.time() < deadline:
            reap()
            if not any(alive(p) for p in pids):
                return
            time.sleep(0.1)


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


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
        env = {k: v for k, v in os.environ.items() if not k.startswith(("XDG_", "DBUS_", "WAYLAND", "LC_"))}
        env.update({
            "HOME": home,
            "XDG_CONFIG_HOME": home + "/.config",
            "XDG_DATA_HOME": home + "/.local/share",
            "XDG_CACHE_HOME": home + "/.cache",
            "XDG_STATE_HOME": home + "/.local/state",
            "XDG_RUNTIME_DIR": os.path.join(self.work, "run"),
            "XDG_DATA_DIRS": home + "/.local/share:/usr/local/share:/usr/share",
            "XDG_CONFIG_DIRS": "/etc/xdg",
            "LANG": args.lang, "LANGUAGE": args.lang.split(".")[0], "LC_ALL": args.lang,
            "NO_AT_BRIDGE": "1",
            "GSETTINGS_BACKEND": "memory",
            "SAL_USE_VCLPLUGIN": "gen",
        })
        self.env = env
        for d in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"):
            os.makedirs(env[d], exist_ok=True)
        os.chmod(env["XDG_RUNTIME_DIR"], 0o700)
        os.makedirs(os.path.join(env["XDG_DATA_HOME"], "applications"), exist_ok=True)
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

    def start(self):
        r, w = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=self.env)
        os.close(w)
        self.infra.append(xvfb)
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

        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=self.env, text=True)
        self.infra.append(bus)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()

        wm = subprocess.Popen(["openbox", "--sm-disable"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              env=self.env)
        self.infra.append(wm)
        for _ in range(50):
            if self.run(["xdotool", "getmouselocation"], check=False, timeout=5):
                break
            time.sleep(0.2)
        time.sleep(1)

        data = os.path.join(self.work, "service")
        os.makedirs(data)
        port_file = os.path.join(self.work, "port")
        service = subprocess.Popen([self.args.service, "serve", "--port", "0", "--data", data, "--port-file", port_file],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=self.env)
        self.infra.append(service)
        for _ in range(100):
            if os.path.exists(port_file) and os.path.getsize(port_file) > 0:
                break
            time.sleep(0.1)
        else:
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
                pending += chunk
                *lines, pending = pending.split(b"\n")
                with self.journal_lock:
                    self.journal.extend((t, line.decode("utf-8", "replace")) for line in lines)
            time.sleep(0.05)

    def journal_of(self, ticket_id):
        with self.journal_lock:
            return [(t, line) for t, line in self.journal if "ticket=" + ticket_id in line]

    def make_samples(self):
        s = self.samples
        shutil.copy(EXAMPLE_DOC, os.path.join(s, "informe.doc"))
        with open(os.path.join(s, "nota.txt"), "w") as f:
            f.write("Nota de ejemplo.\nSegunda línea.\n")
        with open(os.path.join(s, "nota.abw"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n'
                    '<!DOCTYPE abiword PUBLIC "-//ABISOURCE//DTD AWML 1.0 Strict//EN" '
                    '"http://www.abisource.com/awml.dtd">\n'
                    '<abiword template="false" xmlns="http://www.abisource.com/awml.dtd" version="3.0.5" '
                    'fileformat="1.1">\n<section><p>Nota de ejemplo.</p></section>\n</abiword>\n')
        with open(os.path.join(s, "hoja.csv"), "w") as f:
            f.write("Concepto,Importe\nPapel,12\nTinta,30\n")
        for ext in ("ods", "gnumeric"):
            if shutil.which("ssconvert"):
                self.run(["ssconvert", os.path.join(s, "hoja.csv"), os.path.join(s, "hoja." + ext)],
                         check=False, timeout=60)
        if shutil.which("convert"):
            self.run(["convert", "-size", "160x120", "xc:skyblue", os.path.join(s, "imagen.png")], timeout=30)

    def set_default(self, mime_to_desktop):
        path = os.path.join(self.env["XDG_CONFIG_HOME"], "mimeapps.list")
        with open(path, "w") as f:
            f.write("[Default Applications]\n")
            for mime, desktop in mime_to_desktop.items():
                f.write("%s=%s\n" % (mime, desktop))

    def libreoffice_profile(self, warn_alien_format):
        user = os.path.join(self.env["XDG_CONFIG_HOME"], "libreoffice", "4", "user")
        os.makedirs(user, exist_ok=True)
        shutil.rmtree(os.path.join(user, "backup"), ignore_errors=True)
        items = [
            ("/org.openoffice.Office.Common/Misc", "ShowTipOfTheDay", "false"),
            ("/org.openoffice.Office.Common/Misc", "FirstRun", "false"),
            ("/org.openoffice.Setup/Office", "ooSetupInstCompleted", "true"),
            ("/org.openoffice.Office.Common/Save/Document", "WarnAlienFormat",
             "true" if warn_alien_format else "false"),
            ("/org.openoffice.Office.Recovery/RecoveryInfo", "Enabled", "false"),
        ]
        with open(os.path.join(user, "registrymodifications.xcu"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<oor:items '
                    'xmlns:oor="http://openoffice.org/2001/registry" xmlns:xs="http://www.w3.org/2001/XMLSchema" '
                    'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">\n')
            for path, name, value in items:
                f.write('<item oor:path="%s"><prop oor:name="%s" oor:op="fuse"><value>%s</value></prop></item>\n'
                        % (path, name, value))
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
        self.run = run
        ext = sample.rsplit(".", 1)[1]
        self.folder = run.folder
        self.vldoc = os.path.join(self.folder, name + ".vldoc")
        self.doc = os.path.join(self.folder, name + "." + ext)
        self.sample = os.path.join(run.d.samples, sample)
        run.d.run([run.d.args.service, "issue", "--server", run.d.base, "--instance", "7", "--ext", ext,
                   "--out", self.vldoc, self.sample])
        with open(self.vldoc, "rb") as f:
            self.id = f.readline().decode().strip()
        with open(self.sample, "rb") as f:
            self.original = f.read()
        self.saved_path = None  # where the editor last saved the edit
        self.saved = None       # the bytes it saved there, read just before the close
        self.t_close = None
        self.t_gone = None  # when the harness saw the editor's window go

    @property
    def label(self):
        return os.path.basename(self.vldoc)


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
        self.vla = None
        self.lines = []  # (time, line) of vla's standard error
        self.lines_lock = threading.Lock()
        self.questions = []  # dicts: window, time, focus, answered_by_typing
        self.shots = 0
        self.notes = []
        self.expect_elsewhere = False  # the edit may land in another file (Save As, ODF)
        self.watching = threading.Event()
        self.kept = False
        self.asking = []  # threads that play the person in front of a question
        self.vla_status = None

    # -- logging and screenshots
    def note(self, text):
        self.notes.append("%s %s" % (stamp(time.time()), text))

    def shot(self, label):
        self.shots += 1
        path = os.path.join(self.out, "%02d-%s.png" % (self.shots, label))
        try:
            self.d.run(["import", "-window", "root", path], timeout=30, check=False)
        except subprocess.TimeoutExpired:
            pass

    # -- tickets and vla
    def ticket(self, sample, name):
        t = Ticket(self, sample, name)
        self.tickets.append(t)
        return t

    def start_vla(self, ticket):
        """Runs vla on the ticket; the first call starts the vla this run follows."""
        proc = subprocess.Popen([self.d.args.vla, ticket.vldoc], env=self.d.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        threading.Thread(target=self.read_log, args=(proc.stderr,), daemon=True).start()
        if self.vla is None:
            self.vla = proc
            self.watching.set()
            threading.Thread(target=self.watch_questions, daemon=True).start()
        else:
            try:
                proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                raise Failure("the second vla did not hand its ticket over within 60 s")
            self.note("second vla ended with %d" % proc.returncode)
        return proc

    def read_log(self, stream):
        with open(os.path.join(self.out, "vla.log"), "a", encoding="utf-8") as log:
            for raw in stream:
                t = time.time()
                line = raw.decode("utf-8", "replace").rstrip("\n")
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
        out = self.xdo("search", "--onlyvisible", by, pattern)
        return [w for w in out.split() if w.isdigit()]

    def window(self, pattern, timeout=120, by="--name", exclude=()):
        deadline = time.time() + timeout
        while time.time() < deadline:
            wins = [w for w in self.find_windows(pattern, by) if w not in exclude and w not in self.vla_windows()]
            if wins:
                self.note("window %s: %s" % (wins[-1], self.title(wins[-1])))
                return wins[-1]
            if self.vla is not None and self.vla.poll() is not None and not self.tickets_open():
                break
            time.sleep(0.5)
        self.shot("no-window")
        raise Failure("no window matching %r within %d s" % (pattern, timeout))

    def tickets_open(self):
        return any(t.t_close is None for t in self.tickets)

    def title(self, win):
        return self.xdo("getwindowname", win).strip()

    def visible(self, win):
        out = self.d.run(["xwininfo", "-id", win], check=False, timeout=10)
        return "IsViewable" in out

    def gone(self, win, timeout):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if not self.visible(win):
                return True
            time.sleep(0.3)
        return False

    def activate(self, win):
        if self.xdo("windowactivate", "--sync", win, timeout=10) == "" and self.focused() != win:
            self.xdo("windowfocus", "--sync", win, timeout=10)
        time.sleep(0.3)

    def focused(self):
        return self.xdo("getwindowfocus").strip()

    def play(self, win, steps):
        """Plays steps into the window: ("key", KEY...) or ("type", TEXT)."""
        with self.d.input_lock:
            if win:
                self.activate(win)
            for kind, *what in steps:
                for k in what:
                    if kind == "type":
                        self.xdo("type", "--delay", "60", k, timeout=60)
                    else:
                        self.xdo("key", "--clearmodifiers", k)
                    time.sleep(0.3)

    def keys(self, win, *keys):
        self.play(win, [("key",) + keys])

    def type(self, win, text):
        self.play(win, [("type", text)])

    # -- files
    @staticmethod
    def stat(path):
        try:
            st = os.stat(path)
            return (st.st_ino, st.st_size, st.st_mtime_ns)
        except OSError:
            return None

    def folder_files(self):
        return {f: self.stat(os.path.join(self.folder, f)) for f in os.listdir(self.folder)}

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

    def close(self, win, ticket_or_tickets, *keys, wait_gone=30):
        """Closes the editor's window with keys; the close time is taken just
        before the keys go, after reading what was last saved."""
        tickets = ticket_or_tickets if isinstance(ticket_or_tickets, list) else [ticket_or_tickets]
        for t in tickets:
            if t.saved_path:
                try:
                    with open(t.saved_path, "rb") as f:
                        t.saved = f.read()
                except OSError:
                    t.saved = None
        self.shot("before-close")
        t_close = time.time()
        for t in tickets:
            t.t_close = t_close
        self.note("close %s" % " ".join(keys))
        self.keys(win, *keys)
        if win and wait_gone and self.gone(win, wait_gone):
            for t in tickets:
                t.t_gone = time.time()
        elif win and wait_gone:
            self.shot("not-closed")
            self.note("the window %s is still there %d s after the close" % (win, wait_gone))

    # -- vla's windows
    def vla_windows(self):
        if self.vla is None:
            return []
        wins = set(self.find_windows(str(self.vla.pid), by="--pid"))
        wins |= set(self.find_windows("^vla$"))
        return sorted(wins)

    def watch_questions(self):
        seen = set()
        while self.watching.is_set():
            for w in self.vla_windows():
                if w in seen:
                    continue
                seen.add(w)
                asking = threading.Thread(target=self.question, args=(w,), daemon=True)
                self.asking.append(asking)
                asking.start()
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
        deadline = time.time() + 5
        while self.watching.is_set() and time.time() < deadline and self.visible(win):
            time.sleep(0.5)
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
        except (KeyError, ValueError):
            return None
        band = min(height, 70)
        try:
            text = self.d.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (width, band, x, y + height - band),
                               "-depth", "8", "txt:-"], timeout=30, check=False)
        except subprocess.TimeoutExpired:
            return None
        pixels = {}
        for line in text.splitlines():
            m = re.match(r"(\d+),(\d+):.*#([0-9A-Fa-f]{6})", line)
            if m:
                pixels[(int(m.group(1)), int(m.group(2)))] = tuple(int(m.group(3)[i:i + 2], 16) for i in (0, 2, 4))
        best = []
        for row in range(band):
            bg = pixels.get((1, row))
            if bg is None:
                continue
            runs, start = [], None
            for col in range(width + 1):
                px = pixels.get((col, row), bg)
                differs = sum(abs(a - b) for a, b in zip(px, bg)) > 18
                if differs and start is None:
                    start = col
                elif not differs and start is not None:
                    if col - start >= 30 and col - start < width - 4:
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
        times += [t for t, l in self.d.journal_of(ticket.id) if l.startswith(("SubirFichero", "BorrarTicket"))]
        return min(times) if times else None

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
        if self.vla.poll() is None:
            self.note("vla still running at the end of the run: ended by the harness")
            self.vla_status = None
        else:
            self.vla_status = self.vla.returncode
        self.d.stop_editors()
        reap()
        with open(os.path.join(self.out, "journal.log"), "w") as f:
            for t in self.tickets:
                for ts, line in self.d.journal_of(t.id):
                    f.write("%s %s\n" % (stamp(ts), line))
        with open(os.path.join(self.out, "harness.log"), "w") as f:
            f.write("\n".join(self.notes) + "\n")

    def verdict(self, slow):
        reasons, delays = [], []
        for t in self.tickets:
            who = t.label + ": " if len(self.tickets) > 1 else ""
            journal = self.d.journal_of(t.id)
            uploads = [(ts, l) for ts, l in journal if l.startswith("SubirFichero")]
            deletes = [(ts, l) for ts, l in journal if l.startswith("BorrarTicket")]
            decision = self.decision_time(t)
            if t.t_close is None:
                reasons.append(who + ("decided while the editor still had the document open" if decision is not None
                                      else "the harness never closed the document"))
                continue
            if decision is None:
                reasons.append(who + "no decision within the wait after the close")
            else:
                delay = decision - t.t_close
                delays.append(delay)
                if delay < 0:
                    reasons.append(who + "decided %.1f s BEFORE the close" % -delay)
                elif delay > slow:
                    reasons.append(who + "decision %.0f s after the close" % delay)
            if t.saved_path is not None and t.saved == t.original:
                reasons.append(who + "harness: the saved document equals the original")
            stored = None
            for _, l in uploads:
                m = re.search(r"-> ok guardado=(\S+)", l)
                if m:
                    stored = m.group(1)
            elsewhere = t.saved_path is not None and t.saved_path != t.doc
            if t.saved_path is None:
                if uploads:
                    reasons.append(who + "an unsaved document was uploaded")
                if not deletes:
                    reasons.append(who + "the ticket was not dropped")
            elif stored is not None:
                with open(stored, "rb") as f:
                    got = f.read()
                if got != t.saved:
                    reasons.append(who + "the upload (%d bytes) is not what was last saved (%s, %d bytes)%s" % (
                        len(got), os.path.basename(t.saved_path), len(t.saved or b""),
                        " but the original" if got == t.original else ""))
            elif uploads:
                reasons.append(who + "upload not accepted: " + uploads[-1][1][-80:])
            elif elsewhere and self.expect_elsewhere and not deletes and os.path.exists(t.saved_path):
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
            focused = sum(1 for q in typed if q.get("had_focus"))
            reasons.append("%d question(s) answered by typing into the focused window%s" % (
                len(typed), " (the question had taken the keyboard)" if focused else ""))
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


class Editor:
    def __init__(self, command, desktop, mime, sample, opens=90, settle=3, office=False, title=None, by="--name",
                 edit=typed(" Palabra"), save=(("key", "ctrl+s"),), close=("ctrl+q",)):
        self.command, self.desktop, self.mime, self.sample = command, desktop, mime, sample
        self.opens, self.settle, self.office, self.title, self.by = opens, settle, office, title, by
        self.edit, self.save, self.close = edit, save, close


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

# LibreOffice's dialogs (window title patterns, keys) in the desktop's language.
OFFICE_UI = {
    "en": {"query_save": r"LibreOffice|Save Document", "dont_save": "alt+n", "save_as": r"^Save As$",
           "keep_format": r"Confirm File Format|Keep current format", "use_odf": "alt+f"},
    "es": {"query_save": r"LibreOffice|guardar el documento", "dont_save": "alt+n",  # "_No guardar"
           "save_as": r"^Guardar como$", "keep_format": r"Confirmar el formato", "use_odf": "alt+f"},
}


def ui(r, key):
    lang = r.d.args.lang.split("_")[0].split(".")[0]
    return OFFICE_UI.get(lang, OFFICE_UI["en"])[key]


def prepare(r, ed, warn_alien_format=False):
    if ed.office:
        r.d.libreoffice_profile(warn_alien_format)
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


def save_as(r, ed):
    """Typed into, saved in the same format under another name in the same folder."""
    r.expect_elsewhere = True
    prepare(r, ed)
    t, w = open_doc(r, ed)
    r.play(w, typed(" Copia"))
    before = r.folder_files()
    r.keys(w, "ctrl+shift+s")
    dialog = r.window(ui(r, "save_as"), 30)
    time.sleep(1)
    r.shot("save-as")
    r.keys(dialog, "ctrl+a")
    r.type(dialog, os.path.join(r.folder, "informe-copia"))  # LibreOffice adds the extension
    r.keys(dialog, "Return")
    time.sleep(2)
    for extra in r.find_windows("%s|Confirm|%s" % (ui(r, "keep_format"), ui(r, "save_as"))):
        r.shot("save-as-question")
        r.note("Save As asked again: %s" % r.title(extra))
        r.keys(extra, "Return")
    r.wait_saved(t, before)
    w = r.window(r"informe-copia", 30)
    r.shot("saved-as")
    r.close(w, t, *ed.close)


def keep_format_odf(r, ed):
    """Typed into, saved, and LibreOffice's keep-format question answered
    "Use ODF Format": the edit goes to a new .odt beside the document."""
    r.expect_elsewhere = True
    prepare(r, ed, warn_alien_format=True)
    t, w = open_doc(r, ed)
    r.play(w, typed(" Formato"))
    before = r.folder_files()
    r.keys(w, "ctrl+s")
    ask = r.window(ui(r, "keep_format"), 30, exclude=(w,))
    time.sleep(1)
    r.shot("keep-format")
    r.keys(ask, ui(r, "use_odf"))  # "Use ODF _Format" beside the default "Use <format> Format"
    dialog = r.window(ui(r, "save_as"), 30)
    time.sleep(1)
    r.shot("save-as-odf")
    r.keys(dialog, "ctrl+a")  # LibreOffice's own dialog proposes HOME, not the document's folder
    r.type(dialog, os.path.join(r.folder, "informe"))
    r.keys(dialog, "Return")
    r.wait_saved(t, before)
    w = r.window(r"informe\.odt", 30)
    r.close(w, t, *ed.close)


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
    ("writer", "save-as", save_as),
    ("writer", "keep-format-odf", keep_format_odf),
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
    p.add_argument("--lang", default="C.UTF-8")
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
    needs = EDITORS[editor].command
    if not shutil.which(needs):
        return {"editor": editor, "scenario": scenario, "outcome": "FAIL", "reason": "not installed: " + needs,
                "delays": [], "questions": "0", "seconds": 0, "uploads": []}
    harness_error = None
    try:
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
        r.vla_status = None
        desktop.stop_editors()
    try:
        outcome, reason, delays = r.verdict(desktop.args.slow)
    except Exception as e:
        outcome, reason, delays = "FAIL", "harness fault in the checks: %r" % e, []
    if harness_error:
        # What vla did up to there still counts: a decision while the editor
        # was open is why the harness could not go on.
        outcome, reason = "FAIL", (reason + "; " if outcome == "FAIL" else "") + harness_error
    uploads, gone = [], []
    for t in r.tickets:
        ups = [ts for ts, l in desktop.journal_of(t.id) if l.startswith("SubirFichero")]
        if ups and t.t_close is not None:
            uploads.append(ups[0] - t.t_close)
            if t.t_gone is not None:
                gone.append(t.t_gone - t.t_close)
    row = {"editor": editor, "scenario": scenario, "outcome": outcome, "reason": reason, "delays": delays,
           "questions": ",".join(q.get("answer", "none") for q in r.questions) or "0", "seconds": time.time() - t0, "uploads": uploads, "gone": gone,
           "typing": sum(1 for q in r.questions if q.get("answered_by_typing"))}
    with open(os.path.join(r.out, "outcome.txt"), "w") as f:
        f.write("%s %s\n" % (outcome, reason))
    print("   %s %s (%.0f s)" % (outcome, reason, row["seconds"]), flush=True)
    return row


def report(rows, args, total):
    lines = ["%-9s %-16s %-4s %-10s %-9s %s" % ("editor", "scenario", "", "close->dec", "questions", "reason"),
             "(questions: how each was answered: typed = by the text typed into the focused window, "
             "click = the harness clicked its first button, withdrawn = vla took it back)"]
    for row in rows:
        delays = "/".join("%.1f" % d for d in row["delays"]) or "-"
        lines.append("%-9s %-16s %-4s %-10s %-9s %s" % (row["editor"], row["scenario"], row["outcome"], delays,
                                                         row["questions"], row["reason"]))
    arrivals = [u for row in rows if row["editor"] == "writer" and row["scenario"] == "save" for u in row["uploads"]]
    if arrivals:
        lines.append("writer save: close -> upload at the service: median %.2f s over %d run(s) (%s)" % (
            statistics.median(arrivals), len(arrivals), ", ".join("%.2f" % a for a in arrivals)))
    gone = [g for row in rows if row["editor"] == "writer" and row["scenario"] == "save" for g in row["gone"]]
    if gone:
        lines.append("writer save: close -> LibreOffice's window gone (seen every 0.3 s): median %.2f s" %
                     statistics.median(gone))
    failed = sum(1 for row in rows if row["outcome"] != "PASS")
    lines.append("%d run(s), %d failed, %.0f s in all" % (len(rows), failed, total))
    text = "\n".join(lines)
    print("\n" + text)
    with open(os.path.join(args.results, "matrix.txt"), "w") as f:
        f.write(text + "\n")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
