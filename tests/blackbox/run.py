#!/usr/bin/python3
"""Runs one group of rows of the black-box table (cases.py) against the built binary, as root.

usage: run.py GROUP BINARY [FREED]   FREED: the library built from freed.c (not with sanitizers)
       run.py --with-swtpm COMMAND...  runs COMMAND with a private swtpm behind TARN_WEMB_TCTI
"""
import base64, fcntl, json, os, pwd, re, secrets, shutil, signal, socket, stat, subprocess, sys, tempfile, threading, time
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from cases import OPENED, SEEDS, request  # noqa: E402
PARENT = "fixedtpm|fixedparent|sensitivedataorigin|userwithauth|noda|restricted|decrypt"
FINGER = "Place your finger on the fingerprint reader"


def sh(*args, **kw):
    return subprocess.run(args, check=True, capture_output=True, **kw).stdout


def swtpm(state):
    """A private swtpm on a free pair of ports: (process, TCTI)."""
    os.makedirs(state, exist_ok=True)
    for _ in range(20):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        p = subprocess.Popen(["swtpm", "socket", "--tpm2", "--server", f"type=tcp,port={port},bindaddr=127.0.0.1",
                              "--ctrl", f"type=tcp,port={port + 1},bindaddr=127.0.0.1",
                              "--flags", "startup-clear,not-need-init", "--tpmstate", f"dir={state}"],
                             stderr=subprocess.DEVNULL)
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port)).close()
                return p, f"swtpm:host=127.0.0.1,port={port}"
            except OSError:
                time.sleep(0.05)
        p.kill()
    raise RuntimeError("swtpm did not start")


def relay(port, carried):
    """A TCTI through a forwarder of the free port pair Q, Q+1 to port, port+1; the command port's bytes go into `carried`."""
    def pipe(source, sink, log):
        try:
            while data := source.recv(65536):
                log += data
                sink.sendall(data)
        except OSError:
            pass
        for end in (source, sink):  # shutdown, not close, wakes the other direction's recv
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def serve(listener, target, log):
        while True:
            client = listener.accept()[0]
            server = socket.create_connection(("127.0.0.1", target))
            for ends in ((client, server), (server, client)):
                threading.Thread(target=pipe, args=(*ends, log), daemon=True).start()

    while True:
        first = socket.create_server(("127.0.0.1", 0))
        try:
            second = socket.create_server(("127.0.0.1", first.getsockname()[1] + 1))
            break
        except OSError:
            first.close()
    for listener, target, log in ((first, port, carried), (second, port + 1, bytearray())):
        threading.Thread(target=serve, args=(listener, target, log), daemon=True).start()
    return f"swtpm:host=127.0.0.1,port={first.getsockname()[1]}"


def split_key(data):
    n = 2 + int.from_bytes(data[:2], "big")
    return data[:n], data[n:]


def key_point(data):
    """The X9.63 point of a key file made from this tool's template (symmetric, scheme, kdf NULL)."""
    area = split_key(data)[0][2:]
    at = 10 + int.from_bytes(area[8:10], "big") + 8
    x = area[at + 2:at + 2 + int.from_bytes(area[at:at + 2], "big")]
    return b"\4" + x.rjust(32, b"\0") + area[at + 4 + len(x):].rjust(32, b"\0")


def derive(shared, ephemeral, recipient):
    return HKDF(hashes.SHA256(), 32, b"tarn-wemb-v1", ephemeral + recipient).derive(shared)


def independent_seal(text, recipient):
    """A sealed string made with python3-cryptography alone, and its shared secret."""
    key = ec.generate_private_key(ec.SECP256R1())
    point = key.public_key().public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)
    shared = key.exchange(ec.ECDH(), ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), recipient))
    nonce = os.urandom(12)
    box = AESGCM(derive(shared, point, recipient)).encrypt(nonce, text.encode(), b"\1")
    return base64.b64encode(b"\1" + point + nonce + box).decode(), shared


