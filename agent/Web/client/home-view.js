// The screen a paired browser starts on: the sessions running on the computer, kept live as the agent announces
// changes (open one to attach, or end it after asking), a new session in a pinned folder with one of the programs
// the computer allows, and the pinned folders with their readiness. Everything shown comes from the agent and is
// set as text.

import { baseName, byId, h, localTime } from './dom.js';

function sessionRow(session, open, end) {
  const attached = session.tablets === 0 ? 'no tablet attached'
    : session.tablets === 1 ? '1 tablet attached' : `${session.tablets} tablets attached`;
  const openButton = h('button', { type: 'button', class: 'primary', text: 'Open' });
  openButton.addEventListener('click', () => open(session));
  const endButton = h('button', { type: 'button', class: 'link danger', text: 'End' });
  endButton.addEventListener('click', () => end(session, endButton));
  return h('li', { class: 'row', 'data-session': session.id },
    h('div', { class: 'row-text' },
      h('div', { class: 'row-title', text: `${baseName(session.folder)} · ${session.program}` }),
      h('div', { class: 'row-detail', text: session.folder }),
      h('div', { class: 'row-detail', text: `Opened by ${session.deviceName || 'a device'} at ${localTime(session.openedAt)} · ${attached}` })),
    h('div', { class: 'row-actions' }, endButton, openButton));
}

function folderRow(folder) {
  return h('li', { class: 'row' },
    h('div', { class: 'row-text' },
      h('div', { class: 'row-title', text: folder.name || baseName(folder.path) }),
      h('div', { class: 'row-detail', text: folder.path })),
    h('span', { class: folder.available ? 'badge ready' : 'badge missing', text: folder.available ? 'Ready' : 'Not available' }));
}

export class HomeView {
  // `open(session)` attaches to a running session; `start(folder, program)` opens a new one and rejects with
  // the agent's error.
  constructor(connection, { open, start }) {
    this.connection = connection;
    this.open = open;
    byId('new-session').addEventListener('submit', async (event) => {
      event.preventDefault();
      const folder = byId('new-folder').value;
      const program = byId('new-program').value;
      if (!folder || !program) return;
      byId('new-start').disabled = true;
      byId('new-error').textContent = '';
      try {
        await start(folder, program);
      } catch (error) {
        byId('new-error').textContent = error.message;
      } finally {
        byId('new-start').disabled = false;
      }
    });
    byId('home-refresh').addEventListener('click', () => this.refresh());
    // Another tablet, or the computer, started or ended a session: the list follows while it is shown.
    connection.addEventListener('notification', ({ detail }) => {
      if (detail.method === 'sessions.changed' && document.body.dataset.screen === 'home') this.refreshSessions();
    });
  }

  async refreshSessions() {
    try {
      const { sessions } = await this.connection.request('sessions.list');
      this.showSessions(sessions ?? []);
    } catch {
      // The next change or Refresh lists them.
    }
  }

  async end(session, button) {
    if (!window.confirm(`End the session in ${baseName(session.folder)}? The program on the computer is stopped.`)) return;
    button.disabled = true;
    byId('sessions-error').textContent = '';
    try {
      await this.connection.request('session.end', { id: session.id });
    } catch (error) {
      byId('sessions-error').textContent = `Cannot end it: ${error.message}`;
      button.disabled = false;
    }
  }

  async refresh() {
    const [folders, programs, sessions] = await Promise.allSettled([
      this.connection.request('workspaces.list'),
      this.connection.request('sessions.programs'),
      this.connection.request('sessions.list'),
    ]);
    if (folders.status === 'fulfilled') this.showFolders(folders.value.workspaces ?? []);
    if (programs.status === 'fulfilled' && sessions.status === 'fulfilled') {
      this.showPrograms(programs.value);
      this.showSessions(sessions.value.sessions ?? []);
    } else {
      const error = programs.status === 'rejected' ? programs.reason : sessions.reason;
      const text = error?.code === 'method_not_found'
        ? 'This computer runs a version of Ferrowyn Host without coding sessions; update it to work here.'
        : `Sessions cannot be listed: ${error?.message ?? 'no answer'}`;
      this.showSessionsUnavailable(text);
    }
  }

  showFolders(folders) {
    byId('folders').replaceChildren(...folders.map(folderRow));
    byId('folders-empty').hidden = folders.length > 0;
    const select = byId('new-folder');
    const chosen = select.value;
    select.replaceChildren(...folders.map((folder) => h('option', {
      value: folder.path, text: folder.name || baseName(folder.path), disabled: !folder.available,
    })));
    const usable = folders.find((folder) => folder.path === chosen && folder.available) ?? folders.find((folder) => folder.available);
    if (usable) select.value = usable.path;
  }

  showPrograms(answer) {
    const programs = answer.programs ?? [];
    const select = byId('new-program');
    const chosen = select.value;
    select.replaceChildren(...programs.map((program) => h('option', {
      value: program.name, text: program.available ? program.name : `${program.name} (not installed)`, disabled: !program.available,
    })));
    const usable = programs.find((program) => program.name === chosen && program.available) ?? programs.find((program) => program.available);
    if (usable) select.value = usable.name;
    byId('new-start').disabled = !usable || Boolean(answer.unavailable);
    // A Start that stays grey says why, and what to do on the computer.
    const names = programs.map((program) => program.name).join(', ');
    const note = answer.unavailable ? `Sessions cannot run on this computer: ${answer.unavailable}`
      : usable ? ''
        : programs.length === 0 ? 'The computer allows no program yet: choose one in Ferrowyn Host\'s Coding sessions '
          + 'card (or, without its window, with ferrowyn-host --headless --program NAME).'
          : `No program the computer allows is installed there (${names}): install one, or allow another in `
            + 'Ferrowyn Host\'s Coding sessions card.';
    byId('sessions-unavailable').hidden = !note;
    byId('sessions-unavailable').textContent = note;
  }

  showSessions(sessions) {
    byId('sessions').replaceChildren(...sessions.map((session) => sessionRow(session, this.open,
      (each, button) => this.end(each, button))));
    byId('sessions-empty').hidden = sessions.length > 0;
  }

  showSessionsUnavailable(text) {
    byId('sessions-unavailable').hidden = false;
    byId('sessions-unavailable').textContent = text;
    byId('sessions').replaceChildren();
    byId('sessions-empty').hidden = true;
    byId('new-start').disabled = true;
  }
}
