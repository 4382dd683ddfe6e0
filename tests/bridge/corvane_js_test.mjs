// corvane.js against a scripted bridge (node, no browser): what the real
// bridge does not send yet or cannot be made to send on demand. A level-2
// bridge may batch events (a JSON array, in order) between replies; a bridge
// from before the handshake answers the hello as an unknown call.
//
//   node tests/bridge/corvane_js_test.mjs SOURCE_DIR
import assert from "node:assert/strict";
import { pathToFileURL } from "node:url";

const { Corvane, CorvaneError } = await import(
  pathToFileURL(process.argv[2] + "/examples/corvane.js").href);

// A WebSocket whose bridge is a function: each frame the page sends gets the
// frames the function returns, delivered as separate messages.
function scriptedSocket(answer) {
  return class {
    constructor() {
      this.readyState = 0;
      setTimeout(() => {
        this.readyState = 1;
        this.onopen && this.onopen();
      });
    }
    send(text) {
      for (const frame of answer(JSON.parse(text))) {
        setTimeout(() => this.onmessage && this.onmessage({ data: JSON.stringify(frame) }));
      }
    }
    close(code) {
      this.readyState = 3;
      setTimeout(() => this.onclose && this.onclose({ code: code || 1005, reason: "" }));
    }
  };
}

const event = (name, text) => ({ event: name, text });
const cases = [
  {
    what: "a level-2 bridge's batch calls the callbacks in order, before the reply",
    bridge: (m) => m.hello ? [{ hello: { protocol: 2, bridge: "2.0.0", component: "2.0.0" } }]
      : m.method === "sendRequest"
        ? [[event("handleData", "a"), event("handleData", "b")], event("handleData", "c"),
           { id: m.id, result: 0 }]
        : [{ id: m.id, result: 0 }],
    require: 2, protocol: 2, log: ["a", "b", "c", "result 0"],
  },
  {
    what: "a bridge from before the handshake serves level 1",
    bridge: (m) => m.hello ? [{ id: null, error: "a call is ..." }]
      : m.method === "sendRequest" ? [event("handleData", "x"), { id: m.id, result: 0 }]
      : [{ id: m.id, result: 0 }],
    require: 1, protocol: 1, log: ["x", "result 0"],
  },
  {
    what: "and a page that needs level 2 refuses it",
    bridge: (m) => [{ id: null, error: "a call is ..." }],
    require: 2, error: "ERR_VERSION_MISMATCH",
  },
];
for (const c of cases) {
  globalThis.WebSocket = scriptedSocket(c.bridge);
  try {
    const corvane = await Corvane.connect("ws://127.0.0.1:1/", { requireProtocol: c.require });
    assert.equal(c.error, undefined, c.what);
    assert.equal(corvane.bridge.protocol, c.protocol, c.what);
    const log = [];
    corvane.handleData = (text) => log.push(text);
    log.push("result " + await corvane.sendRequest("1=x"));
    assert.deepEqual(log, c.log, c.what);
    corvane.close();
  } catch (e) {
    if (!(e instanceof CorvaneError)) throw e;
    assert.equal(e.code, c.error, c.what + ": " + e.detail);
  }
}
console.log("corvane.js: " + cases.length + " cases passed");
