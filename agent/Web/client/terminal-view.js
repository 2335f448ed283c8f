// One session in xterm.js: its output written in stream order exactly once (each notification carries its
// offset, so what a reconnection sends again is skipped), acknowledged as the terminal finishes writing it (the
// agent sends at most a window beyond the last acknowledgement), resumed from the byte it stopped at after a
// lost connection, and fitted to the screen with every change of size sent on. While another tablet's size is the
// program's, the terminal takes that size, so that what the program draws lines up, until this tablet is typed
// into or tapped and takes its own size back.

import { Terminal } from './vendor/xterm.mjs';
import { FitAddon } from './vendor/addon-fit.mjs';
import { KeyBar } from './key-bar.js';
import { TouchGestures } from './touch-gestures.js';
import { baseName } from './dom.js';
import { minimumContrastRatio, terminalTheme } from './terminal-theme.js';

// Acknowledged at once past this much, otherwise shortly after the terminal catches up.
const ackEveryBytes = 64 * 1024;
const ackDelayMs = 40;
const resizeDelayMs = 120;
// The agent takes at most 64 KiB of keystrokes in one message, so a long paste goes in pieces, in order. Counted
// in UTF-16 units, each at most 3 bytes of UTF-8 (a surrogate pair makes 4 of 2, and is never cut).
const inputPieceUnits = 16 * 1024;
// The text size, kept in this browser (each device chooses its own): a step per A-/A+, within bounds.
const textSizeKey = 'ferrowyn.textSize';
const textSizes = { smallest: 10, usual: 15, largest: 28 };

function storedTextSize() {
  const size = Number(window.localStorage.getItem(textSizeKey));
  return Number.isInteger(size) && size >= textSizes.smallest && size <= textSizes.largest ? size : textSizes.usual;
}

function decodeBase64(text) {
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i += 1) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

function encodeBase64(binaryString) {
  return btoa(binaryString);
}

const endings = {
  exited: (exitCode) => `The program ended (exit status ${exitCode}).`,
  ended: (exitCode, endedHere) => (endedHere ? 'You ended this session.'
    : 'The session was ended from a tablet.'),
  host: () => 'The session was ended on the computer.',
  revoked: () => 'The session ended: the device that opened it was revoked.',
  unpinned: () => 'The session ended: its folder is no longer pinned on the computer.',
};

export class TerminalView {
  // `elements`: host (the terminal's box), title, status, keys, end (its button), sizeNotice (says the terminal
  // has another tablet's size); `connection`: an AgentConnection.
  constructor(connection, elements) {
    this.connection = connection;
    this.elements = elements;
    this.terminal = null;
    this.session = null;
    connection.addEventListener('notification', (event) => this.notified(event.detail));
    connection.addEventListener('requesterror', (event) => this.inputRefused(event.detail));
    connection.addEventListener('statechange', (event) => {
      if (event.detail.state === 'online' && this.session && !this.ended) this.attach(this.nextOffset);
    });
    matchMedia('(prefers-color-scheme: dark)').addEventListener('change', () => {
      if (!this.terminal) return;
      this.terminal.options.theme = terminalTheme();
      this.terminal.options.minimumContrastRatio = minimumContrastRatio();
    });
    new ResizeObserver(() => this.fitSoon()).observe(elements.host);
    // A tap stays a click; a drag or a long press does not (TouchGestures).
    elements.host.addEventListener('click', () => {
      if (this.borrowed) this.takeSizeBack(true);
    });
  }

  get sessionId() {
    return this.session?.id ?? null;
  }

  // Opens a new session; resolves once it runs, rejects with the agent's error.
  async open(folder, program) {
    this.reset(null);
    this.setTitle({ folder, program });
    this.early = [];
    try {
      const result = await this.connection.request('session.open', {
        folder, program, cols: this.terminal.cols, rows: this.terminal.rows,
      });
      this.adopt(result);
      for (const params of this.early) this.notified({ method: 'session.output', params });
    } finally {
      this.early = null;
    }
  }

  // Shows a running session from the oldest output the agent keeps.
  async show(session) {
    this.reset(session);
    await this.attach(0);
  }

  // Leaves the session running for others and for later.
  leave() {
    if (this.session && !this.ended) this.connection.request('session.detach', { id: this.session.id }).catch(() => {});
    this.session = null;
    this.disposeTerminal();
  }

  async end() {
    if (!this.session || this.ended) return;
    this.endedHere = true;
    try {
      await this.connection.request('session.end', { id: this.session.id });
    } catch (error) {
      this.endedHere = false;
      throw error;
    }
  }

  focus() {
    this.terminal?.focus();
  }

