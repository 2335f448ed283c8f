// The conversation with the agent over its WebSocket, kept up for as long as the page lives: every connection
// starts with the Noise handshake against the agent key this browser pinned, then authenticates inside it; every
// message after that travels encrypted. It answers requests by id, passes notifications on, and after a loss (a
// message that does not decrypt counts as one) connects again with a growing, jittered delay (at once when the
// network or the tab comes back). It tells apart what the user must know: online; offline (no answer); the
// computer stopped hosting (the agent said so as it closed); and, for good, a device that was revoked, an agent
// that does not hold the pinned key (another computer, or this one after "Rotate Pairing"), a pairing made
// without a key, or credentials no longer accepted.
import { DecryptionError, NkInitiator, decodeAgentKey, handshakeMessageBytes } from './noise.js';

const backoffFirstMs = 500;
const backoffMaxMs = 15000;
const requestTimeoutMs = 20000;
// Sleep or a network change can leave a socket that looks open and carries nothing: a request now and then
// while the page is in view finds out.
const probeIntervalMs = 25000;
const probeTimeoutMs = 8000;

export class RequestError extends Error {
  constructor(code, message, data) {
    super(message || code);
    this.code = code;
    this.data = data;
  }
}

const utf8 = new TextEncoder();
const fromUtf8 = new TextDecoder();

export class AgentConnection extends EventTarget {
  // `agentKey()` gives the agent's public key to hold each connection to (as links carry it); `authParams()` the
  // `auth` request's params; `authenticated(result, params)` is called with its result before anything else
  // happens (the place to store a device secret; if it throws, the conversation ends as "storage").
  constructor(url, agentKey, authParams, authenticated) {
    super();
    this.url = url;
    this.agentKey = agentKey;
    this.authParams = authParams;
    this.authenticated = authenticated;
    this.state = 'idle';
    this.socket = null;
    // The handshake of the connection in `socket` until it completes, then its two cipher states.
    this.handshake = null;
    this.channel = null;
    this.nextId = 1;
    this.pending = new Map();
    this.failures = 0;
    this.retryTimer = null;
    this.probeTimer = null;
    this.stoppedByHost = false;
    window.addEventListener('online', () => this.reconnectNow());
    document.addEventListener('visibilitychange', () => {
      if (document.visibilityState !== 'visible') return;
      if (this.state === 'online') this.probe();
      else this.reconnectNow();
    });
  }

  // Connects, at first or again after the conversation ended (to pair anew); nothing while it goes on.
  start() {
    if (this.state !== 'idle' && this.state !== 'ended') return;
    this.connect();
  }

  // Ends the conversation for good (the user forgot this computer, or the page goes elsewhere).
  end(reason) {
    this.finish(reason);
  }

  reconnectNow() {
    if (this.state === 'offline' || this.state === 'stopped') {
      clearTimeout(this.retryTimer);
      this.connect();
    }
  }

  // Online, and the socket not closing yet (its close event may still be on its way).
  sendable() {
    return this.state === 'online' && this.socket?.readyState === WebSocket.OPEN;
  }

  send(message) {
    this.socket.send(this.channel.sender.encrypt(utf8.encode(JSON.stringify(message))));
  }

