// The main dialog as a web page: the controls of index.html, the boxes and
// the report as <dialog> elements, and the calls of WebMainWindow
// (web_window.cpp) as Module.vexo3Page. Linked into the page's script after
// the compiled code.
//
// index.html runs against the HandController through Web Serial;
// index.html?simulate against the simulated device (the default scenario,
// or a profile chosen in the page), through the same backend and glue.

(function () {
  'use strict';

  const kLink = 'vexo3Link';
  const kHandControllerFilter = {usbVendorId: 0x0403, usbProductId: 0x6015};
  const kUnits = ['HandController', 'Camera'];
  // DialogControl of main_window.h, in its order.
  const kControls = ['file', 'browse', 'update'];
  const kControlOrder = ['browse', 'update', 'file'];

  const $ = (id) => document.getElementById(id);
  let page = 0;        // the WebPage in the compiled code
  let link = 0;        // its WebSerialLink's number
  let nextLink = 1;
  let serial = null;   // navigator.serial or the stand-in
  let busy = false;    // an action runs: the dialog takes no other input

  // --- The calls of WebMainWindow ---

  function modal(dialog, onClose) {
    return new Promise((resolve) => {
      const done = (value) => {
        dialog.removeEventListener('cancel', cancel);
        if (dialog.open) dialog.close();
        resolve(value);
      };
      const cancel = (event) => {
        event.preventDefault();
        done(onClose);
      };
      dialog.addEventListener('cancel', cancel);
      dialog.vexo3Done = done;
      dialog.showModal();
    });
  }

  const view = {
    // Resolves to 1 for Yes; OK, No and Esc give 0.
    messageBox(caption, text, error, yesNo) {
      const box = $('box');
      $('box-caption').textContent = caption;
      $('box-icon').textContent = error ? '\u26D4' : '\u26A0';
      $('box-icon').className = error ? 'icon error' : 'icon warning';
      box.dataset.icon = error ? 'error' : 'warning';
      $('box-text').textContent = text;
      $('box-ok').hidden = yesNo;
      $('box-yes').hidden = !yesNo;
      $('box-no').hidden = !yesNo;
      const result = modal(box, 0);
      (yesNo ? $('box-no') : $('box-ok')).focus();
      return result;
    },
    setStatus(text) {
      $('status').textContent = text;
    },
    enable(control, enabled) {
      $(kControlOrder[control]).disabled = !enabled;
    },
    checked(box) {
      return $(box === 0 ? 'hc' : 'camera').checked;
    },
    fileText() {
      return $('file').value;
    },
    setFileText(text) {
      $('file').value = text;
    },
    // The package stays in the page: the chosen file is copied into the
    // compiled code's own file system, where the loader reads it by name.
    chooseFile() {
      return new Promise((resolve) => {
        const input = $('file-input');
        input.value = '';
        const finish = async () => {
          input.removeEventListener('change', finish);
          input.removeEventListener('cancel', finish);
          const file = input.files && input.files[0];
          if (!file) return resolve(null);
          const bytes = new Uint8Array(await file.arrayBuffer());
          for (const old of FS.readdir('.')) {
            if (old !== '.' && old !== '..') FS.unlink(old);
          }
          const name = file.name.replace(/\//g, '_');
          FS.writeFile(name, bytes);
          resolve(name);
        };
        input.addEventListener('change', finish);
        input.addEventListener('cancel', finish);
        input.click();
      });
    },
    setSummary(text) {
      $('summary').textContent = text;
    },
    showReport(text) {
      $('report-text').textContent = text;
      const shown = modal($('report'), 0);
      $('report-ok').focus();
      return shown;
    },
    updateStart() {
      for (const unit of kUnits) {
        const bar = $('progress-' + unit);
        bar.value = 0;
        bar.max = 1;
        bar.classList.remove('failed');
        $('progress-' + unit + '-text').textContent = '';
      }
    },
    progress(unit, done, total) {
      const name = kUnits[unit];
      const bar = $('progress-' + name);
      bar.max = Math.max(total, 1);
      bar.value = done;
      $('progress-' + name + '-text').textContent =
          done.toLocaleString('en') + ' / ' + total.toLocaleString('en') + ' bytes';
    },
    updateEnd(failedUnit) {
      if (failedUnit >= 0) $('progress-' + kUnits[failedUnit]).classList.add('failed');
    },
  };

  // --- The actions ---

  // A port to try: one granted before, else the browser's chooser. The
  // chooser needs the person's click, so this runs first in its handler.
  async function offerPort() {
    try {
      const ports = await serial.getPorts();
      const known = ports.some((p) => {
        const info = p.getInfo();
        return info.usbVendorId === kHandControllerFilter.usbVendorId &&
            info.usbProductId === kHandControllerFilter.usbProductId;
      });
      if (!known) await serial.requestPort({filters: [kHandControllerFilter]});
    } catch (e) {
      // Nothing picked: the action finds no device and says so.
    }
  }

  async function run(exportName, needsPort) {
    if (busy || !page) return;
    busy = true;
    document.body.dataset.busy = '1';
    try {
      if (needsPort && serial) await offerPort();
      await Module.ccall(exportName, 'number', ['number'], [page], {async: true});
    } finally {
      busy = false;
      delete document.body.dataset.busy;
    }
  }

  // The wire trace so far, in the format of vexo3 --trace.
  function traceText() {
    const ptr = Module._vexo3_page_trace(page);
    const text = UTF8ToString(ptr);
    Module._free(ptr);
    return text;
  }

  // The trace ends where a program's run would: the session is closed first.
  async function endTrace() {
    busy = true;
    try {
      await Module.ccall('vexo3_page_close', null, ['number'], [page], {async: true});
    } finally {
      busy = false;
    }
    return traceText();
  }

  async function saveTrace() {
    if (!page || busy) return;
    const text = await endTrace();
    const a = document.createElement('a');
    a.href = URL.createObjectURL(new Blob([text], {type: 'text/plain'}));
    a.download = 'vexo3-trace.txt';
    document.body.appendChild(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(a.href), 10000);
  }

  // A new simulated device: the session on the old one is closed first.
  async function chooseProfile(file) {
    if (busy) return;
    busy = true;
    $('profile-error').textContent = '';
    try {
      let standIn;
      try {
        standIn = new Module.StandInSerial(await file.text());
      } catch (e) {
        $('profile-error').textContent = '"' + file.name + '": ' + e.message;
        return;
      }
      const old = serial;
      const oldLink = link;
      serial = standIn;
      link = register(standIn);
      await Module.ccall('vexo3_page_connect', null, ['number', 'number'], [page, link],
                         {async: true});
      delete Module.vexo3Links[oldLink];
      old.dispose();
      $('profile-name').textContent = file.name;
    } finally {
      busy = false;
    }
  }

  function register(serialObject) {
    const number = nextLink++;
    Module.vexo3Links[number] = new Module.WebSerialLink(serialObject);
    return number;
  }

  function start() {
    Module.vexo3Page = view;
    Module.vexo3EndTrace = endTrace;
    // Chosen packages are kept here, under their own names.
    FS.mkdir('/packages');
    FS.chdir('/packages');
    const simulate = new URLSearchParams(location.search).has('simulate');
    if (simulate) {
      serial = new Module.StandInSerial('');
      $('simulation').hidden = false;
      document.title += ' (simulated device)';
    } else if (navigator.serial) {
      serial = navigator.serial;
    } else {
      $('no-serial').hidden = false;
      serial = {getPorts: async () => [], requestPort: async () => { throw new Error(); }};
    }
    link = register(serial);
    page = Module._vexo3_page_new(link);

    $('browse').addEventListener('click', () => run('vexo3_page_browse', false));
    $('info').addEventListener('click', () => run('vexo3_page_read_device_info', true));
    $('update').addEventListener('click', () => run('vexo3_page_update', true));
    $('save-trace').addEventListener('click', saveTrace);
    const answer = (dialog, value) => () => {
      if ($(dialog).open) $(dialog).vexo3Done(value);
    };
    $('box-ok').addEventListener('click', answer('box', 0));
    $('box-no').addEventListener('click', answer('box', 0));
    $('box-yes').addEventListener('click', answer('box', 1));
    $('report-ok').addEventListener('click', answer('report', 0));
    $('profile-input').addEventListener('change', (e) => {
      if (e.target.files[0]) chooseProfile(e.target.files[0]);
    });
    $('hc').checked = true;
    $('camera').checked = true;
    for (const id of kControls) $(id).disabled = false;

    // From the start of the page's loading to here.
    document.body.dataset.readyMs = performance.now().toFixed(1);
    document.body.dataset.ready = '1';
  }

  Module.onRuntimeInitialized = start;
})();
