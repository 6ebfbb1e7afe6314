#!/usr/bin/python3
# Runs one group of rows of the black-box table (cases.py) against the built binary, as root.
#
# usage: run.py --service SERVICE GROUP BINARY [FREED]
#        run.py --with-swtpm COMMAND...  runs COMMAND with a private swtpm behind TARN_WEMB_TCTI
# SERVICE: the custody service, its door started as systemd starts it. FREED: the library built
# from freed.c (not with sanitizers).
#
# The words of the table's setup, prompt, after and how columns are the keys of SETUP and PROMPT
# (before.py), AFTER and HOW (below): small functions of the world (world.py) and the row's run.
import grp, json, os, pwd, re, shutil, signal, stat, subprocess, sys, tempfile, time
from types import SimpleNamespace

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import independent  # noqa: E402
from before import PROMPT, SETUP, secret  # noqa: E402
from cases import OPENED, ROWS, request  # noqa: E402
from world import GROUP, World, finish, sanitizers, sh, swtpm, until  # noqa: E402

FINGER = 'Place your "finger" on the \\ reader\t(tab)'


def mode(path):
    return oct(stat.S_IMODE(os.lstat(path).st_mode)) if os.path.lexists(path) else "absent"




def running(pid):
    """Whether process `pid` is there and not a zombie waiting to be reaped."""
    try:
        return open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def place(w, text):
    """A row's text with $S, the store, and $P, its parent, put in."""
    return text.replace("$S", w.store).replace("$P", os.path.dirname(w.store))


def prepare(w, row):
    """The row's run: its setup words applied in order, its input, the pinentry's script."""
    w.store, w.env, w.resume, w.who, w.command, w.wrap = f"{w.dir}/store", {}, [], None, w.installed, []
    w.via, w.logs = None, len(w.logged)
    w.carried.clear()
    open(f"{w.dir}/told", "w").close()
    os.chmod(f"{w.dir}/told", 0o666)  # whoever runs, the pinentry logs here
    r = SimpleNamespace(row=row, ctx={}, problems=[], answers=[])
    for word in row.setup.split():
        SETUP[word](w, r.ctx)
    if "freed" in row.after.split():
        w.env.setdefault("TARN_TEST_MARKERS", b"sekret7".hex())
        # the loader ignores LD_PRELOAD in a setgid program: the build's copy, in the group
        w.command = w.binary, GROUP
    open(w.markers, "w").write(w.env.get("TARN_TEST_MARKERS", ""))
    open(f"{w.work}/freed", "w").close()
    for word in row.prompt.split():
        if word.startswith("stall:"):
            w.env["TARN_TEST_PINENTRY_STALL"] = word[6:]
        elif word in PROMPT:
            w.env.update(PROMPT[word])
        else:
            r.answers.append("pin" if word == "-" else word)
    r.answers = " ".join(r.answers or ["pin"])
    r.args = [place(w, a) for a in row.args]
    stdin = row.stdin(r.ctx) if callable(row.stdin) else request(**row.stdin) if isinstance(row.stdin, dict) else row.stdin
    r.stdin = open("/dev/zero", "rb") if stdin == "zero" else stdin
    r.before = open(w.key, "rb").read() if os.path.isfile(w.key) else None
    return r


def start(w, r, stdin=None, **kw):
    return w.start(r.args, r.stdin if stdin is None else stdin, r.answers, w.env, **{"who": w.who, **kw})


def racers(w, r, runs, ok=lambda out: True):
    """Runs started all at once: the first that failed or the first, and all results."""
    results = [finish(p) for p in runs]
    bad = [x for x in results if x[2] != 0 or not ok(x[0])]
    if bad:
        r.problems.append(f"{len(bad)} of {len(results)} failed, e.g. {bad[0][0][:200]!r}")
    return (bad or results)[0], None if bad else results


def closed_stdout(w, r):
    read, write = os.pipe()
    os.close(read)
    p = start(w, r, stdout=write)
    os.close(write)
    return "\n", p.communicate()[1], p.wait()


