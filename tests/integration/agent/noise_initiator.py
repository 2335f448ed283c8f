# A tablet's side of the agent's encrypted channel, as agent/PROTOCOL.md ("Encryption") describes it: the handshake
# as initiator against the agent's static public key, then each message sealed and opened with a counter nonce.
# X25519 and ChaCha20-Poly1305 come from libsodium through ctypes, the hash and HMAC from Python's own modules.
import base64
import ctypes
import ctypes.util
import hashlib
import hmac
import os

SODIUM = ctypes.CDLL(ctypes.util.find_library("sodium"))
PROTOCOL_NAME = b"Noise_NK_25519_ChaChaPoly_SHA256"
PROLOGUE = b"ferrowyn-e2e-1"
NOT_PAIRED = "This is not the computer you paired with"


class DecryptionFailed(Exception):
    pass


def key_text(key):
    """A key as setup links and VELMORA_AGENT_KEY write it."""
    return base64.urlsafe_b64encode(key).decode().rstrip("=")


def public_key(secret):
    public = ctypes.create_string_buffer(32)
    SODIUM.crypto_scalarmult_base(public, secret)
    return public.raw


def shared_secret(secret, public):
    shared = ctypes.create_string_buffer(32)
    if SODIUM.crypto_scalarmult(shared, secret, public) != 0:
        raise DecryptionFailed("a public key of small order")
    return shared.raw


def hkdf(chaining_key, material):
    key = hmac.new(chaining_key, material, hashlib.sha256).digest()
    first = hmac.new(key, b"\x01", hashlib.sha256).digest()
    return first, hmac.new(key, first + b"\x02", hashlib.sha256).digest()


class Cipher:
    """One direction's key and counter."""

    def __init__(self, key):
        self.key, self.counter = key, 0

    def nonce(self):
        return bytes(4) + self.counter.to_bytes(8, "little")

    def seal(self, plaintext, associated=b""):
        out, length = ctypes.create_string_buffer(len(plaintext) + 16), ctypes.c_ulonglong()
        SODIUM.crypto_aead_chacha20poly1305_ietf_encrypt(
            out, ctypes.byref(length), plaintext, ctypes.c_ulonglong(len(plaintext)), associated,
            ctypes.c_ulonglong(len(associated)), None, self.nonce(), self.key)
        self.counter += 1
        return out.raw

    def open(self, ciphertext, associated=b""):
        out, length = ctypes.create_string_buffer(max(len(ciphertext) - 16, 1)), ctypes.c_ulonglong()
        if len(ciphertext) < 16 or SODIUM.crypto_aead_chacha20poly1305_ietf_decrypt(
                out, ctypes.byref(length), None, ciphertext, ctypes.c_ulonglong(len(ciphertext)), associated,
                ctypes.c_ulonglong(len(associated)), self.nonce(), self.key) != 0:
            raise DecryptionFailed("decryption failed")
        self.counter += 1
        return out.raw[:length.value]


class Initiator:
    """The handshake with the agent whose static public key is `remote`: first() is the tablet's message, read() takes
    the agent's answer and leaves `sending` and `receiving`, the channel's two ciphers."""

    def __init__(self, remote, prologue=PROLOGUE, ephemeral=None):
        self.remote, self.ephemeral = remote, ephemeral or os.urandom(32)
        self.hash = self.chaining_key = PROTOCOL_NAME
        self.mix_hash(prologue)
        self.mix_hash(remote)

    def mix_hash(self, data):
        self.hash = hashlib.sha256(self.hash + data).digest()

    def mix_key(self, public):
        self.chaining_key, key = hkdf(self.chaining_key, shared_secret(self.ephemeral, public))
        self.cipher = Cipher(key)

    def first(self, payload=b""):
        ephemeral = public_key(self.ephemeral)
        self.mix_hash(ephemeral)
        self.mix_key(self.remote)
        sealed = self.cipher.seal(payload, self.hash)
        self.mix_hash(sealed)
        return ephemeral + sealed

    def read(self, message):
        try:
            self.mix_hash(message[:32])
            self.mix_key(message[:32])
            payload = self.cipher.open(message[32:], self.hash)
        except DecryptionFailed:
            raise DecryptionFailed(NOT_PAIRED) from None
        self.mix_hash(message[32:])
        sending, receiving = hkdf(self.chaining_key, b"")
        self.sending, self.receiving = Cipher(sending), Cipher(receiving)
        return payload
