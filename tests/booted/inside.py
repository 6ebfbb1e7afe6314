#!/usr/bin/python3
# Runs as root inside the booted container (tarn-wemb-booted.service): proves the device and IP
# policies are enforced, installs the package, puts tpm2-abrmd in front of a swtpm, then runs the
# command as throwaway accounts and looks at what systemd made of it. One line per check.
import contextlib, glob, json, os, re, shlex, socket, subprocess, time, traceback

SOCKET, CUSTODY, BINS = "/run/tarn-wemb/socket", "/usr/libexec/tarn-wemb-custody", "/usr/local/lib/tarn-booted"
results = []


def check(name, ok, detail=""):
    results.append(bool(ok))
    print(f"{'ok  ' if ok else 'FAIL'} {name}" + (f": {str(detail).strip()}" if detail else ""), flush=True)
    return ok


def sh(*args, **kw):
    return subprocess.run(args, capture_output=True, text=True, **kw)


def until(test, seconds):
    end = time.monotonic() + seconds
    while not (done := test()) and time.monotonic() < end:
        time.sleep(0.1)
    return done


def probe(props, code):
    """True when a transient unit with `props` runs `code` (python) to success, else its last error line."""
    out = sh("systemd-run", "--wait", "--quiet", "--pipe", "--collect", *[f"-p{p}" for p in props], "python3", "-c", code)
    return out.returncode == 0 or out.stderr.strip().rsplit("\n", 1)[-1]


def enforced():
    """A DevicePolicy=strict unit must not open /dev/zero; an IPAddressDeny=any one must not connect (its
    packets are dropped: refused or timed out), where both succeed without them."""
    listener = socket.create_server(("127.0.0.1", 0))
    connect = f"import socket; socket.create_connection(('127.0.0.1', {listener.getsockname()[1]}), 3)"
    opens = "open('/dev/zero', 'rb').read(1)"
    device, ip = probe(["DevicePolicy=strict"], opens), probe(["IPAddressDeny=any"], connect)
    return all([check("a unit may open /dev/zero and reach 127.0.0.1", probe([], opens) is probe([], connect) is True),
                check("DevicePolicy=strict is enforced (BPF device program)", "PermissionError" in str(device), device),
                check("IPAddressDeny=any is enforced (BPF socket filter)", re.match("(Permission|Timeout)Error", str(ip)), ip)])


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    open(path, "w").write(text)


def install():
    out = sh("dpkg", "-i", *glob.glob("/booted/tarn-wemb_*.deb"))
    check("the package installs", out.returncode == 0, out.stderr)
    write("/etc/systemd/system/tarn-swtpm.service", "[Service]\nStateDirectory=tarn-swtpm\nExecStart=/usr/bin/swtpm socket"
          " --tpm2 --server type=tcp,port=2321,bindaddr=127.0.0.1 --ctrl type=tcp,port=2322,bindaddr=127.0.0.1"
          " --flags startup-clear,not-need-init --tpmstate dir=/var/lib/tarn-swtpm\n")
    write("/etc/systemd/system/tpm2-abrmd.service.d/swtpm.conf", "[Unit]\nRequires=tarn-swtpm.service\nAfter=tarn-swtpm.service\n"
          "[Service]\nExecStart=\nExecStart=/usr/sbin/tpm2-abrmd --tcti=swtpm:host=127.0.0.1,port=2321\n")
    # The README's route through tpm2-abrmd: only the TCTI changes, the sandbox stays as shipped.
    for unit in sh("grep", "-l", "TARN_WEMB_TCTI", *glob.glob("/lib/systemd/system/tarn-wemb*.service")).stdout.split():
        write(f"/etc/systemd/system/{os.path.basename(unit)}.d/tabrmd.conf", "[Service]\nEnvironment=TARN_WEMB_TCTI=tabrmd:\n")
    sh("systemctl", "daemon-reload")
    sh("systemctl", "restart", "tpm2-abrmd")
    for name in ("tarn-a", "tarn-b", "tarn-c"):
        sh("useradd", "--create-home", name)
        sh("chpasswd", input=f"{name}:pw-{name}-7")
    write(f"{BINS}/bin/pinentry", open("/booted/pinentry").read())
    os.chmod(f"{BINS}/bin/pinentry", 0o755)


