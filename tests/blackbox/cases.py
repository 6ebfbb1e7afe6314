# The black-box table: one row per case, run by run.py against the built binary as a throwaway
# account with a password. Columns:
#   group   the ctest entry that runs the row (rows of one group share a swtpm and the accounts)
#           race: through tpm2-abrmd; finger, rootok: with modules in front of the password in PAM
#   args    after the binary's name; $S is the row's store directory, $P its parent
#   stdin   bytes, a dict sent as JSON, "zero" (/dev/zero), or a function of the row's context
#   setup   words, applied in order: key (a seal made the store's key; ctx sealed/empty), other
#           (sealed for another store), indep (sealed by independent code; the TPM is reached through
#           a relay, and its shared secrets must not cross it in clear), notpm, stop (swtpm
#           stopped), stall (the TPM stops answering at the first ECDH_ZGen), flip-point / flip-hmac
#           (a byte of each ECDH_ZGen response after the key's check flipped, in the encrypted
#           product / its HMAC), cleared (TPM cleared: the key is foreign), planted (the neighbour's key),
#           loose (key file 0620), fifo, loosedir (0770), theirdir (neighbour's, 1777),
#           rootdir (root's, 1777), template (a key of another template), home ($S = the default),
#           unreadable (key file 0000), theirparent ($P = $S's parent, the neighbour's, 0777),
#           stickylink ($S the neighbour's link to the user's other directory, in root's 1777 $P),
#           ownlink ($S the user's link to the user's directory),
#           passonly ($P the user's, in root's 0711 directory), fsize (RLIMIT_FSIZE 100 bytes); on PATH
#           before the stand-in pinentry, one that leaves a mark if started: theirbin (in the
#           neighbour's directory), loosebin (root's, 0775), deepbin
#           (below the neighbour's), linkbin (root's link into the neighbour's), loosefile (root's, 0757); PATH only: rootlink (root's links to
#           the stand-in); fakeservice / ownservice (the
#           neighbour's / the user's listener where the runs look for the service: the setgid
#           copy, given a decoy address in its environment, finds it only at the installed path,
#           bound in a private mount namespace); noservice (a socket nobody
#           listens on), notcti (the caller outside group tss, its own TCTI leading nowhere),
#           stolen (the neighbour runs with a copy of the key file in its own store), oldform
#           (the key file without the service's header), cutheader / newmark / trailing (the
#           header a byte short / a later form's mark / a byte after the key), newsecret / nosecret (the service's
#           secret replaced / removed), loosesecret / theirsecret / loosestate (the secret 0644 / the
#           user's / in a 0777 directory), plain (a copy of the command without the setgid bit),
#           nopassword / expired / percent (the account after passwd -d / chage -E 0 / with a
#           password holding "%41"), viash (the run started by the user's dash, which it names)
#   prompt  the pinentry's answers in turn: pin, wrong, cancel, fully-cancel, timeout, error, dismiss, hang; or
#           "-" (no pinentry may start), mute (it never greets), stall:CMD, nopath, nodisplay
#   reply   the exact line ($S, $P replaced) or a compiled pattern
#   exit    the exit status
#   after   words: dir700 key600 nokey nostore same (key file unchanged) owngroup (store and key
#           file of the user's group) notemp (no temporary key file left) tpm-opens (the sealed
#           strings open with tpm2-tools, given the key's auth value) tpm-refuses (the account's
#           own tpm2-tools, lacking it, get no shared secret) freed (the request text and shared
#           secrets are looked for in freed memory of the command and of the service),
#           logged=OUTCOME (the service's log line for the run; "_" for a blank)
#   told    what the pinentry was told: {COMMAND: exact argument, pattern, or how many times}
#   within  seconds the run may take: far above a slow machine's time, far below the fault's
#   how     a run that is not one plain start (see run.py)
# reply None: no reply is looked at; exit None: nor the exit status.
import base64, json, re
from collections import namedtuple

Row = namedtuple("Row", "group name args stdin setup prompt reply exit after told within how")


def row(group, name, args, stdin=b"", setup="", prompt="-", reply="", exit=0, after="", told=None, within=None, how=None):
    return Row(group, name, args.split(), stdin, setup, prompt, reply, exit, after, told or {}, within, how)


