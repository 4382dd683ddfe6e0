// corvane.js: the Corvane component for pages in any current browser, through
// a local `corvane bridge` (an ES module, no dependencies; types in
// corvane.d.ts).
//
//   import { Corvane, CorvaneError } from "./corvane.js";
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
// Corvane.connect(url, options) rejects with a CorvaneError whose code names
// the cause, and whose message a page can show (ERRORS below). Before
// connecting, Corvane.status(url) tells whether a bridge is there, its
// versions and whether this page's origin is allowed.
//
// Options of connect:
//   requireProtocol  the least protocol level the page needs (default 1);
//                    a bridge that serves less is ERR_VERSION_MISMATCH
//   reconnect        true or {initialDelayMs, maxDelayMs}: when the
//                    connection to the bridge ends (the bridge restarted,
//                    say), connect again with a growing delay (0.5 s
//                    doubling to 30 s by default), apply the page's settings
//                    (the setters' last values, in the order they were last
//                    made) and callbacks to the new component, then call
//                    onnewcomponent: the component is a new one, and the page
//                    connects to its servers and logs on again there.
//   timeoutMs        how long the bridge may take to answer (default 10 s)
//
// onclose, when set, is called with {code, reason} whenever the connection to
// the bridge ends; the calls still waiting are rejected, and so are calls
// made until the next component is there. Without reconnect, connect again
// with Corvane.connect. onreconnectfailed(error), when set, is called when
// reconnection stops for good (a bridge of a version the page cannot use).
//
// A bridge frame holds one event or answer, or an array of events in order
// (a page at protocol level 2). Callbacks run one at a time in arrival
// order; after about 8 ms of them the rest waits for a continuation
// (MessageChannel) so that the browser handles input and paints in between,
// and frames that arrive meanwhile, answers and the close queue behind it. A
// feed message that the component conflates (setConflation) carries its key:
// while one of that key waits here, a later one replaces its text in place,
// as in the component, so a page slower than the feed gets the latest value of
// each key; a connection event or the close is a barrier. getConflatedCount
// counts these replacements too.

export const VERSION = "2.0.0";

// The protocol level this module speaks: 2, events may come batched (a JSON
// array of event objects, in order). A bridge without the handshake serves
// level 1, one event per message.
export const PROTOCOL = 2;

const METHODS = [
  "SetProxyCredentials", "SendConnect", "ReceiveData", "ConnectToServer", "SetServerDetails",
  "setKeepAliveTimerDetail", "setTimerDetails", "setEncryption", "setCompression", "setMultiOC",
  "setOCDetails", "startKeepAlive", "sendRequest", "sendBCRequest", "getPacketCount",
  "getRequestCount", "setProxyServerDetails", "setTransportSecurity", "setServerPins",
  "getTransportSecurity", "setConflation", "getConflatedCount",
];

// The members that only store settings: what reconnection applies again.
// (The connecting calls and requests are the page's to make again, once it
// hears of the new component.)
const SETTINGS = new Set([
  "SetProxyCredentials", "setKeepAliveTimerDetail", "setTimerDetails", "setEncryption",
  "setCompression", "setMultiOC", "setProxyServerDetails", "setTransportSecurity",
  "setServerPins", "setConflation",
]);

const CALLBACKS = [
  "handleConnect", "handleConnectionFailure", "handleMaximumReConnection", "handleDisConnect",
  "handleData", "handleAuthentication", "handleBCDisConnect",
];

