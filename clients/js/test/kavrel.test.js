// The page kit's own logic against a scripted agent: the launch URL, trying
// the candidate ports, the time-out, the error codes and the session's
// callbacks, the signal, requests, and the package. Real browsers walk the
// whole road in tests/tst_browsers.cpp.
import assert from "node:assert/strict";
import {spawnSync} from "node:child_process";
import {webcrypto} from "node:crypto";
import {existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync} from "node:fs";
import {tmpdir} from "node:os";
import {join} from "node:path";
import {test} from "node:test";
import {fileURLToPath} from "node:url";

import {DEFAULT_PORT_COUNT, DEFAULT_TIMEOUT_MS, KavrelError, RequestError, launch} from "../kavrel.js";

if (!globalThis.crypto)
    globalThis.crypto = webcrypto;

const HELLO = '{"id":null,"jsonrpc":"2.0","method":"hello","params":{"version":"1.1.0.1"}}';
const REFUSED = '{"id":"","jsonrpc":"2.0","method":"kavrel.launchStatus","params":'
    + '{"code":-203,"message":"Spustenie aplikacie bolo zakazane pouzivatelom","state":"error"}}';
const MASTER = "wss://kavrel.localhost:50000/master/secret";

// A scripted agent behind a WebSocket of the browser's shape. Each URL's
// behaviour is a function (socket, tries) called when the socket opens:
// socket.answer(text) sends to the page, socket.end(code, reason) closes it;
// HOLD keeps the connection being made for ever; an unknown URL fails like a
// port nobody listens on.
const HOLD = "hold";
class Agent {
    constructor() {
        this.behaviour = new Map();
        this.sockets = [];
        this.tries = new Map();
        const agent = this;
        this.WebSocket = class {
            constructor(url) {
                this.url = url;
                this.readyState = 0;
                this.bufferedAmount = 0;
                this.sent = [];
                this.closedBy = null;
                agent.sockets.push(this);
                const tries = (agent.tries.get(url) || 0) + 1;
                agent.tries.set(url, tries);
                const act = agent.behaviourOf(url);
                if (act === HOLD)
                    return;
                setImmediate(() => {
                    if (!act) {
                        this.onerror && this.onerror({});
                        this.end(1006, "");
                        return;
                    }
                    this.readyState = 1;
                    this.onopen && this.onopen({});
                    act(this, tries);
                });
            }
            answer(text) {
                this.answered = true;
                setImmediate(() => this.readyState === 1 && this.onmessage && this.onmessage({data: text}));
            }
            end(code, reason) {
                if (this.readyState === 3)
                    return;
                this.readyState = 3;
                setImmediate(() => this.onclose && this.onclose({code, reason}));
            }
            send(text) {
                this.sent.push(text);
            }
            close(code) {
                this.closedBy = "page";
                this.end(code === undefined ? 1005 : code, "");
            }
        };
        globalThis.WebSocket = this.WebSocket;
    }

    behaviourOf(url) {
        for (const [pattern, act] of this.behaviour)
            if (url.startsWith(pattern))
                return act;
        return null;
    }

    // The redirect server of a launcher on port, greeting from its try n on.
    redirect(port, fromTry = 1, master = MASTER) {
        this.behaviour.set("wss://kavrel.localhost:" + port + "/getUrl/", (socket, tries) => {
            if (tries < fromTry) {
                socket.end(1006, "");
                return;
            }
            socket.answer(JSON.stringify({id: null, jsonrpc: "2.0", method: "hello",
                                          params: {url: master, version: "1.1.0.1"}}));
        });
    }

    on(prefix, act) {
        this.behaviour.set(prefix, act);
    }

    opened(prefix) {
        return this.sockets.filter(s => s.url.startsWith(prefix));
    }
}

function recorder() {
    const urls = [];
    return {urls, open: url => {
        urls.push(url);
    }};
}

function until(condition) {
    return new Promise((resolve, reject) => {
        const end = Date.now() + 5000;
        const poll = () => condition() ? resolve() : Date.now() > end ? reject(new Error("timed out")) : setImmediate(poll);
        poll();
    });
}

async function rejection(promise) {
    try {
        await promise;
    } catch (e) {
        return e;
    }
    assert.fail("launch resolved");
}

