// The line view (/#line): one large tile per fixture, readable across the room. Its state in
// words and colour, progress while updating, and the serial box focused while the fixture waits
// for its serial (a barcode scanner types it and Enter).

import { api, Cancelled } from './api.js';

const RefreshMs = 500;

const Words = {
  idle: 'Not watched',
  empty: 'Empty',
  'waiting-for-serial': 'Scan the serial',
  updating: 'Updating',
  done: 'Done — remove the unit',
  failed: 'Failed',
};

export class LineView {
  constructor({ section, tiles, empty, firmware, serialRequired, error, announce }) {
    this.section = section;
    this.tiles = tiles;
    this.empty = empty;
    this.firmware = firmware;
    this.serialRequired = serialRequired;
    this.error = error;
    this.announce = announce;
    this.byName = new Map();
    this.timer = null;
  }

  show(visible) {
    this.section.hidden = !visible;
    document.body.classList.toggle('line-mode', visible);
    clearInterval(this.timer);
    this.timer = null;
    if (visible) {
      this.refresh();
      this.timer = setInterval(() => this.refresh(), RefreshMs);
    }
  }

  async refresh() {
    try {
      const answer = await api.fixtures();
      const fixtures = Array.isArray(answer?.fixtures) ? answer.fixtures : [];
      this.empty.hidden = fixtures.length > 0;
      for (const fixture of fixtures)
        this.apply(fixture);
    } catch (error) {
      if (!(error instanceof Cancelled))
        this.error.textContent = `The fixtures could not be read: ${error.message}`;
    }
  }

  tileOf(name) {
    let tile = this.byName.get(name);
    if (tile)
      return tile;
    const li = document.createElement('li');
    li.className = 'fixture';
    li.dataset.name = name;
    li.innerHTML = `
      <h3 class="fixture-name"></h3>
      <p class="fixture-state" role="status"></p>
      <div class="bar" role="progressbar" aria-valuemin="0" aria-valuemax="100" aria-valuenow="0"><div class="bar-fill"></div></div>
      <p class="fixture-detail"></p>
      <form class="fixture-serial" hidden>
        <label>Serial <input type="text" autocomplete="off" spellcheck="false" maxlength="64"></label>
      </form>
      <div class="actions">
        <button type="button" class="fixture-watch primary">Start watching</button>
        <button type="button" class="fixture-stop danger">Stop watching</button>
      </div>`;
    li.querySelector('.fixture-name').textContent = name;
    const input = li.querySelector('.fixture-serial input');
    input.setAttribute('aria-label', `Serial of the unit in ${name}`);
    li.querySelector('.fixture-serial').addEventListener('submit', (event) => {
      event.preventDefault();
      this.sendSerial(name, input);
    });
    li.querySelector('.fixture-watch').addEventListener('click', () => this.watch(name));
    li.querySelector('.fixture-stop').addEventListener('click', () => this.stop(name));
    this.tiles.append(li);
    tile = { li, input, state: '' };
    this.byName.set(name, tile);
    return tile;
  }

  apply(fixture) {
    const tile = this.tileOf(fixture.name);
    const { li, input } = tile;
    const state = fixture.state;
    li.dataset.state = state;
    let words = Words[state] || state;
    if (state === 'failed' && fixture.reason)
      words = `Failed: ${fixture.reason}`;
    li.querySelector('.fixture-state').textContent = words;
    const total = Number(fixture.total) || 0;
    const percent = total > 0 ? Math.min(100, Math.round((100 * (Number(fixture.records) || 0)) / total)) : 0;
    const bar = li.querySelector('.bar');
    bar.hidden = state !== 'updating';
    bar.setAttribute('aria-valuenow', String(percent));
    bar.querySelector('.bar-fill').style.width = `${percent}%`;
    const detail = [];
    if (state === 'updating')
      detail.push(`${percent} %`);
    if (fixture.serial)
      detail.push(`Serial ${fixture.serial}`);
    detail.push(fixture.unit);
    li.querySelector('.fixture-detail').textContent = detail.join(' · ');
    li.querySelector('.fixture-serial').hidden = state !== 'waiting-for-serial';
    li.querySelector('.fixture-watch').hidden = state !== 'idle';
    li.querySelector('.fixture-stop').hidden = state === 'idle';
    if (state === 'waiting-for-serial' && tile.state !== state) {
      input.value = '';
      // The scanner types into the focused box: take the focus unless another box is being typed into.
      const active = document.activeElement;
      if (!(active instanceof HTMLInputElement && active.closest('.fixture-serial') && active.value))
        input.focus();
    }
    if (tile.state !== state && tile.state)
      this.announce(`${fixture.name}: ${words}`);
    tile.state = state;
  }

  async sendSerial(name, input) {
    const serial = input.value.trim();
    if (!serial)
      return;
    try {
      this.apply(await api.fixtureSerial(name, serial));
      this.error.textContent = '';
    } catch (error) {
      if (!(error instanceof Cancelled))
        this.error.textContent = `${name}: ${error.message}`;
    }
  }

  async watch(name) {
    if (!this.firmware.value) {
      this.error.textContent = 'Choose the firmware first.';
      return;
    }
    try {
      this.apply(await api.watchFixture(name, { firmware: this.firmware.value, serial_required: this.serialRequired.checked }));
      this.error.textContent = '';
    } catch (error) {
      if (!(error instanceof Cancelled))
        this.error.textContent = `${name}: ${error.message}`;
    }
  }

  async stop(name) {
    try {
      this.apply(await api.stopWatching(name));
    } catch (error) {
      if (!(error instanceof Cancelled))
        this.error.textContent = `${name}: ${error.message}`;
    }
  }
}