class World:
    """One group's fixtures: a swtpm, a user with a password, a hostile neighbour, a directory per row."""

    def __init__(self, group, binary, freed):
        self.binary, self.freed = binary, freed
        self.work = tempfile.mkdtemp(prefix=f"tarn-{group}-")
        os.chmod(self.work, 0o755)
        self.undo = []
        self.bins = pinentry_home(binary)
        self.undo.append(lambda: shutil.rmtree(self.bins))
        self.path = f"{self.bins}/trusted:/usr/bin:/bin"
        self.tpm, self.tcti = swtpm(f"{self.work}/tpm")
        self.undo.append(self.tpm.kill)
        tag, self.password = secrets.token_hex(3), "pw-" + secrets.token_hex(6)
        self.user, self.neighbour = f"tarn-u{tag}", f"tarn-n{tag}"
        with open("/tmp/tarn-test-accounts.lock", "w") as lock:  # useradd and chpasswd lock /etc alone
            fcntl.flock(lock, fcntl.LOCK_EX)
            for name in (self.user, self.neighbour):
                sh("useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", name)
                self.undo.append(lambda name=name: subprocess.run(["userdel", name], capture_output=True))
            sh("chpasswd", input=f"{self.user}:{self.password}".encode())
        self.route, self.rows = self.tcti, 0
        if group == "race":  # concurrent runs go through a resource manager, as users' runs do
            self.abrmd()
        if group == "finger":
            self.pam_service()

    def close(self):
        for undo in reversed(self.undo):
            undo()
        shutil.rmtree(self.work, ignore_errors=True)

    def as_user(self, who=None):
        who = who or self.user
        return ["/usr/bin/setpriv", "--reuid", who, "--regid", who, "--init-groups"]

    def abrmd(self):
        address, pid = sh(*self.as_user(), "dbus-daemon", "--session", "--fork", "--print-address=1",
                          "--print-pid=1").decode().split()
        self.undo.append(lambda: os.kill(int(pid), signal.SIGTERM))
        name, self.bus = "com.tarn.test" + secrets.token_hex(3), address
        rm = subprocess.Popen(self.as_user() + ["tpm2-abrmd", "--session", f"--dbus-name={name}", f"--tcti={self.tcti}"],
                              env=dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address), stderr=subprocess.DEVNULL)
        self.undo.append(rm.kill)
        self.route = f"tabrmd:bus_name={name},bus_type=session"
        for _ in range(100):
            if subprocess.run(self.as_user() + ["tpm2_getcap", "-T", self.route, "properties-fixed"],
                              capture_output=True, env=dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address)).returncode == 0:
                return
            time.sleep(0.1)
        raise RuntimeError("tpm2-abrmd did not come up")

    def pam_service(self):
        """A finger module in front of the password; written for this group, then restored."""
        path = "/etc/pam.d/tarn-wemb"
        saved = open(path).read() if os.path.exists(path) else None
        self.undo.append(lambda: open(path, "w").write(saved) if saved is not None else os.remove(path))
        with open(path, "w") as f:
            f.write(f"auth [success=done default=ignore] pam_exec.so quiet stdout {HERE}/finger.sh\n"
                    "@include common-auth\n@include common-account\n")
        self.reader = f"/tmp/tarn-finger-{self.user}"
        os.makedirs(self.reader, mode=0o755)
        self.undo.append(lambda: shutil.rmtree(self.reader))

    def tools(self, *args):
        """A tpm2-tools command; every object it left in the TPM is flushed after it."""
        env = dict(os.environ, TPM2TOOLS_TCTI=self.tcti)
        try:
            return sh(*args, env=env)
        finally:
            for kind in ("-t", "-l", "-s"):
                subprocess.run(["tpm2_flushcontext", kind], env=env, capture_output=True)

    def tpm_open(self, key_file, sealed):
        """The texts of sealed strings, opened with tpm2-tools and python3-cryptography alone."""
        d = tempfile.mkdtemp(dir=self.dir)
        for name, part in zip(("pub", "priv"), split_key(key_file)):
            open(f"{d}/{name}", "wb").write(part)
        self.tools("tpm2_createprimary", "-C", "o", "-g", "sha256", "-G", "ecc256:aes128cfb", "-a", PARENT, "-c", f"{d}/p")
        self.tools("tpm2_load", "-C", f"{d}/p", "-u", f"{d}/pub", "-r", f"{d}/priv", "-c", f"{d}/k")
        texts = []
        for envelope in (base64.b64decode(s, validate=True) for s in sealed):
            peer = envelope[1:66]
            open(f"{d}/peer", "wb").write(b"\0\104\0\40" + peer[1:33] + b"\0\40" + peer[33:])
            self.tools("tpm2_ecdhzgen", "-c", f"{d}/k", "-u", f"{d}/peer", "-o", f"{d}/z")
            key = derive(open(f"{d}/z", "rb").read()[4:36], peer, key_point(key_file))
            texts.append(AESGCM(key).decrypt(envelope[66:78], envelope[78:], b"\1").decode())
        return texts

    def start(self, args, stdin=b"", prompt="pin", env=None, who=None, stdout=subprocess.PIPE):
        """The binary started as the user (or `who`) with the stand-in pinentry scripted by `prompt`."""
        words = {"pin": f"pin:{self.password}", "wrong": f"pin:not-{self.password}"}
        e = {"PATH": self.path, "HOME": f"{self.dir}/home",
             "DISPLAY": ":99", "TARN_WEMB_TCTI": self.route, "TARN_TEST_PINENTRY_LOG": f"{self.dir}/told",
             "TARN_TEST_PINENTRY_ANSWERS": "\n".join(words.get(w, w) for w in prompt.split())}
        e.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
        if self.route != self.tcti:
            e["DBUS_SESSION_BUS_ADDRESS"] = self.bus
        if self.freed:
            e.update(LD_PRELOAD=self.freed, TARN_TEST_FREED_LOG=f"{self.dir}/freed")
        e.update(env or {})
        p = subprocess.Popen(self.as_user(who) + [self.binary, *args], stdout=stdout, stderr=subprocess.PIPE,
                             stdin=subprocess.PIPE if isinstance(stdin, bytes) else stdin, env=e, cwd=self.cwd,
                             start_new_session=True)
        if isinstance(stdin, bytes):  # fed aside: a binary that stops reading must not stop the test
            threading.Thread(target=feed, args=(p.stdin, stdin), daemon=True).start()
            p.stdin = None
        return p

    def run(self, *args, **kw):
        return finish(self.start(*args, **kw))

    def seal(self, texts, store, who=None):
        out, _, code = self.run(["seal", "--dir", store], request(texts), "-", {"LD_PRELOAD": ""}, who)
        assert code == 0, out
        return json.loads(out)["sealed"]

    def told(self):
        path = f"{self.dir}/told"
        return [json.loads(line) for line in open(path)] if os.path.exists(path) else []

    def wait_told(self, test, seconds=20):
        for _ in range(seconds * 20):
            if any(test(r) for r in self.told()):
                return True
            time.sleep(0.05)
        return False


