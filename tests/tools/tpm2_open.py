#!/usr/bin/env python3
"""Opens tarn-wemb sealed strings with tpm2-tools and python3-cryptography alone, for tests.

    tpm2_open.py --tcti TCTI --key klucz.se SEALED...     prints a JSON list of the plaintexts
"""

import argparse
import base64
import json
import os
import struct
import subprocess
import sys
import tempfile

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

VERSION = 1
SALT = b"tarn-wemb-v1"
POINT_SIZE = 65
MINIMUM_ENVELOPE = 1 + POINT_SIZE + 12 + 16 + 1
PARENT_ATTRIBUTES = "fixedtpm|fixedparent|sensitivedataorigin|userwithauth|noda|restricted|decrypt"
PARENT_ATTRIBUTES_RAW = 0x30472
TPM2_ALG_ECC, TPM2_ALG_NULL, TPM2_ECC_NIST_P256 = 0x23, 0x10, 0x03


class Reader:
    def __init__(self, data):
        self.data, self.offset = data, 0

    def take(self, n):
        if self.offset + n > len(self.data):
            raise ValueError("key file too short")
        chunk = self.data[self.offset:self.offset + n]
        self.offset += n
        return chunk

    def u16(self):
        return struct.unpack(">H", self.take(2))[0]

    def sized(self):
        return self.take(self.u16())

    def marshalled(self):
        start = self.offset
        self.sized()
        return self.data[start:self.offset]


def split_key_file(data):
    reader = Reader(data)
    public = reader.marshalled()
    private = reader.marshalled()
    if reader.offset != len(data):
        raise ValueError("key file has %d bytes after its private part" % (len(data) - reader.offset))
    return public, private


def public_point(public):
    area = Reader(Reader(public).sized())
    kind, _name_alg = area.u16(), area.u16()
    area.take(4)  # attributes
    area.sized()  # authPolicy
    if kind != TPM2_ALG_ECC:
        raise ValueError("not an ECC key")
    if area.u16() != TPM2_ALG_NULL:
        area.take(4)  # symmetric key bits and mode
    if area.u16() != TPM2_ALG_NULL:
        area.take(2)  # scheme hash
    if area.u16() != TPM2_ECC_NIST_P256:
        raise ValueError("not a P-256 key")
    if area.u16() != TPM2_ALG_NULL:
        area.take(2)  # kdf hash
    x, y = area.sized(), area.sized()
    return b"\x04" + x.rjust(32, b"\0") + y.rjust(32, b"\0")


class Tpm:
    def __init__(self, tcti, key_file, workdir):
        self.env = dict(os.environ, TPM2TOOLS_TCTI=tcti)
        self.workdir = workdir
        public, private = split_key_file(key_file)
        self.point = public_point(public)
        self.path("key.pub", public)
        self.path("key.priv", private)
        shown = self.tool("tpm2_createprimary", "-C", "o", "-g", "sha256", "-G", "ecc256:aes128cfb",
                          "-a", PARENT_ATTRIBUTES, "-c", self.path("primary.ctx"))
        attributes = shown.split("attributes:", 1)[1].split("raw:", 1)[1].split()[0]
        if int(attributes, 16) != PARENT_ATTRIBUTES_RAW:
            raise RuntimeError("storage root key has attributes " + attributes)
        self.tool("tpm2_load", "-C", self.path("primary.ctx"), "-u", self.path("key.pub"),
                  "-r", self.path("key.priv"), "-c", self.path("key.ctx"))

    def path(self, name, content=None):
        path = os.path.join(self.workdir, name)
        if content is not None:
            with open(path, "wb") as f:
                f.write(content)
        return path

    def tool(self, *args):
        try:
            done = subprocess.run(args, env=self.env, capture_output=True, text=True)
        finally:
            # Without a resource manager whatever a tool loaded stays, and the TPM has three slots.
            for kind in ("-t", "-l", "-s"):
                subprocess.run(["tpm2_flushcontext", kind], env=self.env, capture_output=True)
        if done.returncode != 0:
            raise RuntimeError("%s failed: %s" % (args[0], done.stderr.strip()))
        return done.stdout

    def shared_secret(self, peer):
        if len(peer) != POINT_SIZE or peer[0] != 4:
            raise ValueError("not an uncompressed P-256 point")
        point = struct.pack(">HH", 68, 32) + peer[1:33] + struct.pack(">H", 32) + peer[33:]
        self.tool("tpm2_ecdhzgen", "-c", self.path("key.ctx"), "-u", self.path("peer.dat", point),
                  "-o", self.path("z.dat"))
        with open(self.path("z.dat"), "rb") as f:
            z = Reader(f.read())
        return Reader(z.sized()).sized().rjust(32, b"\0")


def symmetric(shared_secret, ephemeral, recipient):
    return HKDF(algorithm=hashes.SHA256(), length=32, salt=SALT,
                info=ephemeral + recipient).derive(shared_secret)


def open_sealed(tpm, sealed):
    envelope = base64.b64decode(sealed, validate=True)
    if len(envelope) < MINIMUM_ENVELOPE or envelope[0] != VERSION:
        raise ValueError("not a sealed string")
    ephemeral = envelope[1:1 + POINT_SIZE]
    nonce, box = envelope[1 + POINT_SIZE:1 + POINT_SIZE + 12], envelope[1 + POINT_SIZE + 12:]
    key = symmetric(tpm.shared_secret(ephemeral), ephemeral, tpm.point)
    return AESGCM(key).decrypt(nonce, box, bytes([VERSION])).decode("utf-8")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tcti", required=True, help='e.g. "swtpm:host=127.0.0.1,port=2321"')
    parser.add_argument("--key", required=True, help="the key file, klucz.se")
    parser.add_argument("sealed", nargs="*")
    args = parser.parse_args()
    with open(args.key, "rb") as f:
        key_file = f.read()
    with tempfile.TemporaryDirectory() as workdir:
        tpm = Tpm(args.tcti, key_file, workdir)
        print(json.dumps([open_sealed(tpm, s) for s in args.sealed], ensure_ascii=False))


if __name__ == "__main__":
    try:
        main()
    except Exception as error:  # one line on standard error and status 1, for the calling test
        print("tpm2_open: %s" % error, file=sys.stderr)
        sys.exit(1)