def fed(w, r):
    """The request written by the row itself: 2 s late into a non-blocking pipe, or all in one
    write; either way the writer must not be cut off."""
    read, write = os.pipe()
    os.set_blocking(read, r.row.how != "late-nonblocking")
    p = start(w, r, stdin=read)
    os.close(read)
    if r.row.how == "late-nonblocking":
        time.sleep(2)
    try:
        with open(write, "wb") as pipe:
            pipe.write(r.stdin)
    except BrokenPipeError:
        r.problems.append("the writer was cut off")
    return finish(p)


def kill(w, r):
    """The run, or the service's worker that holds its connection, killed while the pinentry asks."""
    p = start(w, r)
    if not w.wait_told(lambda t: t[0] == "GETPIN"):
        r.problems.append("the pinentry was never asked")
    if r.row.how == "kill-worker":
        worker = w.custodians()[0]
        os.kill(int(worker), signal.SIGKILL)
        if not until(lambda: not sh("pgrep", "-g", worker, check=False), 5):
            r.problems.append("the killed worker's PAM child lives on")
        result = finish(p, 30)
        if (status := w.run(["status", "--dir", w.store], b"", "-", w.env)[0]) != '{"key":false,"secureEnclave":true}\n':
            r.problems.append(f"the door serves no more: status said {status!r:.200}")
        return result
    if os.stat(f"/proc/{p.pid}/status").st_uid != 0:  # root's only while the run refuses tracing
        r.problems.append("the run may be traced and dump core")
    os.kill(p.pid, getattr(signal, "SIG" + r.row.how[5:]))  # setpriv has exec'd the binary: same pid
    finish(p)
    if not until(lambda: not w.custodians(), 3):
        r.problems.append("the custody service outlived the run")
    if left := w.left():
        r.problems.append(f"left in the TPM: {left}")
    w.flush()  # swtpm keeps what a killed client loaded
    return "\n", b"", 0


def finger(w, r):
    if r.row.how == "silent":
        open(f"{w.reader}/silent", "w").close()
    p = start(w, r)
    if r.row.how != "silent" and not w.wait_told(lambda t: FINGER in str(t[1]), 10):
        r.problems.append("the finger message never reached the pinentry")
    if r.row.how in ("finger", "fail"):
        open(f"{w.reader}/{r.row.how}", "w").close()
    result = finish(p, 10)
    shutil.rmtree(w.reader)
    os.mkdir(w.reader, 0o755)
    return result


def race_seal(w, r):
    """16 first seals at once, 8 of the user's and 8 of the neighbour's, each into its own store: all
    succeed, each account gets one key of its own, and every text opens with tpm2-tools under it."""
    stores = {w.user: w.store, w.neighbour: f"{w.work}/{w.rows}-theirs"}
    os.mkdir(stores[w.neighbour], 0o700)
    shutil.chown(stores[w.neighbour], w.neighbour, w.neighbour)
    texts = [(who, f"sekret7 {who} {i}") for i in range(8) for who in stores]
    first, results = racers(w, r, [w.start(["seal", "--dir", stores[who]], request([text]), "-", w.env, who)
                                   for who, text in texts])
    if not results:
        return first
    keys = {who: open(f"{path}/klucz.se", "rb").read() for who, path in stores.items()}
    if keys[w.user] == keys[w.neighbour]:
        r.problems.append("both accounts got one key")
    for who, path in stores.items():
        mine = [(text, json.loads(out)["sealed"][0]) for (whose, text), (out, _, _) in zip(texts, results) if whose == who]
        if tpm_texts(w, keys[who], [s for _, s in mine], path) != [text for text, _ in mine]:
            r.problems.append(f"the texts of {who} were not all sealed to its one key")
    return "\n", b"", 0


RAW = [os.path.join(os.path.dirname(os.path.abspath(__file__)), "raw_client.py")]