test("the launch URL, the port fallback and the launch command", async () => {
    const agent = new Agent();
    // Nothing on 50001 at first, another launcher (another token) on 50002,
    // ours on 50003 once it has started.
    agent.on("wss://kavrel.localhost:50002/getUrl/", socket => socket.end(1008, "Pristup zamietnuty"));
    agent.redirect(50003, 3);
    agent.on(MASTER, socket => socket.answer(HELLO));
    const opener = recorder();
    const session = await launch("https://example.com/app.jnlp", {
        ports: [50001, 50002, 50003], open: opener.open, params: {javaXmx: "512m", javaXss: "1m"}});

    assert.equal(opener.urls.length, 1);
    const match = /^obrenta-kavrel:\?hostnames=kavrel\.localhost,127\.0\.0\.1&ports=50001,50002,50003&token=([0-9a-f]{32})$/
        .exec(opener.urls[0]);
    assert.ok(match, opener.urls[0]);
    const token = match[1];
    for (const socket of agent.sockets.filter(s => s.url.includes("/getUrl/")))
        assert.match(socket.url, new RegExp("^wss://kavrel\\.localhost:5000[123]/getUrl/" + token + "$"));
    assert.equal(agent.tries.get("wss://kavrel.localhost:50003/getUrl/" + token), 3);
    // A port that turned the page away is not asked again.
    assert.equal(agent.tries.get("wss://kavrel.localhost:50002/getUrl/" + token), 1);
    assert.ok(agent.tries.get("wss://kavrel.localhost:50001/getUrl/" + token) >= 2);
    // The page leaves the redirect server as soon as it has the address.
    const answered = agent.opened("wss://kavrel.localhost:50003/").filter(s => s.answered);
    assert.ok(answered.length === 1 && answered[0].closedBy === "page");

    const [master] = agent.opened(MASTER);
    assert.equal(session.version, "1.1.0.1");
    assert.deepEqual(master.sent.map(t => JSON.parse(t)), [{jsonrpc: "2.0", id: 1, method: "kavrel.launch",
        params: {url: "https://example.com/app.jnlp", outcomes: true, javaXmx: "512m", javaXss: "1m"}}]);
    session.send("Dobrý deň");
    assert.equal(master.sent[1], "Dobrý deň");

    // Two launches never share a token; a page may do without outcomes.
    agent.redirect(50001);
    const again = recorder();
    await launch("https://example.com/app.jnlp", {ports: [50001], open: again.open, outcomes: false});
    assert.notEqual(again.urls[0].split("token=")[1], token);
    assert.deepEqual(JSON.parse(agent.opened(MASTER)[1].sent[0]).params, {url: "https://example.com/app.jnlp"});
});

test("a session hands texts, statuses and the close to its callbacks, also those set late", async () => {
    const agent = new Agent();
    agent.redirect(50010);
    const status = '{"id":"","jsonrpc":"2.0","method":"kavrel.launchStatus","params":'
        + '{"code":0,"message":"bezi","state":"started","url":"wss://kavrel.localhost:4000/x"}}';
    const ENDED = '{"id":"","jsonrpc":"2.0","method":"kavrel.launchStatus","params":'
        + '{"cause":"crashed","code":0,"crashed":true,"exitCode":9,"message":"","state":"ended"}}';
    agent.on(MASTER, socket => {
        socket.answer(HELLO);
        // The application speaks at once, before the page has set anything.
        socket.answer('{"jsonrpc":"2.0","method":"app.ready","params":{}}');
        socket.answer(status);
        socket.answer("plain text");
        socket.answer(ENDED);
    });
    const session = await launch("https://example.com/app.jnlp", {ports: [50010], open: () => {}});
    const [master] = agent.opened(MASTER);
    await until(() => master.onmessage && master.sent.length === 1);
    await new Promise(resolve => setImmediate(resolve));
    await new Promise(resolve => setImmediate(resolve));

    const texts = [], statuses = [], closes = [];
    session.onmessage = text => texts.push(text);
    session.onstatus = s => statuses.push(s);
    session.onclose = (code, reason) => closes.push([code, reason]);
    await until(() => texts.length === 2 && statuses.length === 2);
    assert.deepEqual(texts, ['{"jsonrpc":"2.0","method":"app.ready","params":{}}', "plain text"]);
    assert.deepEqual(statuses, [{code: 0, message: "bezi", state: "started", url: "wss://kavrel.localhost:4000/x"},
                                {cause: "crashed", code: 0, crashed: true, exitCode: 9, message: "", state: "ended",
                                 url: undefined}]);
    assert.equal(session.bufferedAmount, 0);

    session.close();
    await until(() => closes.length === 1);
    assert.deepEqual(closes, [[1000, ""]]);
    assert.throws(() => session.send("late"), e => e instanceof KavrelError && e.code === "closed");
});