def ids(name):
    entry = pwd.getpwnam(name)
    return entry.pw_uid, entry.pw_gid


def root_only(path):
    """Whether root alone can change `path` and every directory above it."""
    path = os.path.realpath(path)
    ways = [path] + [path[:i] or "/" for i, c in enumerate(path) if c == "/"]
    return all(os.lstat(p).st_uid == 0 and not os.lstat(p).st_mode & 0o022 for p in ways)


def pinentry_home(binary):
    """A fresh directory only root can change, its "trusted" holding the stand-in pinentry: the
    binary runs no pinentry from anywhere else. Inside the build tree when root alone can change it."""
    base = f"{os.path.dirname(binary)}/tests"
    home = tempfile.mkdtemp(prefix="tarn-pinentry-", dir=base if root_only(base) else "/usr/local/lib")
    os.chmod(home, 0o755)
    os.mkdir(f"{home}/trusted", 0o755)
    with open(f"{HERE}/pinentry") as source:  # python3 found without PATH: rows set PATH to one directory
        open(f"{home}/trusted/pinentry", "w").write(source.read().replace(" python3\n", " /usr/bin/python3\n", 1))
    os.chmod(f"{home}/trusted/pinentry", 0o755)
    assert root_only(f"{home}/trusted/pinentry")
    return home


