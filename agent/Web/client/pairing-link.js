// Evaluated before any other script of the page (main.js imports it first). The browser form of the setup link
// carries a pairing ticket in the address's fragment, which browsers never send to a server nor put in a
// Referer. It is taken out at once and the address bar is set to the plain page, so that neither this tab's
// history, a bookmark, a reload nor anything the page does later sees it. The browser's own history still keeps
// the address it was opened with, which no page can change: that is why the link holds only a ticket, which
// pairs one device and expires within minutes, and none of the computer's lasting secrets. Beside the ticket
// it carries the agent's public key, which the page pins when it pairs: the key is no secret, it lets the page
// tell the computer it scanned from any other.

// "<expiry in seconds since 1970>.<serial>.<mac>", as agent/PROTOCOL.md says.
const ticketForm = /^([1-9][0-9]{0,11})\.[A-Za-z0-9_-]{12}\.[A-Za-z0-9_-]{22}$/;

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
  const form = typeof values.ticket === 'string' ? ticketForm.exec(values.ticket) : null;
  if (!form) return { complete: false };
  // The computer's name and folder count are labels only, shown as text; the ticket alone pairs. The key's
  // form is checked where it is used; a link without one comes from a version of the host that had none.
  const folders = /^[0-9]{1,6}$/.test(values.folders ?? '') ? Number(values.folders) : null;
  return {
    complete: true, ticket: values.ticket, expiresAtTime: new Date(Number(form[1]) * 1000),
    agentKey: typeof values.key === 'string' ? values.key : null,
    computer: typeof values.computer === 'string' ? values.computer.slice(0, 200) : '', folders,
  };
}

// The link this page was opened with: null without one; `complete` false when it lacks its ticket or the
// ticket is not of its form.
export const scannedLink = takeFromAddress();

export function isExpired(link, now = new Date()) {
  return !link.expiresAtTime || link.expiresAtTime.getTime() <= now.getTime();
}

// A link opened in a tab that already shows this page only changes the fragment, which loads nothing: load the
// page again, so that it takes the new link as it would in a new tab.
window.addEventListener('hashchange', () => window.location.reload());