def waiting(path):
    """Connections to the listener at `path` not yet handed to a service process."""
    out = sh("ss", "-xlnH", "src", path, check=False).decode().split()
    return int(out[2]) if len(out) > 2 else 0


def hold(w, n):
    """`n` idle connections of the user's, all handed to the door; they end with the holder's input."""
    path = w.tpm_at(w.route)["TARN_WEMB_SOCKET"]
    holder = subprocess.Popen(w.as_user() + RAW + ["hold", str(n), path], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    holder.stdout.readline()
    until(lambda: waiting(path) == 0, 20)
    return holder


def flood(w, r):
    """200 idle connections and 20 status runs of the user's while the neighbour asks for status.
    The burst is handed out one connection at a time first, as systemd does; then no slot of the
    user's may keep the neighbour waiting."""
    holder = hold(w, 200)
    busy = [start(w, r) for _ in range(20)]
    began = time.monotonic()
    result = finish(start(w, r, who=w.neighbour), 20)
    # Kept out of its slots: 15 s of busy answers, then no. Instrumented, the retries queue it.
    limit = 12 if sanitizers() else 4
    if time.monotonic() - began > limit:
        r.problems.append(f"the neighbour's status took {time.monotonic() - began:.1f} s, at most {limit} s expected")
    holder.communicate()
    [finish(p) for p in busy]
    return result


def hung(w, r, n):
    """`n` runs of the row's, each left in a prompt nobody answers."""
    runs = [start(w, r) for _ in range(n)]
    if not w.wait_told(lambda t: sum(x[0] == "GETPIN" for x in w.told()) >= n, 30):
        r.problems.append(f"{n} prompts never opened")
    return runs


def slots_taken(w, r):
    """Four prompts of the user's hold its slots: its status is answered, busy, while they wait."""
    runs = hung(w, r, 4)
    result = finish(w.start(["status", "--dir", w.store], b"", "-", w.env), 60)
    [p.kill() for p in runs]
    [finish(p) for p in runs]
    return result


def raw(w, r):
    """The row's input sent as it stands to the custody service, by the user in the command's group:
    the service's first message, and exit status 0 once it has closed the connection saying no more."""
    client = ["/usr/bin/setpriv", "--reuid", w.user, "--regid", GROUP, "--clear-groups", *RAW, "send"]
    p = subprocess.Popen(client + [w.tpm_at(w.route)["TARN_WEMB_SOCKET"]], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = p.communicate(r.stdin, timeout=60)
    return out.decode(), err, p.returncode


HOW = {
    None: lambda w, r: finish(start(w, r), (r.row.within or 60) + 10),
    "x16": lambda w, r: racers(w, r, [start(w, r) for _ in range(16)], lambda out: out == OPENED + "\n")[0],
    "race-seal": race_seal,
    "closed-stdout": closed_stdout,
    "kill-KILL": kill, "kill-TERM": kill, "kill-worker": kill,
    "finger": finger, "fail": finger, "finger-cancel": finger, "silent": finger,
    "flood": flood,
    "slots-taken": slots_taken,
    "raw": raw,
    "late-nonblocking": fed, "one-write": fed,
}


def tpm_texts(w, key_file, sealed, where):
    """Sealed strings opened with tpm2-tools and the key's auth value derived as the service does."""
    auth = independent.auth(secret(w), os.stat(where).st_uid, key_file)
    return independent.tpm_open(w.tools, scratch(w), key_file, sealed, auth)


def scratch(w):
    """A directory for tpm2-tools, whether they run as root or as the user."""
    d = tempfile.mkdtemp(dir=w.dir)
    shutil.chown(d, w.user, w.user)
    return d


def tpm_opens(w, r):
    if tpm_texts(w, open(w.key, "rb").read(), json.loads(r.out)["sealed"], w.store) != json.loads(r.stdin)["items"]:
        return "tpm2-tools open other texts"


def tpm_refuses(w, r):
    """As the key's own account, the TPM open to it: tpm2-tools without the auth value get no shared secret."""
    try:
        independent.tpm_open(lambda *a: w.tools(*a, who=w.user), scratch(w), open(w.key, "rb").read(), json.loads(r.out)["sealed"])
    except subprocess.CalledProcessError as e:
        return None if "tpm2_ecdhzgen" in e.cmd else f"{e.cmd} failed: the refusal proves nothing"
    return "the account's own tpm2-tools got a shared secret"


def auth_carried(w):
    """Whether the key's auth value crossed the bus to the TPM in clear, as Create would send it unencrypted."""
    key = open(w.key, "rb").read() if os.path.isfile(w.key) else b""
    return key.startswith(independent.MARK) and independent.auth(secret(w), os.stat(w.store).st_uid, key) in w.carried


def handled(w, r):
    """A refusal written is a handled end: the door logs no failed worker."""
    until(lambda: not w.custodians(), 5)
    failed = [x for x in w.logged[w.logs:] if "worker for uid" in x]
    return failed and f"the door logged {failed}"


def state(test):
    return lambda w, r: None if test(w, r) else f"not so (store {mode(w.store)}, key file {mode(w.key)})"


AFTER = {
    "dir700": state(lambda w, r: mode(w.store) == "0o700"),
    "key600": state(lambda w, r: mode(w.key) == "0o600"),
    "nokey": state(lambda w, r: not os.path.lexists(w.key)),
    "nostore": state(lambda w, r: not os.path.lexists(w.store)),
    "same": state(lambda w, r: open(w.key, "rb").read() == r.before),
    # the user's group, or the one a run without the setgid bit was given
    "owngroup": state(lambda w, r: {os.stat(p).st_gid for p in (w.store, w.key)} ==
                      {grp.getgrnam(w.command[1] or w.user).gr_gid}),
    "notemp": state(lambda w, r: not [n for n in os.listdir(w.store) if n.startswith(".klucz.se.")]),
    "tpm-opens": tpm_opens,
    "tpm-refuses": tpm_refuses,
    "handled": handled,
    "freed": lambda w, r: None,  # acts before the run: the request's text becomes a marker (prepare)
}


ALLOWED = {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "GPG_TTY", "TERM", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR",
           "LANG", "LANGUAGE", "PATH"}


def started(w, r):
    """Each pinentry started with the allowed environment alone, no core dumps, and the user's own groups."""
    for t in w.told():
        if t[0] != "START":
            continue
        if extra := sorted(k for k in t[2]["env"] if k not in ALLOWED and not k.startswith("LC_")):
            r.problems.append(f"the pinentry was given {extra}")
        if t[2]["core"] != [0, 0]:
            r.problems.append(f"the pinentry may dump core: limits {t[2]['core']}")
        if w.command[1] is None and grp.getgrnam(GROUP).gr_gid in t[2]["gids"]:  # a run in the group is so from setpriv
            r.problems.append(f"the pinentry holds group {GROUP}")
        if not until(lambda: not running(t[1]), 3):
            os.kill(t[1], signal.SIGKILL)
            r.problems.append("the pinentry outlived the run")


def logged(w, r, outcome):
    """The service's log line for the run: the user, the outcome, the program that asked."""
    want = re.compile(rf"uid={pwd.getpwnam(w.user).pw_uid} user={w.user} call=\w+ items=\d+ outcome={outcome.replace('_', ' ')} asker={w.via or '-'}$")
    if not until(lambda: any(want.search(line) for line in w.logged[w.logs:]), 10):
        return f"not logged; the log says {w.logged[w.logs:]!r:.300}"


def told(w, r):
    """What the pinentry was told, against the row's told column."""
    told = [t for t in w.told() if t[0] != "START"]
    if r.row.prompt == "-" and w.told():
        r.problems.append(f"a pinentry was started: {told[:3]}")
    for name, want in r.row.told.items():
        got = [t[1] for t in told if t[0] == name]
        if isinstance(want, int) and len(got) != want or isinstance(want, str) and want not in got or \
                isinstance(want, re.Pattern) and not any(want.fullmatch(g) for g in got):
            r.problems.append(f"the pinentry was told {name} {got!r:.300}, expected {getattr(want, 'pattern', want)!r:.100}")
    if any(t[2] > 1000 for t in told):
        r.problems.append("an Assuan line longer than 1000 bytes")


def check(w, row):
    """Runs one row; returns what went wrong."""
    try:
        r = prepare(w, row)
        start = time.monotonic()
        r.out, err, code = HOW[row.how](w, r)
        elapsed = time.monotonic() - start
    except Exception as e:
        return [f"cannot run: {e!r}"]
    finally:
        for undo in w.resume:
            undo()
    problems = r.problems
    if row.reply is not None:
        expected = place(w, row.reply) if isinstance(row.reply, str) else row.reply
        line = r.out[:-1] if r.out.endswith("\n") and r.out.count("\n") == 1 else None
        if line is None:
            problems.append(f"not one line on standard output: {r.out[:300]!r}")
        elif line != expected if isinstance(expected, str) else not expected.fullmatch(line):
            problems.append(f"reply {line[:300]!r}, expected {getattr(expected, 'pattern', expected)[:300]!r}")
    if row.exit is not None and code != row.exit:
        problems.append(f"exit status {code}, expected {row.exit}")
    if err:
        problems.append(f"standard error: {err[:200]!r}")
    if code == 1 and "sekret7" in r.out:
        problems.append("request text in an error reply")
    if row.within and elapsed > row.within:
        problems.append(f"took {elapsed:.1f} s, at most {row.within} s expected")
    if any(x in w.carried for x in r.ctx.get("shared", ())):
        problems.append("a shared secret crossed the bus in clear")
    if auth_carried(w):
        problems.append("the key's auth value crossed the bus in clear")
    if os.path.exists(f"{w.dir}/planted-ran"):
        problems.append("a pinentry that others could change was started")
    for log, where in ((f"{w.dir}/freed", ""), (f"{w.work}/freed", "in the custody service: ")):
        if os.path.exists(log):
            problems += sorted(where + x for x in set(open(log).read().split("\n")) - {""})
    told(w, r)
    started(w, r)
    for word in row.after.split():
        try:
            problem = logged(w, r, word[7:]) if word.startswith("logged=") else AFTER[word](w, r)
        except Exception as e:
            problem = f"cannot look: {e!r}"
        if problem:
            problems.append(f"after the run, {word}: {problem}")
    if not w.bus and not row.how and (left := w.left()):
        problems.append(f"left in the TPM: {left}")
    return problems


def main():
    if sys.argv[1] == "--with-swtpm":
        with tempfile.TemporaryDirectory() as state:
            tpm, tcti = swtpm(state)
            try:
                sys.exit(subprocess.run(sys.argv[2:], env=dict(os.environ, TARN_WEMB_TCTI=tcti)).returncode)
            finally:
                tpm.kill()
                tpm.wait()
    args = sys.argv[1:]
    service, group = os.path.abspath(args[1]), args[2]
    rows = [r for r in ROWS if r.group == group]
    world = World(group, os.path.abspath(args[3]), os.path.abspath(args[4]) if len(args) > 4 else None, service)
    failed = 0
    try:
        for ran, row in enumerate(rows, 1):
            world.rows = ran
            world.dir = f"{world.work}/{ran}"
            os.mkdir(world.dir)
            shutil.chown(world.dir, world.user, world.user)
            start = time.monotonic()
            problems = check(world, row)
            failed += bool(problems)
            print(("FAIL " if problems else "ok   ") + f"{time.monotonic() - start:5.1f}s " + row.name + "".join("\n     " + p for p in problems), flush=True)
    finally:
        world.close()
    print(f"{group}: {len(rows) - failed} of {len(rows)} rows pass")
    sys.exit(1 if failed or not rows else 0)


if __name__ == "__main__":
    main()