def plant(w, word):
    """A pinentry that someone other than root could change, put on PATH before the stand-in;
    started, it leaves a mark in the row's directory."""
    base, (uid, gid) = f"{w.bins}/{w.rows}", ids(w.neighbour)
    their, root = f"{base}/their", f"{base}/root"
    for d in (base, their, root):
        os.makedirs(d, 0o755, exist_ok=True)
    os.chown(their, uid, gid)
    bin = {"stickybin": f"{base}/sticky", "loosebin": f"{base}/loose", "deepbin": f"{their}/root"}.get(word, root)
    os.makedirs(bin, 0o755, exist_ok=True)
    os.chmod(bin, {"stickybin": 0o1777, "loosebin": 0o775}.get(word, 0o755))
    program = f"{their if word in ('theirbin', 'linkbin') else bin}/pinentry"
    open(program, "w").write(f"#!/bin/sh\n: >'{w.dir}/planted-ran'\nexit 1\n")
    os.chmod(program, 0o757 if word == "loosefile" else 0o755)
    if word == "theirfile":
        os.chown(program, uid, gid)
    if word == "linkbin":
        os.symlink(program, f"{bin}/pinentry")
    return their if word == "theirbin" else bin


def feed(pipe, data):
    try:
        pipe.write(data)
        pipe.close()
    except OSError:
        pass


def finish(p, timeout=150):
    try:
        out, err = p.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, err = p.communicate()
    return out.decode("utf-8", "replace"), err, p.returncode


def mode(path):
    return oct(stat.S_IMODE(os.lstat(path).st_mode)) if os.path.lexists(path) else "absent"


