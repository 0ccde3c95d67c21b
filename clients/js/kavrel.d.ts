// Types of kavrel.js, the page kit of the Kavrel agent.

/**
 * How many candidate ports a launch names when none are given: drawn at
 * random for each launch from 49151 to 65535.
 */
export const DEFAULT_PORT_COUNT: number;
/** The fixed ports earlier kits used by default; no longer the default. */
export const DEFAULT_PORTS: readonly number[];
/** How long launch() waits for the agent when no timeoutMs is given. */
export const DEFAULT_TIMEOUT_MS: number;
/** How long Session.request() waits for its answer when no timeoutMs is given (30000). */
export const DEFAULT_REQUEST_TIMEOUT_MS: number;

/**
 * Why launch() failed before a session existed ("unreachable", "blocked",
 * "refused", "closed"), or why a session's send() or request() failed
 * ("closed", "timeout").
 */
export type KavrelErrorCode = "unreachable" | "blocked" | "refused" | "closed" | "timeout";

export class KavrelError extends Error {
    constructor(code: KavrelErrorCode, message: string);
    readonly name: "KavrelError";
    /**
     * "unreachable": no agent answered in time (not installed, not started,
     * the user declined to open it);
     * "blocked": the browser refused the page access to this computer (its
     * local-network-access permission is denied and no connection of this
     * launch went through: at once for a denial made while the page waits,
     * at the time-out for an older one); the message can be shown to the user;
     * "refused": the agent turned the page away (close 1008);
     * "closed": the agent closed the connection before greeting the page;
     * from send() and request(): the session is over;
     * "timeout": request() got no answer in time.
     *
     * A launch or request cancelled through its signal rejects with the
     * signal's reason instead (as fetch() does): a DOMException named
     * "AbortError" unless abort() was given a reason.
     */
    readonly code: KavrelErrorCode;
}

/**
 * The application answered a request with a JSON-RPC error object; code,
 * message and data are that object's.
 */
export class RequestError extends Error {
    constructor(code: number | undefined, message: string, data?: unknown);
    readonly name: "RequestError";
    readonly code: number | undefined;
    readonly data: unknown;
}

/** Options of the launch command for the Java virtual machine. */
export interface LaunchParams {
    /** Maximum heap, as javaws takes it, such as "512m". */
    javaXmx?: string;
    /** Initial heap. */
    javaXms?: string;
    /** Thread stack size. */
    javaXss?: string;
}

export interface LaunchOptions {
    /**
     * One to five ports from 49151 to 65535; default: DEFAULT_PORT_COUNT
     * ports drawn at random for this launch.
     */
    ports?: number[];
    /**
     * Whether the agent tells the page how the launch goes (onstatus with
     * state "started", "joined" and "ended"); default true. Agents
     * that do not know it ignore it.
     */
    outcomes?: boolean;
    /**
     * Hands the launch URL to the browser; default: a hidden iframe, which
     * starts the obrenta-kavrel: handler without leaving the page. May return
     * a promise, which launch() awaits.
     */
    open?: (launchUrl: string) => void | Promise<void>;
    /** JVM options of the launch command. */
    params?: LaunchParams;
    /** How long to wait for the agent, in milliseconds; default DEFAULT_TIMEOUT_MS. */
    timeoutMs?: number;
    /** The agent's host name the page connects to; default "kavrel.localhost". */
    host?: "kavrel.localhost" | "127.0.0.1";
    /**
     * Cancels the launch while it has not resolved: launch() then rejects at
     * once with signal.reason, stops trying the ports, closes what it opened
     * and sends no launch command. Once launch() has resolved, the signal
     * changes nothing (use session.close()).
     */
    signal?: AbortSignal;
}

export interface RequestOptions {
    /** How long to wait for the answer; default DEFAULT_REQUEST_TIMEOUT_MS. */
    timeoutMs?: number;
    /** Stops waiting: request() rejects at once with signal.reason. */
    signal?: AbortSignal;
}

/** The event of "message": the application's text. */
export interface SessionMessageEvent extends Event {
    readonly type: "message";
    readonly data: string;
}
/** The event of "status". */
export interface SessionStatusEvent extends Event {
    readonly type: "status";
    readonly status: LaunchStatus;
}
/** The event of "close": as onclose's arguments. */
export interface SessionCloseEvent extends Event {
    readonly type: "close";
    readonly code: number;
    readonly reason: string;
}
export interface SessionEventMap {
    message: SessionMessageEvent;
    status: SessionStatusEvent;
    close: SessionCloseEvent;
}

