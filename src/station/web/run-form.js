// The form that starts a run: firmware from the library, the unit list (typed, pasted or read
// from a text file), product and units at once.

import { api, ApiError, Cancelled } from './api.js';
import { parseUnitList } from './unit-list.js';

export class RunForm {
  constructor({ form, firmware, units, unitsFile, unitsCount, product, parallel, error, submit, onStarted }) {
    Object.assign(this, { form, firmware, units, unitsFile, unitsCount, product, parallel, error, submit, onStarted });
    units.addEventListener('input', () => this.showCount());
    unitsFile.addEventListener('change', () => this.readUnitsFile());
    form.addEventListener('submit', (event) => {
      event.preventDefault();
      this.start();
    });
    this.showCount();
  }

  showCount() {
    const { units, problems, repeats } = parseUnitList(this.units.value);
    let text = units.length === 1 ? '1 unit' : `${units.length} units`;
    if (repeats)
      text += `, ${repeats} named twice (updated once)`;
    if (problems.length)
      text += `; ${problems.length} line${problems.length === 1 ? '' : 's'} to fix`;
    this.unitsCount.textContent = this.units.value.trim() ? text : '';
  }

  async readUnitsFile() {
    const file = this.unitsFile.files[0];
    if (!file)
      return;
    if (file.size > 1024 * 1024) {
      this.fail(`${file.name} is too large for a unit list.`, this.unitsFile);
      return;
    }
    this.units.value = await file.text();
    this.unitsFile.value = '';
    this.showCount();
    this.error.textContent = '';
  }

  fail(message, field) {
    this.error.textContent = message;
    if (field) {
      field.setAttribute('aria-invalid', 'true');
      field.focus();
    }
  }

  clearInvalid() {
    this.error.textContent = '';
    for (const field of [this.firmware, this.units, this.unitsFile, this.parallel])
      field.removeAttribute('aria-invalid');
  }

  plan() {
    if (!this.firmware.value)
      return this.fail('Choose a firmware from the library, or upload one first.', this.firmware);
    const { units, problems } = parseUnitList(this.units.value);
    if (problems.length)
      return this.fail(`The unit list needs fixing: ${problems.slice(0, 3).join('; ')}${problems.length > 3 ? '; …' : ''}`, this.units);
    if (!units.length)
      return this.fail('Name at least one unit.', this.units);
    const plan = { firmware: this.firmware.value, units };
    const product = this.product.value.trim();
    if (product)
      plan.product = product;
    if (this.parallel.value !== '') {
      const parallel = Number(this.parallel.value);
      if (!Number.isInteger(parallel) || parallel < 1)
        return this.fail('Units at once must be a whole number, 1 or more.', this.parallel);
      plan.parallel = parallel;
    }
    return plan;
  }

  async start() {
    this.clearInvalid();
    const plan = this.plan();
    if (!plan)
      return;
    this.submit.disabled = true;
    try {
      const answer = await api.startRun(plan);
      this.onStarted(answer.id);
    } catch (error) {
      if (error instanceof Cancelled)
        this.fail('Not started: the station needs its token for that.');
      else if (error instanceof ApiError && error.code === 'unit-busy' && Array.isArray(error.body?.units))
        this.fail(`Not started: already being updated by another run: ${error.body.units.join(', ')}`, this.units);
      else
        this.fail(`Not started: ${error.message}`);
    } finally {
      this.submit.disabled = false;
    }
  }
}
