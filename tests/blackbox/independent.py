# Sealing and opening as the envelope is written down, with python3-cryptography and tpm2-tools alone.
import base64, hmac, os
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

PARENT = "fixedtpm|fixedparent|sensitivedataorigin|userwithauth|noda|restricted|decrypt"
PRIMARY = ["tpm2_createprimary", "-C", "o", "-g", "sha256", "-G", "ecc256:aes128cfb", "-a", PARENT]
MARK, HEADER = b"\xffTW1", 44  # the custody service's key files: mark, its secret's id, a salt, then the key


def split_key(data):
    """A key file's marshalled TPM2B_PUBLIC and TPM2B_PRIVATE, past the custody service's header if any."""
    data = data[HEADER:] if data.startswith(MARK) else data
    n = 2 + int.from_bytes(data[:2], "big")
    return data[:n], data[n:]


def key_point(data):
    """The X9.63 point of a key file made from this tool's template (symmetric, scheme, kdf NULL)."""
    area = split_key(data)[0][2:]
    at = 10 + int.from_bytes(area[8:10], "big") + 8
    x = area[at + 2:at + 2 + int.from_bytes(area[at:at + 2], "big")]
    return b"\4" + x.rjust(32, b"\0") + area[at + 4 + len(x):].rjust(32, b"\0")


def derive(shared, ephemeral, recipient):
    return HKDF(hashes.SHA256(), 32, b"tarn-wemb-v1", ephemeral + recipient).derive(shared)


def seal(text, recipient):
    """A sealed string made with python3-cryptography alone, and its shared secret."""
    key = ec.generate_private_key(ec.SECP256R1())
    point = key.public_key().public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)
    shared = key.exchange(ec.ECDH(), ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), recipient))
    nonce = os.urandom(12)
    box = AESGCM(derive(shared, point, recipient)).encrypt(nonce, text.encode(), b"\1")
    return base64.b64encode(b"\1" + point + nonce + box).decode(), shared


def header(secret):
    """The custody service's header for a key file, with a fresh salt."""
    return MARK + hmac.digest(secret, b"tarn-wemb secret id v1", "sha256")[:8] + os.urandom(32)


def auth(secret, uid, key_file):
    """The key's auth value as the custody service derives it; the TPM strips trailing zeros."""
    value = hmac.digest(secret, b"tarn-wemb auth v1" + uid.to_bytes(4, "big") + key_file[12:HEADER], "sha256")
    return value.rstrip(b"\0")


def tpm_open(tools, d, key_file, sealed, auth=b""):
    """The texts of sealed strings, the shared secrets got with tpm2-tools (`tools` runs one) in directory d."""
    for name, part in zip(("pub", "priv"), split_key(key_file)):
        open(f"{d}/{name}", "wb").write(part)
    tools(*PRIMARY, "-c", f"{d}/p")
    tools("tpm2_load", "-C", f"{d}/p", "-u", f"{d}/pub", "-r", f"{d}/priv", "-c", f"{d}/k")
    texts = []
    for envelope in (base64.b64decode(s, validate=True) for s in sealed):
        peer = envelope[1:66]
        open(f"{d}/peer", "wb").write(b"\0\104\0\40" + peer[1:33] + b"\0\40" + peer[33:])
        tools("tpm2_ecdhzgen", "-c", f"{d}/k", *(["-p", f"hex:{auth.hex()}"] if auth else []), "-u", f"{d}/peer", "-o", f"{d}/z")
        key = derive(open(f"{d}/z", "rb").read()[4:36], peer, key_point(key_file))
        texts.append(AESGCM(key).decrypt(envelope[66:78], envelope[78:], b"\1").decode())
    return texts