def start(who, args, request=b"", prompt="pin", program="/usr/bin/tarn-wemb"):
    """The command as `who`, with the stand-in pinentry answering `prompt` (words, in turn)."""
    words, told = {"pin": f"pin:pw-{who}-7", "wrong": f"pin:not-pw-{who}"}, f"/home/{who}/told"
    if os.path.exists(told):
        os.remove(told)
    env = {"PATH": f"{BINS}/bin:/usr/bin:/bin", "HOME": f"/home/{who}", "DISPLAY": ":99"}
    # the command passes the pinentry nothing of ours: its script lies above its directory
    write(f"{BINS}/script", json.dumps({"TARN_TEST_PINENTRY_LOG": told,
                                        "TARN_TEST_PINENTRY_ANSWERS": "\n".join(words.get(w, w) for w in prompt.split())}))
    p = subprocess.Popen(["setpriv", "--reuid", who, "--regid", who, "--init-groups", program, *args], env=env,
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd="/")
    with contextlib.suppress(OSError), p.stdin:  # a request this small fits in the pipe
        p.stdin.write(request)
    p.stdin = None
    return p


def run(who, args, request=b"", prompt="pin", **kw):
    out, err = start(who, args, request, prompt, **kw).communicate(timeout=180)
    return out.decode().strip() + err.decode()


def read(path):
    try:
        return open(path, "rb").read()
    except OSError:
        return b""


def workers():
    """Custody processes serving a connection: not a long-running door, nor a worker's PAM child."""
    units = sh("systemctl", "list-units", "--type=service", "--plain", "--no-legend", "tarn-wemb*").stdout.split("\n")
    doors = {int(sh("systemctl", "show", "-P", "MainPID", u.split()[0]).stdout) for u in units if u and "@" not in u}
    found = {}
    for p in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError, IndexError):  # gone meanwhile
            if os.readlink(f"/proc/{p}/exe") == CUSTODY and int(p) not in doors:
                found[int(p)] = int(open(f"/proc/{p}/stat").read().rsplit(")", 1)[1].split()[1])
    return [p for p, parent in found.items() if parent not in found]


def leftovers():
    """Instance units and workers still there, and pinentries still running."""
    pinentries = [p for p in filter(str.isdigit, os.listdir("/proc")) if BINS.encode() in read(f"/proc/{p}/cmdline")]
    return sh("systemctl", "list-units", "--all", "--plain", "--no-legend", "tarn-wemb@*").stdout.split() + workers() + pinentries


def failed():
    return sh("systemctl", "--failed", "--plain", "--no-legend").stdout.strip()


def mid_prompt(args, request=b""):
    """The command as tarn-a waiting at a pinentry nobody answers, and the worker behind it."""
    p = start("tarn-a", args, request, "hang")
    asked = until(lambda: b'["GETPIN"' in read("/home/tarn-a/told"), 30)
    return p, asked and until(workers, 5) and (workers() or [None])[0]


def flood(seconds=30):
    """tarn-c connects and closes from 8 threads while tarn-a asks for status: (status times, connections, replies)."""
    code = ("import socket, threading, time\nend, made = time.monotonic() + %d, [0] * 8\ndef hammer(i):\n"
            "  while time.monotonic() < end:\n    with socket.socket(socket.AF_UNIX) as s:\n      s.settimeout(2)\n"
            "      made[i] += not s.connect_ex(%r)\nts = [threading.Thread(target=hammer, args=(i,)) for i in range(8)]\n"
            "[t.start() for t in ts]; [t.join() for t in ts]; print(sum(made))\n") % (seconds, SOCKET)
    hammer = subprocess.Popen(["setpriv", "--reuid", "tarn-c", "--regid", "tarn-c", "--init-groups", "python3", "-c", code],
                              stdout=subprocess.PIPE, text=True)
    time.sleep(2)  # the flood under way
    times, replies = [], set()
    while hammer.poll() is None:
        began = time.monotonic()
        replies.add(run("tarn-a", ["status", "--dir", "/home/tarn-a/none"]))
        times.append(time.monotonic() - began)
        time.sleep(0.2)
    return sorted(times), int(hammer.communicate()[0] or 0), replies


def journal():
    """What the journal said since the last call."""
    return sh("journalctl", "--no-pager", "-o", "cat", "--cursor-file=/booted/cursor").stdout


