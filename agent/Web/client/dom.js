// Building the page's elements. Text from the computer (folder and file names, device names, program output,
// errors) only ever becomes text: this file sets textContent, never markup.

// h('li', {class: 'row', text: name, title: path}, child, ...): attributes are plain strings; `text` is the
// element's text, `hidden` and `disabled` are flags.
export function h(tag, properties = {}, ...children) {
  const element = document.createElement(tag);
  for (const [name, value] of Object.entries(properties)) {
    if (value === undefined || value === null || value === false) continue;
    if (name === 'text') element.textContent = String(value);
    else if (name === 'class') element.className = value;
    else if (name === 'hidden' || name === 'disabled') element[name] = true;
    else element.setAttribute(name, String(value));
  }
  element.append(...children.filter((child) => child !== null && child !== undefined));
  return element;
}

export function byId(id) {
  const element = document.getElementById(id);
  if (!element) throw new Error(`the page has no #${id}`);
  return element;
}

export function setText(id, text) {
  byId(id).textContent = text;
}

// Shows one of the page's screens (the <section class="screen"> elements) and hides the others.
export function showScreen(id) {
  for (const screen of document.querySelectorAll('.screen')) screen.hidden = screen.id !== id;
  document.body.dataset.screen = id;
}

// A time from the computer ("2026-12-07T01:21:54Z") as this device shows times; the text as given when it is
// not one.
export function localTime(text) {
  const time = new Date(text);
  if (Number.isNaN(time.getTime())) return String(text);
  const today = new Date();
  const sameDay = time.toDateString() === today.toDateString();
  return sameDay
    ? time.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' })
    : time.toLocaleString([], { dateStyle: 'medium', timeStyle: 'short' });
}

// The last part of a path, for a short label.
export function baseName(path) {
  const parts = String(path).split('/').filter((part) => part.length > 0);
  return parts.length > 0 ? parts[parts.length - 1] : String(path);
}
