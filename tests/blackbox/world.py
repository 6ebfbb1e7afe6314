# A group's fixtures: a private swtpm, throwaway accounts with real PAM, a resource manager, the runs.
import contextlib, fcntl, json, os, secrets, shutil, signal, socket, subprocess, tempfile, threading, time

HERE = os.path.dirname(os.path.abspath(__file__))
PAM = {"finger": f"auth [success=done default=ignore] pam_exec.so quiet stdout {HERE}/finger.sh\n",
       "rootok": "auth sufficient pam_rootok.so\n"}
GROUP = "tarn-wemb"  # the command's group: the custody service answers presence only to it
AT_SOCKET = os.path.join(HERE, "../../scripts/at-socket")  # how a setgid run reaches this world's service


def sh(*args, check=True, **kw):
    return subprocess.run(args, check=check, capture_output=True, **kw).stdout


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
        if until(lambda: subprocess.run(["tpm2_getcap", "-T", f"swtpm:host=127.0.0.1,port={port}", "properties-fixed"],
                                        capture_output=True).returncode == 0, 5):
            return p, f"swtpm:host=127.0.0.1,port={port}"
        p.kill()
    raise RuntimeError("swtpm did not start")


def tamper(mode):
    """What a relay in `mode` does to a command (response None: what goes on, None for nothing) or to
    the response to it: "stall" swallows the first ECDH_ZGen; "point" and "hmac" flip a byte of each
    ECDH_ZGen response after the first (the key's check), in the encrypted product or in its HMAC."""
    seen = [0]

    def change(command, response):
        if command[6:10] != b"\0\0\1\x54":
            return response or command
        seen[0] += response is None
        if response is None or seen[0] < 2 or response[6:10] != bytes(4):
            return command if mode != "stall" and response is None else response
        at = 20 if mode == "point" else len(response) - 1
        return response[:at] + bytes([response[at] ^ 1]) + response[at + 1:]
    return change if mode else None


def relay(port, carried, mode=None):
    """A TCTI through a forwarder of the free port pair Q, Q+1 to port, port+1; the command port's bytes go into
    `carried`, and what tamper(mode) does is done to them."""
    def pipe(source, sink, log, change, last, outbound):
        with contextlib.suppress(OSError):
            pending = b""
            while data := source.recv(65536):
                log += data
                if not change:
                    sink.sendall(data)
                    continue
                pending += data  # whole messages, each with its size at bytes 2..6
                while len(pending) >= 6 and len(pending) >= (size := int.from_bytes(pending[2:6], "big")):
                    message, pending = pending[:size], pending[size:]
                    last[0] = message if outbound else last[0]
                    if message := change(message, None) if outbound else change(last[0], message):
                        sink.sendall(message)
        for end in (source, sink):  # shutdown, not close, wakes the other direction's recv
            with contextlib.suppress(OSError):
                end.shutdown(socket.SHUT_RDWR)

    def serve(listener, target, log, change):
        while True:
            client = listener.accept()[0]
            server = socket.create_connection(("127.0.0.1", target))
            last = [b""]  # the connection's latest command
            for ends, outbound in (((client, server), True), ((server, client), False)):
                threading.Thread(target=pipe, args=(*ends, log, change, last, outbound), daemon=True).start()

    first, second = port_pair()
    for listener, target, log, change in ((first, port, carried, tamper(mode)), (second, port + 1, bytearray(), None)):
        threading.Thread(target=serve, args=(listener, target, log, change), daemon=True).start()
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


def read_log(sock, lines):
    while True:
        lines.append(sock.recv(4096).decode("utf-8", "replace"))


def until(test, seconds):
    """Whether `test` comes true within `seconds`."""
    for _ in range(int(seconds * 20)):
        if test():
            return True
        time.sleep(0.05)
    return False


