// The stand-in for navigator.serial with the simulated device behind it
// (index.html?simulate): the calls of Web Serial that the page's backend
// makes, each turned into the D2XX calls a serial driver would make on the
// simulated bus (standin_ports.cpp). Linked into the page's script ahead of
// the compiled code.
//
// It behaves as Chrome's Web Serial does where the page can tell: a port is
// opened once at a time, its line is set only by open(), readable and
// writable exist while it is open, a failed open rejects with a
// NetworkError, requestPort rejects with a NotFoundError when nothing
// matches. The chooser is not shown: requestPort grants the first chip that
// matches a filter, as a person picking the first entry would.

// Waits ms (fractions too) without the browser's clamp of nested timers to
// 4 ms: the timer is set from a message task, never from another timer.
const standInChannel = new MessageChannel();
const standInWaiters = [];
standInChannel.port1.onmessage = () => {
  const [resolve, ms] = standInWaiters.shift();
  setTimeout(resolve, ms);
};
function standInSleep(ms) {
  return new Promise((resolve) => {
    standInWaiters.push([resolve, ms]);
    standInChannel.port2.postMessage(0);
  });
}

class StandInSerial {
  // profileJson: a simulator profile's text, "" for the default scenario.
  // Throws an Error with the profile's fault.
  constructor(profileJson) {
    const errorSize = 512;
    const error = Module._malloc(errorSize);
    const text = vexo3NewUTF8(profileJson);
    this.ptr = Module._vexo3_standin_new(text, error, errorSize);
    const why = UTF8ToString(error);
    Module._free(text);
    Module._free(error);
    if (!this.ptr) throw new Error(why);
    this.ports = new Map();  // chip index -> StandInPort
    this.granted = new Set();
  }

  dispose() {
    for (const port of this.ports.values()) port.forget();
    Module._vexo3_standin_delete(this.ptr);
    this.ptr = 0;
  }

  // The chips on the bus now, as ports.
  chips() {
    const n = Module._vexo3_standin_list(this.ptr);
    const list = [];
    for (let i = 0; i < Math.max(n, 0); i++) {
      const id = Module._vexo3_standin_usb_id(this.ptr, i) >>> 0;
      let port = this.ports.get(i);
      if (!port) {
        port = new StandInPort(this, i, id);
        this.ports.set(i, port);
      }
      list.push(port);
    }
    return list;
  }

  async getPorts() {
    return this.chips().filter((port) => this.granted.has(port));
  }

  async requestPort(options) {
    const filters = (options && options.filters) || [];
    const matches = (port) => filters.length === 0 || filters.some((f) =>
        (f.usbVendorId === undefined || f.usbVendorId === port.info.usbVendorId) &&
        (f.usbProductId === undefined || f.usbProductId === port.info.usbProductId));
    const port = this.chips().find(matches);
    if (!port) throw new DOMException('No port selected by the user.', 'NotFoundError');
    this.granted.add(port);
    return port;
  }
}

// One stand-in port: a chip of the simulated bus.
class StandInPort {
  constructor(serial, index, usbId) {
    this.serial = serial;
    this.index = index;
    this.info = {usbVendorId: usbId >>> 16, usbProductId: usbId & 0xFFFF};
    this.number = 0;  // the open chip's number in standin_ports.cpp
    this.readable = null;
    this.writable = null;
  }

  getInfo() {
    return Object.assign({}, this.info);
  }

  // What the last call on the bus still owes in real time.
  async owed() {
    const ms = Module._vexo3_standin_ahead_ms(this.serial.ptr);
    if (ms > 0) await standInSleep(ms);
  }

