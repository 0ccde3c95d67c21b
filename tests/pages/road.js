// The road of a launch as a web page walks it through the page kit's public
// API. Query: ports=P1,P2 (free, for the launch URL), via (the host the kit
// connects to), app (an address the agent allows), forbidden (one it
// refuses), name (the browser), steps (which of road, refusal, failures,
// example and blocked to walk, in that order; "done" follows the last). Each step is reported by fetching
// /report?<text>; the kit's open() reports "launch <URL>", which the test
// answers by starting the launcher as the desktop would (or, for the error
// steps, by starting none or a stranger). A failure reports "error <text>".
import {launch} from "./kavrel.js";

const query = new URLSearchParams(location.search);
const STEP_MS = 30000;
const ports = query.get("ports").split(",").map(Number);

async function report(text) {
    await fetch("/report?" + encodeURIComponent(text), {cache: "no-store"});
}

function check(condition, text) {
    if (!condition)
        throw new Error(text);
}

function options(extra) {
    return {ports, host: query.get("via"), timeoutMs: STEP_MS, open: url => report("launch " + url), ...extra};
}

// What a session hands to its callbacks, awaited in order.
function inbox(session) {
    const box = {texts: [], statuses: [], closed: null, wake: null};
    const poke = () => box.wake && box.wake();
    session.onmessage = text => {
        box.texts.push(text);
        poke();
    };
    session.onstatus = status => {
        box.statuses.push(status);
        poke();
    };
    session.onclose = (code, reason) => {
        box.closed = {code, reason};
        poke();
    };
    box.until = async (ready, what) => {
        const end = Date.now() + STEP_MS;
        while (!ready()) {
            check(Date.now() < end, "no " + what + "; got " + JSON.stringify(box));
            await new Promise(resolve => {
                box.wake = resolve;
                setTimeout(resolve, 500);
            });
        }
    };
    return box;
}

async function failure(promise) {
    try {
        await promise;
    } catch (e) {
        return e;
    }
    throw new Error("launch succeeded where it should fail");
}

async function road() {
    const app = query.get("app");
    const session = await launch(app, options({params: {javaXmx: "256m"}}));
    await report("session " + session.version);

    // The application reports itself and echoes the greeting it got as slave, in either order.
    const box = inbox(session);
    await box.until(() => box.texts.length >= 2, "report and greeting from the application");
    const reportText = box.texts.find(text => JSON.parse(text).method === "test.report");
    check(reportText && box.texts.some(text => JSON.parse(text).method === "hello"),
          "the application said " + box.texts.join(" "));
    const args = JSON.parse(reportText).params.args;
    check(args[args.length - 1] === app && args.includes("-J-Xmx256m"), "started with " + JSON.stringify(args));
    await report("application " + JSON.parse(reportText).params.env.KAVREL_URL);

    const text = JSON.stringify({jsonrpc: "2.0", method: "page.say", params: {text: "Dobrý deň z " + query.get("name")}});
    session.send(text);
    await box.until(() => box.texts.length >= 3, "echo");
    check(box.texts[2] === text, "sent " + text + ", echoed " + box.texts[2]);
    await report("echoed " + box.texts[2]);
    // The application ends by itself: the page hears how, then the close.
    session.send("test.exit 5");
    await box.until(() => box.closed, "close");
    const ended = box.statuses[box.statuses.length - 1];
    await report("left " + box.closed.code + " " + box.statuses.map(s => s.state).join(",") + " " + ended.exitCode
                 + " " + ended.crashed);
}

async function refusal() {
    const refused = inbox(await launch(query.get("forbidden"), options()));
    await refused.until(() => refused.closed, "refusal");
    await report("refused " + JSON.stringify(refused.statuses) + " " + refused.texts.length);
    await report("closed " + refused.closed.code);
}

async function failures() {
    // Nobody answers the launch URL.
    const silent = await failure(launch(query.get("app"), options({timeoutMs: 1500})));
    await report("failed " + silent.code + " " + silent.message);
    // A stranger's launcher holds the ports.
    const stranger = await failure(launch(query.get("app"), options()));
    await report("failed " + stranger.code + " " + stranger.message);
}

// The kit's example page in a frame, clicked as a user would: one launch for
// each outcome it words, reported as "example-<case> <what the page shows>".
async function example() {
    const frame = document.createElement("iframe");
    frame.src = "/example/index.html";
    await new Promise(resolve => {
        frame.onload = resolve;
        document.body.appendChild(frame);
    });
    const page = frame.contentDocument;
    const $ = id => page.getElementById(id);
    const until = async (ready, what) => {
        const end = Date.now() + STEP_MS;
        while (!ready()) {
            check(Date.now() < end, "the example page shows no " + what + ": " + $("log").textContent);
            await new Promise(resolve => setTimeout(resolve, 100));
        }
    };
    // The launch button comes back once the page has no session.
    const over = () => !$("launch").disabled;
    const outcomeOf = async (app, name, extra = {}) => {
        frame.contentWindow.kavrelLaunchOptions = options(extra);
        $("app").value = app;
        $("launch").click();
        await until(over, name);
        await report("example-" + name + " " + $("outcome").textContent);
    };

    const answering = query.get("app").replace("action=echo", "action=answer");
    frame.contentWindow.kavrelLaunchOptions = options();
    $("app").value = answering;
    $("launch").click();
    await until(() => !$("ask").disabled && $("outcome").dataset.kind === "good", "running application");
    $("ask").click();
    await until(() => $("answer").textContent.startsWith("The application answered"), "answer");
    await report("example-answer " + $("answer").textContent);
    $("close").click();
    await until(over, "close");
    await report("example-closed " + $("outcome").textContent);

    await outcomeOf(query.get("forbidden"), "forbidden");
    await outcomeOf(answering.replace("action=answer", "action=crash"), "crashed");
    await outcomeOf(answering.replace("action=answer", "action=exit&code=0"), "not-started");
    await outcomeOf(answering, "unreachable", {timeoutMs: 1500});

    // The user stops waiting once the launch URL is out.
    let opened = false;
    frame.contentWindow.kavrelLaunchOptions = options({open: async url => {
        await report("launch " + url);
        opened = true;
    }});
    $("launch").click();
    await until(() => opened, "launch URL");
    $("cancel").click();
    await until(over, "cancelled launch");
    await report("example-cancelled " + $("outcome").textContent);
    frame.remove();
}

// The agent runs and the test starts the launcher, but the browser keeps
// this page from the computer.
async function blocked() {
    const error = await failure(launch(query.get("app"), options()));
    await report("failed " + error.code + " " + error.message);
}

async function walk() {
    const steps = {road, refusal, failures, example, blocked};
    for (const step of query.get("steps").split(","))
        await steps[step]();
    await report("done");
}

walk().catch(e => report("error " + e.message));
