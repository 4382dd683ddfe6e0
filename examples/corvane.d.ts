// Types of corvane.js: the component through a local `corvane bridge`.

/** The version of corvane.js (the project's). */
export const VERSION: string;
/** The protocol level corvane.js speaks (2: events may come batched). */
export const PROTOCOL: number;

export type CorvaneErrorCode =
  | "ERR_BRIDGE_UNREACHABLE"
  | "ERR_ORIGIN_REFUSED"
  | "ERR_PERMISSION_DENIED"
  | "ERR_VERSION_MISMATCH"
  | "ERR_INSECURE_CONTEXT";

/** Each code's message, written for the page's user. */
export const ERRORS: Readonly<Record<CorvaneErrorCode, string>>;

export class CorvaneError extends Error {
  readonly name: "CorvaneError";
  readonly code: CorvaneErrorCode;
  /** What the browser or the bridge said, for a log. */
  readonly detail: string;
}

/** The bridge's status answer. */
export interface CorvaneStatus {
  bridge: string;
  component: string;
  protocol: { min: number; max: number };
  /** Whether the bridge serves pages of this page's origin. */
  originAllowed: boolean;
}

/** The bridge's answer to the page's hello. */
export interface CorvaneBridgeInfo {
  /** The protocol level served. */
  protocol: number;
  /** Empty for a bridge from before the handshake (level 1). */
  bridge: string;
  component: string;
}

export interface CorvaneReconnect {
  /** The first delay before connecting again (default 500 ms); it doubles. */
  initialDelayMs?: number;
  /** The longest delay (default 30 000 ms). */
  maxDelayMs?: number;
}

export interface CorvaneConnectOptions {
  /** The least protocol level the page needs (default 1). */
  requireProtocol?: number;
  /** Connect again when the bridge goes, re-applying settings and callbacks. */
  reconnect?: boolean | CorvaneReconnect;
  /** How long the bridge may take to answer (default 10 000 ms). */
  timeoutMs?: number;
}

/** An argument as script passes it: a string, a whole number, a boolean or null. */
export type CorvaneArg = string | number | boolean | null | undefined;
export type CorvaneResult = number | string | null;
/** A callback: the event's text, with the component as `this`. */
export type CorvaneCallback = ((this: Corvane, text: string) => void) | null;
type Method = (...args: CorvaneArg[]) => Promise<CorvaneResult>;

export class Corvane {
  static status(url: string, options?: { timeoutMs?: number }): Promise<CorvaneStatus>;
  static connect(url: string, options?: CorvaneConnectOptions): Promise<Corvane>;

  /** The bridge's answer to the hello of the current connection. */
  readonly bridge: CorvaneBridgeInfo;
  /** Ends the connection to the bridge (and reconnection). */
  close(): void;
  /** The connection to the bridge ended. */
  onclose: ((event: { code: number; reason: string }) => void) | null;
  /** After a reconnection: a new component, settings and callbacks re-applied. */
  onnewcomponent: ((event: { bridge: CorvaneBridgeInfo }) => void) | null;
  /** Reconnection stopped for good (a bridge of a version the page cannot use). */
  onreconnectfailed: ((error: CorvaneError) => void) | null;

  SetProxyCredentials: Method;
  SendConnect: Method;
  ReceiveData: Method;
  ConnectToServer: Method;
  SetServerDetails: Method;
  setKeepAliveTimerDetail: Method;
  setTimerDetails: Method;
  setEncryption: Method;
  setCompression: Method;
  setMultiOC: Method;
  setOCDetails: Method;
  startKeepAlive: Method;
  sendRequest: Method;
  sendBCRequest: Method;
  getPacketCount: Method;
  getRequestCount: Method;
  setProxyServerDetails: Method;
  setTransportSecurity: Method;
  setServerPins: Method;
  getTransportSecurity: Method;
  setConflation: Method;
  getConflatedCount: Method;

  handleConnect: CorvaneCallback;
  handleConnectionFailure: CorvaneCallback;
  handleMaximumReConnection: CorvaneCallback;
  handleDisConnect: CorvaneCallback;
  handleData: CorvaneCallback;
  handleAuthentication: CorvaneCallback;
  handleBCDisConnect: CorvaneCallback;
}
