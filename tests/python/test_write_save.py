"""save() opens its target as open(path, "wb") would: nodes that are not
regular files, files reached through descriptor links and files a new file
cannot stand in for (more than one name, an owner or attribute it cannot
take) are written in place; any other regular file, also behind a link, is
replaced whole by a temporary file that nobody else can read before it is
whole, and a file that lost its name meanwhile is never written."""
import contextlib
import ctypes
import os
import pathlib
import re
import select
import shutil
import signal
import stat
import struct
import subprocess
import tempfile
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import vantrell
import vantrell.write as w
from deckkit import png

NOBODY = 65534
TEAM = 4242
TEMP_NAME = re.compile(r"\.vantrell-.*\.tmp")


def deck():
    return w.Presentation().add(w.Slide("Saved").bullet("one"))


@contextlib.contextmanager
def fifo_reader(fifo, keep):
    """Reads `fifo` to its end on a thread. `keep`, a second name of the
    same FIFO, lets the test end the read if a save replaced `fifo`."""
    got = {}

    def read():
        with open(fifo, "rb") as f:
            got["data"] = f.read()

    thread = threading.Thread(target=read)
    thread.start()
    try:
        yield got
    finally:
        if thread.is_alive() and not stat.S_ISFIFO(os.stat(fifo).st_mode):
            os.close(os.open(keep, os.O_WRONLY | os.O_NONBLOCK))
        thread.join()


@pytest.mark.parametrize("through_link", [False, True])
def test_fifo_is_written_not_replaced(tmp_path, through_link):
    fifo, keep = tmp_path / "pipe", tmp_path / "pipe-keep"
    os.mkfifo(fifo)
    os.link(fifo, keep)
    target = fifo
    if through_link:
        target = tmp_path / "link.pptx"
        target.symlink_to(fifo)
    d = deck()
    with fifo_reader(fifo, keep) as got:
        assert d.save(target) is None
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
    assert got["data"] == d.to_bytes()
    assert target.is_symlink() == through_link
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["pipe", "pipe-keep"] + ["link.pptx"] * through_link)


def test_regular_file_behind_a_link_is_replaced(tmp_path):
    real = tmp_path / "real.pptx"
    real.write_bytes(b"old contents, longer than nothing")
    old_inode = real.stat().st_ino
    link = tmp_path / "link.pptx"
    link.symlink_to(real)
    d = deck()
    d.save(link)
    assert link.is_symlink() and real.read_bytes() == d.to_bytes()
    assert real.stat().st_ino != old_inode, "replaced by rename, not rewritten in place"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.pptx", "real.pptx"]


@pytest.mark.skipif(os.geteuid() != 0, reason="making a device node needs root")
@pytest.mark.parametrize("through_link", [False, True])
def test_device_node_is_written_not_replaced(tmp_path, through_link):
    null = os.stat("/dev/null")
    node = tmp_path / "null"
    try:
        os.mknod(node, stat.S_IFCHR | 0o666, null.st_rdev)
    except PermissionError:
        pytest.skip("device nodes cannot be made here")
    target = node
    if through_link:
        target = tmp_path / "link.pptx"
        target.symlink_to(node)
    deck().save(target)
    after = os.stat(node)
    assert stat.S_ISCHR(after.st_mode) and after.st_rdev == null.st_rdev
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["null"] + ["link.pptx"] * through_link)


def test_socket_is_refused_and_kept(tmp_path):
    import socket
    path = tmp_path / "sock"
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(str(path))
        with pytest.raises(vantrell.PptxError, match="^io: "):
            deck().save(path)
    assert stat.S_ISSOCK(os.stat(path).st_mode)
    assert [p.name for p in tmp_path.iterdir()] == ["sock"]


def in_child(work, *, user=None, stdout=None, timeout=30):
    """Runs `work()` in a forked child, as `user` (a user id, or a tuple of
    it and supplementary groups) and with `stdout` as its standard output
    when given; returns what it returned ("ok" for None),
    the PptxError text or the name of another exception it raised. A child
    that outlives `timeout` fails the test."""
    r, wr = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            if stdout is not None:
                os.dup2(stdout, 1)
            if user is not None:
                uid, *groups = user if isinstance(user, tuple) else (user,)
                os.setgroups(groups), os.setgid(uid), os.setuid(uid)
            try:
                out = work() or "ok"
            except vantrell.PptxError as e:
                out = str(e)
            except BaseException as e:
                out = type(e).__name__
            os.write(wr, out.encode())
        finally:
            os._exit(0)
    os.close(wr)
    try:
        if not select.select([r], [], [], timeout)[0]:
            os.kill(pid, signal.SIGKILL)
            pytest.fail(f"the save did not end within {timeout} s")
        return os.read(r, 4096).decode()
    finally:
        os.close(r)
        os.waitpid(pid, 0)


