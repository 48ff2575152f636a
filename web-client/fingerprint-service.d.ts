// Types of fingerprint-service.js, the web page's client of the tobran-quorvel service.

export declare const DEFAULT_SERVICE_URL: string;
export declare const DEFAULT_POLL_INTERVAL_MS: number;
export declare const DEFAULT_TIMEOUT_MS: number;
export declare const DEFAULT_PROMPT_TIMEOUT_MS: number;
export declare const ENROLMENT_PRESSES: number;
export declare const ACCESS_PERMISSION_NAMES: readonly string[];

/** Options every call but the helpers (describeRet, templateByteLength) takes. */
export interface RequestOptions {
  /** The service's base URL; default DEFAULT_SERVICE_URL. */
  service?: string;
  /** When it fires the call rejects with the signal's reason, even getStatus and cancelCapture,
   *  which reject for nothing else. */
  signal?: AbortSignal;
  /** How long one request may take, in milliseconds; default DEFAULT_TIMEOUT_MS. getAccessState
   *  makes no request: it has nothing to limit there. */
  timeoutMs?: number;
}

export type Operation = 'beginCapture' | 'info' | 'getImage' | 'getTemplate';

/** Why nothing usable answered: no service, no answer in time, or something that is not it. */
export type UnreachableReason = 'not-running' | 'timeout' | 'not-the-service';

/** The service did not answer, or what answered is not the service. */
export declare class ServiceUnreachableError extends Error {
  constructor(service: string, cause?: unknown, reason?: UnreachableReason);
  readonly name: 'ServiceUnreachableError';
  readonly service: string;
  readonly reason: UnreachableReason;
}

/**
 * Why the browser stopped a request: 'denied' (the person or a policy refused local network
 * access), 'prompt' (not allowed yet: make the request from a click, see requestAccess),
 * 'insecure' (the page is not served over HTTPS), 'frame' (the page is in a frame of another
 * site whose embedding page must allow local network access: allow="local-network-access" on
 * its iframe; the browser cannot ask the person).
 */
export type BlockedReason = 'denied' | 'prompt' | 'insecure' | 'frame';

/** The browser stopped the request before it reached the service. */
export declare class AccessBlockedError extends Error {
  constructor(service: string, reason: BlockedReason, cause?: unknown);
  readonly name: 'AccessBlockedError';
  readonly service: string;
  readonly reason: BlockedReason;
}

/** The service answered with a negative "ret" code. */
export declare class ServiceError extends Error {
  constructor(operation: Operation, ret: number);
  readonly name: 'ServiceError';
  readonly operation: Operation;
  readonly ret: number;
}

export type AccessStateName = 'granted' | 'denied' | 'prompt' | 'insecure' | 'frame' | 'not-applicable';

export interface AccessState {
  state: AccessStateName;
  /** The permission name this browser knows (for 'frame', the feature the iframe must allow),
   *  or null. */
  permission: string | null;
  /** window.isSecureContext. */
  secureContext: boolean;
}

export type Status =
  | { state: 'running'; running: true; readerOpen: boolean; message: string; error?: undefined }
  | { state: 'not-running'; running: false; readerOpen: false; message: string; error: ServiceUnreachableError }
  | { state: 'blocked'; running: false; readerOpen: false; message: string; error: AccessBlockedError };

export type CaptureMode = 'enroll' | 'single';

export interface OpenReaderOptions extends RequestOptions {
  /** Default 'enroll'. */
  mode?: CaptureMode;
  /** The reader's fake-finger check; default true. */
  rejectFakes?: boolean;
}

export interface Progress {
  /** Presses taken, 0..3. */
  presses: number;
  /** The number before, null the first time. */
  previous: number | null;
  /** True when the template is ready and about to be fetched. */
  ready: boolean;
}

export interface WaitForTemplateOptions extends RequestOptions {
  /** How often progress is asked for; default DEFAULT_POLL_INTERVAL_MS. */
  intervalMs?: number;
  onProgress?: (progress: Progress) => void;
}

export interface TemplateResult {
  /** The template as base64 text. */
  template: string;
  presses: number;
  /** The mode the service really captured in. */
  mode: CaptureMode;
}

export declare function describeRet(operation: Operation, ret: number): string;
export declare function getAccessState(options?: RequestOptions): Promise<AccessState>;
export declare function requestAccess(options?: RequestOptions): Promise<Status>;
export declare function getStatus(options?: RequestOptions): Promise<Status>;
export declare function openReader(options?: OpenReaderOptions): Promise<{ serialNumber: string }>;
export declare function waitForTemplate(options?: WaitForTemplateOptions): Promise<TemplateResult>;
export declare function cancelCapture(options?: RequestOptions): Promise<void>;
export declare function templateByteLength(template: string): number;
