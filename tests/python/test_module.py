import importlib
import pathlib
import subprocess
import sys
import textwrap

import pytest

import vantrell
import vantrell._vantrell as ext


class TestModuleBody:
    def test_version(self):
        assert ext.__version__ == "2.2.0"
        assert vantrell.__version__ == "2.2.0"

    def test_all_lists_names_in_order_starting_with_version(self):
        assert ext.__all__[0] == "__version__"
        assert ext.__all__[1] == "PptxError"
        assert len(set(ext.__all__)) == len(ext.__all__)
        for name in ext.__all__:
            assert hasattr(ext, name)
        if hasattr(ext, "write"):
            assert ext.__all__[-1] == "write"

    def test_module_doc_is_empty_and_package_reexports(self):
        assert ext.__doc__ == ""
        assert ext.__name__ == "vantrell._vantrell"
        assert vantrell.PptxError is ext.PptxError
        assert vantrell.__all__ == list(ext.__all__)

    def test_nothing_registered_that_is_not_built(self):
        # Only real classes and functions appear; no placeholders.
        for name in ext.__all__:
            obj = getattr(ext, name)
            assert obj is not None


class TestPptxError:
    def test_names_and_doc(self):
        err = ext.PptxError
        assert err.__module__ == "vantrell"
        assert err.__name__ == "PptxError"
        assert err.__qualname__ == "PptxError"
        assert err.__doc__ == (
            "Raised for any PowerPoint processing error (bad data, unreadable parts, I/O)."
        )

    def test_is_an_exception_with_no_extra_attributes(self):
        err = ext.PptxError
        assert issubclass(err, Exception)
        assert err.__bases__ == (Exception,)
        e = err("not a zip archive")
        assert e.args == ("not a zip archive",)
        assert str(e) == "not a zip archive"
        assert set(vars(err)) <= {"__module__", "__doc__", "__weakref__", "__dict__"}


class TestStartUp:
    def test_reimport_gives_same_module_and_exception(self):
        err = ext.PptxError
        saved = sys.modules.pop("vantrell._vantrell")
        try:
            again = importlib.import_module("vantrell._vantrell")
        finally:
            sys.modules["vantrell._vantrell"] = saved
        assert again is ext
        assert again.PptxError is err
        assert again.__all__.count("PptxError") == 1

    def test_second_interpreter_gets_import_error(self):
        interpreters = pytest.importorskip("_xxsubinterpreters")
        code = textwrap.dedent(
            """
            import sys
            sys.path[:0] = %r
            try:
                import vantrell._vantrell
            except ImportError:
                pass
            else:
                raise SystemExit("loaded in a second interpreter")
            """
            % (sys.path,)
        )
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, code)
        finally:
            interpreters.destroy(interp)

    def test_fresh_process_imports_cleanly(self):
        out = subprocess.run(
            [sys.executable, "-c", "import vantrell; print(vantrell.__version__)"],
            capture_output=True,
            text=True,
            check=True,
        )
        assert out.stdout.strip() == "2.2.0"

    def test_markdown_script_prints_the_sample_deck(self):
        # Run only against the package already built into the clone's .venv:
        # the script would build it otherwise.
        root = pathlib.Path(__file__).resolve().parents[2]
        stale = subprocess.run(["bash", "-c", 'root=$1; . "$root/scripts/lib.sh"; package_stale', "-", root])
        if stale.returncode == 0:
            pytest.skip("the package in .venv is missing or older than the sources")
        out = subprocess.run([root / "scripts" / "markdown"], capture_output=True, text=True, check=True)
        assert out.stdout == vantrell.Document(root / "samples" / "sample.pptx").markdown()
        assert out.stdout.startswith("# A sample deck\n") and out.stderr == ""