def prepare(w, row):
    """The row's setup words, applied in order; returns the row's context."""
    ctx, w.store, w.env, w.resume, w.cwd = {}, f"{w.dir}/store", {}, [], w.dir
    pub, elsewhere = f"{w.dir}/pub", f"{w.dir}/elsewhere"
    as_user = lambda path: shutil.chown(path, w.user, w.user)
    for word in row.setup.split():
        if word == "home":
            w.store = f"{w.dir}/home/Library/Application Support/Tarn Studio/wemb"
        elif word == "key":
            *ctx["sealed"], ctx["empty"] = w.seal(SEEDS + [""], w.store)
        elif word == "other":
            ctx["sealed"] = w.seal(SEEDS, f"{w.dir}/other")
        elif word == "indep":
            point = key_point(open(f"{w.store}/klucz.se", "rb").read())
            ctx["indep"], ctx["shared"] = zip(*(independent_seal(t, point) for t in SEEDS))
            w.env["TARN_TEST_MARKERS"] = ",".join([b"sekret7".hex()] + [x.hex() for x in ctx["shared"]])
            w.carried = bytearray()
            w.env["TARN_WEMB_TCTI"] = relay(int(w.tcti.rsplit("=", 1)[1]), w.carried)
        elif word == "notpm":
            w.env["TARN_WEMB_TCTI"] = "swtpm:host=127.0.0.1,port=1"
        elif word == "stop":
            w.tpm.send_signal(signal.SIGSTOP)
            w.resume.append(lambda: w.tpm.send_signal(signal.SIGCONT))
        elif word == "cleared":
            w.tools("tpm2_clear", "-c", "p")
        elif word == "planted":  # sealed where the neighbour may, then moved in
            theirs = f"{w.work}/{w.rows}-theirs"
            os.mkdir(theirs, 0o755)
            shutil.chown(theirs, w.neighbour, w.neighbour)
            w.seal(["theirs"], theirs, who=w.neighbour)
            os.chmod(f"{theirs}/klucz.se", 0o644)
            os.rename(theirs, w.store)
        elif word in ("theirparent", "stickylink"):  # a neighbour's 0777 parent; root's sticky one
            os.mkdir(pub)
            os.chmod(pub, 0o777 if word == "theirparent" else 0o1777)
            w.store = f"{pub}/store"
            if word == "theirparent":
                shutil.chown(pub, w.neighbour, w.neighbour)
            else:  # the store's name taken first, by the neighbour's link to the user's other directory
                os.mkdir(elsewhere, 0o700)
                as_user(elsewhere)
                os.symlink(elsewhere, w.store)
                os.lchown(w.store, *ids(w.neighbour))
        elif word == "ownlink":  # the user's own link to the user's store
            os.mkdir(elsewhere, 0o700)
            as_user(elsewhere)
            os.symlink(elsewhere, w.store)
            os.lchown(w.store, *ids(w.user))
        elif word == "inside":  # the run starts in a directory of the user's inside $P
            w.cwd = f"{os.path.dirname(w.store)}/sub"
            os.mkdir(w.cwd, 0o700)
            as_user(w.cwd)
        elif word in ("theirbin", "stickybin", "loosebin", "deepbin", "linkbin", "theirfile", "loosefile"):
            w.env["PATH"] = f"{plant(w, word)}:{w.path}"
        elif word == "rootlink":  # linked twice, as Debian's alternatives link pinentry
            os.makedirs(f"{w.bins}/{w.rows}/alt", 0o755)
            os.symlink(f"{w.bins}/trusted/pinentry", f"{w.bins}/{w.rows}/alt/pinentry")
            os.makedirs(f"{w.bins}/{w.rows}/bin", 0o755)
            os.symlink("../alt/pinentry", f"{w.bins}/{w.rows}/bin/pinentry")
            w.env["PATH"] = f"{w.bins}/{w.rows}/bin"
        elif word == "ownbin":  # the user's own copy of the stand-in, alone on PATH
            os.mkdir(f"{w.dir}/bin", 0o755)
            shutil.copy(f"{w.bins}/trusted/pinentry", f"{w.dir}/bin/pinentry")
            for path in (f"{w.dir}/bin", f"{w.dir}/bin/pinentry"):
                as_user(path)
            w.env["PATH"] = f"{w.dir}/bin"
        elif word in ("loose", "unreadable"):
            os.chmod(f"{w.store}/klucz.se", 0o620 if word == "loose" else 0)
        elif word in ("fifo", "kdir", "template"):
            os.mkdir(w.store, 0o700)
            as_user(w.store)
            key = f"{w.store}/klucz.se"
            if word == "fifo":
                os.mkfifo(key, 0o600)
            elif word == "kdir":
                os.mkdir(key)
            else:  # a decrypt key without noDA, made by tpm2-tools under the same parent
                w.tools("tpm2_createprimary", "-C", "o", "-g", "sha256", "-G", "ecc256:aes128cfb", "-a", PARENT, "-c", f"{w.dir}/p")
                w.tools("tpm2_create", "-C", f"{w.dir}/p", "-G", "ecc256", "-a", "fixedtpm|fixedparent|sensitivedataorigin|userwithauth|decrypt",
                        "-u", f"{w.dir}/pub", "-r", f"{w.dir}/priv")
                open(key, "wb").write(open(f"{w.dir}/pub", "rb").read() + open(f"{w.dir}/priv", "rb").read())
                os.chmod(key, 0o600)
            as_user(key)
        elif word in ("loosedir", "theirdir", "rootdir"):
            os.mkdir(w.store)
            os.chmod(w.store, 0o770 if word == "loosedir" else 0o1777)
            if word != "rootdir":
                shutil.chown(w.store, *[w.user if word == "loosedir" else w.neighbour] * 2)
    return ctx


def prompt_env(w, prompt):
    """The pinentry's script, and what the run's environment says about it."""
    env, answers = {}, []
    for word in prompt.split():
        if word == "mute" or word.startswith("stall:"):
            env["TARN_TEST_PINENTRY_STALL"] = word.split(":")[-1] if ":" in word else "greeting"
        elif word == "nopath":
            env["PATH"] = "/nonexistent"
        elif word == "nodisplay":
            env["DISPLAY"] = ""
        else:
            answers.append("pin" if word == "-" else word)
    return " ".join(answers or ["pin"]), env


