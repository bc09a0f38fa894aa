"""Which checker calls let other Python threads run while they work.

A helper thread waits for the interpreter lock while the main thread, with a
very long switch interval, makes a call: the helper can run during the call
only if the call releases the lock. Opening and checking a package must let
it in (given a few tries, as one release may be too short for the helper to
wake); the rule catalogue and everything read from results must not.
"""
import sys
import threading

import pytest

import vantrell
import deckkit as k
from deckkit import build, deck


def lets_others_run(call, tries=100, repeat=5):
    old = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    try:
        for _ in range(tries):
            go = threading.Lock()
            go.acquire()
            ran = []

            def helper():
                with go:
                    ran.append(True)

            t = threading.Thread(target=helper)
            t.start()
            go.release()  # the helper now waits for the interpreter lock
            for _ in range(repeat):
                call()
            during = bool(ran)
            t.join()
            if during:
                return True
        return False
    finally:
        sys.setswitchinterval(old)


@pytest.fixture(scope="module")
def big_deck():
    # Enough parts that one check takes a noticeable while.
    extra = {f"ppt/extra/item{i}.xml": b"<x>" + b"<y/>" * 200 + b"</x>" for i in range(300)}
    return build(deck(extra))


class TestLock:
    def test_check_and_check_report_release_it(self, big_deck, tmp_path):
        path = tmp_path / "big.pptx"
        path.write_bytes(big_deck)
        assert lets_others_run(lambda: vantrell.check(data=big_deck))
        assert lets_others_run(lambda: vantrell.check_report(path))

    def test_catalogue_and_results_keep_it(self, big_deck):
        report = vantrell.check_report(data=big_deck)
        finding = report.findings[0]

        def read_everything():
            rules = vantrell.rules()
            [repr(r) for r in rules]
            report.findings, report.codes, repr(report), report.is_clean
            str(finding), repr(finding), finding.message, finding.part

        assert not lets_others_run(read_everything, tries=20)
