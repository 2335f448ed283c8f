// A finger on the terminal. xterm.js 6.0 does nothing with touches, so this does what a hand expects: a drag
// scrolls (the scrollback of a shell, and in a full-screen program whatever the wheel would do there: wheel
// reports when the program asked for the mouse, arrow keys otherwise), and a long press starts a selection that
// follows the finger, which Copy then copies.

// A finger that travels less than this before the long press fires is still "holding".
const slopPixels = 10;
const longPressMs = 450;

export class TouchGestures {
  // `terminal`: an opened xterm.js Terminal; `host`: the element it was opened in; `selecting(on)` is told when
  // a selection by finger starts and ends.
  constructor(terminal, host, { selecting = () => {} } = {}) {
    this.terminal = terminal;
    this.selecting = selecting;
    this.gesture = null;
    const options = { passive: false, capture: true };
    this.listeners = [
      ['touchstart', (event) => this.start(event), options],
      ['touchmove', (event) => this.move(event), options],
      ['touchend', (event) => this.end(event), options],
      ['touchcancel', () => this.cancel(), options],
    ];
    this.host = host;
    for (const [name, listener, listenerOptions] of this.listeners) host.addEventListener(name, listener, listenerOptions);
  }

  dispose() {
    this.cancel();
    for (const [name, listener, listenerOptions] of this.listeners) this.host.removeEventListener(name, listener, listenerOptions);
  }

  // Row and column (0-based, the row in the whole buffer) of the cell under a point, kept within the screen.
  cellAt(x, y) {
    const screen = this.terminal.element.querySelector('.xterm-screen').getBoundingClientRect();
    const { cols, rows } = this.terminal;
    const clamp = (value, limit) => Math.max(0, Math.min(limit - 1, value));
    return {
      col: clamp(Math.floor(((x - screen.left) / screen.width) * cols), cols),
      row: clamp(Math.floor(((y - screen.top) / screen.height) * rows), rows) + this.terminal.buffer.active.viewportY,
    };
  }

  rowHeight() {
    const screen = this.terminal.element.querySelector('.xterm-screen').getBoundingClientRect();
    return screen.height / this.terminal.rows || 16;
  }

  start(event) {
    this.cancel();
    if (event.touches.length !== 1) return;
    const { clientX: x, clientY: y } = event.touches[0];
    this.gesture = { kind: 'holding', x, y, lastY: y, pending: 0 };
    this.gesture.timer = setTimeout(() => this.beginSelection(), longPressMs);
  }

  move(event) {
    const gesture = this.gesture;
    if (!gesture || event.touches.length !== 1) return;
    const { clientX: x, clientY: y } = event.touches[0];
    if (gesture.kind === 'holding') {
      if (Math.hypot(x - gesture.x, y - gesture.y) < slopPixels) return;
      clearTimeout(gesture.timer);
      gesture.kind = 'scrolling';
    }
    event.preventDefault();
    if (gesture.kind === 'selecting') this.extendSelection(x, y);
    else this.scrollBy(gesture, x, y);
  }

  end(event) {
    const gesture = this.gesture;
    if (!gesture) return;
    // A tap stays a tap (it focuses the terminal, bringing up the keyboard); a drag or a selection does not.
    if (gesture.kind !== 'holding') event.preventDefault();
    this.cancel();
  }

  cancel() {
    if (!this.gesture) return;
    clearTimeout(this.gesture.timer);
    if (this.gesture.kind === 'selecting') this.selecting(false);
    this.gesture = null;
  }

  beginSelection() {
    const gesture = this.gesture;
    gesture.kind = 'selecting';
    gesture.anchor = this.cellAt(gesture.x, gesture.y);
    this.selectWord(gesture.anchor);
    this.selecting(true);
  }

  // The word under the finger, as a long press on any text selects it.
  selectWord({ col, row }) {
    const line = this.terminal.buffer.active.getLine(row)?.translateToString(false) ?? '';
    const isWord = (char) => char !== undefined && /\S/.test(char);
    if (!isWord(line[col])) {
      this.terminal.select(col, row, 1);
      return;
    }
    let first = col;
    let last = col;
    while (isWord(line[first - 1])) first -= 1;
    while (isWord(line[last + 1])) last += 1;
    this.terminal.select(first, row, last - first + 1);
  }

  // From where the press began to where the finger is, in either direction, across rows.
  extendSelection(x, y) {
    const { anchor } = this.gesture;
    const here = this.cellAt(x, y);
    const cols = this.terminal.cols;
    const position = (cell) => cell.row * cols + cell.col;
    const [from, to] = position(here) < position(anchor) ? [here, anchor] : [anchor, here];
    this.terminal.select(from.col, from.row, position(to) - position(from) + 1);
  }

  // Whole rows the finger travelled since the last step; a finger going up brings later lines, as on any page.
  scrollBy(gesture, x, y) {
    gesture.pending += gesture.lastY - y;
    gesture.lastY = y;
    const height = this.rowHeight();
    const lines = Math.trunc(gesture.pending / height);
    if (lines === 0) return;
    gesture.pending -= lines * height;
    if (this.terminal.buffer.active.type === 'normal') {
      this.terminal.scrollLines(lines);
      return;
    }
    // No scrollback here: xterm.js's own wheel handling turns each line into a wheel report or an arrow key.
    for (let i = 0; i < Math.abs(lines); i += 1) {
      this.terminal.element.querySelector('.xterm-screen').dispatchEvent(new WheelEvent('wheel', {
        deltaY: Math.sign(lines), deltaMode: WheelEvent.DOM_DELTA_LINE, clientX: x, clientY: y,
        bubbles: true, cancelable: true,
      }));
    }
  }
}