def sanitizers():
    return {k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")}


def root_only(path):
    """Whether root alone can change `path` and every directory above it."""
    path = os.path.realpath(path)
    ways = [path] + [path[:i] or "/" for i, c in enumerate(path) if c == "/"]
    return all(os.lstat(p).st_uid == 0 and not os.lstat(p).st_mode & 0o022 for p in ways)


def pinentry_home(binary):
    """A fresh directory only root can change, its "trusted" holding the stand-in pinentry: the
    command runs no pinentry from anywhere else. Inside the build tree when root alone can change it."""
    base = f"{os.path.dirname(binary)}/tests"
    home = tempfile.mkdtemp(prefix="tarn-pinentry-", dir=base if root_only(base) else "/usr/local/lib")
    os.chmod(home, 0o755)
    os.mkdir(f"{home}/trusted", 0o755)
    shutil.copy(f"{HERE}/pinentry", f"{home}/trusted/pinentry")  # its python3 is named in full: rows set PATH
    os.chmod(f"{home}/trusted/pinentry", 0o755)
    assert root_only(f"{home}/trusted/pinentry")
    return home


class World:
    """One group's fixtures; `dir` is the running row's directory, `env` what its setup adds to each run,
    `command` the program its runs start and the group they run in (None: the account's own)."""

    def __init__(self, group, binary, freed, service=None):
        self.binary, self.freed, self.service, self.undo, self.bus = binary, freed, service, [], None
        try:
            self.make(group)
        except BaseException:
            self.close()
            raise

    def make(self, group):
        self.work = tempfile.mkdtemp(prefix=f"tarn-{group}-")
        os.chmod(self.work, 0o755)
        self.bins = pinentry_home(self.binary)
        self.undo.append(lambda: shutil.rmtree(self.bins))
        self.path = f"{self.bins}/trusted:/usr/bin:/bin"
        self.tpm, self.tcti = swtpm(f"{self.work}/tpm")
        self.undo.append(self.tpm.kill)
        self.carried = bytearray()  # what went to the TPM through the relay
        self.relayed, self.relays = relay(int(self.tcti.rsplit("=", 1)[1]), self.carried), {}
        tag, self.password = secrets.token_hex(3), "pw-" + secrets.token_hex(6)
        self.user, self.neighbour = f"tarn-u{tag}", f"tarn-n{tag}"
        with open("/tmp/tarn-test-accounts.lock", "w") as lock:  # useradd, groupadd and chpasswd lock /etc alone
            fcntl.flock(lock, fcntl.LOCK_EX)
            if subprocess.run(["getent", "group", GROUP], capture_output=True).returncode:
                sh("groupadd", "--system", GROUP)
            for name in (self.user, self.neighbour):
                sh("useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", name)
                self.undo.append(lambda name=name: subprocess.run(["userdel", name], capture_output=True))
            sh("chpasswd", input=f"{self.user}:{self.password}".encode())
        # concurrent runs go through a resource manager, as users' runs do
        self.route = self.abrmd() if group == "race" else self.relayed
        self.direct = self.route if self.bus else self.tcti  # for tpm2-tools: never through the relay
        self.command = self.installed = self.custody()
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
        """tpm2-abrmd on a private bus, run by root, who reaches the TPM: the custody service."""
        address, pid = sh("dbus-daemon", "--session", "--fork", "--print-address=1",
                          "--print-pid=1").decode().split()
        self.undo.append(lambda: os.kill(int(pid), signal.SIGTERM))
        name, self.bus = "com.tarn.test" + secrets.token_hex(3), address
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address)
        rm = subprocess.Popen(["tpm2-abrmd", "--allow-root", "--session", f"--dbus-name={name}", f"--tcti={self.tcti}"],
                              env=env, stderr=subprocess.DEVNULL)
        self.undo.append(rm.kill)
        route = f"tabrmd:bus_name={name},bus_type=session"
        if until(lambda: subprocess.run(["tpm2_getcap", "-T", route, "properties-fixed"], capture_output=True,
                                        env=env).returncode == 0, 10):
            return route
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

    def custody(self):
        """The service as the package installs it: a setgid copy of the command in its group, a secret."""
        os.mkdir(f"{self.work}/bin", 0o755)
        installed = shutil.copy(self.binary, f"{self.work}/bin/tarn-wemb")
        shutil.chown(installed, "root", GROUP)
        os.chmod(installed, 0o2755)
        self.state, self.markers, self.sockets, self.activators = f"{self.work}/state", f"{self.work}/markers", {}, []
        os.mkdir(self.state, 0o700)
        os.mkdir(f"{self.work}/run", 0o755)
        sh(self.service, "--make-secret", env={"STATE_DIRECTORY": self.state, **sanitizers()})
        sock, self.logged = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM), []
        sock.bind(f"{self.work}/log")
        threading.Thread(target=read_log, args=(sock, self.logged), daemon=True).start()
        os.mkdir(f"{self.work}/dev")
        self.undo.append(lambda: subprocess.run(["kill", "-KILL", *self.custodians(), *self.activators], capture_output=True))
        # The leak checker cannot stop a setgid process to look: the build's copy, in the group.
        return (self.binary, GROUP) if sanitizers() else (installed, None)

    def listen(self, tcti):
        """The socket of a custody service that reaches the TPM through `tcti`, started at the first call."""
        if tcti not in self.sockets:
            path = f"{self.work}/socket{len(self.sockets)}"
            env = {"TARN_WEMB_TCTI": tcti, "STATE_DIRECTORY": self.state, "RUNTIME_DIRECTORY": f"{self.work}/run",
                   "DBUS_SESSION_BUS_ADDRESS": self.bus or "", **sanitizers()}
            if self.freed:
                env.update(LD_PRELOAD=self.freed, TARN_TEST_FREED_LOG=f"{self.work}/freed", TARN_TEST_MARKERS_FILE=self.markers)
            p = subprocess.Popen([*self.private_log(), "systemd-socket-activate", "-l", path, *(f"--setenv={k}={v}" for k, v in env.items()),
                                  self.service], stdout=subprocess.DEVNULL, stderr=open(f"{self.work}/activate.log", "ab"))
            self.activators.append(str(p.pid))
            until(lambda: os.path.exists(path), 5)
            os.chmod(path, 0o666)
            self.sockets[tcti] = path
        return self.sockets[tcti]

    def private_log(self):
        """The service's syslog, read here: a command that starts the service where /dev/log is our socket."""
        binds = "".join(f"touch /dev/{n} && mount --bind {self.work}/dev/{n} /dev/{n} && " for n in ("null", "zero", "full", "random", "urandom"))
        return ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                f"mount --rbind /dev {self.work}/dev && mount -t tmpfs -o mode=755 tmpfs /dev && {binds}"
                f"touch /dev/log && mount --bind {self.work}/log /dev/log && exec \"$@\"", "sh"]

    def custodians(self):
        """The door's workers of this group, one per connection it admitted."""
        return sh("pgrep", "-P", ",".join(self.activators), check=False).decode().split()

    def tampered(self, mode):
        """A TCTI through a relay that tampers in `mode` (see tamper), made at the first call."""
        if mode not in self.relays:
            self.relays[mode] = relay(int(self.tcti.rsplit("=", 1)[1]), self.carried, mode)
        return self.relays[mode]

    def tpm_at(self, tcti):
        """What a run's environment says to reach the TPM behind `tcti`."""
        return {"TARN_WEMB_SOCKET": self.listen(tcti)}

    def tools(self, *args, who=None):
        """A tpm2-tools command, as root or `who`; every object it left in the TPM is flushed after it."""
        runner = self.as_user(who) if who else []  # a bus admits its owner alone
        try:
            return sh(*runner, *args, env=dict(os.environ, TPM2TOOLS_TCTI=self.direct, DBUS_SESSION_BUS_ADDRESS=self.bus or ""))
        finally:
            self.flush()

    def flush(self):
        for kind in ("-t", "-l", "-s"):
            subprocess.run(["tpm2_flushcontext", kind], env=dict(os.environ, TPM2TOOLS_TCTI=self.direct), capture_output=True)

    def start(self, args, stdin=b"", prompt="pin", env=None, who=None, stdout=subprocess.PIPE):
        """The command started as the user (or `who`) with the stand-in pinentry scripted by `prompt`."""
        words = {"pin": f"pin:{self.password}", "wrong": f"pin:not-{self.password}"}
        e = {"PATH": self.path, "HOME": f"{self.dir}/home",
             "DISPLAY": ":99", "TARN_TEST_PINENTRY_LOG": f"{self.dir}/told",
             "TARN_TEST_PINENTRY_ANSWERS": "\n".join(words.get(w, w) for w in prompt.split()), **self.tpm_at(self.route)}
        e.update(sanitizers(), DBUS_SESSION_BUS_ADDRESS=self.bus or "")
        if self.freed:
            e.update(LD_PRELOAD=self.freed, TARN_TEST_FREED_LOG=f"{self.dir}/freed")
        e.update(env or {}, GTK_MODULES="caller-chosen")  # the pinentry must see none of the caller's own
        script = {k: e.pop(k) for k in list(e) if k.startswith("TARN_TEST_PINENTRY_")}
        with open(f"{self.bins}/script.new", "w") as f:  # whole, for pinentries of runs at once
            json.dump(script, f)
        os.replace(f"{self.bins}/script.new", f"{self.bins}/script")
        program, group = self.command
        who = who or self.user
        runner = ["/usr/bin/prlimit", "--core=1048576:unlimited",  # dumps allowed, that the pinentry must not inherit
                  "/usr/bin/setpriv", "--reuid", who, "--regid", group or who, "--clear-groups" if group else "--init-groups"]
        if program != self.binary:
            # The setgid copy connects to the installed path alone; its environment names a decoy.
            runner = [AT_SOCKET, e["TARN_WEMB_SOCKET"], *runner]
            e["TARN_WEMB_SOCKET"] = f"{self.dir}/decoy"
        if self.via:  # a shell that waits for the run, so the run's parent is the shell
            runner += [self.via, "-c", '"$0" "$@"; exit $?']
        p = subprocess.Popen(runner + [*self.wrap, program, *args], stdout=stdout, stderr=subprocess.PIPE,
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
        return until(lambda: any(test(t) for t in self.told()), seconds)

    def left(self):
        """The handles left loaded in the TPM, once the service's processes have ended."""
        until(lambda: not self.custodians(), 3)
        return "".join(sh("tpm2_getcap", "-T", self.tcti, kind).decode()
                       for kind in ("handles-transient", "handles-loaded-session")).split()
