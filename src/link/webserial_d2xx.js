// The Web Serial half of WebSerialD2xx (webserial_d2xx.cpp), linked into the
// page's script ahead of the compiled code. One WebSerialLink works on one
// serial object: navigator.serial, or anything with the same calls (the
// page's stand-in for the simulated device). The page registers it in
// Module.vexo3Links under a number and gives that number to WebSerialD2xx.
//
// Results: a count or a port number (>= 0), or a D2XX status with its sign
// turned (< 0). Nothing here rejects or throws into the compiled code.

var FT_DEVICE_NOT_FOUND = 2;
var FT_DEVICE_NOT_OPENED = 3;
var FT_IO_ERROR = 4;
var FT_OTHER_ERROR = 18;

// Web Serial reads and writes in pieces of its buffer size (255 bytes unless
// told): one piece holds a whole chunk of an upload and its frame.
var kSerialBufferSize = 16384;

class WebSerialLink {
  constructor(serial) {
    this.serial = serial;
    this.listed = [];
    this.ports = new Map();  // number -> open port
    this.next = 1;
  }

  // The ports the page may use, in the browser's order.
  async list() {
    try {
      this.listed = await this.serial.getPorts();
      return this.listed.length;
    } catch (e) {
      this.listed = [];
      return -FT_OTHER_ERROR;
    }
  }

  // vendor << 16 | product, 0 for a port that isn't a USB device.
  usbId(index) {
    const port = this.listed[index];
    const info = port ? port.getInfo() : {};
    if (info.usbVendorId === undefined || info.usbProductId === undefined) return 0;
    return ((info.usbVendorId << 16) | info.usbProductId) >>> 0;
  }

  holds(index) {
    const port = this.listed[index];
    for (const open of this.ports.values()) {
      if (open.port === port) return true;
    }
    return false;
  }

  static options(line) {
    return {
      baudRate: line.baud,
      dataBits: line.bits,
      stopBits: line.stop === 2 ? 2 : 1,
      parity: ['none', 'odd', 'even'][line.parity] || 'none',
      flowControl: line.flow === 0x0100 ? 'hardware' : 'none',
      bufferSize: kSerialBufferSize,
    };
  }

  async open(index, line) {
    const port = this.listed[index];
    if (!port) return -FT_DEVICE_NOT_FOUND;
    if (this.holds(index)) return -FT_DEVICE_NOT_OPENED;
    const state = {port, rx: [], rxCount: 0, failed: false, waiter: null, reader: null,
                   writer: null, pump: null};
    try {
      await port.open(WebSerialLink.options(line));
    } catch (e) {
      return -FT_DEVICE_NOT_OPENED;
    }
    this.start(state);
    const number = this.next++;
    this.ports.set(number, state);
    return number;
  }

  // Opening a port again is the only way Web Serial changes its line.
  async reopen(number, line) {
    const state = this.ports.get(number);
    if (!state || state.failed) return -FT_IO_ERROR;
    await this.stop(state);
    try {
      await state.port.open(WebSerialLink.options(line));
    } catch (e) {
      state.failed = true;
      return -FT_IO_ERROR;
    }
    state.rx = [];
    state.rxCount = 0;
    this.start(state);
    return 0;
  }

  async close(number) {
    const state = this.ports.get(number);
    if (!state) return 0;
    this.ports.delete(number);
    await this.stop(state);
    return 0;
  }

  // The reader and writer of an opened port, and the loop that fills the
  // receive queue from it.
  start(state) {
    state.writer = state.port.writable.getWriter();
    state.stopping = false;
    state.pump = this.pump(state);
  }