// The codes of CorvaneError, each with the message a page can show its user.
export const ERRORS = {
  ERR_BRIDGE_UNREACHABLE:
    "The Corvane bridge is not running on this computer (or is not installed). " +
    "Install it, or start it, then try again.",
  ERR_ORIGIN_REFUSED:
    "The Corvane bridge on this computer does not allow this site. " +
    "Ask your administrator to add it to the bridge's allowed origins.",
  ERR_PERMISSION_DENIED:
    "The browser blocks this site from reaching apps on this device. " +
    "Allow it in the site's settings (the padlock or tune icon next to the address), " +
    "then reload the page.",
  ERR_VERSION_MISMATCH:
    "The Corvane bridge on this computer is a version this page cannot use. " +
    "Update the bridge (or the page), then try again.",
  ERR_INSECURE_CONTEXT:
    "This page is not secure (it is not served over https), so the browser does not let it " +
    "reach the Corvane bridge. Open the page's https address.",
};

export class CorvaneError extends Error {
  constructor(code, detail) {
    super(ERRORS[code] || detail);
    this.name = "CorvaneError";
    this.code = code;
    this.detail = detail || "";  // what the browser or the bridge said, for a log
  }
}

const STATUS_PATH = "/status";
const DEFAULT_TIMEOUT_MS = 10000;

// The bridge's http(s) status address from its ws(s) address.
function statusUrl(url) {
  const u = new URL(url, typeof location === "object" ? location.href : undefined);
  u.protocol = u.protocol === "wss:" ? "https:" : "http:";
  u.pathname = STATUS_PATH;
  u.search = "";
  u.hash = "";
  return u.href;
}

// Whether the browser's local network permission is denied for this page.
// Chrome names it "loopback-network" (and "local-network-access" before
// that); a browser that knows neither name, or still asks, is not denied.
async function permissionDenied() {
  if (typeof navigator !== "object" || !navigator.permissions) return false;
  for (const name of ["loopback-network", "local-network-access"]) {
    try {
      const state = await navigator.permissions.query({ name });
      return state.state === "denied";
    } catch (e) {
      // not a permission this browser knows
    }
  }
  return false;
}

async function fetchStatus(url, timeoutMs) {
  const controller = new AbortController();
  const timer = setTimeout(() => controller.abort(), timeoutMs);
  try {
    const answer = await fetch(statusUrl(url), {
      cache: "no-store", credentials: "omit", mode: "cors", signal: controller.signal,
    });
    if (!answer.ok) throw new Error("the bridge answered HTTP " + answer.status);
    const s = await answer.json();
    return {
      bridge: String(s.bridge), component: String(s.component),
      protocol: { min: Number(s.protocol && s.protocol.min), max: Number(s.protocol && s.protocol.max) },
      originAllowed: s.originAllowed === true,
    };
  } finally {
    clearTimeout(timer);
  }
}

async function answersAtAll(url, timeoutMs) {
  const controller = new AbortController();
  const timer = setTimeout(() => controller.abort(), timeoutMs);
  try {
    await fetch(statusUrl(url), {
      cache: "no-store", credentials: "omit", mode: "no-cors", signal: controller.signal,
    });
    return true;
  } catch (e) {
    return false;
  } finally {
    clearTimeout(timer);
  }
}

// Why a page could not reach the bridge at url: the browser tells a page
// only that the connection failed, so the cause is found by asking the
// permission, the page's context and the bridge's status answer.
async function diagnose(url, detail, timeoutMs) {
  // A page that is not a secure context is never let through (and the
  // browser reports the permission denied without asking).
  if (typeof isSecureContext === "boolean" && !isSecureContext) {
    return new CorvaneError("ERR_INSECURE_CONTEXT", detail);
  }
  if (await permissionDenied()) return new CorvaneError("ERR_PERMISSION_DENIED", detail);
  let status;
  try {
    status = await fetchStatus(url, timeoutMs);
  } catch (e) {
    if (await permissionDenied()) return new CorvaneError("ERR_PERMISSION_DENIED", detail);
    // Something answers there, but no status a page may read: a bridge from
    // before the status answer (an opaque answer is all a page gets of a
    // server that names no CORS origin; nothing listening is an error).
    if (await answersAtAll(url, timeoutMs)) {
      return new CorvaneError("ERR_VERSION_MISMATCH", "no status answer: " + e);
    }
    return new CorvaneError("ERR_BRIDGE_UNREACHABLE", detail);
  }
  if (!status.originAllowed) {
    return new CorvaneError("ERR_ORIGIN_REFUSED",
                            "origin " + (typeof location === "object" ? location.origin : "?") +
                            " is not allowed");
  }
  return new CorvaneError("ERR_BRIDGE_UNREACHABLE",
                          "the bridge refused the connection (" + detail + ")");
}