/**
 * Why the agent sent a status. For state "error": "bad-url" (no usable
 * address), "bad-option" (a memory option), "session-busy" (the session has
 * its application), "too-many-apps", "no-descriptors" (the agent is short of
 * resources), "failed-to-start" (javaws could not run), "crashed" and
 * "process-error" (the application's process failed), "forbidden" (the
 * user's setting or answer, an unanswered question, or the administrator's
 * policy). For the outcomes: "started", "joined", "exited", "crashed".
 */
export type LaunchCause =
    | "bad-url" | "bad-option" | "session-busy" | "too-many-apps" | "no-descriptors" | "failed-to-start"
    | "crashed" | "process-error" | "forbidden" | "started" | "joined" | "exited";

/**
 * A "kavrel.launchStatus" notification. The agent's own carry "cause"; an
 * application may send its own (relayed with its "url" rewritten).
 */
export interface LaunchStatus {
    /**
     * "error": the agent refused the launch or the application failed (the
     * session then closes with 1000). With outcomes asked for (the default):
     * "started" (the application's process runs), "joined" (the application
     * connected to the session), "ended" (its process ended; the session then
     * closes with 1000). An application may send states of its own.
     */
    state?: string;
    /** -200 to -203 for "error"; 0 for the outcomes. */
    code?: number;
    /** The agent's fixed Slovak text for an error; empty for the outcomes. */
    message?: string;
    /** Stable name of the reason: decide on this, not on the message. */
    cause?: LaunchCause;
    /** "ended": the exit status, or the number of the signal that ended a crashed process. */
    exitCode?: number;
    /** "ended": whether the process crashed (was killed by a signal). */
    crashed?: boolean;
    url?: string;
}

/**
 * A page's session with the application it launched. Each message, status
 * and close goes to the on* callback of its kind and to the listeners added
 * with addEventListener() (callback first). What arrives while a kind has
 * neither waits, in order, and goes to the first of them that is set.
 *
 * How a session ends, as the page hears it:
 * - the application's process ends (outcomes asked for, the default):
 *   status "ended" (cause "exited" or "crashed", exitCode, crashed), then
 *   close 1000;
 * - the launch is refused or cannot start: one status "error" with its cause
 *   ("forbidden" when the user's setting forbids the application), then close
 *   1000;
 * - without outcomes, the application's connection goes: close 1000;
 * - the page calls close(): close 1000 and no
 *   status; requests still waiting reject with KavrelError "closed";
 * - the agent quits: close 1001; the agent is killed or the connection breaks:
 *   close 1006; no status in either case.
 */
export interface Session extends EventTarget {
    /** The agent's version, from its greeting. */
    readonly version: string;
    /** Bytes given to send() that the browser has not passed on yet. */
    readonly bufferedAmount: number;
    /** Sends one text to the application. Throws a KavrelError "closed" once the session is closed. */
    send(text: string): void;
    /** Ends the session; the agent closes the application's connection. */
    close(): void;
    /**
     * Sends a JSON-RPC 2.0 request ({jsonrpc, id, method, params}) to the
     * application, with an id of the kit's own (a string beginning
     * "kavrel-request-"), and resolves with the answer's result. Rejects with
     * a RequestError when the application answers an error, a KavrelError
     * "timeout" when no answer came in time, "closed" when the session is or
     * becomes closed, and with signal.reason when the signal aborts; a
     * TypeError for bad arguments. Answers to these ids, late ones included,
     * never reach onmessage; everything else does.
     */
    request(method: string, params?: object | unknown[], options?: RequestOptions): Promise<unknown>;
    addEventListener<K extends keyof SessionEventMap>(
        type: K, listener: (this: Session, event: SessionEventMap[K]) => any,
        options?: boolean | AddEventListenerOptions): void;
    addEventListener(type: string, listener: EventListenerOrEventListenerObject,
                     options?: boolean | AddEventListenerOptions): void;
    removeEventListener<K extends keyof SessionEventMap>(
        type: K, listener: (this: Session, event: SessionEventMap[K]) => any,
        options?: boolean | EventListenerOptions): void;
    removeEventListener(type: string, listener: EventListenerOrEventListenerObject,
                        options?: boolean | EventListenerOptions): void;
    /** Every text from the application except launch statuses and the answers of request(). */
    onmessage: ((text: string) => void) | null;
    /**
     * Each "kavrel.launchStatus", from the agent or the application, in
     * order: with outcomes, "started", "joined" and "ended" (or one "error"
     * where the launch was refused or could not start), always before onclose.
     */
    onstatus: ((status: LaunchStatus) => void) | null;
    /** The session has ended; see the list above for the codes. Called once. */
    onclose: ((code: number, reason: string) => void) | null;
}

/**
 * Starts the application at appUrl (a JNLP address) through the Kavrel agent.
 * Resolves once the launch command is sent; rejects with a KavrelError when
 * no session came about, or with a TypeError for bad arguments.
 */
export function launch(appUrl: string, options?: LaunchOptions): Promise<Session>;
