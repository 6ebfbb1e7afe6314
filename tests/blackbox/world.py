# A group's fixtures: a private swtpm, throwaway accounts with real PAM, a resource manager, the runs.
import contextlib, fcntl, json, os, secrets, shutil, signal, socket, subprocess, tempfile, threading, time

HERE = os.path.dirname(os.path.abspath(__file__))
PAM = {"finger": f"auth [success=done default=ignore] pam_exec.so quiet stdout {HERE}/finger.sh\n"}


def sh(*args, **kw):
    return subprocess.run(args, check=True, capture_output=True, **kw).stdout


def port_pair():
    """Listeners on two neighbouring free ports, as a swtpm TCTI names them by the first."""
    while True:
        first = socket.create_server(("127.0.0.1", 0))
        with contextlib.suppress(OSError):
            return first, socket.create_server(("127.0.0.1", first.getsockname()[1] + 1))
        first.close()


def swtpm(state):
    """A private swtpm: (process, TCTI)."""
    os.makedirs(state, exist_ok=True)
    for _ in range(20):
        listeners = port_pair()
        port = listeners[0].getsockname()[1]
        for listener in listeners:  # swtpm binds the ports itself
            listener.close()
        p = subprocess.Popen(["swtpm", "socket", "--tpm2", "--server", f"type=tcp,port={port},bindaddr=127.0.0.1",
                              "--ctrl", f"type=tcp,port={port + 1},bindaddr=127.0.0.1",
                              "--flags", "startup-clear,not-need-init", "--tpmstate", f"dir={state}"],
                             stderr=subprocess.DEVNULL)
        for _ in range(100):
            with contextlib.suppress(OSError):
                socket.create_connection(("127.0.0.1", port)).close()
                return p, f"swtpm:host=127.0.0.1,port={port}"
            time.sleep(0.05)
        p.kill()
    raise RuntimeError("swtpm did not start")


def relay(port, carried):
    """A TCTI through a forwarder of the free port pair Q, Q+1 to port, port+1; the command port's bytes go into `carried`."""
    def pipe(source, sink, log):
        with contextlib.suppress(OSError):
            while data := source.recv(65536):
                log += data
                sink.sendall(data)
        for end in (source, sink):  # shutdown, not close, wakes the other direction's recv
            with contextlib.suppress(OSError):
                end.shutdown(socket.SHUT_RDWR)

    def serve(listener, target, log):
        while True:
            client = listener.accept()[0]
            server = socket.create_connection(("127.0.0.1", target))
            for ends in ((client, server), (server, client)):
                threading.Thread(target=pipe, args=(*ends, log), daemon=True).start()

    first, second = port_pair()
    for listener, target, log in ((first, port, carried), (second, port + 1, bytearray())):
        threading.Thread(target=serve, args=(listener, target, log), daemon=True).start()
    return f"swtpm:host=127.0.0.1,port={first.getsockname()[1]}"


def feed(pipe, data):
    with contextlib.suppress(OSError):
        pipe.write(data)
        pipe.close()


def finish(p, timeout=150):
    try:
        out, err = p.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, err = p.communicate()
    return out.decode("utf-8", "replace"), err, p.returncode


def gone(pid, seconds):
    for _ in range(int(seconds * 20)):
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.05)
    return False