  request(method, params = {}, timeoutMs = requestTimeoutMs) {
    if (!this.sendable()) return Promise.reject(new RequestError('offline', 'not connected'));
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.pending.delete(id);
        reject(new RequestError('timeout', `${method} got no answer`));
      }, timeoutMs);
      this.pending.set(id, { resolve, reject, timer });
      this.send({ id, method, params });
    });
  }

  // A request whose success has no answer (keystrokes, acknowledgements): an error that comes back is announced
  // as a "requesterror" event. False when not connected.
  post(method, params) {
    if (!this.sendable()) return false;
    const id = this.nextId++;
    this.pending.set(id, { method, params, posted: true });
    this.send({ id, method, params });
    // Only errors are answered: forget the oldest posts rather than keep every keystroke's id.
    if (this.pending.size > 4096) {
      for (const [oldId, entry] of this.pending) {
        if (entry.posted) {
          this.pending.delete(oldId);
          break;
        }
      }
    }
    return true;
  }

  connect() {
    const agentKey = decodeAgentKey(this.agentKey());
    if (!agentKey) {
      this.finish('keyless');
      return;
    }
    this.setState('connecting');
    let socket;
    try {
      socket = new WebSocket(this.url);
    } catch {
      this.lost();
      return;
    }
    socket.binaryType = 'arraybuffer';
    this.socket = socket;
    this.channel = null;
    this.handshake = new NkInitiator(agentKey);
    socket.addEventListener('open', () => {
      if (socket === this.socket) socket.send(this.handshake.writeMessage1());
    });
    socket.addEventListener('message', (event) => {
      if (socket === this.socket) this.receive(event.data);
    });
    socket.addEventListener('close', (event) => {
      if (socket !== this.socket) return;
      this.socket = null;
      this.failPending();
      if (this.state === 'ended') return;
      if (event.code === 1008 && (event.reason === 'device revoked' || event.reason === 'pairing reset')) {
        // A reset pairing comes with a new agent key: this browser's is of no further use there.
        this.finish(event.reason === 'device revoked' ? 'revoked' : 'other-computer');
        return;
      }
      // Handshake message 1 is encrypted to the pinned key: an agent with another key cannot decrypt it, and
      // says so as it closes.
      if (this.handshake && event.code === 1008 && event.reason === 'decryption failed') {
        this.finish('other-computer');
        return;
      }
      if (event.code === 1001) this.stoppedByHost = true;
      this.lost();
    });
  }

  // The agent's handshake answer decrypts only if it holds the pinned key: if it does not, nothing more is sent
  // (the auth would be for another computer) and the page does not try again.
  completeHandshake(data) {
    if (!(data instanceof ArrayBuffer)) {
      // Text is not an answer to a handshake (an agent of an older version): a loss, tried again later.
      this.dropConnection();
      return;
    }
    try {
      const message = new Uint8Array(data);
      if (message.length !== handshakeMessageBytes) throw new DecryptionError('not a handshake answer');
      this.channel = this.handshake.readMessage2(message);
    } catch {
      this.finish('other-computer');
      return;
    }
    this.handshake = null;
    this.authenticate();
  }

  authenticate() {
    const params = this.authParams();
    const id = this.nextId++;
    this.pending.set(id, {
      resolve: (result) => {
        try {
          this.authenticated(result, params);
        } catch {
          this.finish('storage');
          return;
        }
        this.failures = 0;
        this.stoppedByHost = false;
        this.setState('online');
        this.scheduleProbe();
      },
      reject: (error) => {
        if (error.code === 'auth_failed') this.finish(params.ticket ? 'pairing-refused' : 'refused');
      },
      timer: null,
    });
    this.send({ id, method: 'auth', params });
  }

  // Every message after the handshake is binary and decrypts under the next counter; anything else (altered,
  // replayed, reordered, one missing before it, or text) ends the connection as a loss would, and the page
  // connects again with a fresh handshake.
  receive(data) {
    if (this.handshake) {
      this.completeHandshake(data);
      return;
    }
    let text;
    try {
      if (!(data instanceof ArrayBuffer)) throw new DecryptionError('not an encrypted message');
      text = fromUtf8.decode(this.channel.receiver.decrypt(new Uint8Array(data)));
    } catch {
      this.dropConnection();
      return;
    }
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      return;
    }
    if (message.id === undefined || message.id === null) {
      if (typeof message.method === 'string')
        this.dispatchEvent(new CustomEvent('notification', { detail: { method: message.method, params: message.params ?? {} } }));
      return;
    }
    const entry = this.pending.get(message.id);
    if (!entry) return;
    this.pending.delete(message.id);
    clearTimeout(entry.timer);
    if (message.error) {
      const error = new RequestError(message.error.code, message.error.message, message.error.data);
      if (entry.posted) this.dispatchEvent(new CustomEvent('requesterror', { detail: { method: entry.method, params: entry.params, error } }));
      else entry.reject(error);
    } else if (!entry.posted) {
      entry.resolve(message.result ?? {});
    }
  }

  failPending() {
    for (const entry of this.pending.values()) {
      clearTimeout(entry.timer);
      if (!entry.posted) entry.reject(new RequestError('disconnected', 'the connection was lost'));
    }
    this.pending.clear();
    clearTimeout(this.probeTimer);
  }

  dropConnection() {
    const socket = this.socket;
    this.socket = null;
    this.failPending();
    socket.close();
    this.lost();
  }

  lost() {
    this.failures += 1;
    const ceiling = Math.min(backoffMaxMs, backoffFirstMs * 2 ** (this.failures - 1));
    // Drawn from the upper three quarters, so that many tablets do not come back in step.
    const delay = Math.round(ceiling * (0.25 + 0.75 * Math.random()));
    this.setState(this.stoppedByHost ? 'stopped' : 'offline', delay);
    clearTimeout(this.retryTimer);
    this.retryTimer = setTimeout(() => this.connect(), delay);
  }

  scheduleProbe() {
    clearTimeout(this.probeTimer);
    this.probeTimer = setTimeout(() => {
      if (document.visibilityState === 'visible') this.probe();
      else this.scheduleProbe();
    }, probeIntervalMs);
  }

  probe() {
    const socket = this.socket;
    this.request('workspaces.list', {}, probeTimeoutMs).then(
      () => this.scheduleProbe(),
      (error) => {
        if (error.code === 'timeout' && socket === this.socket && socket) socket.close();
      });
  }

  finish(reason) {
    clearTimeout(this.retryTimer);
    clearTimeout(this.probeTimer);
    const socket = this.socket;
    this.socket = null;
    this.failPending();
    this.state = 'ended';
    if (socket) socket.close();
    this.dispatchEvent(new CustomEvent('statechange', { detail: { state: 'ended', reason } }));
  }

  setState(state, retryInMs = 0) {
    this.state = state;
    this.dispatchEvent(new CustomEvent('statechange', { detail: { state, retryInMs } }));
  }
}