  selection() {
    return this.terminal?.getSelection() ?? '';
  }

  // One step larger (`step` 1) or smaller (-1); the terminal is fitted again and the program told its size.
  changeTextSize(step) {
    const size = Math.max(textSizes.smallest, Math.min(textSizes.largest, storedTextSize() + step));
    try {
      window.localStorage.setItem(textSizeKey, String(size));
    } catch {
      // Kept for this page only.
    }
    if (!this.terminal) return;
    this.terminal.options.fontSize = size;
    this.fitSoon();
  }

  paste(text) {
    this.terminal?.paste(text);
  }

  reset(session) {
    this.disposeTerminal();
    this.session = session;
    this.ended = false;
    this.endedHere = false;
    this.elements.keys.hidden = false;
    this.elements.end.hidden = false;
    this.nextOffset = 0;
    this.borrowed = false;
    this.showSizeNotice();
    this.processed = 0;
    this.acknowledged = 0;
    this.elements.status.textContent = '';
    if (session) this.setTitle(session);
    const terminal = new Terminal({
      fontFamily: '"DejaVu Sans Mono", Menlo, "SF Mono", ui-monospace, monospace',
      fontSize: storedTextSize(),
      cursorBlink: true,
      scrollback: 5000,
      theme: terminalTheme(),
      minimumContrastRatio: minimumContrastRatio(),
    });
    this.fitAddon = new FitAddon();
    terminal.loadAddon(this.fitAddon);
    terminal.open(this.elements.host);
    this.terminal = terminal;
    this.keyBar = new KeyBar(this.elements.keys, {
      send: (data) => this.type(data),
      applicationCursor: () => terminal.modes.applicationCursorKeysMode,
      refocus: () => terminal.focus(),
    });
    this.gestures = new TouchGestures(terminal, this.elements.host, {
      selecting: (on) => this.elements.host.classList.toggle('selecting', on),
    });
    terminal.onData((data) => this.type(this.keyBar.filter(data)));
    terminal.onBinary((data) => this.typeBytes(data));
    this.fitAddon.fit();
    this.sentSize = { cols: terminal.cols, rows: terminal.rows };
  }

  disposeTerminal() {
    clearTimeout(this.ackTimer);
    clearTimeout(this.resizeTimer);
    this.gestures?.dispose();
    this.gestures = null;
    this.terminal?.dispose();
    this.terminal = null;
  }

  setTitle(session) {
    this.elements.title.textContent = `${baseName(session.folder)} · ${session.program}`;
    this.elements.title.title = session.folder;
  }

  adopt(result) {
    this.session = result.session;
    this.setTitle(result.session);
    this.arrivedAt(result.from, result.dropped);
  }

  async attach(from) {
    const id = this.session.id;
    try {
      const result = await this.connection.request('session.attach', { id, from });
      if (this.session?.id !== id) return;
      this.session = result.session;
      this.arrivedAt(result.from, result.dropped);
      this.takeSizeBack(true);
    } catch (error) {
      if (this.session?.id !== id) return;
      if (error.code === 'session_ended') this.finishAsTold(error.data ?? {});
      else if (error.code === 'unknown_session') this.finish('This session has ended.');
      else if (error.code !== 'disconnected' && error.code !== 'offline')
        this.elements.status.textContent = `Cannot show this session: ${error.message}`;
    }
  }

  // The agent sends from `from` on; what it no longer keeps (`dropped`) is said in the terminal.
  arrivedAt(from, dropped) {
    this.acknowledged = from;
    if (from > this.nextOffset) {
      if (dropped > 0 || this.nextOffset > 0)
        this.terminal.write(`\r\n[${from - this.nextOffset} bytes of earlier output are no longer kept]\r\n`);
      this.nextOffset = from;
      this.processed = from;
    }
  }

  notified({ method, params }) {
    if (this.early && method === 'session.output' && !this.session) {
      this.early.push(params);
      return;
    }
    if (!this.session || params.id !== this.session.id) return;
    if (method === 'session.output') this.output(params.offset, decodeBase64(params.data));
    else if (method === 'session.ended') this.finishAsTold(params);
    else if (method === 'session.resized') this.programResized(params);
  }

  // The program's terminal took `cols` x `rows`: another tablet's size, or this one's taken back.
  programResized({ cols, rows }) {
    if (!this.terminal || this.ended) return;
    const own = this.ownSize();
    this.borrowed = cols !== own.cols || rows !== own.rows;
    const terminal = this.terminal;
    // After what was written before, which the program drew at the size it had then.
    terminal.write('', () => {
      if (this.terminal === terminal && (terminal.cols !== cols || terminal.rows !== rows)) terminal.resize(cols, rows);
    });
    this.showSizeNotice();
  }