test("a refused launch arrives as a status followed by the close", async () => {
    const agent = new Agent();
    agent.redirect(50020);
    agent.on(MASTER, socket => {
        socket.answer(HELLO);
        const send = socket.send.bind(socket);
        socket.send = text => {
            send(text);
            socket.answer(REFUSED);
            setImmediate(() => socket.end(1000, ""));
        };
    });
    const session = await launch("https://example.com/forbidden.jnlp", {ports: [50020], open: () => {}});
    const seen = [];
    session.onmessage = text => seen.push(["message", text]);
    session.onstatus = s => seen.push(["status", s]);
    session.onclose = (code, reason) => seen.push(["close", code, reason]);
    await until(() => seen.length === 2);
    assert.deepEqual(seen, [["status", {code: -203, message: "Spustenie aplikacie bolo zakazane pouzivatelom",
                                        state: "error", url: undefined}], ["close", 1000, ""]]);
});

test("failures before a session name themselves", async (t) => {
    await t.test("no agent within the time-out: unreachable, and nothing is left trying", async () => {
        const agent = new Agent();
        const started = Date.now();
        const error = await rejection(launch("https://example.com/app.jnlp",
                                             {ports: [50030, 50031], timeoutMs: 400, open: () => {}}));
        assert.ok(error instanceof KavrelError, String(error));
        assert.equal(error.code, "unreachable");
        assert.match(error.message, /50030, 50031/);
        assert.ok(Date.now() - started >= 390);
        assert.ok(agent.tries.size === 2 && [...agent.tries.values()].every(n => n >= 2));
        const count = agent.sockets.length;
        await new Promise(resolve => setTimeout(resolve, 600));
        assert.equal(agent.sockets.length, count);
    });

    await t.test("every port turns the page away: refused at once", async () => {
        const agent = new Agent();
        agent.on("wss://kavrel.localhost:", socket => socket.end(1008, "Pristup zamietnuty"));
        const started = Date.now();
        const error = await rejection(launch("https://example.com/app.jnlp",
                                             {ports: [50040, 50041], timeoutMs: 5000, open: () => {}}));
        assert.equal(error.code, "refused");
        assert.match(error.message, /Pristup zamietnuty/);
        assert.ok(Date.now() - started < 4000);
    });

    await t.test("the main server turns the master away: refused", async () => {
        const agent = new Agent();
        agent.redirect(50050);
        agent.on(MASTER, socket => socket.end(1008, "Pristup zamietnuty"));
        const error = await rejection(launch("https://example.com/app.jnlp", {ports: [50050], open: () => {}}));
        assert.equal(error.code, "refused");
    });

    await t.test("the main server closes before its greeting: closed", async () => {
        const agent = new Agent();
        agent.redirect(50060);
        agent.on(MASTER, socket => socket.end(1006, ""));
        const error = await rejection(launch("https://example.com/app.jnlp", {ports: [50060], open: () => {}}));
        assert.equal(error.code, "closed");
        assert.match(error.message, /1006/);
    });

    await t.test("the main server never greets: unreachable at the time-out", async () => {
        const agent = new Agent();
        agent.redirect(50070);
        agent.on(MASTER, () => {});
        const error = await rejection(launch("https://example.com/app.jnlp",
                                             {ports: [50070], timeoutMs: 300, open: () => {}}));
        assert.equal(error.code, "unreachable");
        assert.equal(agent.opened(MASTER)[0].readyState, 3);
    });
});

