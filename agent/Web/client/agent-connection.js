// The conversation with the agent over its WebSocket, kept up for as long as the page lives: it authenticates
// on every connection, answers requests by id, passes notifications on, and after a loss connects again with a
// growing, jittered delay (at once when the network or the tab comes back). It tells apart what the user must
// know: online; offline (no answer); the computer stopped hosting (the agent said so as it closed); and, for
// good, a device that was revoked, a pairing that was reset, or credentials no longer accepted.

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

export class AgentConnection extends EventTarget {
  // `authParams()` gives the `auth` request's params for each connection; `authenticated(result, params)` is
  // called with its result before anything else happens (the place to store a device secret; if it throws,
  // the conversation ends as "storage").
  constructor(url, authParams, authenticated) {
    super();
    this.url = url;
    this.authParams = authParams;
    this.authenticated = authenticated;
    this.state = 'idle';
    this.socket = null;
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

  request(method, params = {}, timeoutMs = requestTimeoutMs) {
    if (!this.sendable()) return Promise.reject(new RequestError('offline', 'not connected'));
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.pending.delete(id);
        reject(new RequestError('timeout', `${method} got no answer`));
      }, timeoutMs);
      this.pending.set(id, { resolve, reject, timer });
      this.socket.send(JSON.stringify({ id, method, params }));
    });
  }

  // A request whose success has no answer (keystrokes, acknowledgements): an error that comes back is announced
  // as a "requesterror" event. False when not connected.
  post(method, params) {
    if (!this.sendable()) return false;
    const id = this.nextId++;
    this.pending.set(id, { method, params, posted: true });
    this.socket.send(JSON.stringify({ id, method, params }));
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
    this.setState('connecting');
    let socket;
    try {
      socket = new WebSocket(this.url);
    } catch {
      this.lost();
      return;
    }
    this.socket = socket;
    socket.addEventListener('open', () => {
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
      socket.send(JSON.stringify({ id, method: 'auth', params }));
    });
    socket.addEventListener('message', (event) => this.receive(event.data));
    socket.addEventListener('close', (event) => {
      if (socket !== this.socket) return;
      this.socket = null;
      this.failPending();
      if (this.state === 'ended') return;
      if (event.code === 1008 && (event.reason === 'device revoked' || event.reason === 'pairing reset')) {
        this.finish(event.reason === 'device revoked' ? 'revoked' : 'reset');
        return;
      }
      if (event.code === 1001) this.stoppedByHost = true;
      this.lost();
    });
  }

  receive(text) {
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
