#!/usr/bin/python3
# Runs one group of rows of the black-box table (cases.py) against the built binary, as root.
#
# usage: run.py GROUP BINARY [FREED]   FREED: the library built from freed.c (not with sanitizers)
#        run.py --with-swtpm COMMAND...  runs COMMAND with a private swtpm behind TARN_WEMB_TCTI
#
# The words of the table's setup, prompt, after and how columns are the keys of SETUP, PROMPT,
# AFTER and HOW below: small functions of the world (world.py) and the row's run.
import contextlib, json, os, re, shutil, signal, stat, subprocess, sys, tempfile, time
from types import SimpleNamespace

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import independent  # noqa: E402
from cases import OPENED, ROWS, SEEDS, request  # noqa: E402
from world import World, finish, gone, swtpm  # noqa: E402

FINGER = "Place your finger on the fingerprint reader"
NOWHERE = "swtpm:host=127.0.0.1,port=1"


def mode(path):
    return oct(stat.S_IMODE(os.lstat(path).st_mode)) if os.path.lexists(path) else "absent"


def store(w, bits, who="root"):
    os.mkdir(w.store)
    os.chmod(w.store, bits)
    shutil.chown(w.store, who, who)


def key_as(w, make):
    """The user's store holding, in the key file's place, what `make` puts there."""
    store(w, 0o700, w.user)
    make(w.key)
    shutil.chown(w.key, w.user, w.user)


def key(w, ctx):
    *ctx["sealed"], ctx["empty"] = w.seal(SEEDS + [""], w.store)


def indep(w, ctx):
    point = independent.key_point(open(w.key, "rb").read())
    ctx["indep"], ctx["shared"] = zip(*(independent.seal(t, point) for t in SEEDS))
    w.env["TARN_TEST_MARKERS"] = ",".join([b"sekret7".hex()] + [x.hex() for x in ctx["shared"]])
    w.env.update(w.tpm_at(w.relayed))


def stop(w, ctx):
    w.tpm.send_signal(signal.SIGSTOP)
    w.resume.append(lambda: w.tpm.send_signal(signal.SIGCONT))


def planted(w, ctx):
    store(w, 0o755, w.neighbour)
    w.seal(["theirs"], w.store, who=w.neighbour)
    os.chmod(w.key, 0o644)


def other_template(w, path):
    """A decrypt key without noDA, made by tpm2-tools under the same parent."""
    w.tools(*independent.PRIMARY, "-c", f"{w.dir}/p")
    w.tools("tpm2_create", "-C", f"{w.dir}/p", "-G", "ecc256", "-a", "fixedtpm|fixedparent|sensitivedataorigin|userwithauth|decrypt",
            "-u", f"{w.dir}/pub", "-r", f"{w.dir}/priv")
    open(path, "wb").write(open(f"{w.dir}/pub", "rb").read() + open(f"{w.dir}/priv", "rb").read())
    os.chmod(path, 0o600)


SETUP = {
    "home": lambda w, ctx: setattr(w, "store", f"{w.dir}/home/Library/Application Support/Tarn Studio/wemb"),
    "key": key,
    "other": lambda w, ctx: ctx.update(sealed=w.seal(SEEDS, f"{w.dir}/other")),
    "indep": indep,
    "notpm": lambda w, ctx: w.env.update(w.tpm_at(NOWHERE)),
    "stop": stop,
    "cleared": lambda w, ctx: w.tools("tpm2_clear", "-c", "p"),
    "planted": planted,
    "loose": lambda w, ctx: os.chmod(w.key, 0o620),
    "unreadable": lambda w, ctx: os.chmod(w.key, 0),
    "fifo": lambda w, ctx: key_as(w, lambda path: os.mkfifo(path, 0o600)),
    "kdir": lambda w, ctx: key_as(w, os.mkdir),
    "template": lambda w, ctx: key_as(w, lambda path: other_template(w, path)),
    "loosedir": lambda w, ctx: store(w, 0o770, w.user),
    "theirdir": lambda w, ctx: store(w, 0o1777, w.neighbour),
    "rootdir": lambda w, ctx: store(w, 0o1777),
}
PROMPT = {"mute": {"TARN_TEST_PINENTRY_STALL": "greeting"}, "nopath": {"PATH": "/nonexistent"}, "nodisplay": {"DISPLAY": ""}}


def prepare(w, row):
    """The row's run: its setup words applied in order, its input, the pinentry's script."""
    w.store, w.env, w.resume = f"{w.dir}/store", {}, []
    w.carried.clear()
    r = SimpleNamespace(row=row, ctx={}, problems=[], answers=[])
    for word in row.setup.split():
        SETUP[word](w, r.ctx)
    if "freed" in row.after.split():
        w.env.setdefault("TARN_TEST_MARKERS", b"sekret7".hex())
    for word in row.prompt.split():
        if word.startswith("stall:"):
            w.env["TARN_TEST_PINENTRY_STALL"] = word[6:]
        elif word in PROMPT:
            w.env.update(PROMPT[word])
        else:
            r.answers.append("pin" if word == "-" else word)
    r.answers = " ".join(r.answers or ["pin"])
    r.args = [a.replace("$S", w.store) for a in row.args]
    stdin = row.stdin(r.ctx) if callable(row.stdin) else request(**row.stdin) if isinstance(row.stdin, dict) else row.stdin
    r.stdin = open("/dev/zero", "rb") if stdin == "zero" else stdin
    r.before = open(w.key, "rb").read() if os.path.isfile(w.key) else None
    return r