// Opens a WebSocket to the bridge and says hello; resolves with the socket
// and the bridge's answer once the level it serves is known.
function open(url, options) {
  const timeoutMs = options.timeoutMs || DEFAULT_TIMEOUT_MS;
  const required = options.requireProtocol || 1;
  return new Promise((resolve, reject) => {
    let socket;
    try {
      socket = new WebSocket(url);
    } catch (e) {
      diagnose(url, String(e), timeoutMs).then(reject);
      return;
    }
    let settled = false;
    // The bridge's own answer to the hello is final; what diagnose guesses
    // while a bridge starts or stops is not.
    const refuse = (detail) => {
      const e = new CorvaneError("ERR_VERSION_MISMATCH", detail);
      e.final = true;
      settle(e);
    };
    const settle = (error, hello) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      socket.onopen = socket.onmessage = socket.onclose = socket.onerror = null;
      if (error) {
        if (socket.readyState <= 1) socket.close(1000);
        reject(error);
      } else {
        resolve({ socket, hello });
      }
    };
    const timer = setTimeout(() => {
      settle(new CorvaneError("ERR_BRIDGE_UNREACHABLE", "no answer within " + timeoutMs + " ms"));
    }, timeoutMs);
    let opened = false;
    socket.onopen = () => {
      opened = true;
      socket.send(JSON.stringify({ hello: { protocol: PROTOCOL, client: "corvane.js " + VERSION } }));
    };
    socket.onmessage = (message) => {
      let m;
      try {
        m = JSON.parse(message.data);
      } catch (e) {
        m = null;
      }
      let hello;
      if (m && m.hello && typeof m.hello.protocol === "number") {
        hello = { protocol: m.hello.protocol, bridge: String(m.hello.bridge),
                  component: String(m.hello.component) };
      } else if (m && m.id === null && m.error !== undefined) {
        // A bridge from before the handshake answers a hello as a call it
        // does not know: it serves level 1, and the page goes on there.
        hello = { protocol: 1, bridge: "", component: "" };
      } else {
        refuse("an unexpected first answer");
        return;
      }
      if (hello.protocol < required) {
        refuse("the bridge serves protocol level " + hello.protocol + ", this page needs " +
               required);
        return;
      }
      settle(null, hello);
    };
    socket.onclose = (event) => {
      if (event.code >= 4000 && event.code <= 4999) {
        refuse(event.reason);
      } else if (opened) {
        settle(new CorvaneError("ERR_BRIDGE_UNREACHABLE",
                                "closed (" + event.code + " " + event.reason + ")"));
      } else {
        const detail = "the connection failed (" + event.code + ")";
        diagnose(url, detail, timeoutMs).then((e) => settle(e));
      }
    };
  });
}

export class Corvane {
  // Resolves with {bridge, component, protocol: {min, max}, originAllowed}
  // without making a component; rejects with a CorvaneError when no bridge
  // answers (ERR_BRIDGE_UNREACHABLE, ERR_PERMISSION_DENIED,
  // ERR_INSECURE_CONTEXT).
  static async status(url, options = {}) {
    const timeoutMs = options.timeoutMs || DEFAULT_TIMEOUT_MS;
    try {
      return await fetchStatus(url, timeoutMs);
    } catch (e) {
      throw await diagnose(url, String(e), timeoutMs);
    }
  }

