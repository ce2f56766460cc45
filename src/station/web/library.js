// The station's firmware library: a table (name, size, records, SHA-256, signer, delete) and the
// firmware choice of the run form, both from one GET. Uploads come from the form's file input: a
// .hex, its .hex.sig beside it, or a .hex.sig alone for a file of that name in the library.

import { api, ApiError, Cancelled } from './api.js';
import * as format from './format.js';

function cell(text, className) {
  const td = document.createElement('td');
  td.textContent = text;
  if (className)
    td.className = className;
  return td;
}

export class Library {
  constructor({ table, state, select, uploadInput, uploadState, onChanged }) {
    this.table = table;
    this.body = table.tBodies[0];
    this.state = state;
    this.select = select;
    this.uploadInput = uploadInput;
    this.uploadState = uploadState;
    this.onChanged = onChanged;
    this.entries = [];
    uploadInput.addEventListener('change', () => this.uploadChosen());
  }

  async refresh() {
    try {
      const answer = await api.firmware();
      this.entries = Array.isArray(answer?.firmware) ? answer.firmware : [];
      this.render();
    } catch (error) {
      if (!(error instanceof Cancelled))
        this.state.textContent = `The library could not be read: ${error.message}`;
    }
  }

  render(selectSha = this.select.value) {
    const rows = this.entries.map((entry) => {
      const row = document.createElement('tr');
      row.dataset.sha256 = entry.sha256;
      const name = cell(entry.name, 'name');
      row.append(
        name,
        cell(format.size(entry.size), 'number'),
        cell(format.count(entry.to_send ?? entry.records), 'number'),
        cell(entry.sha256, 'sha'),
        cell(format.dateTime(entry.uploaded)),
        cell(entry.signer ?? 'unsigned', 'signer'),
      );
      const actions = document.createElement('td');
      actions.className = 'admin-only';
      const remove = document.createElement('button');
      remove.type = 'button';
      remove.className = 'danger';
      remove.textContent = 'Delete';
      remove.setAttribute('aria-label', `Delete ${entry.name}`);
      remove.addEventListener('click', () => this.remove(entry));
      actions.append(remove);
      row.append(actions);
      return row;
    });
    this.body.replaceChildren(...rows);
    this.table.hidden = rows.length === 0;
    this.state.textContent = rows.length ? '' : 'The library is empty: upload a firmware file in the form above.';

    const options = this.entries.map((entry) => {
      const option = document.createElement('option');
      option.value = entry.sha256;
      option.textContent = `${entry.name} (${format.size(entry.size)}, ${entry.sha256.slice(0, 12)}…)`;
      return option;
    });
    if (!options.length) {
      const none = document.createElement('option');
      none.value = '';
      none.textContent = 'No firmware in the library yet';
      options.push(none);
    }
    this.select.replaceChildren(...options);
    if (selectSha && this.entries.some((e) => e.sha256 === selectSha))
      this.select.value = selectSha;
  }

  async uploadChosen() {
    const files = [...this.uploadInput.files];
    this.uploadInput.value = '';
    const hex = files.find((f) => !f.name.toLowerCase().endsWith('.sig'));
    const signature = files.find((f) => f.name.toLowerCase().endsWith('.sig'));
    if (!hex && !signature)
      return;
    let sha256 = null;
    let said = '';
    if (hex) {
      const stored = await this.upload(hex);
      if (!stored)
        return;
      sha256 = stored.sha256;
      said = `${stored.name} is in the library: ${format.count(stored.to_send)} records to send.`;
    } else {
      const named = signature.name.slice(0, -4);
      const entry = this.entries.find((e) => e.name === named);
      if (!entry) {
        this.uploadState.textContent = `${signature.name} is the signature of ${named}, which is not in the library.`;
        return;
      }
      sha256 = entry.sha256;
    }
    if (signature)
      said = `${said} ${await this.sign(sha256, signature)}`.trim();
    await this.refresh();
    this.render(sha256);
    this.uploadState.textContent = said;
    this.onChanged();
  }

  // The stored file's answer, or null with the reason shown.
  async upload(file) {
    this.uploadState.textContent = `Uploading ${file.name}…`;
    try {
      return await api.uploadFirmware(file);
    } catch (error) {
      if (error instanceof Cancelled) {
        this.uploadState.textContent = 'Upload cancelled: no token given.';
      } else if (error instanceof ApiError && error.status === 413) {
        this.uploadState.textContent = `${file.name} is too large for the station: ${error.message}`;
      } else if (error instanceof ApiError && error.status === 422) {
        this.uploadState.textContent = `${file.name} is no usable firmware file: ${error.message}`;
      } else {
        this.uploadState.textContent = `${file.name} was not uploaded: ${error.message}`;
      }
      return null;
    }
  }

  // What became of the signature, in words.
  async sign(sha256, file) {
    try {
      const answer = await api.addSignature(sha256, file);
      return `Signed by ${answer.signer}.`;
    } catch (error) {
      if (error instanceof Cancelled)
        return 'The signature was not added: no token given.';
      return `The signature ${file.name} was refused: ${error.message}`;
    }
  }

  async remove(entry) {
    if (!window.confirm(`Delete ${entry.name} (${entry.sha256.slice(0, 12)}…) from the station?`))
      return;
    try {
      await api.deleteFirmware(entry.sha256);
      this.state.textContent = `${entry.name} was deleted.`;
      await this.refresh();
    } catch (error) {
      if (error instanceof Cancelled)
        return;
      this.state.textContent = error instanceof ApiError && error.status === 409
        ? `${entry.name} is in use by a run and stays until the run ends.`
        : `${entry.name} was not deleted: ${error.message}`;
    }
  }
}
