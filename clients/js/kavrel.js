// Kavrel for web pages: launch an application through the Kavrel agent and
// exchange text with it. One ES module without dependencies; docs/protocol.md
// describes what it does on the wire.
//
//     import {launch} from "./kavrel.js";
//     const session = await launch("https://example.com/app.jnlp");
//     session.onmessage = text => console.log(text);
//     const sum = await session.request("app.sum", [1, 2]);

// How many candidate ports of the launcher's redirect server a launch names
// when the page gives none: drawn at random for each launch from 49151 to
// 65535, so that launchers of other pages and other accounts, and one a page
// left behind, hardly ever hold the same ones.
export const DEFAULT_PORT_COUNT = 3;
// The fixed ports earlier kits used by default; a page may still pass them.
export const DEFAULT_PORTS = Object.freeze([56781, 56782, 56783]);
// Long enough for a user to confirm the browser's question about opening
// Kavrel and for a first start of the agent, which makes its certificates.
export const DEFAULT_TIMEOUT_MS = 60000;
// How long session.request() waits for its answer when no timeoutMs is given.
export const DEFAULT_REQUEST_TIMEOUT_MS = 30000;

const HOSTS = ["kavrel.localhost", "127.0.0.1"];
const MIN_PORT = 49151;
const MAX_PORT = 65535;
const MAX_PORTS = 5;
const JVM_OPTIONS = ["javaXmx", "javaXms", "javaXss"];
// Pause before trying a port again that nothing answered on.
const RETRY_MS = 250;
// How long a last visit to another candidate port may take.
const VISIT_MS = 5000;
// Names of the browser permission that guards a page's connections to this
// computer, newest first.
const PERMISSIONS = ["loopback-network", "local-network-access"];
const BLOCKED_TEXT = "The browser does not let this page reach applications on this computer. "
    + "Allow local network access for this site in the browser's site settings, "
    + "or ask your administrator to allow it.";
const CLOSE_NORMAL = 1000;
const CLOSE_POLICY = 1008;
// The ids of session.request(): strings no page numbering of its own is likely
// to make, so that its answers can be told apart without reading every text.
const REQUEST_ID = "kavrel-request-";

// A failure before a session exists. code is "unreachable" (no agent answered
// in time), "blocked" (the browser refused the page access to this computer:
// local network access), "refused" (the agent turned the page away) or
// "closed" (the agent closed the connection before greeting it). Later:
// "closed" from send() and request() on a closed session, "timeout" from
// request().
export class KavrelError extends Error {
    constructor(code, message) {
        super(message);
        this.name = "KavrelError";
        this.code = code;
    }
}

// The application answered a request with a JSON-RPC error.
export class RequestError extends Error {
    constructor(code, message, data) {
        super(message);
        this.name = "RequestError";
        this.code = code;
        this.data = data;
    }
}

function fail(message) {
    throw new TypeError("kavrel: " + message);
}

function settingsOf(appUrl, options) {
    if (typeof appUrl !== "string" || appUrl.trim() === "")
        fail("the application's address must be a non-empty string");
    if (options === null || typeof options !== "object")
        fail("options must be an object");
    const ports = options.ports === undefined ? randomPorts(DEFAULT_PORT_COUNT) : options.ports;
    if (!Array.isArray(ports) || ports.length < 1 || ports.length > MAX_PORTS)
        fail("ports must hold one to five port numbers");
    for (const port of ports) {
        if (!Number.isInteger(port) || port < MIN_PORT || port > MAX_PORT)
            fail("a port must be an integer from " + MIN_PORT + " to " + MAX_PORT + ", not " + port);
    }
    const timeoutMs = positive(options.timeoutMs, DEFAULT_TIMEOUT_MS, "timeoutMs");
    const open = options.open === undefined ? openInFrame : options.open;
    if (typeof open !== "function")
        fail("open must be a function");
    const host = options.host === undefined ? HOSTS[0] : options.host;
    if (!HOSTS.includes(host))
        fail("host must be one of " + HOSTS.join(", "));
    const outcomes = options.outcomes === undefined ? true : options.outcomes;
    if (typeof outcomes !== "boolean")
        fail("outcomes must be true or false");
    const signal = options.signal === undefined ? null : options.signal;
    if (signal !== null && !isSignal(signal))
        fail("signal must be an AbortSignal");
    const params = outcomes ? {url: appUrl, outcomes: true} : {url: appUrl};
    const given = options.params === undefined ? {} : options.params;
    if (given === null || typeof given !== "object")
        fail("params must be an object");
    for (const name of Object.keys(given)) {
        if (!JVM_OPTIONS.includes(name))
            fail("unknown launch parameter " + name + " (known: " + JVM_OPTIONS.join(", ") + ")");
        if (typeof given[name] !== "string")
            fail("launch parameter " + name + " must be a string");
        params[name] = given[name];
    }
    return {ports: [...ports], timeoutMs, open, host, params, signal};
}

