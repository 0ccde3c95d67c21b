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

/** Why launch() failed before a session existed. */
export type KavrelErrorCode = "unreachable" | "blocked" | "refused" | "closed";

export class KavrelError extends Error {
    constructor(code: KavrelErrorCode, message: string);
    readonly name: "KavrelError";
    /**
     * "unreachable": no agent answered in time (not installed, not started,
     * the user declined to open it);
     * "blocked": the browser refused the page access to this computer (its
     * local-network-access permission is denied); the message can be shown
     * to the user;
     * "refused": the agent turned the page away (close 1008);
     * "closed": the agent closed the connection before greeting the page.
     */
    readonly code: KavrelErrorCode;
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
}

/**
 * Why the agent sent a status. For state "error": "bad-url" (no usable
 * address), "bad-option" (a memory option), "session-busy" (the session has
 * its application), "too-many-apps", "no-descriptors" (the agent is short of
 * resources), "failed-to-start" (javaws could not run), "crashed" and
 * "process-error" (the application's process failed), "forbidden" (the
 * user's setting). For the outcomes: "started", "joined", "exited", "crashed".
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

export interface Session {
    /** The agent's version, from its greeting. */
    readonly version: string;
    /** Bytes given to send() that the browser has not passed on yet. */
    readonly bufferedAmount: number;
    /** Sends one text to the application. Throws a KavrelError "closed" once the session is closed. */
    send(text: string): void;
    /** Ends the session; the agent closes the application's connection. */
    close(): void;
    /** Every text from the application except launch statuses. */
    onmessage: ((text: string) => void) | null;
    /**
     * Each "kavrel.launchStatus", from the agent or the application, in
     * order: with outcomes, "started", "joined" and "ended" (or one "error"
     * where the launch was refused or could not start), always before onclose.
     */
    onstatus: ((status: LaunchStatus) => void) | null;
    /**
     * The session has ended: 1000 after an "ended" or "error" status, or when
     * the application's connection went without outcomes asked for; the code
     * of the page's own close() (1000) after close(); 1001 when the agent
     * quit; 1006 when the connection broke (the agent was killed).
     */
    onclose: ((code: number, reason: string) => void) | null;
}

/**
 * Starts the application at appUrl (a JNLP address) through the Kavrel agent.
 * Resolves once the launch command is sent; rejects with a KavrelError when
 * no session came about, or with a TypeError for bad arguments.
 */
export function launch(appUrl: string, options?: LaunchOptions): Promise<Session>;