def snapshot(folder):
    return {p.name: (p.lstat().st_mode, p.lstat().st_ino, p.lstat().st_uid,
                     os.readlink(p) if p.is_symlink() else p.is_file() and p.read_bytes()) for p in folder.rglob("*")}


def old_file(folder, mode=0o640, owner=None, group=None, name="deck.pptx"):
    p = folder / name
    p.write_bytes(b"old " + name.encode())
    p.chmod(mode)
    if owner is not None:
        os.chown(p, owner, owner if group is None else group)
    return p


def link(folder, name, to):
    (folder / name).symlink_to(to)
    return folder / name


def stdout_file(folder, deleted):
    """The parent's descriptor of a file a child gets as standard output."""
    fd = os.open(folder / "out.txt", os.O_RDWR | os.O_CREAT, 0o644)
    os.write(fd, b"written before the save")
    if deleted:
        os.unlink(folder / "out.txt")
    return fd


def then(*steps):
    return steps[-1]


def kept_by_filesystem(path, give):
    """`path` after `give(path)` an ACL or attribute; skips where refused."""
    try:
        give(str(path))
    except (OSError, subprocess.CalledProcessError) as e:
        pytest.skip(f"not kept here: {e}")
    return path


def setfacl(*args):
    return lambda path: subprocess.run(["setfacl", *args, path], check=True, capture_output=True)


def attributes(path):
    return {name: os.getxattr(path, name) for name in os.listxattr(path)}


def by_inode(folder):
    return {p.lstat().st_ino: p.read_bytes() for p in folder.rglob("*") if p.is_file() and not p.is_symlink()}


def team_folder(folder):
    """The group's folder, which its members can write."""
    (team := folder / "team").mkdir()
    os.chown(team, 0, TEAM)
    team.chmod(0o770)
    return team


libc = ctypes.CDLL(None, use_errno=True)
libc.fanotify_mark.argtypes = [ctypes.c_int, ctypes.c_uint, ctypes.c_uint64, ctypes.c_int, ctypes.c_char_p]
FAN_CLASS_CONTENT, FAN_CLOEXEC, FAN_MARK_ADD, FAN_ALLOW, FAN_EVENT_LEN = 0x4, 0x1, 0x1, 0x1, 24
FAN_OPEN_PERM, FAN_EVENT_ON_CHILD = 0x10000, 0x08000000


def holding_opens(folder):
    """A descriptor on which every opening of a file in `folder` waits for
    an answer (root only); None where the system refuses."""
    fan = libc.fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, os.O_RDONLY)
    if fan >= 0 and libc.fanotify_mark(fan, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD, -1, bytes(folder)):
        fan = os.close(fan) or -1
    return fan if fan >= 0 else None


def can_hold(folder):
    if (fan := holding_opens(folder)) is None:
        pytest.skip("opens cannot be held here")
    os.close(fan)


def save_once(target):
    deck().save(target)


def paused_at(name, act):
    """A save during which the first opening of a file named like `name`
    waits until `act(folder)` has run; what the save returns is what `act`
    returned."""
    def run(target):
        folder, acted, stop = pathlib.Path(target).parent, [], threading.Event()
        fan = holding_opens(folder)

        def answer():
            while not stop.is_set():
                events = os.read(fan, 4096) if select.select([fan], [], [], 0.05)[0] else b""
                for at in range(0, len(events), FAN_EVENT_LEN):
                    fd = struct.unpack_from("IBBHQii", events, at)[5]
                    try:
                        if not acted and re.fullmatch(name, os.path.basename(os.readlink(f"/proc/self/fd/{fd}"))):
                            acted.append(act(folder))
                    finally:
                        os.write(fan, struct.pack("iI", fd, FAN_ALLOW)), os.close(fd)

        thread = threading.Thread(target=answer)
        thread.start()
        try:
            save_once(target)
        finally:
            stop.set(), thread.join(), os.close(fan)
        return acted[0] if acted else f"nothing named {name} was opened"
    return run


def private_temp(folder):
    """None when the temporary files in `folder` let no one else in (the
    group bits are the ACL's mask); else their modes."""
    modes = [stat.S_IMODE(p.stat().st_mode) for p in folder.iterdir() if TEMP_NAME.fullmatch(p.name)]
    return None if modes and not any(m & 0o077 for m in modes) else f"temporary files {list(map(oct, modes))}"


