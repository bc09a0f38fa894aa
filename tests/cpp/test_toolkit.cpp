// The binding toolkit driven through an embedded interpreter: a small class
// and function declared with the toolkit live in a private module that only
// this test creates, and Python snippets exercise them.
#include "py/toolkit.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tk = _vantrell::toolkit;

// Python's allocations at exit are not ours to chase.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() { return "leak:libpython3\nleak:_PyObject\n"; }

namespace {

int g_live = 0; // Probe values alive: construction and destruction must pair.

struct Probe {
    std::string label;
    std::uint64_t count = 0;
    std::vector<std::uint8_t> data;
    std::vector<std::string> tags;

    Probe() { ++g_live; }
    Probe(const Probe& o) : label(o.label), count(o.count), data(o.data), tags(o.tags) { ++g_live; }
    Probe(Probe&& o) noexcept : label(std::move(o.label)), count(o.count), data(std::move(o.data)), tags(std::move(o.tags)) {
        ++g_live;
    }
    ~Probe() { --g_live; }

    static std::optional<Probe> make(const tk::Args& a) {
        Probe p;
        std::optional<tk::Path> path;
        std::optional<tk::Bytes> data;
        std::optional<std::uint64_t> count;
        bool flag = false;
        if (!a.get("path", path) || !a.get("data", data) || !a.get("count", count) || !a.get("flag", flag))
            return std::nullopt;
        if (path) p.label = path->native.find('\0') != std::string::npos ? std::string("<nul>") : path->text;
        if (data) p.data = *data;
        p.count = count.value_or(0) + (flag ? 1000 : 0);
        return p;
    }

    static PyObject* add(Probe& self, const tk::Args& a) {
        std::int64_t n = 0;
        std::vector<std::string> tags;
        PyObject* callback = nullptr;
        if (!a.get("n", n) || !a.get("tags", tags) || !a.get("callback", callback)) return nullptr;
        if (callback) {
            // Calls back into Python while this object is held exclusively.
            tk::Ref r = tk::Ref::steal(PyObject_CallNoArgs(callback));
            if (!r) return nullptr;
        }
        self.count += static_cast<std::uint64_t>(n);
        self.tags.insert(self.tags.end(), tags.begin(), tags.end());
        return Py_NewRef(a.self());
    }

    static PyObject* fail(const Probe&, const tk::Args& a) {
        std::string kind;
        if (!a.get("kind", kind)) return nullptr;
        if (kind == "oom") throw std::bad_alloc();
        if (kind == "logic") throw std::logic_error("broken invariant");
        if (kind == "released") {
            auto r = tk::released([]() -> int { throw std::runtime_error("worker fault"); });
            if (!r) return r.error().raise();
        }
        if (kind == "released_ok") {
            auto r = tk::released([] { return 41 + 1; });
            if (!r) return r.error().raise();
            return tk::to_py::i64(*r);
        }
        return _vantrell::pptx_err(std::string("bridged: ") + kind);
    }

    static PyObject* get_data(const Probe& p) { return tk::to_py::bytes(p.data); }
    static std::string repr(const Probe& p) {
        return "Probe(" + tk::repr::text(p.label) + ", count=" + tk::repr::number(p.count) +
               ", tags=" + tk::repr::text_list(p.tags) + ", ok=" + tk::repr::flag(p.count > 0) + ")";
    }
    static Py_ssize_t len(const Probe& p) { return static_cast<Py_ssize_t>(p.tags.size()); }

    static const tk::ClassDef<Probe>& definition() {
        static const tk::ClassDef<Probe> def{
            .name = "probe.Probe",
            .doc = "A probe.",
            .getters = {tk::member<&Probe::count>("count", "The count."), tk::member<&Probe::label>("label"),
                        tk::getter<Probe>("data", &get_data), tk::member<&Probe::tags>("tags")},
            .methods = {tk::method<"add($self, n, /, tags=(), *, callback=None)", &add>("Adds."),
                        tk::method<"fail($self, kind)", &fail>("Fails.")},
            .repr = &repr,
            .constructor = tk::constructor<Probe, "(path=None, *, data=None, count=None, flag=False)", &make>(),
            .slots = {tk::slot_len<&len>()},
        };
        return def;
    }
};

struct Frozen {
    int value = 7;
    static PyObject* get_value(const Frozen& f) { return PyLong_FromLong(f.value); }
    static const tk::ClassDef<Frozen>& definition() {
        static const tk::ClassDef<Frozen> def{
            .name = "probe.Frozen", .doc = "No constructor.", .getters = {tk::getter<Frozen>("value", &get_value)}};
        return def;
    }
};

PyObject* make_frozen(PyObject*, const tk::Args&) { return tk::Class<Frozen>::create(Frozen{}); }

// One member of each shape the generic conversion knows, some behind a path.
struct Inner {
    std::vector<std::pair<std::uint8_t, std::string>> items{{1, "one"}, {200, "two"}};
    bool ok() const { return !items.empty(); }
};
struct Values {
    Inner inner;
    std::optional<std::uint32_t> some = 7, none;
    std::int64_t negative = -5;
    std::optional<std::array<std::int64_t, 2>> frame = std::array<std::int64_t, 2>{1, -2};
    std::map<std::string, std::uint32_t> sizes{{"b", 2}, {"a", 1}};
    std::vector<std::vector<std::string>> grid{{"x"}, {}};
    const char* word = "w";
    std::optional<bool> unset;
    std::string text = "a\xffz";
    std::vector<int> frozen{1, 2};
    std::vector<Frozen> kept{{3}, {4}};

