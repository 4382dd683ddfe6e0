// corvane.js: the Corvane component for pages in any current browser, through
// a local `corvane bridge` (an ES module, no dependencies).
//
//   import { Corvane } from "./corvane.js";
//   const c = await Corvane.connect("ws://127.0.0.1:8765/");
//   c.handleData = function (text) { log(text); };   // `this` is c
//   await c.setMultiOC(1);
//   const result = await c.SetServerDetails("10.0.0.5", 9001, 0, 1);
//
// Every member of the component is here under its own name. A method returns
// a Promise of its result (rejected with an Error when the bridge refuses or
// the call fails); its arguments follow the component's own rules: strings,
// whole numbers, true/false (a boolean turns a codec flag off whatever its
// value, as in script), null for an empty argument. A callback property
// holds a function; assigning one (or null) tells the bridge, and from then
// on its events call it with the event text and with the object as `this`.
// Calls and assignments reach the bridge in the order they are made, so a
// page need not wait for one before making the next; events that a call
// fires (connection events in SetServerDetails, setOCDetails, sendRequest)
// run before its Promise is settled.
//
// onclose, when set, is called once with {code, reason} when the connection
// to the bridge ends; the calls still waiting are rejected. Connect again
// with Corvane.connect.
//
// A bridge frame holds one event or answer, or an array of events in order
// (a page at protocol level 2). Callbacks run one at a time in arrival
// order; after about 8 ms of them the rest waits for a continuation
// (MessageChannel) so that the browser handles input and paints in between,
// and frames that arrive meanwhile queue behind it. A feed message that the
// component conflates (setConflation) carries its key: while one of that key
// waits here, a later one replaces its text in place, as in the component, so
// a page slower than the feed gets the latest value of each key; a connection
// event is a barrier. getConflatedCount counts these replacements too.

const METHODS = [
  "SetProxyCredentials", "SendConnect", "ReceiveData", "ConnectToServer", "SetServerDetails",
  "setKeepAliveTimerDetail", "setTimerDetails", "setEncryption", "setCompression", "setMultiOC",
  "setOCDetails", "startKeepAlive", "sendRequest", "sendBCRequest", "getPacketCount",
  "getRequestCount", "setProxyServerDetails", "setTransportSecurity", "setServerPins",
  "getTransportSecurity", "setConflation", "getConflatedCount",
];

const CALLBACKS = [
  "handleConnect", "handleConnectionFailure", "handleMaximumReConnection", "handleDisConnect",
  "handleData", "handleAuthentication", "handleBCDisConnect",
];

export class Corvane {
  // Resolves with a connected object; rejects when the bridge cannot be
  // reached or refuses the page (its origin is not allowed).
  static connect(url) {
    return new Promise((resolve, reject) => {
      const socket = new WebSocket(url);
      let opened = false;
      socket.onopen = () => {
        opened = true;
        resolve(new Corvane(socket));
      };
      socket.onclose = (event) => {
        if (!opened) reject(new Error("corvane bridge at " + url + " refused or unreachable (" +
                                      event.code + ")"));
      };
    });
  }

  constructor(socket) {
    const pending = new Map();
    const slots = new Map();
    let nextId = 1;
    let closed = false;
    this.onclose = null;

    const send = (method, args) => {
      if (closed) return Promise.reject(new Error("the connection to corvane bridge is closed"));
      const id = nextId++;
      socket.send(JSON.stringify({ id: id, method: method, args: args }));
      return new Promise((resolve, reject) => pending.set(id, { resolve, reject, method }));
    };

    // Feed messages waiting in the inbox below, by key, and how many were
    // replaced there since the last reset.
    const waitingByKey = new Map();
    let pageReplaced = 0;
    const adjust = {
      getConflatedCount: (r) => (typeof r === "number" ? (r + pageReplaced) | 0 : r),
      setMultiOC: (r) => {
        pageReplaced = 0;
        return r;
      },
    };
    for (const name of METHODS) {
      Object.defineProperty(this, name, {
        enumerable: true,
        value: (...args) => {
          const p = send(name, args.map((a) => (a === undefined ? null : a)));
          return adjust[name] ? p.then(adjust[name]) : p;
        },
      });
    }
    for (const name of CALLBACKS) {
      Object.defineProperty(this, name, {
        enumerable: true,
        get: () => slots.get(name) || null,
        set: (fn) => {
          const assigned = typeof fn === "function";
          if (assigned) slots.set(name, fn);
          else slots.delete(name);
          send(name, [assigned ? true : null]).catch((e) => console.error(e));
        },
      });
    }

    const dispatch = (m) => {
      if (m.key !== undefined && waitingByKey.get(m.key) === m) waitingByKey.delete(m.key);
      if (m.event !== undefined) {
        const fn = slots.get(m.event);
        // The component goes on after a callback that throws; so does this.
        if (fn) {
          try {
            fn.call(this, m.text);
          } catch (e) {
            console.error(e);
          }
        }
        return;
      }
      const call = pending.get(m.id);
      if (!call) return;
      pending.delete(m.id);
      if (m.error !== undefined) call.reject(new Error(call.method + ": " + m.error));
      else call.resolve(m.result);
    };

    // What waits for its turn: inbox[head..], events, answers and the close.
    let inbox = [];
    let head = 0;
    let resumeScheduled = false;
    const resume = new MessageChannel();
    const kSliceMs = 8;
    const drain = () => {
      resumeScheduled = false;
      const start = performance.now();
      let n = 0;
      while (head < inbox.length) {
        const m = inbox[head];
        inbox[head++] = undefined;
        if (m.closed !== undefined) finishClose(m.closed);
        else dispatch(m);
        if (++n % 8 === 0 && head < inbox.length && performance.now() - start >= kSliceMs) {
          resumeScheduled = true;
          resume.port2.postMessage(null);
          break;
        }
      }
      if (head === inbox.length) {
        inbox = [];
        head = 0;
      } else if (head > 4096 && head * 2 > inbox.length) {
        inbox = inbox.slice(head);
        head = 0;
      }
    };
    resume.port1.onmessage = drain;
    const enqueue = (m) => {
      if (m.event === "handleData" && typeof m.key === "string") {
        const waiting = waitingByKey.get(m.key);
        if (waiting !== undefined) {
          waiting.text = m.text;
          pageReplaced = (pageReplaced + 1) | 0;
          return;
        }
        waitingByKey.set(m.key, m);
      } else if (m.event !== undefined && m.event !== "handleData") {
        waitingByKey.clear();
      }
      inbox.push(m);
    };
    const arrive = (m) => {
      inbox.push(m);
      if (!resumeScheduled) drain();
    };

    socket.onmessage = (message) => {
      const m = JSON.parse(message.data);
      if (Array.isArray(m)) for (const e of m) enqueue(e);
      else enqueue(m);
      if (!resumeScheduled) drain();
    };
    const finishClose = (event) => {
      for (const call of pending.values()) {
        call.reject(new Error(call.method + ": the connection to corvane bridge closed"));
      }
      pending.clear();
      if (typeof this.onclose === "function") {
        this.onclose({ code: event.code, reason: event.reason });
      }
      resume.port1.close();
    };
    socket.onclose = (event) => {
      closed = true;
      // Behind the events that came before it.
      arrive({ closed: event });
    };
    this.close = () => socket.close(1000);
  }
}