def start(w, r, stdin=None, **kw):
    return w.start(r.args, r.stdin if stdin is None else stdin, r.answers, w.env, **kw)


def racers(w, r, inputs, ok=lambda out: True):
    """Runs started all at once: the first that failed or the first, and all results."""
    results = [finish(p) for p in [start(w, r, i) for i in inputs]]
    bad = [x for x in results if x[2] != 0 or not ok(x[0])]
    if bad:
        r.problems.append(f"{len(bad)} of {len(results)} failed, e.g. {bad[0][0][:200]!r}")
    return (bad or results)[0], None if bad else results


def race_seal(w, r):
    texts = [f"sekret7 racer {i}" for i in range(16)]
    first, results = racers(w, r, [request([t]) for t in texts])
    if not results:
        return first
    sealed = [json.loads(x[0])["sealed"][0] for x in results]
    out, err, _ = w.run(["open", "--dir", w.store], request(sealed), "pin", w.env)
    if out != json.dumps({"items": texts}, separators=(",", ":")) + "\n":
        r.problems.append(f"the racers' texts came back as {out[:200]!r}")
    return "\n", err, 0


def closed_stdout(w, r):
    read, write = os.pipe()
    os.close(read)
    p = start(w, r, stdout=write)
    os.close(write)
    return "\n", p.communicate()[1], p.wait()


def kill(w, r):
    p = start(w, r)
    if not w.wait_told(lambda t: t[0] == "GETPIN"):
        r.problems.append("the pinentry was never asked")
    if os.stat(f"/proc/{p.pid}/status").st_uid != 0:  # root's only while the run refuses tracing
        r.problems.append("the run may be traced and dump core")
    os.kill(p.pid, getattr(signal, "SIG" + r.row.how[5:]))  # setpriv has exec'd the binary: same pid
    finish(p)
    pinentry = next((t[1] for t in w.told() if t[0] == "START"), None)
    if pinentry and not gone(pinentry, 3):
        os.kill(pinentry, signal.SIGKILL)
        r.problems.append("the pinentry outlived the run")
    w.flush()  # swtpm keeps what a killed client loaded
    return "\n", b"", 0


def finger(w, r):
    p = start(w, r)
    if not w.wait_told(lambda t: FINGER in str(t[1]), 10):
        r.problems.append("the finger message never reached the pinentry")
    if r.row.how != "finger-cancel":
        open(f"{w.reader}/{r.row.how}", "w").close()
    result = finish(p, 10)
    for name in ("finger", "fail"):
        with contextlib.suppress(FileNotFoundError):
            os.remove(f"{w.reader}/{name}")
    return result


HOW = {
    None: lambda w, r: finish(start(w, r), (r.row.within or 60) + 10),
    "x16": lambda w, r: racers(w, r, [r.stdin] * 16, lambda out: out == OPENED + "\n")[0],
    "race-seal": race_seal,
    "closed-stdout": closed_stdout,
    "kill-KILL": kill, "kill-TERM": kill,
    "finger": finger, "fail": finger, "finger-cancel": finger,
}


def tpm_opens(w, r):
    texts = json.loads(r.stdin)["items"]
    try:
        if independent.tpm_open(w.tools, w.dir, open(w.key, "rb").read(), json.loads(r.out)["sealed"]) != texts:
            return "tpm2-tools open other texts"
    except Exception as e:
        return f"tpm2-tools cannot open: {e}"


def state(test):
    return lambda w, r: None if test(w, r) else f"not so (store {mode(w.store)}, key file {mode(w.key)})"


AFTER = {
    "dir700": state(lambda w, r: mode(w.store) == "0o700"),
    "key600": state(lambda w, r: mode(w.key) == "0o600"),
    "nokey": state(lambda w, r: not os.path.lexists(w.key)),
    "nostore": state(lambda w, r: not os.path.lexists(w.store)),
    "same": state(lambda w, r: open(w.key, "rb").read() == r.before),
    "tpm-opens": tpm_opens,
    "freed": lambda w, r: None,  # acts before the run: the request's text becomes a marker (prepare)
}


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
    r = prepare(w, row)
    start = time.monotonic()
    r.out, err, code = HOW[row.how](w, r)
    elapsed = time.monotonic() - start
    for undo in w.resume:
        undo()
    problems = r.problems
    if row.reply is not None:
        expected = row.reply.replace("$S", w.store) if isinstance(row.reply, str) else row.reply
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
    if os.path.exists(f"{w.dir}/freed"):
        problems += sorted(set(open(f"{w.dir}/freed").read().split("\n")) - {""})
    told(w, r)
    for word in row.after.split():
        if problem := AFTER[word](w, r):
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
    group = sys.argv[1]
    world = World(group, os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3]) if len(sys.argv) > 3 else None)
    failed = ran = 0
    try:
        skip = open(os.environ["TARN_TEST_SKIP"]).read().splitlines() if "TARN_TEST_SKIP" in os.environ else []
        for row in (r for r in ROWS if r.group == group and r.name not in skip):
            ran += 1
            world.dir = f"{world.work}/{ran}"
            os.mkdir(world.dir)
            shutil.chown(world.dir, world.user, world.user)
            start = time.monotonic()
            problems = check(world, row)
            failed += bool(problems)
            print(("FAIL " if problems else "ok   ") + f"{time.monotonic() - start:5.1f}s " + row.name + "".join("\n     " + p for p in problems), flush=True)
    finally:
        world.close()
    print(f"{group}: {ran - failed} of {ran} rows pass")
    sys.exit(1 if failed or not ran else 0)


if __name__ == "__main__":
    main()