USAGE = '{"error":"usage: tarn-wemb status|seal|open|verify [--dir path]"}'
SEEDS = ["sekret7 one", 'zweites Geheimnis \u2713 "q" \\ \n\u0001']
OPENED = '{"items":["sekret7 one","zweites Geheimnis \u2713 \\"q\\" \\\\ \\n\\u0001"]}'
PARSE = re.compile(r'\{"error":"parse error at offset \d+: [^"]+"\}')
ERROR = re.compile(r'\{"error":"[^"]{1,300}"\}')
FLAG = "\U0001F1F5\U0001F1F1"
NOAUTH = re.compile(r'\{"error":"no-authentication: [^"]+"\}')
ASKS = "an unknown program asks: "  # the runner's parent is root's: its program cannot be read
# Each passed over for the stand-in later on PATH: a program anyone but root could change.
PLANTED = {"theirbin": "in a neighbour's directory", "loosebin": "in a directory its group may write",
           "deepbin": "below a neighbour's directory", "linkbin": "linked into a neighbour's directory",
           "loosefile": "that others may write"}
TAMPERED = '{"error":"the TPM\'s answer failed its integrity check"}'
OLD = "the key file is of an old form: move it away and seal again"


def sealed(n):
    return re.compile(r'\{"sealed":\[' + ",".join([r'"AQ[A-Za-z0-9+/]+={0,2}"'] * n) + r"\]\}")


def points(n):  # an agree message with n points that are not points
    return b'{"call":"agree","key":"AAAA","points":[' + b",".join([b'"BAAA"'] * n) + b"]}\0"


NOT_A_POINT = '{"error":"protocol: a point that is not an uncompressed P-256 point"}'


def parse_at(offset):
    return re.compile(r'\{"error":"parse error at offset %d: [^"]+"\}' % offset)


def with_point(sealed, point):  # the sealed string with its ephemeral point replaced, or changed by a function
    envelope = base64.b64decode(sealed)
    return base64.b64encode(envelope[:1] + (point(envelope[1:66]) if callable(point) else point) + envelope[66:]).decode()


def cut(sealed, size):  # the sealed string's first `size` bytes, sealed again in Base64
    return base64.b64encode(base64.b64decode(sealed)[:size]).decode()


def request(items=None, **rest):
    return json.dumps(dict(rest, **({} if items is None else {"items": items}))).encode()


def sized(total):  # a seal request of exactly `total` bytes
    return request(["x" * (total - len(request(["x"])) + 1)])


