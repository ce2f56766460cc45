// The runs on screen, a tile per unit: every run still going, and the latest one that ended.
// Events and refreshed states only change the model and mark tiles dirty; one animation frame
// then writes what changed, so 256 units updating cost one DOM pass per frame.

import * as format from './format.js';
import { Tile } from './tile.js';

const template = document.getElementById('run-template');
const TickMs = 1000;
const PendingEventsPerRun = 20000;

class RunView {
  constructor(run, onCancel, onRetry) {
    this.id = run.id;
    this.tiles = new Map();
    this.element = template.content.firstElementChild.cloneNode(true);
    this.title = this.element.querySelector('.run-title');
    this.meta = this.element.querySelector('.run-meta');
    this.counts = this.element.querySelector('.run-counts');
    this.cancel = this.element.querySelector('.run-cancel');
    this.list = this.element.querySelector('.tiles');
    this.element.dataset.run = run.id;
    this.cancel.addEventListener('click', () => onCancel(this));
    this.retry = this.element.querySelector('.run-retry');
    this.retry.addEventListener('click', () => onRetry(this));
    this.shownCounts = '';
    this.info = {};
  }

  applyInfo(run) {
    this.info = run;
    this.state = run.state;
    const name = run.name || (run.firmware ? `${String(run.firmware).slice(0, 12)}…` : 'firmware');
    this.title.textContent = `${name}, run ${run.id}`;
    this.element.setAttribute('aria-label', `Run ${run.id}`);
    const parts = [`started ${format.dateTime(run.created)}`];
    if (run.product)
      parts.push(`product ${run.product}`);
    if (Number.isFinite(run.parallel))
      parts.push(run.parallel > 0 ? `${run.parallel} at once` : 'all at once');
    if (run.state === 'cancelled')
      parts.push('cancelled');
    else if (run.state === 'finished')
      parts.push('finished');
    this.meta.textContent = parts.join(' · ');
    this.cancel.hidden = run.state !== 'running';
  }

  tile(unit) {
    let tile = this.tiles.get(unit);
    if (!tile) {
      tile = new Tile(unit);
      this.tiles.set(unit, tile);
      this.list.append(tile.element);
    }
    return tile;
  }

  renderCounts() {
    const kinds = { succeeded: 0, failed: 0, interrupted: 0, running: 0, waiting: 0 };
    for (const tile of this.tiles.values())
      ++kinds[tile.kind()];
    const parts = [`${kinds.succeeded} succeeded`, `${kinds.failed} failed`];
    if (kinds.interrupted)
      parts.push(`${kinds.interrupted} cancelled`);
    if (kinds.running)
      parts.push(`${kinds.running} updating`);
    if (kinds.waiting)
      parts.push(`${kinds.waiting} waiting`);
    // A run that has ended with units not updated can be run again for those units.
    this.retry.hidden = this.state === 'running' || kinds.failed + kinds.interrupted === 0;
    const text = `${parts.join(', ')} (of ${this.tiles.size})`;
    if (text !== this.shownCounts) {
      this.counts.textContent = text;
      this.shownCounts = text;
    }
  }
}

export class RunBoard {
  // callbacks: onCancel(runId), onRetry(runId), onUnknownRun(runId), announce(text)
  constructor(container, emptyNote, callbacks) {
    this.container = container;
    this.emptyNote = emptyNote;
    this.callbacks = callbacks;
    this.views = new Map();
    this.pending = new Map(); // run id -> events that came before the run's state
    this.dirtyTiles = new Set();
    this.dirtyRuns = new Set();
    this.announcements = [];
    this.frame = 0;
    this.layoutDirty = false;
    setInterval(() => this.tick(), TickMs);
  }

  // The station's whole list of runs (latest first): runs it no longer knows (it restarted, or
  // they aged out) leave the page too.
  applyRuns(runs) {
    const known = new Set(runs.map((run) => run.id));
    for (const id of [...this.views.keys()])
      if (!known.has(id))
        this.dropRun(id);
    for (const run of runs)
      this.applyRun(run, { layout: false });
    this.layoutDirty = true;
    this.schedule();
  }