function isSignal(signal) {
    return signal !== null && typeof signal === "object" && typeof signal.aborted === "boolean"
        && typeof signal.addEventListener === "function";
}

// Calls onAbort once the signal aborts; returns what stops watching it.
function watch(signal, onAbort) {
    if (signal === null)
        return () => {};
    const listener = () => onAbort(signal.reason);
    signal.addEventListener("abort", listener, {once: true});
    return () => signal.removeEventListener("abort", listener);
}

function positive(value, fallback, name) {
    const result = value === undefined ? fallback : value;
    if (typeof result !== "number" || !(result > 0) || !Number.isFinite(result))
        fail(name + " must be a positive number");
    return result;
}

function randomPorts(count) {
    const ports = new Set();
    const values = new Uint32Array(1);
    while (ports.size < count) {
        globalThis.crypto.getRandomValues(values);
        ports.add(MIN_PORT + values[0] % (MAX_PORT - MIN_PORT + 1));
    }
    return [...ports];
}

function randomToken() {
    const bytes = new Uint8Array(16);
    globalThis.crypto.getRandomValues(bytes);
    return Array.from(bytes, b => b.toString(16).padStart(2, "0")).join("");
}

// The way pages start a URL-scheme handler without leaving the page: the
// browser asks the desktop to open it from a hidden frame, which launch()
// removes once the agent has answered or the attempt is over.
function openInFrame(launchUrl) {
    const frame = document.createElement("iframe");
    frame.style.display = "none";
    frame.src = launchUrl;
    (document.body || document.documentElement).appendChild(frame);
    return frame;
}

// The state of the browser's local-network-access permission for this page,
// or null where the browser has none.
async function networkPermission() {
    const permissions = globalThis.navigator && globalThis.navigator.permissions;
    if (!permissions || typeof permissions.query !== "function")
        return null;
    for (const name of PERMISSIONS) {
        try {
            return await permissions.query({name});
        } catch (e) {
            // Not a permission this browser knows; try the older name.
        }
    }
    return null;
}

function parsed(text) {
    if (typeof text !== "string")
        return null;
    try {
        const message = JSON.parse(text);
        return message !== null && typeof message === "object" ? message : null;
    } catch (e) {
        return null;
    }
}

function paramsOf(message, method) {
    if (!message || message.method !== method || message.params === null || typeof message.params !== "object")
        return null;
    return message.params;
}