    static const tk::ClassDef<Values>& definition() {
        using V = Values;
        static const tk::ClassDef<V> def{
            .name = "probe.Values",
            .doc = "",
            .getters = {tk::member<&V::inner, &Inner::items>("items"), tk::member<&V::inner, &Inner::ok>("ok"),
                        tk::member<&V::some>("some"), tk::member<&V::none>("none"),
                        tk::member<&V::negative>("negative"), tk::member<&V::frame>("frame"),
                        tk::member<&V::sizes>("sizes"), tk::member<&V::grid>("grid"), tk::member<&V::word>("word"),
                        tk::member<&V::unset>("unset"), tk::member<&V::text>("text"),
                        tk::getter<V>("frozen",
                                      [](const V& v) {
                                          return tk::object_list<Frozen>(v.frozen, [](int n) { return Frozen{n}; });
                                      }),
                        tk::objects<Frozen, &V::kept>("kept")},
        };
        return def;
    }
};

PyObject* make_values(PyObject*, const tk::Args&) { return tk::Class<Values>::create(Values{}); }

PyObject* sum(PyObject*, const tk::Args& a) {
    std::vector<std::int64_t> items;
    std::uint8_t small = 0;
    if (!a.get("items", items) || !a.get("small", small)) return nullptr;
    std::int64_t total = small;
    for (auto v : items) total += v;
    return PyLong_FromLongLong(total);
}

class Toolkit : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Py_InitializeEx(0);
        PyObject* m = PyModule_New("probe");
        ASSERT_NE(m, nullptr);
        ASSERT_TRUE(tk::Class<Probe>::add_to(m));
        ASSERT_TRUE(tk::Class<Frozen>::add_to(m));
        ASSERT_TRUE(tk::add_attribute(m, "make_frozen", tk::new_function<"make_frozen()", &make_frozen>(m, "")));
        ASSERT_TRUE(tk::add_attribute(m, "sum", tk::new_function<"sum(items, small=0)", &sum>(m, "Adds up.")));
        ASSERT_TRUE(tk::add_attribute(m, "make_values", tk::new_function<"make_values()", &make_values>(m, "")));
        PyObject* modules = PyImport_GetModuleDict();
        ASSERT_EQ(PyDict_SetItemString(modules, "probe", m), 0);
        Py_DECREF(m);
    }

    // Runs `code`; an uncaught exception fails the test with its traceback.
    static void run(const std::string& code) {
        // Fresh globals per snippet, dropped afterwards, so objects die with it.
        tk::Ref globals_ref = tk::Ref::steal(PyDict_New());
        PyObject* globals = globals_ref.get();
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
        const std::string source = "import probe, inspect, pathlib\n" + code;
        PyObject* compiled = Py_CompileString(source.c_str(), "<test>", Py_file_input);
        PyObject* r = compiled ? PyEval_EvalCode(compiled, globals, globals) : nullptr;
        Py_XDECREF(compiled);
        if (!r) {
            PyErr_Print();
            ADD_FAILURE() << "python snippet failed:\n" << code;
            PyDict_Clear(globals);
            return;
        }
        Py_DECREF(r);
        PyDict_Clear(globals);
    }
};

// Asserts that `expr` raises `exc` with exactly `message`.
std::string raises(const std::string& expr, const std::string& exc, const std::string& message) {
    return "try:\n    " + expr + "\nexcept " + exc + " as e:\n    assert str(e) == " + message +
           ", str(e)\nelse:\n    raise AssertionError('no exception: ' + " + "'" + exc + "')\n";
}

} // namespace