def new_deck(folder, default_acl=None):
    """A new name in `folder`, given `default_acl`, where opens can be held."""
    can_hold(folder)
    if default_acl:
        kept_by_filesystem(folder, setfacl("-d", "-m", default_acl))
    return folder / "new.pptx", folder / "new.pptx", None


def concurrently(target, savers=8, saves=120, readers=4, held=64):
    """Saves a deck of its own from each of `savers` threads while `readers`
    threads read the target, each keeping its last `held` files open: a read
    gives a whole deck, which never changes after. The first file stays open
    until deck() is saved last, so that deck cannot reuse its inode number."""
    decks = [w.Presentation().add(w.Slide(f"Saved by {i}")) for i in range(savers)]
    whole, stop = {d.to_bytes() for d in decks}, threading.Event()
    first = os.open(target, os.O_RDONLY)
    whole.add(os.pread(first, 1 << 20, 0))

    def read():
        bad, holding = [], []
        while not stop.is_set() or holding:
            if not stop.is_set():
                fd = os.open(target, os.O_RDONLY)
                holding.append((fd, os.pread(fd, 1 << 20, 0)))
            if len(holding) > held or stop.is_set():
                fd, seen = holding.pop(0)
                if seen not in whole or os.pread(fd, 1 << 20, 0) != seen:
                    bad.append(seen)
                os.close(fd)
        return bad

    with ThreadPoolExecutor(savers + readers) as pool:
        reading = [pool.submit(read) for _ in range(readers)]
        try:
            for saving in [pool.submit(lambda d=d: [d.save(target) for _ in range(saves)]) for d in decks]:
                saving.result()
        finally:
            stop.set()
        bad = sum((r.result() for r in reading), [])
    save_once(target)
    os.close(first)
    return f"{len(bad)} reads found no whole deck or one written over" if bad else None