// The browser's local-network-access permission, as navigator.permissions
// shows it; names lists the permission names the browser knows.
function permission(state, names = ["loopback-network"]) {
    const status = new EventTarget();
    status.state = state;
    status.set = next => {
        status.state = next;
        status.dispatchEvent(new Event("change"));
    };
    status.asked = [];
    Object.defineProperty(globalThis, "navigator", {configurable: true, writable: true, value: {permissions: {
        query: async ({name}) => {
            status.asked.push(name);
            if (!names.includes(name))
                throw new TypeError("unknown permission " + name);
            return status;
        }}}});
    return status;
}

test("a browser that keeps the page from this computer: blocked, told apart from unreachable", async (t) => {
    t.after(() => delete globalThis.navigator);

    await t.test("the permission turns to denied when the browser refuses the connection", async () => {
        const agent = new Agent();
        const status = permission("prompt");
        agent.on("wss://kavrel.localhost:50080/", socket => socket.end(1006, ""));
        const pending = launch("https://example.com/app.jnlp", {ports: [50080], timeoutMs: 5000, open: () => {}});
        await until(() => agent.sockets.length >= 1);
        status.set("denied");
        const error = await rejection(pending);
        assert.equal(error.code, "blocked");
        assert.match(error.message, /local network access/);
        assert.deepEqual(status.asked, ["loopback-network"]);
    });

    await t.test("denied from the start, under the older name: blocked once the time is up", async () => {
        const agent = new Agent();
        const status = permission("denied", ["local-network-access"]);
        const error = await rejection(launch("https://example.com/app.jnlp",
                                             {ports: [50090, 50091], timeoutMs: 400, open: () => {}}));
        assert.equal(error.code, "blocked");
        assert.deepEqual(status.asked, ["loopback-network", "local-network-access"]);
        // Tried all along: a launcher that came up late would have been found.
        assert.ok(agent.tries.size === 2 && [...agent.tries.values()].every(n => n >= 2));
    });

    await t.test("an old denial the browser does not enforce: the launcher that comes up late is found", async () => {
        const agent = new Agent();
        permission("denied");
        agent.redirect(50095, 3);
        agent.on(MASTER, socket => socket.answer(HELLO));
        const session = await launch("https://example.com/app.jnlp", {ports: [50095], timeoutMs: 5000, open: () => {}});
        assert.equal(session.version, "1.1.0.1");
        // Nor is a port another launcher holds a sign of blocking.
        new Agent().on("wss://kavrel.localhost:", socket => socket.end(1008, "Pristup zamietnuty"));
        permission("denied");
        const error = await rejection(launch("https://example.com/app.jnlp",
                                             {ports: [50096], timeoutMs: 400, open: () => {}}));
        assert.equal(error.code, "refused");
    });

    await t.test("granted, or no such permission: nobody answering is unreachable", async () => {
        for (const status of [() => permission("granted"), () => permission("prompt", [])]) {
            new Agent();
            status();
            const error = await rejection(launch("https://example.com/app.jnlp",
                                                 {ports: [50100], timeoutMs: 300, open: () => {}}));
            assert.equal(error.code, "unreachable");
        }
    });

    await t.test("still asking: a held connection is nobody answering, with a hint", async () => {
        const agent = new Agent();
        permission("prompt");
        agent.on("wss://kavrel.localhost:50110/", HOLD);
        const error = await rejection(launch("https://example.com/app.jnlp",
                                             {ports: [50110], timeoutMs: 300, open: () => {}}));
        assert.equal(error.code, "unreachable");
        assert.match(error.message, /Has the browser asked/);
        assert.ok(agent.sockets.every(socket => socket.closedBy === "page"));
        delete globalThis.navigator;
        new Agent().on("wss://kavrel.localhost:50111/", HOLD);
        const plain = await rejection(launch("https://example.com/app.jnlp",
                                             {ports: [50111], timeoutMs: 300, open: () => {}}));
        assert.doesNotMatch(plain.message, /Has the browser asked/);
    });
});

