// The road of a launch as a web page walks it. Query: ports=P1,P2 (free, for
// the launch URL), via (the host for the main server), app (an address the
// agent allows), forbidden (one it refuses), name (the browser). Each step is
// reported by fetching /report?<text>; a failure reports "error <text>".
"use strict";

const query = new URLSearchParams(location.search);
const STEP_MS = 30000;
const REFUSED = '{"id":"","jsonrpc":"2.0","method":"kavrel.launchStatus","params":'
    + '{"code":-203,"message":"Spustenie aplikacie bolo zakazane pouzivatelom","state":"error"}}';

async function report(text) {
    await fetch("/report?" + encodeURIComponent(text), {cache: "no-store"});
}

function check(condition, text) {
    if (!condition)
        throw new Error(text);
}

function sleep(ms) {
    return new Promise(resolve => setTimeout(resolve, ms));
}

// An open WebSocket whose messages and close are awaited in order.
function open(url) {
    return new Promise((resolve, reject) => {
        const peer = {url: url, socket: new WebSocket(url), queue: [], waiter: null, closeEvent: null};
        const wake = () => {
            if (peer.waiter)
                peer.waiter();
        };
        peer.socket.onopen = () => resolve(peer);
        peer.socket.onmessage = event => {
            peer.queue.push(event.data);
            wake();
        };
        peer.socket.onclose = event => {
            peer.closeEvent = event;
            reject(new Error("cannot connect to " + url));
            wake();
        };
    });
}

async function openRetrying(url) {
    const end = Date.now() + STEP_MS;
    for (;;) {
        try {
            return await open(url);
        } catch (e) {
            if (Date.now() > end)
                throw new Error("no connection to " + url + " within " + STEP_MS
                                + " ms (nothing listens, or the browser does not trust its certificate)");
            await sleep(200);
        }
    }
}

async function until(peer, ready, what) {
    const end = Date.now() + STEP_MS;
    while (!ready()) {
        if (Date.now() > end)
            throw new Error("no " + what + " from " + peer.url);
        await new Promise(resolve => {
            peer.waiter = resolve;
            setTimeout(resolve, 500);
        });
        peer.waiter = null;
    }
}

async function next(peer, what) {
    await until(peer, () => peer.queue.length > 0 || peer.closeEvent, what);
    if (peer.queue.length === 0)
        throw new Error(peer.url + " closed (" + peer.closeEvent.code + " '" + peer.closeEvent.reason
                        + "') while waiting for " + what);
    return peer.queue.shift();
}

async function closed(peer) {
    await until(peer, () => peer.closeEvent, "close");
    return peer.closeEvent;
}

function parse(text, method) {
    let message;
    try {
        message = JSON.parse(text);
    } catch (e) {
        throw new Error("not JSON: " + text);
    }
    check(message.jsonrpc === "2.0" && message.method === method, "expected " + method + ", got " + text);
    check(message.params !== null && typeof message.params === "object", "no params: " + text);
    return message;
}

function hello(text, host) {
    const message = parse(text, "hello");
    check(message.id === null, "hello with an id: " + text);
    check(typeof message.params.version === "string" && message.params.version !== "", "no version: " + text);
    const url = new URL(message.params.url);
    check(url.protocol === "wss:" && url.hostname === host, "redirect to another host than " + host + ": " + text);
    return message.params;
}

function randomToken() {
    const bytes = new Uint8Array(16);
    crypto.getRandomValues(bytes);
    return Array.from(bytes, b => b.toString(16).padStart(2, "0")).join("");
}

async function walk() {
    const ports = query.get("ports").split(",");
    const via = query.get("via");
    const token = randomToken();
    await report("launch obrenta-kavrel:?hostnames=kavrel.localhost,127.0.0.1&ports=" + ports.join(",")
                 + "&token=" + token);

    // The launcher starts now; its redirect server answers on every candidate port.
    const named = await openRetrying("wss://kavrel.localhost:" + ports[0] + "/getUrl/" + token);
    const byName = hello(await next(named, "hello"), "kavrel.localhost");
    await report("redirect " + byName.url);
    const numeric = await openRetrying("wss://127.0.0.1:" + ports[1] + "/getUrl/" + token);
    const byAddress = hello(await next(numeric, "hello"), "127.0.0.1");
    await report("redirect " + byAddress.url);
    check(byAddress.version === byName.version, "two versions: " + byName.version + ", " + byAddress.version);
    // Leaving both listeners lets the launcher end.
    named.socket.close();
    numeric.socket.close();

    const master = await open(via === "127.0.0.1" ? byAddress.url : byName.url);
    const greetingText = await next(master, "hello");
    const greeting = parse(greetingText, "hello");
    check(greeting.id === null && greeting.params.version === byName.version,
          "master greeting: " + JSON.stringify(greeting));
    await report("master " + greeting.params.version);

    const app = query.get("app");
    master.socket.send(JSON.stringify({jsonrpc: "2.0", id: 1, method: "kavrel.launch", params: {url: app}}));
    // The application reports itself and echoes the greeting it got as slave, in either order.
    const fromApp = [await next(master, "the application's report"), await next(master, "the application's echo")];
    const greeted = fromApp.indexOf(greetingText);
    check(greeted >= 0, "the application's greeting did not come back: " + fromApp.join(" "));
    const started = parse(fromApp[1 - greeted], "test.report");
    const args = started.params.args;
    check(Array.isArray(args) && args[args.length - 1] === app, "application started with " + JSON.stringify(args));
    await report("application " + started.params.env.KAVREL_URL);

    const text = JSON.stringify({jsonrpc: "2.0", method: "page.say", params: {text: "Dobrý deň z " + query.get("name")}});
    master.socket.send(text);
    const echoed = await next(master, "echo");
    check(echoed === text, "sent " + text + ", echoed " + echoed);
    await report("echoed " + echoed);

    master.socket.send(JSON.stringify({jsonrpc: "2.0", id: 2, method: "kavrel.launch",
                                       params: {url: query.get("forbidden")}}));
    const status = await next(master, "kavrel.launchStatus");
    check(status === REFUSED, "refusal: " + status);
    await report("refused");
    const end = await closed(master);
    check(end.code === 1000 && end.reason === "", "closed with " + end.code + " '" + end.reason + "'");
    await report("closed " + end.code);
}

walk().catch(e => report("error " + e.message));