  // Resolves with a connected object; rejects with a CorvaneError.
  static async connect(url, options = {}) {
    const { socket, hello } = await open(url, options);
    return new Corvane(url, options, socket, hello);
  }

  constructor(url, options, socket, hello) {
    const pending = new Map();
    const slots = new Map();
    const settings = new Map();  // setter -> its last arguments, in the order last made
    let nextId = 1;
    let connected = false;
    let stopped = false;  // close() was called, or reconnection gave up
    this.onclose = null;
    this.onnewcomponent = null;
    this.onreconnectfailed = null;
    this.bridge = null;  // {protocol, bridge, component}: the bridge's answer to the hello

    const notConnected = (method) =>
      Promise.reject(new CorvaneError("ERR_BRIDGE_UNREACHABLE",
                                      method + ": not connected to corvane bridge"));
    const send = (method, args) => {
      if (!connected) return notConnected(method);
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
          args = args.map((a) => (a === undefined ? null : a));
          if (SETTINGS.has(name)) {
            settings.delete(name);
            settings.set(name, args);
          }
          const p = send(name, args);
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
          if (connected) send(name, [assigned ? true : null]).catch((e) => console.error(e));
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
    const onMessage = (message) => {
      const m = JSON.parse(message.data);
      // Level 2: events may come as an array of events, in order.
      if (Array.isArray(m)) for (const e of m) enqueue(e);
      else enqueue(m);
      if (!resumeScheduled) drain();
    };

    const retry = options.reconnect
      ? Object.assign({ initialDelayMs: 500, maxDelayMs: 30000 },
                      options.reconnect === true ? {} : options.reconnect)
      : null;
    let delay = retry ? retry.initialDelayMs : 0;
    let timer = null;

    const attach = (s, answer) => {
      socket = s;
      this.bridge = answer;
      connected = true;
      socket.onmessage = onMessage;
      socket.onclose = onClose;
    };
    // The close waits behind the events that came before it.
    const onClose = (event) => {
      connected = false;
      waitingByKey.clear();
      inbox.push({ closed: event });
      if (!resumeScheduled) drain();
    };
    const finishClose = (event) => {
      for (const call of pending.values()) {
        call.reject(new CorvaneError("ERR_BRIDGE_UNREACHABLE",
                                     call.method + ": the connection to corvane bridge closed"));
      }
      pending.clear();
      if (typeof this.onclose === "function") {
        this.onclose({ code: event.code, reason: event.reason });
      }
      if (retry && !stopped) timer = setTimeout(reconnect, delay);
      else resume.port1.close();
    };
    const reconnect = async () => {
      timer = null;
      if (stopped) return;
      let opened;
      try {
        opened = await open(url, options);
      } catch (e) {
        // Only the bridge's own refusal ends reconnection: a bridge caught
        // starting (listening, its status not yet answered) is tried again.
        if (e.code === "ERR_VERSION_MISMATCH" && e.final) {
          stopped = true;
          if (typeof this.onreconnectfailed === "function") this.onreconnectfailed(e);
          return;
        }
        delay = Math.min(delay * 2, retry.maxDelayMs);
        if (!stopped) timer = setTimeout(reconnect, delay);
        return;
      }
      if (stopped) {
        opened.socket.close(1000);
        return;
      }
      delay = retry.initialDelayMs;
      attach(opened.socket, opened.hello);
      // The new component gets what the old one had: settings in the order
      // they were last made, then the callbacks.
      for (const [name, args] of settings) send(name, args).catch((e) => console.error(e));
      for (const name of slots.keys()) send(name, [true]).catch((e) => console.error(e));
      if (typeof this.onnewcomponent === "function") {
        try {
          this.onnewcomponent({ bridge: this.bridge });
        } catch (e) {
          console.error(e);
        }
      }
    };

    attach(socket, hello);
    this.close = () => {
      stopped = true;
      if (timer !== null) clearTimeout(timer);
      if (connected) socket.close(1000);
    };
  }
}