def main():
    if not enforced():
        print("booted: this container does not enforce DevicePolicy= and IPAddressDeny= (BPF): nothing here proves the sandbox")
        return
    install()
    check("the socket is listening after install", until(lambda: os.path.exists(SOCKET), 20))
    status = run("tarn-a", ["status", "--dir", "/home/tarn-a/store"])
    check("status reaches the TPM through tpm2-abrmd", status == '{"key":false,"secureEnclave":true}', status)
    out = run("tarn-a", ["seal", "--dir", "/home/tarn-a/store"], b'{"items":["sekret7","two"]}', "-")
    check("seal", re.fullmatch(r'\{"sealed":\["AQ[^"]+","AQ[^"]+"\]\}', out), out)
    request = json.dumps({"items": json.loads(out).get("sealed", []), "reason": "booted"}).encode()
    out = run("tarn-a", ["open", "--dir", "/home/tarn-a/store"], request)
    check("open after the password", out == '{"items":["sekret7","two"]}', out)
    check("verify after the password", run("tarn-a", ["verify"]) == '{"ok":true}')

    journal()
    check("three wrong passwords", run("tarn-a", ["verify"], prompt="wrong") == '{"error":"denied"}')
    check("Cancel", run("tarn-a", ["verify"], prompt="cancel") == '{"error":"cancelled"}')
    sh("install", "-d", "-o", "tarn-b", "-g", "tarn-b", "-m", "700", "/home/tarn-b/store")
    sh("install", "-o", "tarn-b", "-g", "tarn-b", "-m", "600", "/home/tarn-a/store/klucz.se", "/home/tarn-b/store/klucz.se")
    out = run("tarn-b", ["open", "--dir", "/home/tarn-b/store"], request)
    check("another account's copy of the key file opens nothing", out == '{"error":"the key file belongs to another account"}', out)
    sh("install", "-o", "tarn-a", "-g", "tarn-a", "-m", "755", "/usr/bin/tarn-wemb", "/home/tarn-a/plain")
    out = run("tarn-a", ["verify"], program="/home/tarn-a/plain")
    check("a copy without the setgid bit proves nothing", re.fullmatch(r'\{"error":"[^"]+"\}', out), out)
    check("no refusal leaves a failed unit in the journal", "Failed with result" not in journal())

    p, worker = mid_prompt(["verify"])
    if check("a worker runs during the prompt", worker):
        for place in ("/run", "/run/systemd"):
            made = sh("nsenter", "-t", str(worker), "-m", "touch", f"{place}/tarn-booted-probe")
            check(f"{place} is read-only inside the worker", "Read-only file system" in made.stderr, made.stderr)
        procs = shlex.quote(f"/sys/fs/cgroup{read(f'/proc/{worker}/cgroup').decode().split('::', 1)[1].strip()}/cgroup.procs")
        tun = sh("sh", "-c", f"echo $$ >{procs} && exec head -c0 /dev/net/tun")
        check("/dev/net/tun is refused in the worker's cgroup", "Operation not permitted" in tun.stderr, tun.stderr)
        links = [line.split(":")[0].strip() for line in sh("nsenter", "-t", str(worker), "-n", "cat", "/proc/net/dev").stdout.split("\n")[2:]]
        check("the worker has no network but loopback", links == ["lo", ""], links)
    p.kill()
    check("the command killed mid-prompt leaves no unit, worker or pinentry", until(lambda: not leftovers(), 15), leftovers())
    p, worker = mid_prompt(["open", "--dir", "/home/tarn-a/store"], request)
    if check("a worker killed mid-prompt is found", worker):
        os.kill(worker, 9)
        out = p.communicate(timeout=30)[0].decode().strip()
        check("a killed worker takes the dialog down: no verdict", p.returncode == 1 and out.startswith('{"error":"no-authentication: '), out)
    p.kill()
    check("a killed worker leaves no unit, worker or pinentry", until(lambda: not leftovers(), 15), leftovers())
    check("after the kills no unit failed", until(lambda: not failed(), 30), failed())

    journal()
    times, made, replies = flood()
    figures = f"{len(times)} calls, median {times[len(times) // 2]:.2f} s, slowest {times[-1]:.2f} s, {made} connections in 30 s"
    check("another account's status answers within 1 s through a connection flood",
          times[-1] < 1 and made > 1000 and replies == {status}, figures)
    check("the flood's connections are all served within 120 s", until(lambda: not leftovers(), 120), len(leftovers()))
    check("after the flood no unit failed", until(lambda: not failed(), 30), failed())
    said = journal()
    for line in ("Failed with result", "skipped because of an unmet condition", "Couldn't stat device"):
        check(f"no '{line}' in the journal per connection", said.count(line) == 0, f"{said.count(line)} times")

if __name__ == "__main__":
    try:
        main()
    except Exception as e:  # a crash of the check is a failure, said as one
        check("the check ran to its end", False, "".join(traceback.format_exception(e)[-3:]))
    print(f"booted: {sum(results)} passed, {len(results) - sum(results)} failed", flush=True)