  dropRun(id) {
    this.pending.delete(id);
    const view = this.views.get(id);
    if (!view)
      return;
    for (const tile of view.tiles.values())
      this.dirtyTiles.delete(tile);
    this.dirtyRuns.delete(view);
    this.views.delete(id);
    this.layoutDirty = true;
    this.schedule();
  }

  applyRun(run, { layout = true } = {}) {
    let view = this.views.get(run.id);
    if (!view) {
      view = new RunView(run, (v) => this.callbacks.onCancel(v.id), (v) => this.callbacks.onRetry(v.id));
      this.views.set(run.id, view);
    }
    const wasRunning = view.state === 'running';
    view.applyInfo(run);
    const now = performance.now();
    for (const unit of run.units || []) {
      const tile = view.tile(unit.unit);
      tile.applyState(unit, now);
      this.dirtyTiles.add(tile);
    }
    for (const event of this.pending.get(run.id) || [])
      this.applyUnitEvent(view, event);
    this.pending.delete(run.id);
    this.dirtyRuns.add(view);
    if (layout || wasRunning !== (view.state === 'running'))
      this.layoutDirty = true;
    this.schedule();
  }

  applyEvent(event) {
    const view = this.views.get(event.run);
    if (!view) {
      // A run this page has not read yet (it started a moment ago): its events wait for the
      // run's state, then replay on top of it, so no unit's end goes unannounced.
      if (!event.run)
        return;
      const waiting = this.pending.get(event.run) || [];
      if (waiting.length < PendingEventsPerRun)
        waiting.push(event);
      this.pending.set(event.run, waiting);
      this.callbacks.onUnknownRun(event.run);
      return;
    }
    this.applyUnitEvent(view, event);
  }

  applyUnitEvent(view, event) {
    if (typeof event.unit !== 'string')
      return;
    const tile = view.tile(event.unit);
    const announcement = tile.applyEvent(event, performance.now());
    if (announcement)
      this.announcements.push(announcement);
    this.dirtyTiles.add(tile);
    this.dirtyRuns.add(view);
    this.schedule();
  }

  runningIds() {
    return [...this.views.values()].filter((v) => v.state === 'running').map((v) => v.id);
  }

  tick() {
    for (const view of this.views.values()) {
      if (view.state !== 'running')
        continue;
      for (const tile of view.tiles.values())
        if (tile.running)
          this.dirtyTiles.add(tile);
    }
    if (this.dirtyTiles.size)
      this.schedule();
  }

  schedule() {
    if (!this.frame)
      this.frame = requestAnimationFrame(() => this.render());
  }

  // Running runs first (newest first), then the newest run that ended.
  visibleViews() {
    const byNewest = [...this.views.values()].sort((a, b) =>
      String(b.info.created || '').localeCompare(String(a.info.created || '')));
    const running = byNewest.filter((v) => v.state === 'running');
    const ended = byNewest.find((v) => v.state !== 'running');
    return ended ? [...running, ended] : running;
  }

  render() {
    this.frame = 0;
    if (this.layoutDirty) {
      this.layoutDirty = false;
      const visible = this.visibleViews();
      const wanted = visible.map((v) => v.element);
      const current = [...this.container.children];
      if (wanted.length !== current.length || wanted.some((element, i) => element !== current[i]))
        this.container.replaceChildren(...wanted);
      this.emptyNote.hidden = visible.length > 0;
    }
    for (const tile of this.dirtyTiles)
      tile.render();
    this.dirtyTiles.clear();
    for (const view of this.dirtyRuns)
      view.renderCounts();
    this.dirtyRuns.clear();
    if (this.announcements.length) {
      this.callbacks.announce(this.announcements.join('. '));
      this.announcements = [];
    }
  }
}
