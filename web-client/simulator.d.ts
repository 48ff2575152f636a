// Types of simulator.js: a client of the simulated reader's control channel.

export declare const DEFAULT_CONTROL_PORT: 22002;
export declare const DEFAULT_PRESS_WAIT_MS: 5000;
export declare const MAX_PRESS_WAIT_MS: 60000;

export type SimulatorErrorCode = 'refused' | 'timeout' | 'dropped' | 'unreachable';

export declare class SimulatorError extends Error {
  readonly name: 'SimulatorError';
  /** refused: an error reply; timeout: a waited press not taken in time (withdrawn);
   *  dropped: a waited press removed by reset; unreachable: no channel answered. */
  readonly code: SimulatorErrorCode;
  /** The reader's reply line, when there was one. */
  readonly reply?: string;
}

export interface ReaderSimulatorOptions {
  /** The control channel's port; default READER_SIM_CONTROL, else 22002. */
  port?: number;
  /** Default 127.0.0.1; the channel listens on loopback only. */
  host?: string;
  /** Milliseconds to wait for a channel that is still starting, and for a reply beyond a
   *  press's wait; default 2000. */
  timeout?: number;
}

export interface PressOptions {
  /** Milliseconds (1 to 60000) to wait until the service has taken the press, default 5000;
   *  false only queues it. */
  wait?: number | false;
}

export declare class ReaderSimulator {
  constructor(options?: ReaderSimulatorOptions);
  readonly port: number;
  readonly host: string;
  readonly timeout: number;

  /** A live press of finger 0 to 999999: 'captured' once the service is done with it (a
   *  status request made next sees it), 'queued' with wait: false. */
  press(finger: number, options?: PressOptions & { length?: number }): Promise<'captured' | 'queued'>;
  /** A press the fake-finger check rejects: 'fake' once taken ('captured' cannot happen). */
  fake(finger: number, options?: PressOptions): Promise<'fake' | 'queued'>;
  unplug(): Promise<void>;
  plug(): Promise<void>;
  fail(call: 'init' | 'dbinit' | 'merge' | 'params'): Promise<void>;
  pass(call: 'init' | 'dbinit' | 'merge' | 'params'): Promise<void>;
  serial(text: string): Promise<void>;
  image(width: number, height: number): Promise<void>;
  /** Presses queued and not yet taken. */
  pending(): Promise<number>;
  /** SDK calls since the last reset, by function (and NAME:CODE for parameter calls). */
  calls(): Promise<Record<string, number>>;
  /** Back to the defaults; a reader the service holds open stays open. */
  reset(): Promise<void>;
  /** One raw command line; resolves with the text after "ok". */
  command(line: string, options?: { replyWait?: number }): Promise<string>;
}