// Asks every candidate port for the main server's address until one answers.
// The launcher listens on all the ports it could take; a port that turns the
// page away belongs to somebody else (an older launcher, another account).
// A browser that gates local network access fails the page's connections to
// this computer once its permission is denied (an administrator's policy
// grants it). A refused connection looks like one that nobody answers (the
// launcher may not listen yet), and a denial the browser remembers from
// earlier may not be enforced at all; so blocked needs a denial and no
// connection of this launch ever let through: a denial made while the page
// waits counts at once, an older one only when the time is up.
function findServer(settings, token, deadline, permission) {
    return new Promise((resolve, reject) => {
        const {ports, host} = settings;
        const timers = new Set();
        const inFlight = new Map();
        const refused = new Map();
        let done = false;
        let reached = false;
        const denied = () => permission !== null && permission.state === "denied";
        const onPermission = () => {
            if (denied() && !reached)
                give(new KavrelError("blocked", BLOCKED_TEXT));
        };

        const later = (ms, action) => {
            const timer = setTimeout(() => {
                timers.delete(timer);
                action();
            }, ms);
            timers.add(timer);
        };
        const finish = () => {
            done = true;
            unwatch();
            for (const timer of timers)
                clearTimeout(timer);
            timers.clear();
            if (permission !== null)
                permission.removeEventListener("change", onPermission);
        };
        const give = (error) => {
            if (done)
                return;
            finish();
            for (const socket of inFlight.values())
                socket.close();
            reject(error);
        };
        const unwatch = watch(settings.signal, give);

        // Each accepted page that leaves closes one listener of the launcher,
        // and the launcher ends when none is left; so once the address is
        // known, the page leaves every port of the launcher it can reach.
        const visit = (port) => {
            const socket = new WebSocket("wss://" + host + ":" + port + "/getUrl/" + token);
            const timer = setTimeout(() => socket.close(), VISIT_MS);
            socket.onmessage = () => socket.close();
            socket.onclose = () => clearTimeout(timer);
            socket.onerror = () => {};
        };

        const attempt = (port) => {
            if (done)
                return;
            const socket = new WebSocket("wss://" + host + ":" + port + "/getUrl/" + token);
            inFlight.set(port, socket);
            let answered = false;
            socket.onerror = () => {};
            socket.onopen = () => {
                reached = true;
            };
            socket.onmessage = (event) => {
                answered = true;
                socket.close();
                const hello = paramsOf(parsed(event.data), "hello");
                if (done)
                    return;
                if (!hello || typeof hello.url !== "string" || !hello.url.startsWith("wss://")) {
                    refused.set(port, "no address in the answer");
                    inFlight.delete(port);
                    if (refused.size === ports.length)
                        give(new KavrelError("refused", "the agent's redirect server gave no address"));
                    return;
                }
                finish();
                for (const other of ports) {
                    if (other !== port && !refused.has(other) && !inFlight.has(other))
                        visit(other);
                }
                resolve({url: hello.url, version: typeof hello.version === "string" ? hello.version : ""});
            };
            socket.onclose = (event) => {
                inFlight.delete(port);
                if (answered || done)
                    return;
                if (event.code === CLOSE_POLICY) {
                    reached = true;
                    refused.set(port, event.reason);
                    if (refused.size === ports.length)
                        give(new KavrelError("refused", "the agent refused the page on every port"
                                                 + (event.reason ? ": " + event.reason : "")));
                    return;
                }
                later(RETRY_MS, () => attempt(port));
            };
        };

        later(Math.max(0, deadline - Date.now()), () => {
            if (denied() && !reached)
                give(new KavrelError("blocked", BLOCKED_TEXT));
            else
                give(new KavrelError("unreachable", "no Kavrel agent answered on ports " + ports.join(", ")
                                                        + " within " + settings.timeoutMs
                                                        + " ms (is Kavrel installed, and was it allowed to start?"
                                                        + (permission !== null && permission.state === "prompt"
                                                               ? " Has the browser asked whether this site may reach"
                                                                     + " this computer?" : "")
                                                        + ")"));
        });
        if (permission !== null)
            permission.addEventListener("change", onPermission);
        ports.forEach(attempt);
    });
}