test("arguments are checked before anything is opened; defaults apply", async () => {
    const agent = new Agent();
    const opener = recorder();
    const bad = [
        [""], ["x", {ports: []}], ["x", {ports: [50001, 50002, 50003, 50004, 50005, 50006]}], ["x", {ports: [49150]}],
        ["x", {ports: [65536]}], ["x", {ports: ["50001"]}], ["x", {timeoutMs: 0}], ["x", {open: "iframe"}],
        ["x", {params: {javaXmx: 512}}], ["x", {params: {other: "1"}}], ["x", {host: "example.com"}], ["  "],
        ["x", {outcomes: "yes"}],
    ];
    for (const args of bad) {
        const error = await rejection(launch(args[0], {open: opener.open, ...args[1]}));
        assert.ok(error instanceof TypeError, JSON.stringify(args) + ": " + error);
    }
    assert.equal(opener.urls.length, 0);
    assert.equal(agent.sockets.length, 0);

    assert.equal(DEFAULT_TIMEOUT_MS, 60000);
    // Each launch draws its own ports from the whole range a launch URL allows.
    agent.on("wss://kavrel.localhost:", socket => socket.answer(JSON.stringify(
        {id: null, jsonrpc: "2.0", method: "hello", params: {url: MASTER, version: "1.1.0.1"}})));
    agent.on(MASTER, socket => socket.answer(HELLO));
    // The default opener starts the handler from a hidden frame of the page.
    const frames = [];
    globalThis.document = {
        createElement: tag => ({tag, style: {}, remove() {
            this.removed = true;
        }}),
        body: {appendChild: element => frames.push(element)},
    };
    try {
        const drawn = [];
        for (let i = 0; i < 20; ++i) {
            await launch("https://example.com/app.jnlp");
            assert.equal(frames[i].tag, "iframe");
            assert.equal(frames[i].style.display, "none");
            assert.ok(frames[i].removed);
            const ports = /ports=([0-9,]+)&token=/.exec(frames[i].src)[1].split(",").map(Number);
            assert.equal(new Set(ports).size, DEFAULT_PORT_COUNT);
            assert.ok(ports.every(p => p >= 49151 && p <= 65535), String(ports));
            drawn.push(...ports);
        }
        // Sixty draws from 16385 ports: a repeat now and then, never a pattern.
        assert.ok(new Set(drawn).size > 50, String(drawn));
        assert.ok(Math.min(...drawn) < 57000 && Math.max(...drawn) > 57000, String(drawn));
    } finally {
        delete globalThis.document;
    }
});

test("a page cancels a launch with its signal: rejected at once with the signal's reason, nothing left trying",
     async (t) => {
    await t.test("aborted before the call: nothing is opened", async () => {
        const agent = new Agent();
        const opener = recorder();
        const reason = new Error("page left");
        const error = await rejection(launch("https://example.com/app.jnlp",
                                             {open: opener.open, signal: AbortSignal.abort(reason)}));
        assert.equal(error, reason);
        assert.equal(opener.urls.length + agent.sockets.length, 0);
    });

    await t.test("while the ports are tried", async () => {
        const agent = new Agent();
        agent.on("wss://kavrel.localhost:50120/", HOLD);
        const controller = new AbortController();
        const pending = launch("https://example.com/app.jnlp",
                               {ports: [50120, 50121], timeoutMs: 20000, open: () => {}, signal: controller.signal});
        await until(() => agent.tries.size === 2);
        const started = Date.now();
        controller.abort();
        const error = await rejection(pending);
        assert.equal(error.name, "AbortError");
        assert.ok(Date.now() - started < 1000);
        assert.ok(agent.opened("wss://kavrel.localhost:50120/").every(s => s.closedBy === "page"));
        const count = agent.sockets.length;
        await new Promise(resolve => setTimeout(resolve, 600));
        assert.equal(agent.sockets.length, count);
    });

    await t.test("while the main server has not greeted: its connection is closed, no launch is sent", async () => {
        const agent = new Agent();
        agent.redirect(50130);
        agent.on(MASTER, () => {});
        const controller = new AbortController();
        const pending = launch("https://example.com/app.jnlp", {ports: [50130], open: () => {}, signal: controller.signal});
        await until(() => agent.opened(MASTER).length === 1 && agent.opened(MASTER)[0].readyState === 1);
        controller.abort("enough");
        assert.equal(await rejection(pending), "enough");
        const [master] = agent.opened(MASTER);
        assert.ok(master.closedBy === "page" && master.sent.length === 0);
    });

    await t.test("after the launch has resolved the signal changes nothing", async () => {
        const agent = new Agent();
        agent.redirect(50140);
        agent.on(MASTER, socket => socket.answer(HELLO));
        const controller = new AbortController();
        const session = await launch("https://example.com/app.jnlp",
                                     {ports: [50140], open: () => {}, signal: controller.signal});
        controller.abort();
        session.send("still here");
        assert.deepEqual(agent.opened(MASTER)[0].sent.slice(1), ["still here"]);
        assert.ok(await rejection(launch("x", {open: () => {}, signal: {}})) instanceof TypeError);
    });
});

