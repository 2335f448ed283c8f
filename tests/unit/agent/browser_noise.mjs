// The page's Noise initiator and transport, as the agent serves them, against the published NK test vector
// (all four messages), and the transport's refusals. Run as: node browser_noise.mjs SERVED_NOISE_JS VECTOR_JSON
import assert from 'node:assert/strict';
import { webcrypto } from 'node:crypto';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';
import { pathToFileURL } from 'node:url';

// Debian 12's Node.js 18 keeps the browsers' crypto object out of the global scope, where the page finds it.
globalThis.crypto ??= webcrypto;
const [noisePath, vectorPath] = process.argv.slice(2);
const noise = await import(pathToFileURL(noisePath));
const vector = JSON.parse(readFileSync(vectorPath, 'utf8'));
const bytes = (hex) => Uint8Array.from(Buffer.from(hex, 'hex'));
const hex = (data) => Buffer.from(data).toString('hex');

function handshake() {
  const initiator = new noise.NkInitiator(bytes(vector.init_remote_static), {
    prologue: bytes(vector.init_prologue), ephemeralSecret: bytes(vector.init_ephemeral),
  });
  const [first, second] = vector.messages;
  assert.equal(hex(initiator.writeMessage1(bytes(first.payload))), first.ciphertext);
  const { payload, sender, receiver } = initiator.readMessage2(bytes(second.ciphertext));
  assert.equal(hex(payload), second.payload);
  return { sender, receiver };
}

test('the handshake and both transport directions match the vector', () => {
  const { sender, receiver } = handshake();
  const [, , third, fourth] = vector.messages;
  assert.equal(hex(sender.encrypt(bytes(third.payload))), third.ciphertext);
  assert.equal(hex(receiver.decrypt(bytes(fourth.ciphertext))), fourth.payload);
});

test('a flipped bit, a replay and a gap are refused', () => {
  const fourth = bytes(vector.messages[3].ciphertext);
  for (const position of [0, fourth.length - 1]) {
    const flipped = fourth.slice();
    flipped[position] ^= 1;
    assert.throws(() => handshake().receiver.decrypt(flipped), noise.DecryptionError);
  }
  const { receiver } = handshake();
  receiver.decrypt(fourth);
  assert.throws(() => receiver.decrypt(fourth), noise.DecryptionError, 'replayed');
  // The responder's next two messages, made with the same key: the second alone is a gap.
  const responder = new noise.CipherState(handshake().receiver.key);
  responder.encrypt(new Uint8Array(1));
  const next = responder.encrypt(new Uint8Array(1));
  const skipped = responder.encrypt(new Uint8Array(1));
  assert.throws(() => receiver.decrypt(skipped), noise.DecryptionError, 'one missing before it');
  assert.equal(receiver.decrypt(next).length, 1, 'the counter stays where it was after a refusal');
});

test('a message 2 from an agent without the pinned key is refused', () => {
  const initiator = new noise.NkInitiator(bytes(vector.init_remote_static));
  initiator.writeMessage1();
  // What an agent with another static key answers: a valid ephemeral whose tag cannot verify here.
  const impostor = bytes(vector.messages[1].ciphertext).subarray(0, noise.handshakeMessageBytes);
  assert.throws(() => initiator.readMessage2(impostor), noise.DecryptionError);
  assert.throws(() => new noise.NkInitiator(bytes(vector.init_remote_static)).readMessage2(new Uint8Array(47)),
                noise.DecryptionError);
});

test('agent keys are read only in their canonical 43-character form', () => {
  const key = Buffer.from(bytes(vector.init_remote_static)).toString('base64url');
  assert.equal(hex(noise.decodeAgentKey(key)), vector.init_remote_static);
  const last = key.at(-1);
  for (const wrong of [key.slice(1), `${key}A`, `${key.slice(0, -1)}${String.fromCharCode(last.charCodeAt(0) + 1)}`,
    `${key.slice(0, -2)}+${last}`, undefined])
    assert.equal(noise.decodeAgentKey(wrong), null, String(wrong));
});