TEST_F(Toolkit, ClassShapeAndSignatures) {
    run(R"(
P = probe.Probe
assert P.__module__ == 'probe' and P.__name__ == 'Probe' and P.__qualname__ == 'Probe'
assert P.__doc__ == 'A probe.', P.__doc__
assert P.__text_signature__ == '(path=None, *, data=None, count=None, flag=False)'
assert str(inspect.signature(P.add)) == '(self, n, /, tags=(), *, callback=None)'
assert P.add.__doc__ == 'Adds.'
assert P.count.__doc__ == 'The count.'
assert probe.__all__ == ['Probe', 'Frozen', 'make_frozen', 'sum', 'make_values']
assert probe.sum.__module__ == 'probe'
assert str(inspect.signature(probe.sum)) == '(items, small=0)'
p = P('a"b\\c', count=3)
assert repr(p) == 'Probe("a\\"b\\\\c", count=3, tags=[], ok=true)', repr(p)
try:
    p.count = 4
except AttributeError:
    pass
else:
    raise AssertionError('attribute was writable')
try:
    P.extra = 1
except TypeError:
    pass
else:
    raise AssertionError('class was mutable')
)");
}

TEST_F(Toolkit, ArgumentBindingErrors) {
    run(raises("probe.Probe(1, 2)", "TypeError",
               "'Probe.__new__() takes from 0 to 1 positional argument but 2 were given'"));
    run(raises("probe.Probe(x=1)", "TypeError", "\"Probe.__new__() got an unexpected keyword argument 'x'\""));
    run(raises("probe.Probe('a', path='b')", "TypeError",
               "\"Probe.__new__() got multiple values for argument 'path'\""));
    run(raises("probe.Probe().add()", "TypeError",
               "\"Probe.add() missing 1 required positional argument: 'n'\""));
    run(raises("probe.Probe().add(n=1)", "TypeError",  // positional-only
               "\"Probe.add() got an unexpected keyword argument 'n'\""));
    run(raises("probe.Probe().add(1, (), None)", "TypeError",
               "'Probe.add() takes from 1 to 2 positional arguments but 3 were given'"));
    run(raises("probe.sum()", "TypeError", "\"sum() missing 1 required positional argument: 'items'\""));
    run(raises("probe.Probe(**{'a' + 'b': 1})", "TypeError",
               "\"Probe.__new__() got an unexpected keyword argument 'ab'\""));
}

TEST_F(Toolkit, ConvertersNameTheArgument) {
    run(raises("probe.Probe(data='text')", "TypeError", "\"argument 'data': Can't extract `str` to `Vec`\""));
    run(raises("probe.Probe(count=1.5)", "TypeError",
               "\"argument 'count': 'float' object cannot be interpreted as an integer\""));
    run(raises("probe.Probe(count='3')", "TypeError",
               "\"argument 'count': 'str' object cannot be interpreted as an integer\""));
    run(raises("probe.Probe(flag=1)", "TypeError", "\"argument 'flag': 'int' object cannot be converted to 'bool'\""));
    run(raises("probe.Probe(flag=None)", "TypeError",
               "\"argument 'flag': 'NoneType' object cannot be converted to 'bool'\""));
    run(raises("probe.Probe(b'raw')", "TypeError", "\"argument 'path': 'bytes' object cannot be converted to 'str'\""));
    run(R"(
try:
    probe.Probe(3)
except TypeError as e:
    assert str(e).startswith("argument 'path': "), str(e)
else:
    raise AssertionError
try:
    probe.Probe().add(1, 'ab')
except TypeError as e:
    assert str(e) == "argument 'tags': Can't extract `str` to `Vec`", str(e)
try:
    probe.Probe().add(1, [1])
except TypeError as e:
    assert str(e) == "argument 'tags': 'int' object cannot be converted to 'str'", str(e)
)");
}

TEST_F(Toolkit, IntegersAndOverflow) {
    run(R"(
class Idx:
    def __index__(self): return 5
assert probe.Probe(count=True).count == 1
assert probe.Probe(count=Idx()).count == 5
assert probe.Probe(count=2**64 - 1).count == 2**64 - 1
assert probe.Probe(count=None).count == 0
for bad in (-1, 2**64):
    try:
        probe.Probe(count=bad)
    except OverflowError:
        pass
    else:
        raise AssertionError(bad)
assert probe.sum([1, -2, 2**62], small=255) == 2**62 - 1 + 255
for bad in ([2**63], ):
    try:
        probe.sum(bad)
    except OverflowError:
        pass
    else:
        raise AssertionError
try:
    probe.sum([], small=256)
except OverflowError:
    pass
else:
    raise AssertionError
assert probe.Probe().add(-3).count == 2**64 - 3
)");
}

