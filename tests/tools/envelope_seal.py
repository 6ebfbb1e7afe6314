#!/usr/bin/env python3
"""Seals texts to a tarn-wemb key file's public key with python3-cryptography alone, for tests.

    envelope_seal.py --key klucz.se TEXT...    prints one sealed string per line
"""

import argparse
import base64
import os
import sys

from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tpm2_open import VERSION, public_point, split_key_file, symmetric  # noqa: E402

P256_PRIME = 2**256 - 2**224 + 2**192 + 2**96 - 1


def compact_key():
    while True:
        key = ec.generate_private_key(ec.SECP256R1())
        y = key.public_key().public_numbers().y
        if y < P256_PRIME - y:
            return key


def seal(text, recipient):
    ephemeral = compact_key()
    point = ephemeral.public_key().public_bytes(Encoding.X962, PublicFormat.UncompressedPoint)
    peer = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), recipient)
    key = symmetric(ephemeral.exchange(ec.ECDH(), peer), point, recipient)
    nonce = os.urandom(12)
    box = AESGCM(key).encrypt(nonce, text.encode("utf-8"), bytes([VERSION]))
    return base64.b64encode(bytes([VERSION]) + point + nonce + box).decode("ascii")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--key", required=True, help="the key file, klucz.se")
    parser.add_argument("texts", nargs="+")
    args = parser.parse_args()
    with open(args.key, "rb") as f:
        recipient = public_point(split_key_file(f.read())[0])
    for text in args.texts:
        print(seal(text, recipient))


if __name__ == "__main__":
    main()
