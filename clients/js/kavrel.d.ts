// Types of kavrel.js, the page kit of the Kavrel agent.

/** Candidate ports of the launcher's redirect server when none are given. */
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
    /** One to five ports from 49151 to 65535; default DEFAULT_PORTS. */
    ports?: number[];
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

/** A "kavrel.launchStatus" notification. */
export interface LaunchStatus {
    /** -200 to -203 for a launch the agent refused or could not start. */
    code?: number;
    message?: string;
    /** "error" from the agent; an application may send its own states. */
    state?: string;
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
    /** Each "kavrel.launchStatus", from the agent or the application. */
    onstatus: ((status: LaunchStatus) => void) | null;
    /** The session has ended: 1000 when the other end left or a refused launch was reported. */
    onclose: ((code: number, reason: string) => void) | null;
}

/**
 * Starts the application at appUrl (a JNLP address) through the Kavrel agent.
 * Resolves once the launch command is sent; rejects with a KavrelError when
 * no session came about, or with a TypeError for bad arguments.
 */
export function launch(appUrl: string, options?: LaunchOptions): Promise<Session>;