// An application behind the session that answers the page's JSON-RPC
// requests: "sum" adds its params, "fail" answers an error, "slow" answers
// after ms milliseconds, "never" does not answer.
async function answeringSession(port) {
    const agent = new Agent();
    agent.redirect(port);
    agent.on(MASTER, socket => {
        socket.answer(HELLO);
        socket.send = text => {
            socket.sent.push(text);
            const request = JSON.parse(text);
            const reply = answer => socket.answer(JSON.stringify({jsonrpc: "2.0", id: request.id, ...answer}));
            if (request.method === "sum")
                reply({result: request.params.reduce((a, b) => a + b, 0)});
            else if (request.method === "fail")
                reply({error: {code: -32001, message: "no such file", data: {file: "a.txt"}}});
            else if (request.method === "slow")
                setTimeout(() => reply({result: "late"}), request.params.ms);
        };
    });
    const session = await launch("https://example.com/app.jnlp", {ports: [port], open: () => {}});
    return {session, master: agent.opened(MASTER)[0]};
}

test("requests: answers resolve or reject them and are not handed to onmessage", async () => {
    const {session, master} = await answeringSession(50150);
    const texts = [];
    session.onmessage = text => texts.push(text);

    const [three, six] = await Promise.all([session.request("sum", [1, 2]), session.request("sum", [1, 2, 3])]);
    assert.deepEqual([three, six], [3, 6]);
    const ids = master.sent.slice(1).map(t => JSON.parse(t).id);
    assert.equal(new Set(ids).size, 2);
    assert.deepEqual(JSON.parse(master.sent[1]), {jsonrpc: "2.0", id: ids[0], method: "sum", params: [1, 2]});

    const error = await rejection(session.request("fail", {}));
    assert.ok(error instanceof RequestError, String(error));
    assert.deepEqual([error.code, error.message, error.data], [-32001, "no such file", {file: "a.txt"}]);

    const timedOut = await rejection(session.request("slow", {ms: 150}, {timeoutMs: 50}));
    assert.ok(timedOut instanceof KavrelError && timedOut.code === "timeout", String(timedOut));
    const controller = new AbortController();
    const aborted = session.request("never", {}, {signal: controller.signal});
    controller.abort("changed my mind");
    assert.equal(await rejection(aborted), "changed my mind");
    // The late answer to the timed-out request is dropped; the page's own
    // numbering and everything else still reach onmessage.
    await new Promise(resolve => setTimeout(resolve, 200));
    master.answer('{"jsonrpc":"2.0","id":7,"result":1}');
    master.answer('{"jsonrpc":"2.0","method":"app.note","params":{"text":"id \\"kavrel-request-1\\""}}');
    await until(() => texts.length === 2);
    assert.deepEqual(texts, ['{"jsonrpc":"2.0","id":7,"result":1}',
                             '{"jsonrpc":"2.0","method":"app.note","params":{"text":"id \\"kavrel-request-1\\""}}']);

    for (const args of [[""], ["sum", 5], ["sum", [], {timeoutMs: -1}], ["sum", [], {signal: "no"}]])
        assert.throws(() => session.request(...args), TypeError, JSON.stringify(args));

    const open = session.request("never");
    session.close();
    const closed = await rejection(open);
    assert.ok(closed instanceof KavrelError && closed.code === "closed");
    assert.equal((await rejection(session.request("sum", [1]))).code, "closed");
});

