#!/usr/bin/python3
"""Known-answer vectors for the sealed envelope, made without any of tarn-wemb's code.

Uses Debian's python3-cryptography (OpenSSL's P-256, HKDF, AES-GCM) and Python's base64.
Run once and commit the output:

    /usr/bin/python3 tests/envelope/make_vectors.py > tests/envelope/vectors.json

Every input is fixed (scalars from SHA-256 of a label, fixed nonces), so the output is the same
on every run. Each "open" vector states its outcome: "text" (opens to "text"), "sealed-format",
or "platform-error" (the cryptographic library's error: a bad point or a failed tag).
"""

import base64
import hashlib
import json
import sys

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

P = 2**256 - 2**224 + 2**192 + 2**96 - 1
N = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551
VERSION = 1
SALT = b"tarn-wemb-v1"


def scalar(label):
    d = int.from_bytes(hashlib.sha256(label.encode()).digest(), "big") % N
    assert d != 0
    return d


def private(d):
    return ec.derive_private_key(d, ec.SECP256R1())


def x963(d):
    return private(d).public_key().public_bytes(
        serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)


def is_compact(point):
    y = int.from_bytes(point[33:], "big")
    return y <= P - y


def compact(d):
    """The scalar whose point is compact: d itself, or n - d."""
    return d if is_compact(x963(d)) else N - d


def on_curve(point):
    try:
        ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), point)
        return True
    except ValueError:
        return False


def hex32(d):
    return d.to_bytes(32, "big").hex()


def key_entry(label):
    d = compact(scalar(label))
    return {"private": hex32(d), "public": x963(d).hex()}


RECIPIENT = compact(scalar("tarn-wemb vectors: recipient"))
OTHER = compact(scalar("tarn-wemb vectors: other key"))


def seal_bytes(plaintext, recipient, raw_ephemeral, nonce):
    """(envelope, shared secret, derived key) the way a sealer does it."""
    ephemeral = compact(raw_ephemeral)
    recipient_point = x963(recipient)
    ephemeral_point = x963(ephemeral)
    assert is_compact(ephemeral_point)
    shared = private(ephemeral).exchange(ec.ECDH(), private(recipient).public_key())
    # The recipient's side must agree: the scheme only works if it does.
    assert private(recipient).exchange(
        ec.ECDH(), ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), ephemeral_point)
    ) == shared
    key = HKDF(hashes.SHA256(), 32, SALT, ephemeral_point + recipient_point).derive(shared)
    sealed_box = AESGCM(key).encrypt(nonce, plaintext, bytes([VERSION]))
    envelope = bytes([VERSION]) + ephemeral_point + nonce + sealed_box
    assert len(envelope) == 94 + len(plaintext)
    return envelope, shared, key


def b64(envelope):
    return base64.b64encode(envelope).decode("ascii")


def nonce(i):
    return hashlib.sha256(b"tarn-wemb vectors: nonce %d" % i).digest()[:12]


TEXTS = [
    ("one byte: the smallest envelope that opens (95 bytes)", "a"),
    ("empty text: a 94-byte envelope that never opens", ""),
    ("three bytes: 97-byte envelope, 132 characters", "abc"),
    ("U+00E9: two UTF-8 bytes, 96-byte envelope", "\u00e9"),
    ("ASCII sentence", "The quick brown fox jumps over the lazy dog."),
    ("Polish", "Zażółć gęślą jaźń"),
    ("Japanese", "日本語のテキストを封印する"),
    ("Arabic and Hebrew", "مرحبا بالعالم — שלום עולם"),
    ("emoji with modifiers and joiners", "👋🏽 👨‍👩‍👧 🇵🇱"),
    ("control characters and NUL", "line\nbreak\ttab\r\u0000end"),
    ("edges of Unicode", "\u0080\u07ff\u0800\ud7ff\ue000\ufffd\U00010000\U0010ffff"),
    ("1000 bytes", "0123456789" * 100),
]


def seal_vectors():
    vectors = []
    kinds = set()
    for i, (name, text) in enumerate(TEXTS):
        raw = scalar("tarn-wemb vectors: ephemeral %d" % i)
        kinds.add(is_compact(x963(raw)))
        envelope, shared, key = seal_bytes(text.encode("utf-8"), RECIPIENT, raw, nonce(i))
        vectors.append({
            "name": name,
            "text": text,
            "ephemeral": hex32(raw),
            "ephemeralCompact": is_compact(x963(raw)),
            "nonce": nonce(i).hex(),
            "ephemeralPoint": envelope[1:66].hex(),
            "shared": shared.hex(),
            "key": key.hex(),
            "sealed": b64(envelope),
        })
    # Both ways of meeting the compact rule are exercised: kept as is, and replaced by n - d.
    assert kinds == {True, False}
    return vectors


def altered(envelope, index, mask):
    changed = bytearray(envelope)
    changed[index] ^= mask
    return bytes(changed)


def with_point(envelope, point):
    assert len(point) == 65
    return envelope[:1] + point + envelope[66:]