# Each row: the setup of the folder, which returns the path saved to, the
# path that ends up holding the deck (None when refused) and a standard
# output for the saving child; "replaced" (a new file by rename), "written"
# (the same file, written in place) or the error expected; who saves (None:
# whoever runs the tests, 0: root, else that user, with groups after it in a
# tuple); how the child saves, when not just once.
SAVES = [
    ("regular file", lambda d: (old_file(d), d / "deck.pptx", None), "replaced", None),
    ("new file", lambda d: (d / "new.pptx", d / "new.pptx", None), "replaced", None),
    ("private file", lambda d: (old_file(d, mode=0o600), d / "deck.pptx", None), "replaced", None),
    ("read-only file, saved by root", lambda d: (old_file(d, mode=0o444), d / "deck.pptx", None), "replaced", 0),
    ("dangling link", lambda d: (link(d, "l.pptx", "made.pptx"), d / "made.pptx", None), "replaced", None),
    ("dangling chain into a subfolder",
     lambda d: then((d / "sub").mkdir(), link(d, "b", "sub/c.pptx"), (link(d, "a", "b"), d / "sub" / "c.pptx", None)),
     "replaced", None),
    ("link to a link to a file",
     lambda d: then(old_file(d), link(d, "b", "deck.pptx"), (link(d, "a", d / "b"), d / "deck.pptx", None)),
     "replaced", None),
    # Each link leads on beside itself, but the joined name of the chain
    # outgrows PATH_MAX, as open() never has to join it.
    ("chain of links past PATH_MAX",
     lambda d: then(old_file(d), [link(d, f"l{i}", "./" * 100 + (f"l{i + 1}" if i < 24 else "deck.pptx"))
                                  for i in range(25)], (d / "l0", d / "deck.pptx", None)),
     "written", None),
    ("looping links", lambda d: then(link(d, "b", "a"), (link(d, "a", "b"), None, None)),
     r"^io: Too many levels of symbolic links", None),
    ("link into a missing folder", lambda d: (link(d, "l.pptx", "nope/x.pptx"), None, None),
     r"^io: No such file or directory", None),
    ("directory", lambda d: then((d / "dir").mkdir(), (d / "dir", None, None)), r"^io: Is a directory", None),
    ("trailing slash", lambda d: (f"{d}/new.pptx/", None, None), r"^io: Is a directory", None),
    # Reached through a link of the folder's own: a save that wrongly
    # replaced the link would otherwise replace the system's /dev/stdout.
    ("/dev/stdout on a file", lambda d: (link(d, "o", "/dev/stdout"), d / "out.txt", stdout_file(d, False)),
     "written", None),
    ("/dev/stdout on a deleted file", lambda d: (link(d, "o", "/dev/stdout"), None, stdout_file(d, True)),
     "written", None),
    ("/proc/self/fd/1 on a deleted file", lambda d: ("/proc/self/fd/1", None, stdout_file(d, True)), "written", None),
    ("a closed descriptor's name", lambda d: ("/proc/self/fd/987654", None, None), r"^io: No such file or directory",
     None),
    ("another user's file, saved by root",
     lambda d: (old_file(d, owner=NOBODY), d / "deck.pptx", None), "replaced", 0),
    ("read-only file of one's own in a folder one can write",
     lambda d: then(d.chmod(0o777), (old_file(d, mode=0o444, owner=NOBODY), None, None)),
     r"^io: Permission denied", NOBODY),
    ("own file in a folder one cannot write", lambda d: (old_file(d, mode=0o644, owner=NOBODY), None, None),
     r'^io: temporary file ".*/\.vantrell-[0-9a-f]{16}\.tmp": Permission denied', NOBODY),
    # A file that lost its name is never written: not while other saves
    # rename theirs over it, nor once a backup rotation has moved it.
    ("eight threads saving while four read", lambda d: (old_file(d), d / "deck.pptx", None), "replaced", None,
     concurrently),
    ("deck moved to a backup as the save opens it",
     lambda d: then(can_hold(d), (old_file(d, mode=0o666 & ~current_umask()), d / "deck.pptx", None)), "replaced", 0,
     paused_at("deck.pptx", lambda f: os.rename(f / "deck.pptx", f / "deck.bak"))),
    ("link put in the deck's place while it is written",
     lambda d: then(can_hold(d), old_file(d, mode=0o600, name="other.pptx"), (old_file(d), d / "other.pptx", None)),
     "replaced", 0, paused_at(TEMP_NAME.pattern, lambda f: then(os.symlink("other.pptx", f / "l"),
                                                                os.replace(f / "l", f / "deck.pptx")))),
    # Replaced only when the new file can carry all the old one has, else
    # written in place as open(path, "wb") writes.
    ("deck shared through an ACL",
     lambda d: (kept_by_filesystem(old_file(d), setfacl("-m", "u:1234:r,g::-,m::r")), d / "deck.pptx", None),
     "replaced", None),
    ("deck without the folder's default ACL",
     lambda d: then(old_file(d), kept_by_filesystem(d, setfacl("-d", "-m", "u:1234:rw")),
                    (d / "deck.pptx",) * 2 + (None,)),
     "replaced", None),
    # A new deck gets what a file made there by open(path, "wb") gets: the
    # folder's default ACL where it has one, else the umask; its temporary
    # file, seen as it is created, is private either way.
    ("new deck in a folder whose default ACL shuts others out", lambda d: new_deck(d, "u::rwx,g::---,o::---"),
     "replaced", 0, paused_at(TEMP_NAME.pattern, private_temp)),
    ("new deck in a folder whose default ACL grants a user and a group",
     lambda d: new_deck(d, f"u:1234:rw,g:{TEAM}:r,o::---"), "replaced", 0, paused_at(TEMP_NAME.pattern, private_temp)),
    ("new deck in a folder without a default ACL", new_deck, "replaced", 0, paused_at(TEMP_NAME.pattern, private_temp)),
    ("deck with a user attribute",
     lambda d: (kept_by_filesystem(old_file(d), lambda p: os.setxattr(p, "user.from", b"mail")), d / "deck.pptx", None),
     "replaced", None),
    ("deck with two names", lambda d: then(os.link(old_file(d), d / "copy.pptx"), (d / "deck.pptx",) * 2 + (None,)),
     "written", None),
    ("the group's deck, saved by a member",
     lambda d: (old_file(team_folder(d), mode=0o660, owner=0, group=TEAM), d / "team" / "deck.pptx", None),
     "written", (NOBODY, TEAM)),
]


@pytest.fixture
def shared_folder():
    """A folder every user can reach, as tmp_path is not."""
    folder = pathlib.Path(tempfile.mkdtemp(prefix="vantrell-save-"))
    folder.chmod(0o755)
    yield folder
    shutil.rmtree(folder)


@pytest.mark.parametrize("setup,expect,user,how",
                         [pytest.param(*row[1:4], row[4] if len(row) > 4 else save_once, id=row[0]) for row in SAVES])