TEST_F(Toolkit, ByteDataAndPaths) {
    run(R"(
import array, os
assert probe.Probe(data=b'\x00\xff').data == b'\x00\xff'
assert probe.Probe(data=bytearray(b'ab')).data == b'ab'
assert probe.Probe(data=memoryview(b'xyz')[1:]).data == b'yz'
assert probe.Probe(data=[80, 75, 3, 4]).data == b'PK\x03\x04'
assert probe.Probe(data=(0, 255)).data == b'\x00\xff'
assert probe.Probe(data=array.array('B', [1, 2])).data == b'\x01\x02'
# Wider item types are checked item by item, never reinterpreted as raw bytes.
assert probe.Probe(data=array.array('i', [1, 2])).data == b'\x01\x02'
for bad, exc in (([256], OverflowError), ([-1], OverflowError), (array.array('i', [300]), OverflowError),
                 ([1.0], TypeError), (5, TypeError), ({1: 2}, TypeError)):
    try:
        probe.Probe(data=bad)
    except exc as e:
        if exc is TypeError:
            assert str(e).startswith("argument 'data': "), str(e)
    else:
        raise AssertionError(bad)
assert probe.Probe('deck.pptx').label == 'deck.pptx'
assert probe.Probe(pathlib.Path('a') / 'b.pptx').label == os.path.join('a', 'b.pptx')
class P:
    def __fspath__(self): return b'x'
try:
    probe.Probe(P())
except TypeError as e:
    assert str(e).startswith("argument 'path': "), str(e)
else:
    raise AssertionError
# A NUL is kept, not cut off, so opening can refuse it.
assert probe.Probe('a\x00b').label == '<nul>'
# Undecodable bytes smuggled in through surrogate escapes come back as U+FFFD.
assert probe.Probe('a\udcffb').label == 'a\ufffdb'
)");
}

TEST_F(Toolkit, NoConstructorMeansNoInstance) {
    run(raises("probe.Frozen()", "TypeError", "'No constructor defined for Frozen'"));
    run(R"(
import copy, pickle
for attempt in (lambda: object.__new__(probe.Frozen), lambda: probe.Frozen.__new__(probe.Frozen)):
    try:
        attempt()
    except TypeError:
        pass
    else:
        raise AssertionError('an unconstructed instance was made')
f = probe.make_frozen()
assert f.value == 7
for attempt in (lambda: copy.copy(f), lambda: pickle.dumps(f)):
    try:
        attempt()
    except TypeError:
        pass
    else:
        raise AssertionError('copied through the back door')
try:
    class Sub(probe.Frozen):
        pass
except TypeError:
    pass
else:
    raise AssertionError('subclassable')
)");
}

TEST_F(Toolkit, BorrowRulesOnReentrantCalls) {
    run(R"(
p = probe.Probe()
seen = []
def read():
    try:
        p.count
    except RuntimeError as e:
        seen.append(str(e))
def write():
    try:
        p.add(1)
    except RuntimeError as e:
        seen.append(str(e))
def show():
    try:
        repr(p)
    except RuntimeError as e:
        seen.append(str(e))
p.add(1, callback=read)
p.add(1, callback=write)
p.add(1, callback=show)
assert seen == ['Already mutably borrowed', 'Already borrowed', 'Already mutably borrowed'], seen
assert p.count == 3
assert p.add(2, ['x', 'y']) is p and len(p) == 2 and p.tags == ['x', 'y']
assert p.tags is not p.tags
)");
}

TEST_F(Toolkit, FaultsAndTheErrorBridge) {
    run(R"(
p = probe.Probe()
try:
    p.fail('oom')
except MemoryError:
    pass
for kind, text in (('logic', 'broken invariant'), ('released', 'worker fault')):
    try:
        p.fail(kind)
    except Exception:
        raise AssertionError('an internal fault must not be an Exception')
    except BaseException as e:
        assert str(e) == text, str(e)
        assert type(e).__name__ == 'InternalFault'
assert p.fail('released_ok') == 42
)");
    // The bridge raises PptxError with the message as its one argument.
    run(R"(
class Fake(Exception):
    pass
try:
    probe.Probe().fail('x')
except Exception as e:
    assert type(e).__qualname__ == 'PptxError' and type(e).__module__ == 'vantrell'
    assert e.args == ('bridged: x',)
)");
}

TEST_F(Toolkit, ValuesAreDestroyedExactlyOnce) {
    const int before = g_live;
    run(R"(
for i in range(50):
    p = probe.Probe('x', count=i)
    p.add(1, ['t'])
    repr(p)
del p
try:
    probe.Probe(count=-1)
except OverflowError:
    pass
)");
    EXPECT_EQ(g_live, before);
}

TEST_F(Toolkit, MemberGettersConvertByShape) {
    run(R"(
v = probe.make_values()
assert v.items == [(1, 'one'), (200, 'two')] and v.items is not v.items
assert v.ok is True and v.unset is None
assert (v.some, v.none, v.negative) == (7, None, -5)
assert v.frame == (1, -2)
assert list(v.sizes.items()) == [('a', 1), ('b', 2)]
assert v.grid == [['x'], []]
assert v.word == 'w'
assert v.text == 'a\ufffdz'
assert [f.value for f in v.frozen] == [1, 2]
assert [f.value for f in v.kept] == [3, 4] and v.kept[0] is not v.kept[0]
)");
}
