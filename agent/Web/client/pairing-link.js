// Evaluated before any other script of the page (main.js imports it first). The browser form of the setup link
// carries the pairing's secrets in the address's fragment, which browsers never send to a server nor put in a
// Referer. They are taken out at once and the address bar is set to the plain page, so that neither this tab's
// history, a bookmark, a reload nor anything the page does later sees them.

const fields = ['token', 'hostId', 'pairingNonce', 'expiresAt'];

function takeFromAddress() {
  const fragment = window.location.hash;
  if (fragment.length <= 1) return null;
  window.history.replaceState(null, '', window.location.pathname + window.location.search);
  // Percent-decoding as the host encodes (UTF-8; "+" is encoded by the host, so it never stands for a blank).
  const values = {};
  for (const item of fragment.slice(1).split('&')) {
    const equals = item.indexOf('=');
    if (equals <= 0) continue;
    try {
      values[decodeURIComponent(item.slice(0, equals))] = decodeURIComponent(item.slice(equals + 1));
    } catch {
      return { complete: false };
    }
  }
  const link = { complete: fields.every((field) => typeof values[field] === 'string' && values[field] !== '') };
  for (const field of fields) link[field] = values[field] ?? '';
  const expiry = new Date(link.expiresAt);
  link.expiresAtTime = Number.isNaN(expiry.getTime()) ? null : expiry;
  if (!link.expiresAtTime) link.complete = false;
  return link;
}

// The link this page was opened with: null without one; `complete` false when it lacks a value.
export const scannedLink = takeFromAddress();

export function isExpired(link, now = new Date()) {
  return !link.expiresAtTime || link.expiresAtTime.getTime() <= now.getTime();
}

// A link opened in a tab that already shows this page only changes the fragment, which loads nothing: load the
// page again, so that it takes the new link as it would in a new tab.
window.addEventListener('hashchange', () => window.location.reload());