def test_save_targets(shared_folder, setup, expect, user, how):
    if user is not None and os.geteuid() != 0:
        pytest.skip("needs root to act as and for another user")
    target, landing, out_fd = setup(shared_folder)
    landing = landing or out_fd and f"/proc/self/fd/{out_fd}"
    before, kept = snapshot(shared_folder), by_inode(shared_folder)
    old = os.stat(landing) if landing and os.path.exists(landing) else None
    old_attributes = old and attributes(landing)
    by_open = old is None and landing and pathlib.Path(landing).with_name("by-open")

    def save():
        # Then a file made the plain way beside a new deck, by the same user
        # under the same umask, for the deck to match.
        os.umask(0o022)
        if not (got := how(target)) and by_open:
            open(by_open, "wb").close()
        return got

    try:
        got = in_child(save, user=user or None, stdout=out_fd, timeout=60)
        assert not list(shared_folder.rglob(".vantrell-*")), "a file of the save's own was left"
        if expect not in ("replaced", "written"):
            assert re.match(expect, got), got
            assert snapshot(shared_folder) == before
            return
        assert got == "ok"
        assert open(landing, "rb").read() == deck().to_bytes()
        new = os.stat(landing)
        if old is None:
            made = os.stat(by_open)
            assert (new.st_mode, new.st_uid, new.st_gid) == (made.st_mode, made.st_uid, made.st_gid)
            assert attributes(landing) == attributes(by_open)
        else:
            assert (new.st_ino == old.st_ino) == (expect == "written")
            assert (new.st_mode, new.st_uid, new.st_gid) == (old.st_mode, old.st_uid, old.st_gid)
            assert attributes(landing) == old_attributes
        # Every other file, under whatever name it has now, kept its bytes.
        after = by_inode(shared_folder)
        others = (kept.keys() & after.keys()) - {new.st_ino}
        assert {i: after[i] for i in others} == {i: kept[i] for i in others}
        assert isinstance(target, str) or target == landing or target.is_symlink()
    finally:
        if out_fd is not None:
            os.close(out_fd)


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


@pytest.mark.parametrize("mode", [0o600, None], ids=["private file", "new file"])
def test_temporary_file_is_private_until_whole(tmp_path, mode):
    if mode is not None:
        old_file(tmp_path, mode=mode)
    # Large enough that writing it takes many of the watcher's rounds.
    big = w.Presentation().add(w.Slide("big").picture(png() + os.urandom(16 << 20)))
    size = len(big.to_bytes())
    seen, done = [], threading.Event()

    def watch():
        while not done.is_set():
            for e in os.scandir(tmp_path):
                with contextlib.suppress(FileNotFoundError):
                    if TEMP_NAME.fullmatch(e.name) and (st := e.stat()).st_size < size:
                        seen.append(stat.S_IMODE(st.st_mode))

    watcher = threading.Thread(target=watch)
    watcher.start()
    for _ in range(40):
        big.save(tmp_path / "deck.pptx")
        if len(seen) >= 3:
            break
    done.set()
    watcher.join()
    assert seen, "no save was seen writing its temporary file"
    assert set(seen) == {0o600}


def interrupted_save(fifo, sig, reader):
    """Saves a deck larger than a pipe holds into `fifo` while a thread
    sends `sig` to the saving thread and a reader comes "never", "stalls"
    after opening or comes "after" the signal."""
    got, calls = {}, []
    signal.signal(signal.SIGUSR1, lambda *_: calls.append(1))

    def disturb(main=threading.main_thread().ident):
        if reader == "stalls":
            got["f"] = open(fifo, "rb")
        threading.Event().wait(0.3)
        signal.pthread_kill(main, sig)
        if reader == "after":
            with open(fifo, "rb") as f:
                got["data"] = f.read()

    big = w.Presentation().add(w.Slide("big").picture(png() + os.urandom(1 << 20)))
    thread = threading.Thread(target=disturb)
    thread.start()
    try:
        big.save(fifo)
    finally:
        thread.join()
    return f"whole={got.get('data') == big.to_bytes()} handled={len(calls)}"


@pytest.mark.parametrize("sig,reader,expect", [
    (signal.SIGINT, "never", "KeyboardInterrupt"),
    (signal.SIGINT, "stalls", "KeyboardInterrupt"),
    (signal.SIGUSR1, "after", "whole=True handled=1"),
])
def test_signal_reaches_a_save_waiting_on_a_fifo(tmp_path, sig, reader, expect):
    os.mkfifo(tmp_path / "pipe")
    assert in_child(lambda: interrupted_save(tmp_path / "pipe", sig, reader), timeout=20) == expect
    assert [p.name for p in tmp_path.iterdir()] == ["pipe"]
