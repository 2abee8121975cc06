// Test agent: does what the test asks over its small HTTP server on 127.0.0.1 and reports back.
//
// The test answers GET /next with one command at a time (or {"op":"idle"} after a while), and takes
// every report as POST /report. Reports go out one after another, in the order the events happened.
// KARVO_TEST_SERVER comes from config.js, which the test writes beside this file.
"use strict";

const HOST_NAME = "com.karvo.bridge";
const SMALL_MESSAGE = 4096;  // longer messages are reported by their length only

const ports = new Map();
let reports = Promise.resolve();

function report(event) {
  const body = JSON.stringify(event);
  reports = reports.then(() =>
    fetch(KARVO_TEST_SERVER + "/report", {method: "POST", body}).catch(() => {}));
}

function lastErrorText(port) {
  const error = (port && port.error) || chrome.runtime.lastError;
  return error ? String(error.message || error) : "";
}

function connect(name) {
  const port = chrome.runtime.connectNative(HOST_NAME);
  ports.set(name, port);
  port.onMessage.addListener((message) => {
    const text = JSON.stringify(message);
    const event = {event: "message", port: name, length: text.length};
    if (message && typeof message === "object" && "id" in message) event.id = message.id;
    if (text.length <= SMALL_MESSAGE) event.message = message;
    report(event);
  });
  port.onDisconnect.addListener((p) => {
    ports.delete(name);
    report({event: "disconnect", port: name, error: lastErrorText(p)});
  });
}

function run(command) {
  const port = ports.get(command.port);
  switch (command.op) {
    case "connect":
      connect(command.port);
      report({event: "done", seq: command.seq});
      return;
    case "post":
    case "post_padded": {
      if (!port) return report({event: "done", seq: command.seq, error: "no such port"});
      const message = command.message;
      if (command.op === "post_padded") message.pad = "x".repeat(command.bytes);
      port.postMessage(message);
      report({event: "done", seq: command.seq});
      return;
    }
    case "disconnect":
      if (port) port.disconnect();
      ports.delete(command.port);
      report({event: "done", seq: command.seq});
      return;
    default:
      report({event: "done", seq: command.seq, error: "unknown op " + command.op});
  }
}

async function poll() {
  for (;;) {
    let command;
    try {
      const response = await fetch(KARVO_TEST_SERVER + "/next");
      command = await response.json();
    } catch (e) {
      await new Promise((resolve) => setTimeout(resolve, 200));
      continue;
    }
    if (command.op === "idle") continue;
    try {
      run(command);
    } catch (e) {
      report({event: "done", seq: command.seq, error: String(e)});
    }
  }
}

report({event: "ready", agent: navigator.userAgent});
poll();