def special(w, row, args, stdin, ctx, problems):
    """Runs that are not one plain start: races, kills, a finger on the reader."""
    answers, env = prompt_env(w, row.prompt)
    env.update(w.env)
    if row.how in ("x16", "race-seal"):
        texts = [f"sekret7 racer {i}" for i in range(16)]
        runs = [w.start(args, request([t]) if row.how == "race-seal" else stdin, answers, env) for t in texts]
        results = [finish(p) for p in runs]
        bad = [r for r in results if r[2] != 0 or (row.how == "x16" and r[0] != OPENED + "\n")]
        if bad:
            problems.append(f"{len(bad)} of 16 failed, e.g. {bad[0][0][:200]!r}")
        if row.how == "x16" or bad:
            return results[0]
        sealed = [json.loads(r[0])["sealed"][0] for r in results]
        out, err, code = w.run(["open", "--dir", w.store], request(sealed), "pin", env)
        if out != json.dumps({"items": texts}, separators=(",", ":")) + "\n":
            problems.append(f"the racers' texts came back as {out[:200]!r}")
        return "\n", err, 0
    if row.how == "closed-stdout":
        read, write = os.pipe()
        os.close(read)
        p = w.start(args, stdin, answers, env, stdout=write)
        os.close(write)
        return "\n", p.communicate()[1], p.wait()
    p = w.start(args, stdin, answers, env)
    if row.how.startswith("kill"):
        if not w.wait_told(lambda r: r[0] == "GETPIN"):
            problems.append("the pinentry was never asked")
        if os.stat(f"/proc/{p.pid}/status").st_uid != 0:  # root's only while the run refuses tracing
            problems.append("the run may be traced and dump core")
        os.kill(p.pid, getattr(signal, "SIG" + row.how[5:]))  # setpriv has exec'd the binary: same pid
        finish(p)
        pinentry = next((r[1] for r in w.told() if r[0] == "START"), None)
        if pinentry and not gone(pinentry, 3):
            os.kill(pinentry, signal.SIGKILL)
            problems.append("the pinentry outlived the run")
        for kind in ("-t", "-l", "-s"):  # swtpm keeps what a killed client loaded
            subprocess.run(["tpm2_flushcontext", kind], env=dict(os.environ, TPM2TOOLS_TCTI=w.tcti), capture_output=True)
        return "\n", b"", 0
    if not w.wait_told(lambda r: FINGER in str(r[1]), 10):
        problems.append("the finger message never reached the pinentry")
    if row.how != "finger-cancel":
        open(f"{w.reader}/{row.how}", "w").close()
    result = finish(p, 10)
    for name in ("finger", "fail"):
        if os.path.exists(f"{w.reader}/{name}"):
            os.remove(f"{w.reader}/{name}")
    return result


def gone(pid, seconds):
    for _ in range(int(seconds * 20)):
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.05)
    return False


