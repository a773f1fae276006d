// Talks to the host registered as "tovel.browser_test" and logs each outcome
// as one console line "TOVELTEST <step> <json>", which the test reads from
// the browser's log.
const HOST = "tovel.browser_test";

function report(step, value) {
  console.log("TOVELTEST " + step + " " + JSON.stringify(value));
}

function lastError() {
  return chrome.runtime.lastError ? chrome.runtime.lastError.message : null;
}

// One-off request: the browser starts the host, sends one message, takes the
// first response and closes the host.
function sendOnce() {
  return new Promise((resolve) => {
    chrome.runtime.sendNativeMessage(
        HOST, {function: "GetVersion", params: [], randomId: "once"}, (response) => {
          resolve({response: response === undefined ? null : response, error: lastError()});
        });
  });
}

// A port: two requests in turn over one running host.
function talkOverPort() {
  return new Promise((resolve) => {
    const port = chrome.runtime.connectNative(HOST);
    const requests = [
      {function: "GetVersion", params: [], randomId: "p1"},
      {function: "Foo", params: [], randomId: "p2"},
    ];
    const responses = [];
    port.onMessage.addListener((message) => {
      responses.push(message);
      if (responses.length < requests.length) {
        port.postMessage(requests[responses.length]);
      } else {
        port.disconnect();
        resolve({responses: responses, error: null});
      }
    });
    port.onDisconnect.addListener(() => {
      resolve({responses: responses, error: lastError() || "disconnected"});
    });
    port.postMessage(requests[0]);
  });
}

(async () => {
  report("ready", {});
  report("once", await sendOnce());
  report("port", await talkOverPort());
  report("done", {});
})();
