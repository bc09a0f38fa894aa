"""Does a call let other Python threads run while it works?

A helper thread blocks on a lock while the main thread, with a very long
switch interval, releases that lock and makes the call again and again: the
helper can take the interpreter lock only while the call has released it.
Each try keeps calling for at least `seconds`, so a loaded machine that is
slow to wake the helper cannot hide a release that lasts only a moment.
"""
import sys
import threading
import time


def lets_others_run(call, tries=20, repeat=10, seconds=0.02):
    """True once the waiting helper has run during the calls of one try;
    `call` gets the try number."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    try:
        for i in range(tries):
            go = threading.Lock()
            go.acquire()
            ran = []

            def helper():
                with go:
                    ran.append(True)

            t = threading.Thread(target=helper)
            t.start()
            go.release()  # the helper now wants the interpreter lock
            deadline = time.perf_counter() + seconds
            n = 0
            while not ran and (n < repeat or time.perf_counter() < deadline):
                call(i)
                n += 1
            during = bool(ran)
            t.join()
            if during:
                return True
        return False
    finally:
        sys.setswitchinterval(old)