def check(w, row):
    """Runs one row; returns what went wrong."""
    problems = []
    ctx = prepare(w, row)
    args = [a.replace("$S", w.store).replace("$P", os.path.dirname(w.store)) for a in row.args]
    stdin = row.stdin(ctx) if callable(row.stdin) else request(**row.stdin) if isinstance(row.stdin, dict) else row.stdin
    if stdin == "zero":
        stdin = open("/dev/zero", "rb")
    key = f"{w.store}/klucz.se"
    before = open(key, "rb").read() if os.path.isfile(key) else None
    if "freed" in row.after:
        w.env.setdefault("TARN_TEST_MARKERS", b"sekret7".hex())
    start = time.monotonic()
    if row.how:
        out, err, code = special(w, row, args, stdin, ctx, problems)
    else:
        answers, env = prompt_env(w, row.prompt)
        out, err, code = finish(w.start(args, stdin, answers, dict(env, **w.env)), (row.within or 60) + 10)
    elapsed = time.monotonic() - start
    for undo in w.resume:
        undo()
    if row.reply is not None:
        expected = row.reply.replace("$S", w.store).replace("$P", os.path.dirname(w.store)) if isinstance(row.reply, str) else row.reply
        line = out[:-1] if out.endswith("\n") and out.count("\n") == 1 else None
        if line is None:
            problems.append(f"not one line on standard output: {out[:300]!r}")
        elif line != expected if isinstance(expected, str) else not expected.fullmatch(line):
            problems.append(f"reply {line[:300]!r}, expected {getattr(expected, 'pattern', expected)[:300]!r}")
    if row.exit is not None and code != row.exit:
        problems.append(f"exit status {code}, expected {row.exit}")
    if err:
        problems.append(f"standard error: {err[:200]!r}")
    if code == 1 and "sekret7" in out:
        problems.append("request text in an error reply")
    if row.within and elapsed > row.within:
        problems.append(f"took {elapsed:.1f} s, at most {row.within} s expected")
    if any(x in w.carried for x in ctx.get("shared", ())):
        problems.append("a shared secret crossed the bus in clear")
    if os.path.exists(f"{w.dir}/planted-ran"):
        problems.append("a pinentry that others could change was started")
    if os.path.exists(f"{w.dir}/freed"):
        problems += sorted(set(open(f"{w.dir}/freed").read().split("\n")) - {""})
    for word, test in (("dir700", lambda: mode(w.store) == "0o700"), ("key600", lambda: mode(key) == "0o600"),
                       ("nokey", lambda: not os.path.lexists(key)), ("nostore", lambda: not os.path.lexists(w.store)),
                       ("same", lambda: open(key, "rb").read() == before)):
        if word in row.after.split() and not test():
            problems.append(f"after the run: not {word} (store {mode(w.store)}, key file {mode(key)})")
    if "tpm-opens" in row.after:
        texts = json.loads(stdin)["items"]
        try:
            if w.tpm_open(open(key, "rb").read(), json.loads(out)["sealed"]) != texts:
                problems.append("tpm2-tools open other texts")
        except Exception as e:
            problems.append(f"tpm2-tools cannot open: {e}")
    told = [r for r in w.told() if r[0] != "START"]
    if row.prompt == "-" and w.told():
        problems.append(f"a pinentry was started: {told[:3]}")
    for name, want in row.told.items():
        got = [r[1] for r in told if r[0] == name]
        if isinstance(want, int) and len(got) != want or isinstance(want, str) and want not in got or \
                isinstance(want, re.Pattern) and not any(want.fullmatch(g) for g in got):
            problems.append(f"the pinentry was told {name} {got!r:.300}, expected {getattr(want, 'pattern', want)!r:.100}")
    if any(r[2] > 1000 for r in told):
        problems.append("an Assuan line longer than 1000 bytes")
    if w.route == w.tcti and not row.how:
        left = [sh("tpm2_getcap", "-T", w.tcti, kind).decode() for kind in ("handles-transient", "handles-loaded-session")]
        if "".join(left).strip():
            problems.append(f"left in the TPM: {' '.join(left).split()}")
    return problems


def main():
    if sys.argv[1] == "--with-swtpm":
        tpm, tcti = swtpm(tempfile.mkdtemp())
        try:
            sys.exit(subprocess.run(sys.argv[2:], env=dict(os.environ, TARN_WEMB_TCTI=tcti)).returncode)
        finally:
            tpm.kill()
    import cases
    group = sys.argv[1]
    world = World(group, os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3]) if len(sys.argv) > 3 else None)
    failed = 0
    try:
        skip = open(os.environ["TARN_TEST_SKIP"]).read().splitlines() if "TARN_TEST_SKIP" in os.environ else []
        for row in (r for r in cases.ROWS if r.group == group and r.name not in skip):
            world.rows += 1
            world.dir = f"{world.work}/{world.rows}"
            os.mkdir(world.dir)
            shutil.chown(world.dir, world.user, world.user)
            start = time.monotonic()
            problems = check(world, row)
            failed += bool(problems)
            print(("FAIL " if problems else "ok   ") + f"{time.monotonic() - start:5.1f}s " + row.name + "".join("\n     " + p for p in problems), flush=True)
    finally:
        world.close()
    print(f"{group}: {world.rows - failed} of {world.rows} rows pass")
    sys.exit(1 if failed or not world.rows else 0)


if __name__ == "__main__":
    main()
