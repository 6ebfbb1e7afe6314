# The setup words of the black-box table (cases.py): what a row's world holds before its run.
import os, pwd, shutil, signal, subprocess

import independent
from world import sh, until
from cases import SEEDS

NOWHERE = "swtpm:host=127.0.0.1,port=1"


def secret(w):
    return open(f"{w.state}/secret", "rb").read()


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


def stall(w, ctx):
    w.env.update(w.tpm_at(w.tampered("stall")))
    # a service that outlived its deadline is ended; none can flush its objects, as a resource manager would
    w.resume.append(lambda: (subprocess.run(["kill", "-KILL", *w.custodians()], capture_output=True), w.flush()))


def planted(w, ctx):
    """The neighbour's key, sealed where the neighbour may, then moved into the user's store's place."""
    theirs = f"{w.work}/{w.rows}-theirs"
    os.mkdir(theirs, 0o755)
    shutil.chown(theirs, w.neighbour, w.neighbour)
    w.seal(["theirs"], theirs, who=w.neighbour)
    os.chmod(f"{theirs}/klucz.se", 0o644)
    os.rename(theirs, w.store)


def parent(w, word):
    """A neighbour's 0777 parent; or root's sticky one where the neighbour's link took the store's name."""
    pub = f"{w.dir}/pub"
    os.mkdir(pub)
    os.chmod(pub, 0o777 if word == "theirparent" else 0o1777)
    w.store = f"{pub}/store"
    if word == "theirparent":
        shutil.chown(pub, w.neighbour, w.neighbour)
    else:
        link(w, w.neighbour)


def link(w, owner):
    """The store's name, a link of `owner`'s to another directory of the user's."""
    elsewhere = f"{w.dir}/elsewhere"
    os.mkdir(elsewhere, 0o700)
    shutil.chown(elsewhere, w.user, w.user)
    os.symlink(elsewhere, w.store)
    os.lchown(w.store, *pwd.getpwnam(owner)[2:4])  # its uid and gid


def plant(w, word):
    """A pinentry that someone other than root could change, put on PATH before the stand-in;
    started, it leaves a mark in the row's directory."""
    base = f"{w.bins}/{w.rows}"
    their, root = f"{base}/their", f"{base}/root"
    os.makedirs(their, 0o755)
    shutil.chown(their, w.neighbour, w.neighbour)
    bin = {"loosebin": f"{base}/loose", "deepbin": f"{their}/root"}.get(word, root)
    os.makedirs(bin, 0o755, exist_ok=True)
    os.chmod(bin, 0o775 if word == "loosebin" else 0o755)
    program = f"{their if word in ('theirbin', 'linkbin') else bin}/pinentry"
    open(program, "w").write(f"#!/bin/sh\n: >'{w.dir}/planted-ran'\nexit 1\n")
    os.chmod(program, 0o757 if word == "loosefile" else 0o755)
    if word == "linkbin":
        os.symlink(program, f"{bin}/pinentry")
    w.env["PATH"] = f"{their if word == 'theirbin' else bin}:{w.path}"


def root_link(w, ctx):
    """The stand-in linked twice, as Debian's alternatives link pinentry."""
    base = f"{w.bins}/{w.rows}"
    os.makedirs(f"{base}/alt", 0o755)
    os.symlink(f"{w.bins}/trusted/pinentry", f"{base}/alt/pinentry")
    os.makedirs(f"{base}/bin", 0o755)
    os.symlink("../alt/pinentry", f"{base}/bin/pinentry")
    w.env["PATH"] = f"{base}/bin"


def other_template(w, path):
    """A decrypt key without noDA, made by tpm2-tools under the same parent (behind the service's header)."""
    w.tools(*independent.PRIMARY, "-c", f"{w.dir}/p")
    w.tools("tpm2_create", "-C", f"{w.dir}/p", "-G", "ecc256", "-a", "fixedtpm|fixedparent|sensitivedataorigin|userwithauth|decrypt",
            "-u", f"{w.dir}/pub", "-r", f"{w.dir}/priv")
    head = independent.header(secret(w))
    open(path, "wb").write(head + open(f"{w.dir}/pub", "rb").read() + open(f"{w.dir}/priv", "rb").read())
    os.chmod(path, 0o600)


def stolen(w, ctx):
    """A copy of the user's key file in the neighbour's own store; the row's runs are the neighbour's."""
    data = open(w.key, "rb").read()
    w.store, w.who = f"{w.work}/{w.rows}-stolen", w.neighbour
    store(w, 0o700, w.neighbour)
    open(w.key, "wb").write(data)
    os.chmod(w.key, 0o600)
    shutil.chown(w.key, w.neighbour, w.neighbour)


def rewrite(path, data):
    with open(path, "r+b") as f:  # in place: owner and mode stay
        f.write(data)
        f.truncate()


def new_secret(w, data):
    """The service's secret replaced (None: moved away) for the row, then restored."""
    path, saved = f"{w.state}/secret", secret(w)
    os.rename(path, path + ".away") if data is None else rewrite(path, data)
    w.resume.append(lambda: os.rename(path + ".away", path) if data is None else rewrite(path, saved))


def account(w, change, undo, password=None):
    """The user's account changed for the row by `change` (passwd or chage arguments), then put back."""
    saved, w.password = w.password, password or w.password
    sh("chpasswd", input=f"{w.user}:{w.password}".encode())
    sh(*change, w.user)
    w.resume.append(lambda: (sh(*undo, w.user), sh("chpasswd", input=f"{w.user}:{saved}".encode()),
                             setattr(w, "password", saved)))


def secret_file(w, path, change, undo):
    change(path)
    w.resume.append(lambda: undo(path))


