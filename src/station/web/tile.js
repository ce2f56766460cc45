// One unit's tile: address, phase, progress bar, records per second, time left, and the
// outcome (green, red with the reason, amber when cancelled). DOM writes happen only in
// render(), which the board calls once per animation frame for the tiles that changed.

import * as format from './format.js';

const template = document.getElementById('tile-template');

export class Tile {
  constructor(unit) {
    this.unit = unit;
    this.phase = 'waiting';
    this.records = 0;
    this.total = 0;
    this.bytes = 0;
    this.bytesTotal = 0;
    this.outcome = null;
    this.reason = '';
    this.baseline = null; // {time, records}: where the rate is measured from
    this.rate = 0;

    const root = template.content.firstElementChild.cloneNode(true);
    this.element = root;
    this.unitText = root.querySelector('.tile-unit');
    this.phaseText = root.querySelector('.tile-phase');
    this.bar = root.querySelector('.bar');
    this.fill = root.querySelector('.bar-fill');
    this.rateText = root.querySelector('.tile-rate');
    this.leftText = root.querySelector('.tile-left');
    this.reasonText = root.querySelector('.tile-reason');
    this.unitText.textContent = unit;
    this.bar.setAttribute('aria-label', `${unit} progress`);
    this.shown = {};
  }

  get running() {
    return this.outcome === null && this.phase !== 'waiting';
  }

  // From the run's state (GET): the station's word on phase, counts and outcome.
  applyState(state, now) {
    this.phase = state.phase || this.phase;
    this.total = Number(state.total) || this.total;
    this.setRecords(Number(state.records) || 0, now);
    this.outcome = state.outcome ?? null;
    this.reason = state.reason || '';
  }

  // From one live event; returns an announcement when the update ended.
  applyEvent(event, now) {
    switch (event.event) {
    case 'started':
      this.phase = 'connecting';
      this.outcome = null;
      this.reason = '';
      this.records = 0;
      this.bytes = 0;
      this.baseline = null;
      this.rate = 0;
      break;
    case 'connected':
      this.phase = 'sending';
      this.baseline = { time: now, records: this.records };
      break;
    case 'progress':
      if (Number.isFinite(event.bytes))
        this.bytes = event.bytes;
      if (Number.isFinite(event.total))
        this.bytesTotal = event.total;
      if (this.phase === 'waiting' || this.phase === 'connecting' || this.phase === 'starting')
        this.phase = 'sending';
      this.setRecords(event.records, now);
      if (this.total > 0 && this.records >= this.total)
        this.phase = 'sent';
      break;
    case 'phase':
      if (typeof event.phase === 'string')
        this.phase = event.phase;
      break;
    case 'finished':
      this.phase = 'done';
      this.outcome = event.outcome || 'unknown';
      this.reason = event.reason || '';
      if (Number.isFinite(event.records))
        this.records = event.records;
      if (this.outcome === 'succeeded')
        return `${this.unit}: update succeeded`;
      if (this.outcome === 'interrupted')
        return `${this.unit}: update cancelled`;
      return `${this.unit}: update failed${this.reason ? `: ${this.reason}` : ''}`;
    default:
      break;
    }
    return '';
  }

  setRecords(records, now) {
    if (!Number.isFinite(records))
      return;
    this.records = records;
    if (!this.baseline) {
      this.baseline = { time: now, records };
      return;
    }
    const seconds = (now - this.baseline.time) / 1000;
    if (seconds >= 0.5)
      this.rate = (records - this.baseline.records) / seconds;
  }

  fraction() {
    if (this.outcome === 'succeeded')
      return 1;
    if (this.total > 0)
      return Math.min(1, this.records / this.total);
    if (this.bytesTotal > 0)
      return Math.min(1, this.bytes / this.bytesTotal);
    return 0;
  }

  kind() {
    if (this.outcome === null)
      return this.running ? 'running' : 'waiting';
    if (this.outcome === 'succeeded')
      return 'succeeded';
    return this.outcome === 'interrupted' ? 'interrupted' : 'failed';
  }

  render() {
    const percent = Math.round(this.fraction() * 100);
    const sending = this.outcome === null && this.phase === 'sending' && this.rate > 0;
    const left = sending && this.total > this.records ? (this.total - this.records) / this.rate : NaN;
    const view = {
      kind: this.kind(),
      phase: this.outcome === null ? this.phase : format.outcome(this.outcome),
      percent,
      valueText: this.total > 0
        ? `${percent}% (${format.count(this.records)} of ${format.count(this.total)} records)`
        : `${percent}%`,
      rate: sending ? `${format.count(Math.round(this.rate))} rec/s`
        : this.outcome !== null && this.records > 0 ? `${format.count(this.records)} records sent` : '',
      left: Number.isFinite(left) ? `${format.duration(left)} left` : '',
      reason: this.reason,
    };
    const shown = this.shown;
    if (shown.kind !== view.kind)
      this.element.dataset.kind = view.kind;
    if (shown.phase !== view.phase)
      this.phaseText.textContent = view.phase;
    if (shown.percent !== view.percent) {
      this.bar.setAttribute('aria-valuenow', String(view.percent));
      this.fill.style.transform = `scaleX(${view.percent / 100})`;
    }
    if (shown.valueText !== view.valueText)
      this.bar.setAttribute('aria-valuetext', view.valueText);
    if (shown.rate !== view.rate)
      this.rateText.textContent = view.rate;
    if (shown.left !== view.left)
      this.leftText.textContent = view.left;
    if (shown.reason !== view.reason)
      this.reasonText.textContent = view.reason;
    this.shown = view;
  }
}
