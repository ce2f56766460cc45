// The station's update history: filters, a table of updates (latest first), and one update's
// log on request. Every value from the station goes in as text.

import { api, ApiError, Cancelled } from './api.js';
import * as format from './format.js';

function cell(text, className) {
  const td = document.createElement('td');
  td.textContent = text;
  if (className)
    td.className = className;
  return td;
}

// A cell's text with a smaller note under it (a unit's fixture, an update's attempt), if any.
function noted(text, note, className) {
  const td = cell(text, className);
  if (note) {
    const small = document.createElement('small');
    small.className = 'note';
    small.textContent = note;
    td.append(small);
  }
  return td;
}

// datetime-local gives the browser's local time without a zone; the station wants ISO 8601.
function isoFromLocal(value) {
  if (!value)
    return '';
  const date = new Date(value);
  return Number.isNaN(date.getTime()) ? '' : date.toISOString();
}

export class History {
  constructor(elements) {
    Object.assign(this, elements);
    this.body = this.table.tBodies[0];
    for (const name of format.outcomes) {
      const option = document.createElement('option');
      option.value = name;
      option.textContent = format.outcome(name);
      this.outcomeSelect.append(option);
    }
    this.form.addEventListener('submit', (event) => {
      event.preventDefault();
      this.refresh();
    });
    this.closeButton.addEventListener('click', () => this.closeLog());
    this.generation = 0;
  }

  // The history's trouble as the station reports it (cannot open, cannot write, ...), each once.
  async showWarnings() {
    try {
      const status = await api.status();
      const warnings = Array.isArray(status?.history?.warnings) ? status.history.warnings : [];
      const waiting = Number(status?.history?.waiting) || 0;
      const parts = [];
      if (waiting > 0) {
        const since = status.history.oldest_waiting ? format.dateTime(status.history.oldest_waiting) : '';
        parts.push(`${waiting} ${waiting === 1 ? 'update waits' : 'updates wait'} on this station to be sent ` +
                   `to the history${since ? ` (the oldest since ${since})` : ''}.`);
      }
      if (warnings.length)
        parts.push(`Updates may not be recorded: ${warnings.map(String).join(' ')}`);
      this.warning.textContent = parts.join(' ');
      this.warning.hidden = parts.length === 0;
    } catch (error) {
      if (!(error instanceof Cancelled))
        console.warn(`status: ${error.message}`);
    }
  }

  filters() {
    const data = new FormData(this.form);
    const filters = {};
    for (const key of ['unit', 'outcome', 'sha256', 'serial', 'lot', 'limit']) {
      const value = String(data.get(key) || '').trim();
      if (value)
        filters[key] = value;
    }
    for (const key of ['since', 'until']) {
      const value = isoFromLocal(String(data.get(key) || ''));
      if (value)
        filters[key] = value;
    }
    return filters;
  }

  async refresh() {
    this.showWarnings();
    const generation = ++this.generation;
    this.state.textContent = 'Loading the history…';
    try {
      const answer = await api.updates(this.filters());
      if (generation !== this.generation)
        return; // a newer search is under way
      const updates = Array.isArray(answer?.updates) ? answer.updates : [];
      this.render(updates);
      this.state.textContent = updates.length
        ? `${updates.length} update${updates.length === 1 ? '' : 's'}, latest first.`
        : 'No update matches.';
    } catch (error) {
      if (generation !== this.generation || error instanceof Cancelled)
        return;
      this.table.hidden = true;
      this.state.textContent = error instanceof ApiError && error.code === 'history-unavailable'
        ? `The history is unavailable: ${error.message}`
        : `The history could not be read: ${error.message}`;
    }
  }

  render(updates) {
    const rows = updates.map((update) => {
      const row = document.createElement('tr');
      row.dataset.outcome = ['succeeded', 'running'].includes(update.outcome) ? update.outcome : 'failed';
      row.dataset.update = String(update.id);
      const attempt = Number(update.attempt) > 1 ? `attempt ${update.attempt}` : '';
      const outcome = noted(format.outcome(update.outcome), attempt, 'outcome');
      row.append(
        cell(format.dateTime(update.started)),
        noted(update.unit, update.fixture ? `at ${update.fixture}` : ''),
        cell(update.serial || '', 'serial'),
        cell(update.lot || '', 'lot'),
        cell(update.file),
        outcome,
        cell(`${format.count(update.records_sent)} / ${format.count(update.records_total)}`, 'number'),
        cell(format.duration(update.elapsed), 'number'),
        cell(update.reason || '', 'reason'),
      );
      const actions = document.createElement('td');
      const open = document.createElement('button');
      open.type = 'button';
      open.textContent = 'Log';
      open.className = 'open-log';
      open.setAttribute('aria-label', `Log of ${update.unit}, ${format.dateTime(update.started)}`);
      open.addEventListener('click', () => this.openLog(update.id, open));
      actions.append(open);
      row.append(actions);
      return row;
    });
    this.body.replaceChildren(...rows);
    this.table.hidden = rows.length === 0;
  }

  async openLog(id, opener) {
    this.opener = opener;
    try {
      const update = await api.update(id);
      const facts = [
        ['Unit', update.unit],
        ['Started', format.dateTime(update.started)],
        ['Firmware', `${update.file} (${update.sha256})`],
        ['Outcome', format.outcome(update.outcome) + (update.refusal_code ? ` (code ${update.refusal_code})` : '')],
        ['Reason', update.reason || '–'],
        ['From', [update.frontend, update.host, update.user].filter(Boolean).join(', ') || '–'],
        ['Run', update.run || '–'],
        ['Serial', update.serial || '–'],
        ['Lot', update.lot || '–'],
        ['Fixture', update.fixture || '–'],
        ['Attempt', String(update.attempt || 1)],
      ];
      const items = facts.flatMap(([term, value]) => {
        const dt = document.createElement('dt');
        dt.textContent = term;
        const dd = document.createElement('dd');
        dd.textContent = value;
        return [dt, dd];
      });
      this.logFacts.replaceChildren(...items);
      this.logHeading.textContent = `Log of ${update.unit}`;
      this.logText.textContent = update.log || '(no log lines)';
      this.logPanel.hidden = false;
      this.logPanel.focus();
    } catch (error) {
      if (!(error instanceof Cancelled))
        this.state.textContent = `That update's log could not be read: ${error.message}`;
    }
  }

  // After updates end: shows them soon, unless the person is working in the table right now.
  scheduleRefresh() {
    clearTimeout(this.refreshTimer);
    this.refreshTimer = setTimeout(() => {
      if (this.table.contains(document.activeElement) || this.form.contains(document.activeElement))
        return;
      this.refresh();
    }, 2000);
  }

  closeLog() {
    this.logPanel.hidden = true;
    if (this.opener && this.opener.isConnected)
      this.opener.focus();
  }
}