  async pump(state) {
    while (!state.stopping) {
      // A parity or framing error ends one readable; the port gives another.
      // Without one the port is gone.
      const readable = state.port.readable;
      if (!readable) {
        if (!state.stopping) state.failed = true;
        break;
      }
      state.reader = readable.getReader();
      try {
        for (;;) {
          const {value, done} = await state.reader.read();
          if (done) break;
          if (value && value.length > 0) {
            state.rx.push(value);
            state.rxCount += value.length;
            this.wake(state);
          }
        }
      } catch (e) {
        // Read again from the next readable, if the port has one.
      } finally {
        try { state.reader.releaseLock(); } catch (e) {}
        state.reader = null;
      }
    }
    this.wake(state);
  }

  wake(state) {
    if (state.waiter) state.waiter();
  }

  async stop(state) {
    state.stopping = true;
    if (state.reader) {
      try { await state.reader.cancel(); } catch (e) {}
    }
    if (state.pump) await state.pump;
    if (state.writer) {
      // A write held up by flow control would keep the port from closing.
      try { await state.writer.abort(); } catch (e) {}
      try { state.writer.releaseLock(); } catch (e) {}
      state.writer = null;
    }
    try { await state.port.close(); } catch (e) {}
  }

  queued(number) {
    const state = this.ports.get(number);
    if (!state || (state.failed && state.rxCount === 0)) return -FT_IO_ERROR;
    return state.rxCount;
  }

  purge(number) {
    const state = this.ports.get(number);
    if (!state || state.failed) return -FT_IO_ERROR;
    state.rx = [];
    state.rxCount = 0;
    return 0;
  }

  // Moves up to n queued bytes to dest in the compiled code's memory.
  take(number, dest, n) {
    const state = this.ports.get(number);
    if (!state) return -FT_IO_ERROR;
    let done = 0;
    while (done < n && state.rx.length > 0) {
      const head = state.rx[0];
      const k = Math.min(n - done, head.length);
      HEAPU8.set(head.subarray(0, k), dest + done);
      done += k;
      if (k === head.length) {
        state.rx.shift();
      } else {
        state.rx[0] = head.subarray(k);
      }
    }
    state.rxCount -= done;
    return done;
  }

  // Waits until n bytes are queued, the time-out (ms, 0: none) expires or
  // the port fails; then takes what there is.
  async read(number, dest, n, timeoutMs) {
    const state = this.ports.get(number);
    if (!state) return -FT_IO_ERROR;
    if (state.rxCount < n && !state.failed) {
      await new Promise((resolve) => {
        let timer = null;
        const done = () => {
          if (timer !== null) clearTimeout(timer);
          state.waiter = null;
          resolve();
        };
        state.waiter = () => {
          if (state.rxCount >= n || state.failed) done();
        };
        if (timeoutMs > 0) timer = setTimeout(done, timeoutMs);
      });
    }
    if (state.failed && state.rxCount === 0) return -FT_IO_ERROR;
    return this.take(number, dest, n);
  }

  // Sends n bytes from src; n once Web Serial has taken them, 0 when that
  // takes longer than the time-out (ms, 0: none).
  async write(number, src, n, timeoutMs) {
    const state = this.ports.get(number);
    if (!state || state.failed || !state.writer) return -FT_IO_ERROR;
    // The bytes are copied now: the compiled code's memory may move or be
    // reused while the write waits.
    const bytes = HEAPU8.slice(src, src + n);
    let timer = null;
    const written = state.writer.write(bytes).then(() => n, () => -FT_IO_ERROR);
    const expired = timeoutMs > 0 ?
        new Promise((resolve) => { timer = setTimeout(() => resolve(0), timeoutMs); }) :
        new Promise(() => {});
    const result = await Promise.race([written, expired]);
    if (timer !== null) clearTimeout(timer);
    if (result < 0) state.failed = true;
    return result;
  }
}

// A text as a new zero-terminated UTF-8 string in the compiled code's memory,
// for the code to free.
function vexo3NewUTF8(text) {
  const size = lengthBytesUTF8(text) + 1;
  const ptr = Module._malloc(size);
  stringToUTF8(text, ptr, size);
  return ptr;
}

Module.WebSerialLink = WebSerialLink;
Module.vexo3Links = Module.vexo3Links || {};