def open_vectors(sealed_by_text):
    vectors = []

    def add(name, sealed, outcome, text=None, key="recipient", structure=None):
        entry = {"name": name, "sealed": sealed, "key": key, "outcome": outcome}
        if text is not None:
            entry["text"] = text
        # Whether the key-less structural check accepts the string.
        entry["sealedData"] = outcome != "sealed-format" if structure is None else structure
        vectors.append(entry)

    for text, sealed in sealed_by_text.items():
        if text:
            add("opens: %r" % text[:20], sealed, "text", text)
        else:
            add("the 94-byte envelope of the empty text", sealed, "sealed-format")

    hello, _, _ = seal_bytes(b"hello, world", RECIPIENT, scalar("tarn-wemb vectors: hello"),
                             nonce(100))
    add("hello", b64(hello), "text", "hello, world")
    add("empty string", "", "sealed-format")
    add("one Base64 quantum", "AQQA", "sealed-format")
    add("version byte 2", b64(altered(hello, 0, 0x03)), "sealed-format")
    add("version byte 0", b64(altered(hello, 0, 0x01)), "sealed-format")

    off = bytearray(hello[1:66])
    y = (int.from_bytes(off[33:], "big") + 1) % P
    off[33:] = y.to_bytes(32, "big")
    assert not on_curve(bytes(off))
    add("ephemeral point off the curve (Y + 1)", b64(with_point(hello, bytes(off))),
        "platform-error")
    big_x = b"\x04" + P.to_bytes(32, "big") + hello[34:66]
    assert not on_curve(big_x)
    add("ephemeral X not below p", b64(with_point(hello, big_x)), "platform-error")
    for prefix in (0x00, 0x02, 0x03, 0x06, 0x07):
        add("ephemeral point with prefix 0x%02x" % prefix,
            b64(with_point(hello, bytes([prefix]) + hello[2:66])), "platform-error")
    add("another valid point in place of the ephemeral key",
        b64(with_point(hello, x963(compact(scalar("tarn-wemb vectors: stranger"))))),
        "platform-error")

    n = len(hello) - 94
    add("one bit flipped in the nonce", b64(altered(hello, 66, 0x01)), "platform-error")
    add("one bit flipped in the ciphertext", b64(altered(hello, 78 + n // 2, 0x10)),
        "platform-error")
    add("one bit flipped in the tag", b64(altered(hello, len(hello) - 1, 0x80)), "platform-error")
    add("one bit flipped in the ephemeral X", b64(altered(hello, 10, 0x04)), "platform-error")

    other, _, _ = seal_bytes(b"for someone else", OTHER, scalar("tarn-wemb vectors: other"),
                             nonce(101))
    add("sealed for another key, opened with the recipient's", b64(other), "platform-error")
    add("sealed for another key, opened with that key", b64(other), "text", "for someone else",
        key="other")

    for i, (name, plaintext) in enumerate([
        ("a lone 0xFF", b"\xff"),
        ("an overlong '/'", b"\xc0\xaf"),
        ("a UTF-16 surrogate", b"\xed\xa0\x80"),
        ("past U+10FFFF", b"\xf4\x90\x80\x80"),
        ("a truncated sequence at the end", b"abc\xe2\x82"),
        ("a stray continuation byte", b"ok\x80ok"),
    ]):
        try:
            plaintext.decode("utf-8")
            raise AssertionError("valid UTF-8: %r" % plaintext)
        except UnicodeDecodeError:
            pass
        envelope, _, _ = seal_bytes(plaintext, RECIPIENT, scalar("tarn-wemb vectors: utf8 %d" % i),
                                    nonce(200 + i))
        add("valid tag, plaintext not UTF-8: " + name, b64(envelope), "sealed-format",
            structure=True)

    one = sealed_by_text["a"]   # 95 bytes: one padding character
    three = sealed_by_text["abc"]  # 97 bytes: two padding characters
    assert one.endswith("=") and not one.endswith("==") and three.endswith("==")
    add("line break inside", b64(hello)[:76] + "\n" + b64(hello)[76:],
        "sealed-format")
    add("line break at the end", b64(hello) + "\n", "sealed-format")
    add("CR LF at the end", b64(hello) + "\r\n", "sealed-format")
    add("a space in front", " " + b64(hello)[1:], "sealed-format")
    add("padding left off (one '=')", one.rstrip("="), "sealed-format")
    add("padding left off (two '=')", three.rstrip("="), "sealed-format")
    add("non-canonical bits before one '='", bump(one, 2), "sealed-format")
    add("non-canonical bits before two '='", bump(three, 3), "sealed-format")
    add("characters after the padding", one + "AAAA", "sealed-format")
    add("URL-safe alphabet character", b64(hello)[:40] + "-" + b64(hello)[41:], "sealed-format")
    add("a non-ASCII character", b64(hello)[:40] + "é" + b64(hello)[42:], "sealed-format")
    return vectors


def bump(sealed, padding_start):
    """`sealed` with the character before the padding given unused low bits."""
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    index = len(sealed) - padding_start
    value = alphabet.index(sealed[index]) | 1
    changed = sealed[:index] + alphabet[value] + sealed[index + 1:]
    assert changed != sealed
    return changed


def main():
    seals = seal_vectors()
    document = {
        "about": "Sealed-envelope known answers made with python3-cryptography; "
                 "see tests/envelope/make_vectors.py.",
        "version": VERSION,
        "salt": SALT.hex(),
        "recipient": key_entry("tarn-wemb vectors: recipient"),
        "other": key_entry("tarn-wemb vectors: other key"),
        "seal": seals,
        "open": open_vectors({v["text"]: v["sealed"] for v in seals}),
    }
    json.dump(document, sys.stdout, indent=1, ensure_ascii=False)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
