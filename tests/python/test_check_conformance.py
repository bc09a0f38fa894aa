"""Which checker calls let other Python threads run while they work.

A helper thread waits for the interpreter lock while the main thread, with a
very long switch interval, makes a call: the helper can run during the call
only if the call releases the lock. Opening and checking a package must let
it in (given patience, as a loaded machine may wake the helper during none of
the first releases); the rule catalogue and everything read from results must not.
"""

import pytest

import vantrell
import deckkit as k
from deckkit import build, deck
from gilprobe import lets_others_run




@pytest.fixture(scope="module")
def big_deck():
    # Enough parts that one check takes a noticeable while.
    extra = {f"ppt/extra/item{i}.xml": b"<x>" + b"<y/>" * 200 + b"</x>" for i in range(300)}
    return build(deck(extra))


class TestLock:
    def test_check_and_check_report_release_it(self, big_deck, tmp_path):
        path = tmp_path / "big.pptx"
        path.write_bytes(big_deck)
        assert lets_others_run(lambda _: vantrell.check(data=big_deck))
        assert lets_others_run(lambda _: vantrell.check_report(path))

    def test_catalogue_and_results_keep_it(self, big_deck):
        report = vantrell.check_report(data=big_deck)
        finding = report.findings[0]

        def read_everything():
            rules = vantrell.rules()
            [repr(r) for r in rules]
            report.findings, report.codes, repr(report), report.is_clean
            str(finding), repr(finding), finding.message, finding.part

        assert not lets_others_run(lambda _: read_everything(), calls=200, seconds=0)
