// The example page of the Kavrel page kit: launches an application, tells the
// user in plain words how it goes for every case the kit reports, asks the
// application one question and closes. Open index.html?app=<JNLP address> to
// start a given application.
//
// A test harness (or a developer without a desktop's scheme handler, see
// docs/testing.md) may set window.kavrelLaunchOptions before a click: its
// members go to launch() as they are (open, ports, timeoutMs, host).
import {KavrelError, RequestError, launch} from "../kavrel.js";

const $ = id => document.getElementById(id);
const given = new URLSearchParams(location.search).get("app");
if (given)
    $("app").value = given;

let session = null;
let cancel = null;
let joined = false;
let closedByPage = false;

function show(kind, text) {
    $("outcome").textContent = text;
    $("outcome").dataset.kind = kind;
    log(text);
}

function log(text) {
    $("log").textContent += new Date().toLocaleTimeString() + "  " + text + "\n";
}

function buttons(state) {
    $("launch").disabled = state !== "idle";
    $("cancel").disabled = state !== "launching";
    $("ask").disabled = state !== "session";
    $("close").disabled = state !== "session";
}

// Why launch() failed, for the user.
function failureText(e) {
    if (e instanceof KavrelError) {
        switch (e.code) {
        case "unreachable":
            return "Kavrel did not answer. Is it installed on this computer? If the browser asked whether "
                + "to open Kavrel, allow it and try again.";
        case "blocked":
            return e.message;  // The kit's own text says what the user can do.
        case "refused":
            return "Kavrel turned this page away. Try again; if it keeps happening, restart Kavrel.";
        case "closed":
            return "Kavrel closed the connection before the application could start. Try again.";
        }
    }
    if (e && e.name === "AbortError")
        return "You stopped waiting for Kavrel.";
    return "Something went wrong: " + e;
}

// What a status from the agent means, for the user.
function statusText(status) {
    switch (status.state) {
    case "started":
        return ["", "The application is starting. Java may ask whether to run it: answer Run."];
    case "joined":
        return ["good", "The application is running and connected to this page."];
    case "ended":
        if (status.crashed)
            return ["bad", "The application crashed (signal " + status.exitCode + ")."];
        if (!joined)
            return ["bad", "The application did not start: its start was cancelled (perhaps at Java's "
                               + "security question), or it could not connect to this page."];
        if (status.exitCode !== 0)
            return ["bad", "The application ended with an error (exit status " + status.exitCode + ")."];
        return ["good", "The application has ended."];
    case "error":
        switch (status.cause) {
        case "forbidden":
            return ["bad", "Your Kavrel settings do not allow this application. Allow it in Kavrel's settings "
                               + "(its icon in the panel) and try again."];
        case "bad-url":
        case "bad-option":
            return ["bad", "Kavrel refused the launch: the application's address or options are not valid."];
        case "session-busy":
            return ["bad", "This page already has an application running."];
        case "too-many-apps":
        case "no-descriptors":
            return ["bad", "Kavrel is running too many applications right now. Close one and try again."];
        case "failed-to-start":
            return ["bad", "Java Web Start could not be run. Is Java installed on this computer?"];
        default:
            return ["bad", "The application failed (" + (status.cause || status.code) + ")."];
        }
    }
    return ["", "The application says: " + status.state];
}

function closeText(code) {
    if (closedByPage)
        return ["", "You closed the session."];
    if (code === 1001)
        return ["bad", "Kavrel was quit."];
    if (code === 1006)
        return ["bad", "The connection to Kavrel broke."];
    return null;  // After an "ended" or "error" status, which said it all.
}

$("launch").onclick = async () => {
    cancel = new AbortController();
    joined = false;
    closedByPage = false;
    $("answer").textContent = "";
    buttons("launching");
    show("", "Asking Kavrel to start the application…");
    try {
        session = await launch($("app").value, {...(window.kavrelLaunchOptions || {}), signal: cancel.signal});
    } catch (e) {
        show("bad", failureText(e));
        buttons("idle");
        return;
    }
    buttons("session");
    log("Connected to Kavrel " + session.version + ".");
    session.addEventListener("status", ({status}) => {
        if (status.state === "joined")
            joined = true;
        const [kind, text] = statusText(status);
        show(kind, text);
    });
    session.addEventListener("message", ({data}) => log("The application sent: " + data));
    session.addEventListener("close", ({code}) => {
        const said = closeText(code);
        if (said)
            show(...said);
        session = null;
        buttons("idle");
    });
};

$("cancel").onclick = () => cancel.abort();

$("ask").onclick = async () => {
    $("answer").textContent = "Waiting for the answer…";
    try {
        const result = await session.request("example.sum", [1, 2, 3], {timeoutMs: 10000});
        $("answer").textContent = "The application answered: " + JSON.stringify(result);
    } catch (e) {
        $("answer").textContent = e instanceof RequestError ? "The application answered with an error: " + e.message
            : e instanceof KavrelError && e.code === "timeout" ? "The application did not answer in time."
            : "No answer: the session is over.";
    }
};

$("close").onclick = () => {
    closedByPage = true;
    session.close();
};

buttons("idle");
