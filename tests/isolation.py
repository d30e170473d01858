"""Runs a test case in a forked child process, so that a crash (a signal such
as SIGSEGV) fails the test with a description of the case instead of taking
the test runner down.

The child inherits everything the parent built, runs `case()`, and sends back
what it returned (a picklable value) or the exception it raised, as
("ok", value) or ("raised", type name, message).
"""

import os
import pickle
import signal
import traceback


class ChildCrashed(AssertionError):
    pass


def run_isolated(case, description="", timeout_s=120):
    read_fd, write_fd = os.pipe()
    pid = os.fork()
    if pid == 0:  # child
        os.close(read_fd)
        signal.alarm(timeout_s)  # a hang ends the child, and the parent reports it
        status = 0
        try:
            try:
                outcome = ("ok", case())
            except BaseException as e:  # noqa: BLE001 - every outcome is reported
                outcome = ("raised", type(e).__name__, str(e), traceback.format_exc())
            payload = pickle.dumps(outcome)
            with os.fdopen(write_fd, "wb") as out:
                out.write(payload)
        except BaseException:  # noqa: BLE001
            status = 3
        finally:
            os._exit(status)
    os.close(write_fd)
    with os.fdopen(read_fd, "rb") as source:
        data = source.read()
    _, wait_status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(wait_status):
        name = signal.Signals(os.WTERMSIG(wait_status)).name
        raise ChildCrashed(f"child process died of {name}: {description}")
    if os.WEXITSTATUS(wait_status) != 0 or not data:
        raise ChildCrashed(f"child process failed to report (exit {os.WEXITSTATUS(wait_status)}): {description}")
    return pickle.loads(data)