test("listeners hear what the on* callbacks hear, and what came before either waits", async () => {
    const agent = new Agent();
    agent.redirect(50160);
    const ENDED = '{"id":"","jsonrpc":"2.0","method":"kavrel.launchStatus","params":'
        + '{"cause":"exited","code":0,"crashed":false,"exitCode":0,"message":"","state":"ended"}}';
    agent.on(MASTER, socket => {
        socket.answer(HELLO);
        socket.answer("early");
        socket.answer(ENDED);
        setTimeout(() => socket.end(1000, ""), 50);
    });
    const session = await launch("https://example.com/app.jnlp", {ports: [50160], open: () => {}});
    assert.ok(session instanceof EventTarget);
    await new Promise(resolve => setTimeout(resolve, 20));
    const heard = [];
    const onMessage = event => heard.push(["listener", event.type, event.data]);
    session.addEventListener("message", onMessage);
    session.addEventListener("message", event => heard.push(["once", event.data]), {once: true});
    session.onmessage = text => heard.push(["callback", text]);
    session.addEventListener("status", event => heard.push(["status", event.status.cause, event.status.exitCode]));
    session.addEventListener("close", event => heard.push(["close", event.code, event.reason]));
    assert.deepEqual(heard, [["listener", "message", "early"], ["status", "exited", 0]]);
    await until(() => heard.length === 3);
    assert.deepEqual(heard[2], ["close", 1000, ""]);

    // The one-time listener takes the next text; once nobody listens any
    // more, texts wait again.
    session.removeEventListener("message", onMessage);
    session.onmessage = null;
    const master = agent.opened(MASTER)[0];
    master.readyState = 1;
    master.answer("later");
    master.answer("latest");
    await new Promise(resolve => setTimeout(resolve, 20));
    assert.deepEqual(heard.slice(3), [["once", "later"]]);
    // What waited goes to whoever comes first.
    session.onmessage = text => heard.push(["callback", text]);
    session.addEventListener("message", event => heard.push(["listener", event.data]));
    assert.deepEqual(heard.slice(4), [["callback", "latest"]]);
});

// A page project installs the kit from a packed tarball, offline, and imports
// it by its name; what the package holds is what its exports and types name.
test("the kit packs and installs with npm", {skip: spawnSync("npm", ["--version"]).status !== 0 && "no npm"}, () => {
    const work = mkdtempSync(join(tmpdir(), "kavrel-npm-"));
    try {
        const env = {...process.env, npm_config_cache: join(work, "cache"), npm_config_update_notifier: "false"};
        const run = (cwd, ...args) => {
            const result = spawnSync("npm", args, {cwd, env, encoding: "utf8"});
            assert.equal(result.status, 0, args.join(" ") + ": " + result.stderr);
            return result.stdout;
        };
        const kit = fileURLToPath(new URL("..", import.meta.url));
        const tarball = run(kit, "pack", "--pack-destination", work).trim().split("\n").pop();
        const project = join(work, "page");
        mkdirSync(project);
        writeFileSync(join(project, "package.json"), '{"name":"page","version":"1.0.0","type":"module"}');
        run(project, "install", "--offline", "--no-audit", "--no-fund", join(work, tarball));

        const installed = join(project, "node_modules", "@obrenta", "kavrel");
        const manifest = JSON.parse(readFileSync(join(installed, "package.json"), "utf8"));
        assert.ok(!manifest.private);
        for (const file of [manifest.exports["."].types, manifest.exports["."].default, manifest.types])
            assert.ok(existsSync(join(installed, file)), file);
        const probe = spawnSync("node", ["--input-type=module", "-e",
            'import * as kit from "@obrenta/kavrel"; console.log(Object.keys(kit).sort().join())'],
            {cwd: project, encoding: "utf8"});
        assert.equal(probe.stdout.trim(),
                     "DEFAULT_PORTS,DEFAULT_PORT_COUNT,DEFAULT_REQUEST_TIMEOUT_MS,DEFAULT_TIMEOUT_MS,KavrelError,"
                         + "RequestError,launch", probe.stderr);
        // Everything the declarations export, the module exports.
        const declared = readFileSync(join(installed, manifest.types), "utf8")
            .match(/^export (?:const|class|function) (\w+)/gm).map(line => line.split(" ").pop()).sort().join();
        assert.equal(declared, probe.stdout.trim());
    } finally {
        rmSync(work, {recursive: true, force: true});
    }
});
