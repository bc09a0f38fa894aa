"""Does a call let other Python threads run while it works?

The main thread, with a very long switch interval, makes the call again and
again while a helper thread waits for the interpreter lock: the helper can
take it only while the main thread has released it. Each time the helper gets
in, it notes what the main thread was doing then (the main thread sets that
note while it holds the lock, so the note always names the step that released
it), and gives the lock back for a moment.

A busy machine only delays the helper: it may miss many releases before it is
woken during one. So a call that should release is retried with patience (up
to `seconds`, returning at the first release seen), while a call that keeps
the lock can never be seen releasing, however long it is watched. Objects a
call may use only once (values computed once and kept) are made by `setup`
before each call; a release while making them does not count.
"""
import gc
import sys
import threading
import time


def lets_others_run(call, setup=None, calls=20, seconds=10.0):
    """True once the waiting helper has run during `call`. Makes at least
    `calls` calls and stops after `seconds` of calling, or at the first
    release seen. `call` gets what `setup()` made, or the call's number."""
    old = sys.getswitchinterval()
    enabled = gc.isenabled()
    # A collection inside a call could run a finaliser that releases the lock.
    gc.disable()
    sys.setswitchinterval(100.0)
    step = ["idle"]
    seen = []
    stop = threading.Event()

    def helper():
        while not stop.is_set():
            seen.append(step[0])
            if step[0] == "call":
                return
            time.sleep(0.0005)  # gives the lock back; then waits for the next release

    t = threading.Thread(target=helper)
    try:
        t.start()
        deadline = time.perf_counter() + seconds
        n = 0
        while n < calls or time.perf_counter() < deadline:
            step[0] = "setup"
            arg = setup() if setup else n
            step[0] = "call"
            call(arg)
            step[0] = "idle"
            n += 1
            if "call" in seen:
                return True
        return False
    finally:
        step[0] = "idle"
        stop.set()
        t.join()
        sys.setswitchinterval(old)
        if enabled:
            gc.enable()
