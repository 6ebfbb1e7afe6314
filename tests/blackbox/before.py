# The setup words of the black-box table (cases.py): what a row's world holds before its run.
import os, shutil, signal

import independent
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


def planted(w, ctx):
    store(w, 0o755, w.neighbour)
    w.seal(["theirs"], w.store, who=w.neighbour)
    os.chmod(w.key, 0o644)


def other_template(w, path):
    """A decrypt key without noDA, made by tpm2-tools under the same parent (behind the service's header)."""
    w.tools(*independent.PRIMARY, "-c", f"{w.dir}/p")
    w.tools("tpm2_create", "-C", f"{w.dir}/p", "-G", "ecc256", "-a", "fixedtpm|fixedparent|sensitivedataorigin|userwithauth|decrypt",
            "-u", f"{w.dir}/pub", "-r", f"{w.dir}/priv")
    head = independent.header(secret(w)) if w.service else b""
    open(path, "wb").write(head + open(f"{w.dir}/pub", "rb").read() + open(f"{w.dir}/priv", "rb").read())
    os.chmod(path, 0o600)


def stolen(w, ctx):
    """A copy of the user's key file in the neighbour's own store; the row's runs are the neighbour's."""
    data = open(w.key, "rb").read()
    w.store, w.who = f"{w.dir}/stolen", w.neighbour
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
    "noservice": lambda w, ctx: w.env.update(TARN_WEMB_SOCKET=f"{w.dir}/nothing"),
    # the caller, not in group tss, given a TCTI that leads nowhere (with swtpm anyone may reach the TPM)
    "notcti": lambda w, ctx: w.env.update(TARN_WEMB_TCTI=NOWHERE),
    "stolen": stolen,
    "oldform": lambda w, ctx: rewrite(w.key, open(w.key, "rb").read()[independent.HEADER:]),
    "newsecret": lambda w, ctx: new_secret(w, os.urandom(32)),
    "nosecret": lambda w, ctx: new_secret(w, None),
    "plain": lambda w, ctx: setattr(w, "command", (w.binary, None)),  # a copy without the setgid bit
}
PROMPT = {"mute": {"TARN_TEST_PINENTRY_STALL": "greeting"}, "nopath": {"PATH": "/nonexistent"}, "nodisplay": {"DISPLAY": ""}}