// The main server greets a master it admits; anything else ends the try.
function connectMaster(url, deadline, settings) {
    return new Promise((resolve, reject) => {
        const socket = new WebSocket(url);
        let greeted = false;
        const give = (error) => {
            clearTimeout(timer);
            unwatch();
            socket.onclose = null;
            socket.close();
            reject(error);
        };
        const timer = setTimeout(
            () => give(new KavrelError("unreachable", "the agent's server did not greet the page in time")),
            Math.max(0, deadline - Date.now()));
        const unwatch = watch(settings.signal, give);
        socket.onerror = () => {};
        socket.onclose = (event) => {
            clearTimeout(timer);
            unwatch();
            reject(new KavrelError(event.code === CLOSE_POLICY ? "refused" : "closed",
                                   "the agent's server closed the connection (" + event.code
                                       + (event.reason ? " " + event.reason : "") + ") before the launch"));
        };
        socket.onmessage = (event) => {
            if (greeted)
                return;
            greeted = true;
            clearTimeout(timer);
            unwatch();
            const hello = paramsOf(parsed(event.data), "hello");
            if (!hello) {
                socket.onclose = null;
                socket.close();
                reject(new KavrelError("refused", "the agent's server did not greet the page: " + event.data));
                return;
            }
            const session = new Session(socket, typeof hello.version === "string" ? hello.version : "");
            socket.send(JSON.stringify({jsonrpc: "2.0", id: 1, method: "kavrel.launch", params: settings.params}));
            resolve(session);
        };
    });
}

// What a session dispatches: "message" (data), "status" (status) and "close"
// (code, reason).
class SessionEvent extends Event {
    constructor(type, fields) {
        super(type);
        Object.assign(this, fields);
    }
}

// One page's session with the application it launched. What arrives before
// the page has set a callback or added a listener for its kind waits for it.
class Session extends EventTarget {
    #socket;
    #callbacks = {message: null, status: null, close: null};
    // Each kind's listeners, and whether they go after one event.
    #listeners = {message: new Map(), status: new Map(), close: new Map()};
    #waiting = {message: [], status: [], close: []};
    #pending = new Map();
    #lastId = 0;