  async open(options) {
    if (this.number) throw new DOMException('The port is already open.', 'InvalidStateError');
    const o = options || {};
    if (!(o.baudRate > 0)) throw new TypeError('A baudRate is required.');
    const bits = o.dataBits === undefined ? 8 : o.dataBits;
    const stop = o.stopBits === undefined ? 1 : o.stopBits;
    const parity = {none: 0, odd: 1, even: 2}[o.parity === undefined ? 'none' : o.parity];
    if ((bits !== 7 && bits !== 8) || (stop !== 1 && stop !== 2) || parity === undefined) {
      throw new TypeError('Unsupported line settings.');
    }
    const hardware = o.flowControl === 'hardware' ? 1 : 0;
    const bufferSize = o.bufferSize === undefined ? 255 : o.bufferSize;
    this.serial.chips();  // the driver opens by the list's order, as it is now
    const number = Module._vexo3_standin_open(this.serial.ptr, this.index, o.baudRate, bits, stop,
                                              parity, hardware);
    if (number <= 0) throw new DOMException('Failed to open serial port.', 'NetworkError');
    this.number = number;
    this.readable = this.makeReadable(bufferSize);
    this.writable = this.makeWritable(bufferSize);
  }

  makeReadable(bufferSize) {
    const port = this;
    let buffer = 0;
    return new ReadableStream({
      start() {
        buffer = Module._malloc(bufferSize);
      },
      async pull(controller) {
        for (;;) {
          if (!port.number || !buffer) return;
          await port.owed();
          if (!port.number) return;
          const n = Module._vexo3_standin_read(port.serial.ptr, port.number, buffer, bufferSize);
          if (n < 0) {
            controller.error(new DOMException('The device has been lost.', 'NetworkError'));
            port.lost();
            return;
          }
          if (n > 0) {
            controller.enqueue(HEAPU8.slice(buffer, buffer + n));
            return;
          }
          // Nothing has reached the host yet. A real port's read ends when
          // bytes arrive: wait until the next packet on its way does (timers
          // count whole milliseconds; the last fraction is a yield), or,
          // with none on its way, look again in a millisecond.
          const next = Module._vexo3_standin_next_arrival_ms(port.serial.ptr, port.number);
          await standInSleep(next >= 1 ? Math.floor(next) : next >= 0 ? 0 : 1);
        }
      },
      cancel() {
        Module._free(buffer);
        buffer = 0;
      },
    }, {highWaterMark: 0});
  }

  makeWritable(bufferSize) {
    const port = this;
    return new WritableStream({
      async write(chunk) {
        const bytes = chunk instanceof Uint8Array ? chunk : new Uint8Array(chunk);
        const buffer = Module._malloc(Math.max(bufferSize, 1));
        try {
          for (let done = 0; done < bytes.length;) {
            if (!port.number) throw new DOMException('The port is closed.', 'InvalidStateError');
            const piece = bytes.subarray(done, done + bufferSize);
            HEAPU8.set(piece, buffer);
            const n = Module._vexo3_standin_write(port.serial.ptr, port.number, buffer,
                                                  piece.length);
            if (n < 0) {
              port.lost();
              throw new DOMException('The device has been lost.', 'NetworkError');
            }
            done += n;
            await port.owed();
          }
        } finally {
          Module._free(buffer);
        }
      },
    });
  }

  // The chip went away (or failed): the port stays open until closed, and
  // has no streams any more, as Chrome's after a fatal error.
  lost() {
    this.readable = null;
    this.writable = null;
  }

  async close() {
    if (!this.number) throw new DOMException('The port is already closed.', 'InvalidStateError');
    if ((this.readable && this.readable.locked) || (this.writable && this.writable.locked)) {
      throw new TypeError('Cannot close a port whose streams are locked.');
    }
    try { if (this.readable) await this.readable.cancel(); } catch (e) {}
    try { if (this.writable) await this.writable.abort(); } catch (e) {}
    Module._vexo3_standin_close(this.serial.ptr, this.number);
    this.number = 0;
    this.readable = null;
    this.writable = null;
  }

  // The bus is going away with its stand-in.
  forget() {
    if (this.number) Module._vexo3_standin_close(this.serial.ptr, this.number);
    this.number = 0;
    this.readable = null;
    this.writable = null;
  }
}

Module.StandInSerial = StandInSerial;