  // The size that fits this tablet's screen, whatever size the terminal shows now.
  ownSize() {
    const fits = this.fitAddon.proposeDimensions();
    return fits && fits.cols > 0 && fits.rows > 0 ? { cols: fits.cols, rows: fits.rows }
      : { cols: this.terminal.cols, rows: this.terminal.rows };
  }

  // Fits the terminal to this screen again. `announce` tells the agent this tablet's size even if unchanged (on
  // attaching, or a tap), which gives the program this size; a keystroke does that by itself, so then the size
  // goes only if it changed meanwhile.
  takeSizeBack(announce) {
    if (!this.terminal) return;
    this.borrowed = false;
    this.showSizeNotice();
    this.fitAddon.fit();
    this.sendSize(announce);
  }

  showSizeNotice() {
    this.elements.sizeNotice.hidden = !this.borrowed || this.ended;
  }

  output(offset, bytes) {
    const end = offset + bytes.length;
    if (end <= this.nextOffset) return; // sent again after a reconnection: already written
    const fresh = offset < this.nextOffset ? bytes.subarray(this.nextOffset - offset) : bytes;
    this.nextOffset = end;
    this.terminal.write(fresh, () => {
      this.processed = Math.max(this.processed, end);
      this.acknowledgeSoon();
    });
  }

  acknowledgeSoon() {
    if (this.processed - this.acknowledged >= ackEveryBytes) {
      this.acknowledge();
      return;
    }
    clearTimeout(this.ackTimer);
    this.ackTimer = setTimeout(() => this.acknowledge(), ackDelayMs);
  }

  acknowledge() {
    clearTimeout(this.ackTimer);
    if (!this.session || this.ended || this.processed <= this.acknowledged) return;
    if (this.connection.post('session.ack', { id: this.session.id, offset: this.processed }))
      this.acknowledged = this.processed;
  }

  type(data) {
    if (!this.session || this.ended || data === '') return;
    if (this.borrowed) this.takeSizeBack(false);
    for (let start = 0; start < data.length;) {
      let end = Math.min(data.length, start + inputPieceUnits);
      if (end < data.length && /[\uD800-\uDBFF]/.test(data[end - 1])) end -= 1;
      this.connection.post('session.input', { id: this.session.id, data: data.slice(start, end) });
      start = end;
    }
  }

  typeBytes(binaryString) {
    if (!this.session || this.ended) return;
    if (this.borrowed) this.takeSizeBack(false);
    this.connection.post('session.input', { id: this.session.id, base64: encodeBase64(binaryString) });
  }

  inputRefused({ method, params, error }) {
    // A keystroke or acknowledgement sent as the session ended is refused after its end was told: the end
    // already said why.
    if (!this.session || params.id !== this.session.id || this.ended) return;
    if (method === 'session.input' && error.code === 'busy')
      this.elements.status.textContent = 'The program is not taking keystrokes yet; type again in a moment.';
    else if (error.code === 'session_ended') this.finishAsTold(error.data ?? {});
    else if (error.code === 'unknown_session' || error.code === 'session_not_running')
      this.finish('This session has ended.');
    else if (error.code === 'not_attached') this.attach(this.nextOffset);
  }

  // How the agent said the session ended, as it ended or to a tablet that was away then.
  finishAsTold({ reason, exitCode, problem }) {
    const describe = endings[reason] ?? (() => 'The session ended.');
    // Why the computer had to end it (a full disk, say): the user's next step depends on it.
    const why = typeof problem === 'string' && problem ? ` The computer says: ${problem}` : '';
    this.finish(describe(exitCode, this.endedHere) + why);
  }

  // What the program wrote stays to be read and copied; nothing more can be typed or ended.
  finish(text) {
    this.ended = true;
    this.elements.status.textContent = text;
    this.elements.keys.hidden = true;
    this.elements.end.hidden = true;
    this.showSizeNotice();
    this.terminal?.blur();
  }

  fitSoon() {
    // Another tablet's size stays until this one takes its own back.
    if (!this.terminal || this.elements.host.clientWidth === 0 || this.borrowed) return;
    this.fitAddon.fit();
    clearTimeout(this.resizeTimer);
    this.resizeTimer = setTimeout(() => this.sendSize(false), resizeDelayMs);
  }

  sendSize(always) {
    if (!this.session || this.ended || !this.terminal) return;
    const size = this.ownSize();
    if (!always && size.cols === this.sentSize.cols && size.rows === this.sentSize.rows) return;
    this.sentSize = size;
    this.connection.request('session.resize', { id: this.session.id, ...size }).catch(() => {});
  }
}
