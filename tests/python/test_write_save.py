"""save() onto nodes that are not regular files writes into them in place;
a regular file, also behind a link, is still replaced whole."""
import contextlib
import os
import stat
import threading

import pytest

import vantrell
import vantrell.write as w


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