ROWS = [
    row("plain", "no command word", "", reply=USAGE, exit=1),
    row("plain", "the option before the command word", "--dir $S status", reply=USAGE, exit=1, after="nostore"),
    row("plain", "status of an empty store, creating nothing", "status --dir $S", reply='{"key":false,"secureEnclave":true}', after="nostore"),
    row("plain", "status without a TPM", "status --dir $S", setup="notpm", reply='{"key":false,"secureEnclave":false}'),
    row("plain", "the first seal makes the default store, parents too", "seal", {"items": []}, "home", reply='{"sealed":[]}', after="dir700 key600 owngroup"),
    row("plain", "empty input: the key is made, then items", "seal --dir $S", reply='{"error":"items"}', exit=1, after="key600"),
    row("plain", "sealed strings open with tpm2-tools", "seal --dir $S", {"items": SEEDS}, reply=sealed(2), after="tpm-opens freed"),
    row("plain", "a long item leaves no copy in freed memory", "seal --dir $S", {"items": ["sekret7" * 450]}, reply=sealed(1), after="freed"),
    row("plain", "a later seal uses the stored key", "seal --dir $S", {"items": ["b"]}, "key", reply=sealed(1), after="same tpm-opens"),
    row("plain", "an item that is not a string", "seal --dir $S", {"items": ["a", 7]}, reply='{"error":"items"}', exit=1),
    row("plain", "5000 items", "seal --dir $S", {"items": ["t"] * 5000}, reply=sealed(5000)),
    row("plain", "5001 items", "seal --dir $S", {"items": ["t"] * 5001}, reply='{"error":"items"}', exit=1),
    row("plain", "an array at the top", "seal --dir $S", b"[]", reply='{"error":"input"}', exit=1),
    row("plain", "a number at the top", "seal --dir $S", b"42", reply=PARSE, exit=1),
    row("plain", "a request then white space", "seal --dir $S", b'{"items":[]}\n \t', reply='{"sealed":[]}'),
    row("plain", "a byte-order mark first", "seal --dir $S", b'\xef\xbb\xbf{"items":["x"]}', reply=sealed(1)),
    row("plain", "NUL after the object", "seal --dir $S", b'{"items":[]}\0', reply=parse_at(12), exit=1),
    row("plain", "a control character in an item is not echoed", "seal --dir $S", b'{"items":["sekret7\x01"]}', reply=parse_at(18), exit=1, after="freed"),
    row("plain", "a lone surrogate", "seal --dir $S", b'{"items":["\\ud800"]}', reply=PARSE, exit=1),
    row("plain", "a lone low surrogate before a bad byte: the first fault", "seal --dir $S", b'{"items":["a"],"z":"\\udc00","y":"\xc3"}', reply=parse_at(20), exit=1),
    row("plain", "a number too large", "seal --dir $S", b'{"items":[],"n":1e999}', reply=PARSE, exit=1),
    row("plain", "the first of duplicate keys wins", "seal --dir $S", b'{"items":["a"],"items":[7]}', reply=sealed(1)),
    row("plain", "items inside another object are not the request's", "seal --dir $S", b'{"x":{"items":[7]},"items":["a"]}', reply=sealed(1)),
    row("plain", "512 containers open", "seal --dir $S", b'{"items":[],"x":' + b"[" * 511 + b"]" * 511 + b"}", reply='{"sealed":[]}'),
    row("plain", "513 containers open", "seal --dir $S", b'{"items":[],"x":' + b"[" * 512 + b"]" * 512 + b"}", reply=PARSE, exit=1),
    row("plain", "a request of exactly 8 MiB", "seal --dir $S", sized(8 << 20), reply=sealed(1)),
    row("plain", "a request of 8 MiB and one byte", "seal --dir $S", sized((8 << 20) + 1), reply='{"error":"input"}', exit=1),
    row("plain", "9 MiB in one write is read to its end", "seal --dir $S", sized(9 << 20), reply='{"error":"input"}', exit=1, how="one-write"),
    row("plain", "a non-blocking standard input is waited on", "seal --dir $S", {"items": ["x"]}, reply=sealed(1), how="late-nonblocking"),
    row("plain", "endless input is answered", "seal --dir $S", "zero", reply='{"error":"input"}', exit=1, within=20),
    row("plain", "no TPM, no key: nothing is made", "seal --dir $S", {"items": []}, "notpm", reply='{"error":"no-secure-enclave"}', exit=1, after="nostore"),
    row("plain", "a key planted by a neighbour", "seal --dir $S", {"items": ["sekret7"]}, "planted", reply='{"error":"refusing key file $S/klucz.se: owned by another user"}', exit=1, after="same"),
    row("plain", "a key file others may write", "seal --dir $S", {"items": []}, "key loose", reply='{"error":"refusing key file $S/klucz.se: writable by group or others"}', exit=1, after="same"),
    row("plain", "an unreadable key file is not replaced", "seal --dir $S", {"items": []}, "key unreadable", reply=ERROR, exit=1, after="same"),
    row("plain", "a reader gone before the reply", "seal --dir $S", {"items": ["x"]}, reply=None, how="closed-stdout"),
    row("plain", "a fifo in the key file's place", "seal --dir $S", {"items": []}, "fifo", reply='{"error":"refusing key file $S/klucz.se: not a regular file"}', exit=1),
    row("plain", "a store others may write", "seal --dir $S", {"items": []}, "loosedir", reply='{"error":"refusing store directory $S: writable by group or others"}', exit=1, after="nokey"),
    row("plain", "a neighbour's sticky store", "seal --dir $S", {"items": []}, "theirdir", reply='{"error":"refusing store directory $S: owned by another user"}', exit=1, after="nokey"),
    row("plain", "root's sticky store is trusted", "seal --dir $S", {"items": []}, "rootdir", reply='{"sealed":[]}', after="key600"),
    row("plain", "a neighbour's open parent", "seal --dir $S", {"items": []}, "theirparent", reply='{"error":"refusing store directory $P: owned by another user"}', exit=1, after="nostore"),
    row("plain", "a neighbour's open parent, named relatively", "seal --dir pub//store/", {"items": []}, "theirparent", reply='{"error":"refusing store directory pub: owned by another user"}', exit=1, after="nostore"),
    row("plain", "a neighbour's link in the store's place", "seal --dir $S", {"items": []}, "stickylink", reply='{"error":"refusing store directory $S: a symbolic link owned by another user"}', exit=1, after="nokey"),
    row("plain", "the user's own link to the store", "seal --dir $S", {"items": []}, "ownlink", reply='{"sealed":[]}', after="key600"),
    row("plain", "a store below root's 0711 directory", "seal --dir $S", {"items": ["sekret7"]}, "passonly", reply=sealed(1), after="dir700 key600"),
    row("plain", "a file size limit: the key's write fails with a reply", "seal --dir $S", {"items": []}, "fsize", reply='{"error":"cannot write $S/klucz.se: File too large"}', exit=1, after="nokey notemp"),
    row("plain", "a store named with slashes to spare", "seal --dir $P//store//", {"items": []}, reply='{"sealed":[]}', after="dir700 key600"),
    row("plain", "a key of another template", "seal --dir $S", {"items": []}, "template", reply='{"error":"the stored key is not of this tool\'s key template"}', exit=1, after="same"),
    row("plain", "status with no custody service listening", "status --dir $S", setup="noservice", reply='{"key":false,"secureEnclave":false}', within=5),
    row("plain", "a custody service not run by root is no service", "status --dir $S", setup="fakeservice", reply='{"key":false,"secureEnclave":false}'),
    row("plain", "nor is a listener of the user's own", "status --dir $S", setup="ownservice", reply='{"key":false,"secureEnclave":false}'),
    row("plain", "seal needs no way of the caller's own to the TPM", "seal --dir $S", {"items": ["sekret7"]}, "notcti", reply=sealed(1), after="key600 tpm-opens"),
    row("plain", "the caller's own tpm2-tools cannot use its key", "seal --dir $S", {"items": ["sekret7"]}, reply=sealed(1), after="tpm-refuses"),
    row("plain", "another account's copy of a key file seals nothing", "seal --dir $S", {"items": ["sekret7"]}, "key stolen", reply='{"error":"the key file belongs to another account"}', exit=1, after="same handled"),
    *[row("plain", f"a key file {what}", "seal --dir $S", {"items": []}, f"key {word}", reply='{"error":"%s"}' % error, exit=1, after="same")
      for word, what, error in (("oldform", "of the old form", OLD), ("cutheader", "with its header cut short", OLD),
                                ("newmark", "of a form not yet made", "the key file is of a form this service does not know"),
                                ("trailing", "with a byte after its key", "the key data has 1 bytes after its private part"),
                                ("cleared", "this TPM cannot load", "the key was made by another TPM, or this TPM was cleared"))],
    row("plain", "a changed service secret", "seal --dir $S", {"items": []}, "key newsecret", reply='{"error":"the key file was made under another service secret"}', exit=1, after="same"),
    row("plain", "a service without its secret", "seal --dir $S", {"items": []}, "key nosecret", reply='{"error":"the custody service has no secret: restore /var/lib/tarn-wemb"}', exit=1, after="same"),
    *[row("plain", f"a service secret {what} is not used", "seal --dir $S", {"items": []}, f"key {word}", reply=re.compile(f'\\{{"error":"refusing the service secret{fix}"\\}}'), exit=1, after="same")
      for word, what, fix in (("loosesecret", "others may read", r" /\S+/state/secret: mode 0644; make it 0600"),
                              ("theirsecret", "of another account's", r" /\S+/state/secret: not root's; make it root's"),
                              ("loosestate", "in a directory others may change", r"'s directory /\S+/state: mode 0777; make it writable by root alone"))],

    row("prompt", "verify with the default reason", "verify", b"", prompt="pin", reply='{"ok":true}', told={"SETTITLE": "tarn-wemb", "SETDESC": ASKS + "Tarn Studio", "GETPIN": 1, "SETTIMEOUT": re.compile("1[01][0-9]|120")}),
    row("prompt", "a reason that is no string", "verify", {"reason": 42}, prompt="pin", reply='{"ok":true}', told={"SETDESC": ASKS + "Tarn Studio"}),
    row("prompt", "the reason cut to 150 characters", "verify", {"reason": "e\u0301" * 200}, prompt="pin", reply='{"ok":true}', told={"SETDESC": ASKS + "e\u0301" * 150}),
    row("prompt", "151 flags cut at a flag to fit the line", "verify", {"reason": FLAG * 151}, prompt="pin", reply='{"ok":true}', told={"SETDESC": re.compile(f"{ASKS}(?:{FLAG})+\u2026?")}),
    row("prompt", "a reason escaped for Assuan, not kept", "verify", {"reason": "sekret7 100%41\n\rdone"}, prompt="pin", reply='{"ok":true}', after="freed", told={"SETDESC": ASKS + "sekret7 100%41\n\rdone"}),
    row("prompt", "the first of two reasons", "verify", b'{"reason":"first","reason":"second"}', prompt="pin", reply='{"ok":true}', told={"SETDESC": ASKS + "first"}),
    row("prompt", "cancel", "verify", b"", prompt="cancel", reply='{"error":"cancelled"}', exit=1, after="logged=cancelled", told={"GETPIN": 1}),
    row("prompt", "pinentry's own time running out cancels", "verify", b"", prompt="timeout", reply='{"error":"cancelled"}', exit=1, after="logged=cancelled"),
    row("prompt", "the dialog names the program that asks", "verify", b"", "viash", "pin", '{"ok":true}', after="logged=present", told={"SETDESC": "dash (/usr/bin/dash) asks: Tarn Studio"}),
    row("prompt", "an account without a password is asked, and denied", "verify", b"", "nopassword", "pin", '{"error":"denied"}', 1, told={"GETPIN": 3}),
    row("prompt", "an expired account is denied its right password", "verify", b"", "expired", "pin", '{"error":"denied"}', 1, after="logged=denied"),
    row("prompt", "a password with a percent sign", "verify", b"", "percent", "pin", '{"ok":true}', told={"GETPIN": 1}),
    row("prompt", "fully cancelled", "verify", b"", prompt="fully-cancel", reply='{"error":"cancelled"}', exit=1),
    row("prompt", "a third password counts", "verify", b"", prompt="wrong wrong pin", reply='{"ok":true}', told={"GETPIN": 3, "SETERROR": 2}),
    row("prompt", "three wrong passwords", "verify", b"", prompt="wrong", reply='{"error":"denied"}', exit=1, told={"GETPIN": 3}, after="handled"),
    row("prompt", "a pinentry error", "verify", b"", prompt="error", reply='{"error":"denied"}', exit=1),
    row("prompt", "no pinentry", "verify", b"", prompt="nopath", reply=NOAUTH, exit=1),
    row("prompt", "nowhere to show a prompt", "verify", b"", prompt="nodisplay", reply=NOAUTH, exit=1),
    *[row("prompt", f"a pinentry {what}, first on PATH, is passed over", "verify", b"", word, "pin", '{"ok":true}', told={"GETPIN": 1}) for word, what in PLANTED.items()],
    row("prompt", "a pinentry through root's links", "verify", b"", "rootlink", "pin", '{"ok":true}', told={"GETPIN": 1}),
    row("prompt", "a bad byte in the reason is not echoed", "verify", b'{"reason":"sekret7 \xff"}', reply=parse_at(19), exit=1, after="freed"),
    row("prompt", "open gives the texts in order", "open --dir $S", lambda c: request(c["sealed"], reason="Show"), "key", "pin", OPENED, after="freed", told={"SETDESC": ASKS + "Show", "GETPIN": 1}),
    row("prompt", "open of nothing still asks", "open --dir $S", {"items": []}, "key", "pin", '{"items":[]}', told={"GETPIN": 1}),
    row("prompt", "a product changed on its way from the TPM is refused", "open --dir $S", lambda c: request(c["sealed"]), "key flip-point", "pin", TAMPERED, exit=1),
    row("prompt", "a response HMAC changed on its way from the TPM is refused", "open --dir $S", lambda c: request(c["sealed"]), "key flip-hmac", "pin", TAMPERED, exit=1),
    row("prompt", "open what independent code sealed", "open --dir $S", lambda c: request(c["indep"]), "key indep", "pin", OPENED, after="freed"),
    row("prompt", "no key: no-key, whatever the items", "open --dir $S", {"items": ["%%"]}, reply='{"error":"no-key"}', exit=1, after="nostore"),
    row("prompt", "no items before no key", "open --dir $S", {}, reply='{"error":"items"}', exit=1),
    row("prompt", "a text and the empty text sealed together open together", "open --dir $S", lambda c: request([c["sealed"][0], c["empty"]]), "key", "pin", '{"items":["sekret7 one",""]}', told={"GETPIN": 1}),
    row("prompt", "an envelope cut to 90 bytes is refused before the prompt", "open --dir $S", lambda c: request([cut(c["sealed"][0], 90)]), "key", reply='{"error":"sealed-format"}', exit=1),
    row("prompt", "a point of zeros is refused before the prompt", "open --dir $S", lambda c: request(c["sealed"] + [with_point(c["sealed"][0], b"\4" + bytes(64))]), "key", reply='{"error":"sealed-format"}', exit=1),
    row("prompt", "a compressed point is refused before the prompt", "open --dir $S", lambda c: request(c["sealed"] + [with_point(c["sealed"][0], lambda p: b"\2" + p[1:])]), "key", reply='{"error":"sealed-format"}', exit=1),
    row("prompt", "sealed for another store's key", "open --dir $S", lambda c: request(c["sealed"]), "key other", "pin", ERROR, 1, told={"GETPIN": 1}),
    row("prompt", "open without a TPM asks nothing", "open --dir $S", lambda c: request(c["sealed"]), "key notpm", reply=ERROR, exit=1),
    row("prompt", "open with a key this TPM cannot load asks nothing", "open --dir $S", lambda c: request(c["sealed"]), "key cleared", reply=ERROR, exit=1, after="same"),
    row("prompt", "open with a planted key asks nothing", "open --dir $S", {"items": []}, "planted", reply='{"error":"refusing key file $S/klucz.se: owned by another user"}', exit=1),
    row("prompt", "verify from a copy of the command outside its group", "verify", b"", "plain", reply=ERROR, exit=1),

    row("wire", "one call, one answer, then the end", "", b'{"call":"status"}\0', reply='{"tpm":true}', how="raw"),
    row("wire", "a second call on one connection is not answered", "", b'{"call":"status"}\0{"call":"create"}\0', reply='{"tpm":true}', how="raw"),
    row("wire", "a call of no such name", "", b'{"call":"open"}\0', reply='{"error":"protocol: no such call"}', how="raw"),
    row("wire", "a member no message has", "", b'{"call":"status","items":["sekret7"]}\0', reply='{"error":"protocol: an unknown member"}', how="raw"),
    row("wire", "a member given twice", "", b'{"call":"status","call":"create"}\0', reply='{"error":"protocol: a member given twice"}', how="raw"),
    row("wire", "a member of another call", "", b'{"call":"status","key":"AAAA"}\0', reply='{"error":"protocol: members not of this call"}', how="raw"),
    row("wire", "a point that is not one", "", points(1), reply=NOT_A_POINT, how="raw"),
    row("wire", "a message that never ends", "", b"{" + b" " * (1 << 20) + b'"call":"status"}\0', reply='{"error":"protocol: a message over 1048576 bytes"}', how="raw"),
    row("wire", "a connection that says nothing", "", b"", reply='{"error":"protocol: no answer in time"}', within=15, how="raw"),
    row("wire", "an empty message", "", b"\0", reply='{"error":"protocol: The document is empty."}', how="raw"),
    row("wire", "5000 points are read", "", points(5000), reply=NOT_A_POINT, how="raw"),
    row("wire", "5001 points are not", "", points(5001), reply='{"error":"protocol: a list that is too long"}', how="raw"),
    *[row("wire", f"{what} is no allowed kind of value", "", message + b"\0", reply='{"error":"protocol: a value of no allowed kind"}', how="raw")
      for what, message in (("a number", b'{"tpm":1}'), ("null", b'{"answer":null}'), ("an object", b'{"call":"x","key":{"a":"b"}}'),
                            ("a list in a list", b'{"points":["a",["b"]]}'), ("a list for a text", b'{"call":["status"]}'),
                            ("a text for a flag", b'{"tpm":"true"}'), ("a list at the top", b'["call"]'), ("a text at the top", b'"call"'))],
    *[row("wire", name, "", message + b"\0", reply='{"error":"protocol: %s"}' % error, how="raw")
      for name, message, error in (("a byte that is not UTF-8", b'{"say":"\xff"}', "Invalid encoding in string."),
                                   ("a second value after the object", b'{"call":"status"} {}', "The document root must not be followed by other values."),
                                   ("an object left open", b'{"call":"status"', "Missing a comma or '}' after an object member."))],

    row("slow-prompt", "a pinentry that never greets", "verify", b"", prompt="mute", reply='{"error":"denied"}', exit=1, within=15),
    row("slow-prompt", "a pinentry that stops answering", "verify", b"", prompt="stall:SETDESC", reply='{"error":"denied"}', exit=1, within=15),
    row("slow-prompt", "its worker killed during the prompt: the dialog goes at once, the PAM child too, and the door serves on", "verify", b"", prompt="hang",
        reply='{"error":"no-authentication: the custody service ended without a verdict"}', exit=1, within=20, how="kill-worker"),
    row("slow-prompt", "the prompt's limit reached: the dialog goes, the run is cancelled", "verify", b"", prompt="hang", reply='{"error":"cancelled"}', exit=1, after="logged=timed_out", within=150),
    row("slow-prompt", "killed during the prompt: the pinentry goes too", "verify", b"", prompt="hang", reply=None, exit=None, how="kill-KILL"),
    row("slow-prompt", "terminated during the prompt: the pinentry goes too", "open --dir $S", lambda c: request(c["sealed"]), "key", "hang", None, None, how="kill-TERM"),
    row("slow-prompt", "four prompts left open take the account's slots: its status is still answered", "verify", b"", prompt="hang", reply='{"key":false,"secureEnclave":false}', within=45, how="slots-taken"),
    row("slow-tpm", "a TPM that stops answering at the first agreement", "open --dir $S", lambda c: request(c["sealed"]), "key stall", reply='{"error":"the TPM did not answer within 30 seconds"}', exit=1, within=75),
    row("slow-tpm", "a TPM that stops answering", "open --dir $S", lambda c: request(c["sealed"]), "key stop", reply=ERROR, exit=1, within=75),

    row("race", "16 first seals of two accounts at once all succeed, each account to one key of its own", "seal", reply=None, exit=None, how="race-seal"),
    row("race", "16 concurrent opens all succeed", "open --dir $S", lambda c: request(c["sealed"]), "key", "pin", OPENED, how="x16"),
    row("race", "200 idle connections of one account do not hold up another's status", "status --dir $S", reply='{"key":false,"secureEnclave":true}', how="flood"),

    row("finger", "a finger and no password", "verify", b"", prompt="hang", reply='{"ok":true}', told={"GETPIN": 0}, how="finger"),
    row("finger", "cancel while the reader waits", "verify", b"", prompt="dismiss", reply='{"error":"cancelled"}', exit=1, within=8, how="finger-cancel"),
    row("finger", "a module that waits without a word: Cancel after a second", "verify", b"", prompt="dismiss", reply='{"error":"cancelled"}', exit=1, within=8, told={"CONFIRM": 1, "GETPIN": 0}, how="silent"),
    row("finger", "a failing reader falls through to the password", "verify", b"", prompt="hang pin", reply='{"ok":true}', told={"GETPIN": 1}, how="fail"),

    row("rootok", "pam_rootok first: a wrong password is still denied", "verify", b"", prompt="wrong", reply='{"error":"denied"}', exit=1, told={"GETPIN": 3}),
]
