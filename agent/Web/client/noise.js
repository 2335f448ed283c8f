// The page's end of the encrypted channel to the agent: the Noise_NK_25519_ChaChaPoly_SHA256 handshake as the
// initiator (the page knows the agent's static public key from the setup link and learns nothing else about it),
// then one cipher state per direction with counter nonces. Plain functions over Uint8Array, no I/O, so that the
// published test vector checks them outside a browser. The primitives come from the audited noble libraries the
// agent serves under vendor/: the page may run on http://<LAN address>, where crypto.subtle does not exist.
import { chacha20poly1305 } from './vendor/noble/ciphers/chacha.js';
import { x25519 } from './vendor/noble/curves/ed25519.js';
import { hmac } from './vendor/noble/hashes/hmac.js';
import { sha256 } from './vendor/noble/hashes/sha2.js';

const protocolName = 'Noise_NK_25519_ChaChaPoly_SHA256';
export const prologue = new TextEncoder().encode('ferrowyn-e2e-1');
export const keyBytes = 32;
export const tagBytes = 16;
// Both handshake messages: an ephemeral public key and the tag of an empty payload.
export const handshakeMessageBytes = keyBytes + tagBytes;
const empty = new Uint8Array(0);
// The last counter a cipher state may use; the one after it would repeat a nonce.
const lastNonce = 2n ** 64n - 2n;

export class DecryptionError extends Error {}

function concat(...parts) {
  const joined = new Uint8Array(parts.reduce((sum, part) => sum + part.length, 0));
  let offset = 0;
  for (const part of parts) {
    joined.set(part, offset);
    offset += part.length;
  }
  return joined;
}

// Four zero bytes, then the counter as 64 bits little-endian.
function nonceOf(counter) {
  const nonce = new Uint8Array(12);
  new DataView(nonce.buffer).setBigUint64(4, counter, true);
  return nonce;
}

function hkdf(chainingKey, input) {
  const tempKey = hmac(sha256, chainingKey, input);
  const first = hmac(sha256, tempKey, Uint8Array.of(1));
  const second = hmac(sha256, tempKey, concat(first, Uint8Array.of(2)));
  return [first, second];
}

// One direction's key and counter. A message that does not decrypt under the next counter (altered, replayed,
// out of order, or one missing before it) is refused; the connection it came on is then of no further use.
export class CipherState {
  constructor(key) {
    this.key = key;
    this.counter = 0n;
  }

  encrypt(plaintext, associatedData = empty) {
    const ciphertext = chacha20poly1305(this.key, this.nextNonce(), associatedData).encrypt(plaintext);
    this.counter += 1n;
    return ciphertext;
  }

  decrypt(ciphertext, associatedData = empty) {
    let plaintext;
    try {
      plaintext = chacha20poly1305(this.key, this.nextNonce(), associatedData).decrypt(ciphertext);
    } catch {
      throw new DecryptionError('decryption failed');
    }
    this.counter += 1n;
    return plaintext;
  }

  nextNonce() {
    if (this.counter > lastNonce) throw new DecryptionError('the connection used up its nonces');
    return nonceOf(this.counter);
  }
}

// The NK pattern from the initiator's side: `<- s`, then `-> e, es` and `<- e, ee`. `ephemeralSecret` is for
// the test vector only; otherwise each handshake draws its own.
export class NkInitiator {
  constructor(remoteStatic, { prologue: ownPrologue = prologue, ephemeralSecret } = {}) {
    if (!(remoteStatic instanceof Uint8Array) || remoteStatic.length !== keyBytes) {
      throw new TypeError('the agent key is not 32 bytes');
    }
    const name = new TextEncoder().encode(protocolName);
    this.hash = name.length <= 32 ? concat(name, new Uint8Array(32 - name.length)) : sha256(name);
    this.chainingKey = this.hash;
    this.cipher = null;
    this.remoteStatic = remoteStatic;
    this.ephemeralSecret = ephemeralSecret ?? x25519.utils.randomSecretKey();
    this.mixHash(ownPrologue);
    this.mixHash(remoteStatic);
  }

  // Handshake message 1: the ephemeral public key, then the encrypted payload.
  writeMessage1(payload = empty) {
    const ephemeral = x25519.getPublicKey(this.ephemeralSecret);
    this.mixHash(ephemeral);
    this.mixKey(x25519.getSharedSecret(this.ephemeralSecret, this.remoteStatic));
    return concat(ephemeral, this.encryptAndHash(payload));
  }

  // Handshake message 2: the responder's ephemeral, then its payload, which decrypts only if the responder
  // holds the static key this page pinned. Returns the payload and the two transport cipher states.
  readMessage2(message) {
    if (message.length < handshakeMessageBytes) throw new DecryptionError('handshake message too short');
    const ephemeral = message.subarray(0, keyBytes);
    this.mixHash(ephemeral);
    let shared;
    try {
      shared = x25519.getSharedSecret(this.ephemeralSecret, ephemeral);
    } catch {
      throw new DecryptionError('invalid ephemeral key');
    }
    this.mixKey(shared);
    const payload = this.decryptAndHash(message.subarray(keyBytes));
    const [sending, receiving] = hkdf(this.chainingKey, empty);
    this.ephemeralSecret = null;
    return { payload, sender: new CipherState(sending), receiver: new CipherState(receiving) };
  }

  mixHash(data) {
    this.hash = sha256(concat(this.hash, data));
  }

  mixKey(input) {
    const [chainingKey, key] = hkdf(this.chainingKey, input);
    this.chainingKey = chainingKey;
    this.cipher = new CipherState(key);
  }

  encryptAndHash(plaintext) {
    const ciphertext = this.cipher.encrypt(plaintext, this.hash);
    this.mixHash(ciphertext);
    return ciphertext;
  }

  decryptAndHash(ciphertext) {
    const plaintext = this.cipher.decrypt(ciphertext, this.hash);
    this.mixHash(ciphertext);
    return plaintext;
  }
}

// The agent's public key as links carry it: 43 characters of URL-safe Base64 without padding. Null for
// anything else, including a non-canonical spelling of the same bytes.
export function decodeAgentKey(text) {
  if (typeof text !== 'string' || !/^[A-Za-z0-9_-]{42}[AEIMQUYcgkosw048]$/.test(text)) return null;
  const binary = atob(text.replaceAll('-', '+').replaceAll('_', '/') + '=');
  return Uint8Array.from(binary, (character) => character.charCodeAt(0));
}