    constructor(socket, version) {
        super();
        this.#socket = socket;
        this.version = version;
        socket.onmessage = (event) => {
            if (typeof event.data !== "string")
                return;
            if (event.data.includes('"' + REQUEST_ID) && this.#takeAnswer(parsed(event.data)))
                return;
            const status = event.data.includes('"kavrel.launchStatus"')
                ? paramsOf(parsed(event.data), "kavrel.launchStatus") : null;
            if (status)
                this.#deliver("status", [{code: status.code, message: status.message, state: status.state,
                                          url: status.url, ...status}]);
            else
                this.#deliver("message", [event.data]);
        };
        socket.onclose = (event) => {
            for (const request of this.#pending.values())
                request.settle(new KavrelError("closed", "the session ended before the answer came"));
            this.#deliver("close", [event.code, event.reason]);
        };
    }

    // Sends one text to the application; the agent closes a session whose
    // message exceeds 64 MiB.
    send(text) {
        if (this.#socket.readyState !== 1)
            throw new KavrelError("closed", "the session is closed");
        this.#socket.send(String(text));
    }

    // Sends a JSON-RPC request and resolves with its answer's result.
    request(method, params, options = {}) {
        if (typeof method !== "string" || method === "")
            fail("a request's method must be a non-empty string");
        if (params !== undefined && (params === null || typeof params !== "object"))
            fail("a request's params must be an object or an array");
        if (options === null || typeof options !== "object")
            fail("options must be an object");
        const timeoutMs = positive(options.timeoutMs, DEFAULT_REQUEST_TIMEOUT_MS, "timeoutMs");
        const signal = options.signal === undefined ? null : options.signal;
        if (signal !== null && !isSignal(signal))
            fail("signal must be an AbortSignal");
        return new Promise((resolve, reject) => {
            if (signal !== null && signal.aborted)
                return reject(signal.reason);
            const id = REQUEST_ID + ++this.#lastId;
            const message = params === undefined ? {jsonrpc: "2.0", id, method} : {jsonrpc: "2.0", id, method, params};
            this.send(JSON.stringify(message));
            const timer = setTimeout(
                () => settle(new KavrelError("timeout", "no answer to " + method + " within " + timeoutMs + " ms")),
                timeoutMs);
            const settle = (error, result, failed = true) => {
                clearTimeout(timer);
                unwatch();
                this.#pending.delete(id);
                if (failed)
                    reject(error);
                else
                    resolve(result);
            };
            const unwatch = watch(signal, reason => settle(reason));
            this.#pending.set(id, {settle});
        });
    }

    // An answer to one of request()'s ids, late ones included, is request()'s
    // alone.
    #takeAnswer(message) {
        if (!message || typeof message.id !== "string" || !message.id.startsWith(REQUEST_ID)
            || message.method !== undefined || !("result" in message || "error" in message))
            return false;
        const request = this.#pending.get(message.id);
        if (!request)
            return true;
        // Some peers send "error": null beside a result.
        const error = message.error;
        if (error === undefined || error === null)
            request.settle(null, message.result, false);
        else if (error !== null && typeof error === "object")
            request.settle(new RequestError(error.code, String(error.message), error.data));
        else
            request.settle(new RequestError(undefined, "the answer's error is not an object", error));
        return true;
    }

    // Ends the session; the agent then closes the application's connection.
    close() {
        this.#socket.close(CLOSE_NORMAL);
    }

    // Bytes given to send() that the browser has not passed on yet.
    get bufferedAmount() {
        return this.#socket.bufferedAmount;
    }

    get onmessage() {
        return this.#callbacks.message;
    }
    set onmessage(callback) {
        this.#set("message", callback);
    }
    get onstatus() {
        return this.#callbacks.status;
    }
    set onstatus(callback) {
        this.#set("status", callback);
    }
    get onclose() {
        return this.#callbacks.close;
    }
    set onclose(callback) {
        this.#set("close", callback);
    }

    addEventListener(type, listener, options) {
        super.addEventListener(type, listener, options);
        if (Object.hasOwn(this.#listeners, type) && listener && !this.#listeners[type].has(listener)) {
            this.#listeners[type].set(listener, options !== null && typeof options === "object" && !!options.once);
            this.#flush(type);
        }
    }

    removeEventListener(type, listener, options) {
        super.removeEventListener(type, listener, options);
        if (Object.hasOwn(this.#listeners, type))
            this.#listeners[type].delete(listener);
    }

    #set(kind, callback) {
        this.#callbacks[kind] = typeof callback === "function" ? callback : null;
        this.#flush(kind);
    }

    #heard(kind) {
        return this.#callbacks[kind] !== null || this.#listeners[kind].size > 0;
    }

    #flush(kind) {
        const waiting = this.#waiting[kind];
        while (this.#heard(kind) && waiting.length > 0)
            this.#dispatch(kind, waiting.shift());
    }

    #deliver(kind, args) {
        if (this.#heard(kind) && this.#waiting[kind].length === 0)
            this.#dispatch(kind, args);
        else
            this.#waiting[kind].push(args);
    }

    #dispatch(kind, args) {
        if (this.#callbacks[kind])
            this.#callbacks[kind](...args);
        const fields = kind === "message" ? {data: args[0]}
            : kind === "status" ? {status: args[0]} : {code: args[0], reason: args[1]};
        this.dispatchEvent(new SessionEvent(kind, fields));
        for (const [listener, once] of this.#listeners[kind])
            if (once)
                this.#listeners[kind].delete(listener);
    }
}

// Launches the application at appUrl through the Kavrel agent and resolves
// with the session once the launch command is on its way; see kavrel.d.ts.
export async function launch(appUrl, options = {}) {
    const settings = settingsOf(appUrl, options);
    const deadline = Date.now() + settings.timeoutMs;
    const token = randomToken();
    const launchUrl = "obrenta-kavrel:?hostnames=" + HOSTS.join(",") + "&ports=" + settings.ports.join(",")
        + "&token=" + token;
    const stopIfAborted = () => {
        if (settings.signal !== null && settings.signal.aborted)
            throw settings.signal.reason;
    };
    stopIfAborted();
    const permission = await networkPermission();
    stopIfAborted();
    const opened = await settings.open(launchUrl);
    try {
        stopIfAborted();
        const server = await findServer(settings, token, deadline, permission);
        return await connectMaster(server.url, deadline, settings);
    } finally {
        if (settings.open === openInFrame)
            opened.remove();
    }
}