class World:
    """One group's fixtures; `dir` is the running row's directory, `env` what its setup adds to each run."""

    def __init__(self, group, binary, freed):
        self.binary, self.freed, self.undo, self.bus = binary, freed, [], None
        self.work = tempfile.mkdtemp(prefix=f"tarn-{group}-")
        os.chmod(self.work, 0o755)
        self.tpm, self.tcti = swtpm(f"{self.work}/tpm")
        self.undo.append(self.tpm.kill)
        self.carried = bytearray()  # what went to the TPM through the relay
        self.relayed = relay(int(self.tcti.rsplit("=", 1)[1]), self.carried)
        tag, self.password = secrets.token_hex(3), "pw-" + secrets.token_hex(6)
        self.user, self.neighbour = f"tarn-u{tag}", f"tarn-n{tag}"
        with open("/tmp/tarn-test-accounts.lock", "w") as lock:  # useradd and chpasswd lock /etc alone
            fcntl.flock(lock, fcntl.LOCK_EX)
            for name in (self.user, self.neighbour):
                sh("useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", name)
                self.undo.append(lambda name=name: subprocess.run(["userdel", name], capture_output=True))
            sh("chpasswd", input=f"{self.user}:{self.password}".encode())
        self.route = self.abrmd() if group == "race" else self.tcti  # concurrent runs go through a resource manager
        if group in PAM:
            self.pam_service(PAM[group])

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
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address)
        rm = subprocess.Popen(self.as_user() + ["tpm2-abrmd", "--session", f"--dbus-name={name}", f"--tcti={self.tcti}"],
                              env=env, stderr=subprocess.DEVNULL)
        self.undo.append(rm.kill)
        route = f"tabrmd:bus_name={name},bus_type=session"
        for _ in range(100):
            if subprocess.run(self.as_user() + ["tpm2_getcap", "-T", route, "properties-fixed"], capture_output=True,
                              env=env).returncode == 0:
                return route
            time.sleep(0.1)
        raise RuntimeError("tpm2-abrmd did not come up")

    def pam_service(self, first):
        """Modules in front of the password, written for this group, then restored; a finger reader."""
        path = "/etc/pam.d/tarn-wemb"
        saved = open(path).read() if os.path.exists(path) else None
        self.undo.append(lambda: open(path, "w").write(saved) if saved is not None else os.remove(path))
        with open(path, "w") as f:
            f.write(first + "@include common-auth\n@include common-account\n")
        self.reader = f"/tmp/tarn-finger-{self.user}"
        os.makedirs(self.reader, mode=0o755)
        self.undo.append(lambda: shutil.rmtree(self.reader))

    def tpm_at(self, tcti):
        """What a run's environment says to reach the TPM behind `tcti`."""
        return {"TARN_WEMB_TCTI": tcti}

    def tools(self, *args):
        """A tpm2-tools command; every object it left in the TPM is flushed after it."""
        try:
            return sh(*args, env=dict(os.environ, TPM2TOOLS_TCTI=self.tcti))
        finally:
            self.flush()

    def flush(self):
        for kind in ("-t", "-l", "-s"):
            subprocess.run(["tpm2_flushcontext", kind], env=dict(os.environ, TPM2TOOLS_TCTI=self.tcti), capture_output=True)

    def start(self, args, stdin=b"", prompt="pin", env=None, who=None, stdout=subprocess.PIPE):
        """The binary started as the user (or `who`) with the stand-in pinentry scripted by `prompt`."""
        words = {"pin": f"pin:{self.password}", "wrong": f"pin:not-{self.password}"}
        e = {"PATH": f"{os.path.dirname(self.binary)}/tests/pinentry-bin:/usr/bin:/bin", "HOME": f"{self.dir}/home",
             "DISPLAY": ":99", "TARN_TEST_PINENTRY_LOG": f"{self.dir}/told",
             "TARN_TEST_PINENTRY_ANSWERS": "\n".join(words.get(w, w) for w in prompt.split()), **self.tpm_at(self.route)}
        e.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")}, DBUS_SESSION_BUS_ADDRESS=self.bus or "")
        if self.freed:
            e.update(LD_PRELOAD=self.freed, TARN_TEST_FREED_LOG=f"{self.dir}/freed")
        e.update(env or {})
        p = subprocess.Popen(self.as_user(who) + [self.binary, *args], stdout=stdout, stderr=subprocess.PIPE,
                             stdin=subprocess.PIPE if isinstance(stdin, bytes) else stdin, env=e, cwd=self.dir,
                             start_new_session=True)
        if isinstance(stdin, bytes):  # fed aside: a binary that stops reading must not stop the test
            threading.Thread(target=feed, args=(p.stdin, stdin), daemon=True).start()
            p.stdin = None
        return p

    def run(self, *args, **kw):
        return finish(self.start(*args, **kw))

    def seal(self, texts, store, who=None):
        out, _, code = self.run(["seal", "--dir", store], json.dumps({"items": texts}).encode(), "-",
                                {"LD_PRELOAD": ""}, who)
        assert code == 0, out
        return json.loads(out)["sealed"]

    @property
    def key(self):
        return f"{self.store}/klucz.se"

    def told(self):
        path = f"{self.dir}/told"
        return [json.loads(line) for line in open(path)] if os.path.exists(path) else []

    def wait_told(self, test, seconds=20):
        for _ in range(seconds * 20):
            if any(test(r) for r in self.told()):
                return True
            time.sleep(0.05)
        return False

    def left(self):
        """The handles left loaded in the TPM."""
        return "".join(sh("tpm2_getcap", "-T", self.tcti, kind).decode()
                       for kind in ("handles-transient", "handles-loaded-session")).split()
