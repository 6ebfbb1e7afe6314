#!/usr/bin/env python3
"""Calling tarn-wemb from Python: one JSON request in, one JSON line out."""
import json
import os
import subprocess
import sys


class TarnError(Exception):
    """tarn-wemb refused the request; `text` is its "error" text."""

    def __init__(self, text):
        super().__init__(f"tarn-wemb: {text}")
        self.text = text


def run(command, request=None, store_dir=None):
    """Runs one command and returns its reply; raises TarnError on exit status 1."""
    args = [os.environ.get("TARN_WEMB", "tarn-wemb"), command]
    if store_dir is not None:
        args += ["--dir", store_dir]
    data = b"" if request is None else json.dumps(request).encode()
    done = subprocess.run(args, input=data, capture_output=True)
    try:
        reply = json.loads(done.stdout)
    except ValueError:
        raise RuntimeError(f"tarn-wemb gave no reply (exit status {done.returncode})") from None
    if done.returncode == 1:
        raise TarnError(reply["error"])
    if done.returncode != 0:
        raise RuntimeError(f"tarn-wemb ended with exit status {done.returncode}")
    return reply


# The refusals a caller should treat differently from a fault.
ADVICE = {
    "cancelled": "You cancelled the password prompt; nothing was opened.",
    "denied": "The password was not accepted; nothing was opened.",
    "no-key": "This store has no key yet: seal something first.",
}


def main(argv):
    if len(argv) != 2:
        print("usage: call.py STORE_DIR", file=sys.stderr)
        return 2
    store = argv[1]
    texts = ["first secret", "zażółć gęślą jaźń 🔐"]
    sealed = run("seal", {"items": texts}, store)["sealed"]
    try:
        reply = run("open", {"items": sealed, "reason": "Show the example texts"}, store)
    except TarnError as error:
        if error.text not in ADVICE:
            raise
        print(ADVICE[error.text], file=sys.stderr)
        return 1
    print(json.dumps(reply["items"]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