FAKE = "import socket, sys\nl = socket.socket(socket.AF_UNIX)\nl.bind(sys.argv[1])\nl.listen()\nwhile True:\n" \
       "    c = l.accept()[0]\n    c.sendall(b'{\"tpm\":true}\\0')\n    c.close()\n"


def fake_service(w, who):
    """A custody service of `who`'s making, where the user's runs look for one."""
    home = f"{w.work}/{w.rows}-fake"
    os.mkdir(home, 0o755)
    shutil.chown(home, who, who)
    fake = subprocess.Popen(w.as_user(who) + ["/usr/bin/python3", "-c", FAKE, f"{home}/socket"], stderr=subprocess.DEVNULL)
    w.resume.append(fake.kill)
    until(lambda: os.path.exists(f"{home}/socket"), 10)
    os.chmod(f"{home}/socket", 0o666)
    w.env["TARN_WEMB_SOCKET"] = f"{home}/socket"


def pass_only(w, ctx):
    """$P, the user's own, inside root's 0711 directory: others may pass through it, not read it."""
    above = f"{w.dir}/pass"
    os.mkdir(above)
    os.chmod(above, 0o711)
    os.mkdir(f"{above}/mine", 0o700)
    shutil.chown(f"{above}/mine", w.user, w.user)
    w.store = f"{above}/mine/store"


SETUP = {
    "home": lambda w, ctx: setattr(w, "store", f"{w.dir}/home/Library/Application Support/Tarn Studio/wemb"),
    "key": key,
    "other": lambda w, ctx: ctx.update(sealed=w.seal(SEEDS, f"{w.dir}/other")),
    "indep": indep,
    "notpm": lambda w, ctx: w.env.update(w.tpm_at(NOWHERE)),
    "stop": stop,
    "stall": stall,
    "flip-point": lambda w, ctx: w.env.update(w.tpm_at(w.tampered("point"))),
    "flip-hmac": lambda w, ctx: w.env.update(w.tpm_at(w.tampered("hmac"))),
    "cleared": lambda w, ctx: w.tools("tpm2_clear", "-c", "p"),
    "planted": planted,
    "loose": lambda w, ctx: os.chmod(w.key, 0o620),
    "unreadable": lambda w, ctx: os.chmod(w.key, 0),
    "fifo": lambda w, ctx: key_as(w, lambda path: os.mkfifo(path, 0o600)),
    "template": lambda w, ctx: key_as(w, lambda path: other_template(w, path)),
    "loosedir": lambda w, ctx: store(w, 0o770, w.user),
    "theirdir": lambda w, ctx: store(w, 0o1777, w.neighbour),
    "rootdir": lambda w, ctx: store(w, 0o1777),
    "noservice": lambda w, ctx: w.env.update(TARN_WEMB_SOCKET=f"{w.dir}/nothing"),
    "fakeservice": lambda w, ctx: fake_service(w, w.neighbour),
    "ownservice": lambda w, ctx: fake_service(w, w.user),
    "passonly": pass_only,
    "fsize": lambda w, ctx: setattr(w, "wrap", ["/usr/bin/prlimit", "--fsize=100"]),
    # the caller, not in group tss, given a TCTI that leads nowhere (with swtpm anyone may reach the TPM)
    "notcti": lambda w, ctx: w.env.update(TARN_WEMB_TCTI=NOWHERE),
    "stolen": stolen,
    "oldform": lambda w, ctx: rewrite(w.key, open(w.key, "rb").read()[independent.HEADER:]),
    "cutheader": lambda w, ctx: rewrite(w.key, open(w.key, "rb").read()[:independent.HEADER - 1]),
    "newmark": lambda w, ctx: rewrite(w.key, independent.MARK[:3] + b"2" + open(w.key, "rb").read()[4:]),
    "trailing": lambda w, ctx: rewrite(w.key, open(w.key, "rb").read() + b"\0"),
    "newsecret": lambda w, ctx: new_secret(w, os.urandom(32)),
    "nosecret": lambda w, ctx: new_secret(w, None),
    "plain": lambda w, ctx: setattr(w, "command", (w.binary, None)),  # a copy without the setgid bit
    "loosesecret": lambda w, ctx: secret_file(w, f"{w.state}/secret", lambda p: os.chmod(p, 0o644), lambda p: os.chmod(p, 0o600)),
    "theirsecret": lambda w, ctx: secret_file(w, f"{w.state}/secret", lambda p: shutil.chown(p, w.user, w.user), lambda p: os.chown(p, 0, 0)),
    "loosestate": lambda w, ctx: secret_file(w, w.state, lambda p: os.chmod(p, 0o777), lambda p: os.chmod(p, 0o700)),
    # the account as passwd -d, chage -E 0 leave it; a password pinentry must unescape
    "nopassword": lambda w, ctx: account(w, ["passwd", "-d"], ["true"]),
    "expired": lambda w, ctx: account(w, ["chage", "-E", "0"], ["chage", "-E", "-1"]),
    "percent": lambda w, ctx: account(w, ["true"], ["true"], "p%41-" + w.password),
    "viash": lambda w, ctx: setattr(w, "via", "/usr/bin/dash"),  # the run started by a shell of the user's
    "theirparent": lambda w, ctx: parent(w, "theirparent"),
    "stickylink": lambda w, ctx: parent(w, "stickylink"),
    "ownlink": lambda w, ctx: link(w, w.user),
    "rootlink": root_link,
    **{word: (lambda w, ctx, word=word: plant(w, word))
       for word in ("theirbin", "loosebin", "deepbin", "linkbin", "loosefile")},
}
PROMPT = {"mute": {"TARN_TEST_PINENTRY_STALL": "greeting"}, "nopath": {"PATH": "/nonexistent"}, "nodisplay": {"DISPLAY": ""}}
