// A page's use of the web client, checked against its declarations by `tsc --noEmit` (CTest:
// browser.typecheck). Lines marked @ts-expect-error must stay errors: the types reject them.

import {
  AccessBlockedError, ServiceError, ServiceUnreachableError, cancelCapture, getAccessState,
  getStatus, openReader, requestAccess, templateByteLength, waitForTemplate,
} from 'tobran-quorvel-client';
import type { AccessState, BlockedReason, Status, TemplateResult } from 'tobran-quorvel-client';

export async function enrol(button: HTMLButtonElement): Promise<string | null> {
  const leaving = new AbortController();
  const access: AccessState = await getAccessState({ signal: leaving.signal });
  if (access.state === 'prompt') {
    await new Promise((resolve) => button.addEventListener('click', resolve, { once: true }));
    const status: Status = await requestAccess();
    if (status.state === 'blocked') {
      const reason: BlockedReason = status.error.reason;
      return reason;
    }
  }
  const status = await getStatus({ timeoutMs: 2000 });
  if (!status.running) return status.message;
  const readerOpen: boolean = status.readerOpen;
  void readerOpen;

  const controller = new AbortController();
  try {
    const { serialNumber } = await openReader({ mode: 'enroll', rejectFakes: true, signal: controller.signal });
    const result: TemplateResult = await waitForTemplate({
      signal: controller.signal,
      intervalMs: 250,
      onProgress: ({ presses, previous, ready }) => {
        const before: number | null = previous;
        void [presses + 1, before, ready && 'ready'];
      },
    });
    return `${serialNumber}: ${result.mode} ${templateByteLength(result.template)} bytes`;
  } catch (error) {
    if (error instanceof AccessBlockedError) return error.reason === 'insecure' ? 'use https' : 'allow';
    if (error instanceof ServiceUnreachableError) return error.reason;
    if (error instanceof ServiceError) return `${error.operation}: ${error.ret}`;
    throw error;
  } finally {
    await cancelCapture({ signal: leaving.signal, timeoutMs: 1000 });
  }
}

// @ts-expect-error there is no such capture mode
openReader({ mode: 'verify' });
// @ts-expect-error the state of a blocked status carries its error
export const wrong: Status = { state: 'blocked', running: false, readerOpen: false, message: '' };
