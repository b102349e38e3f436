"""PyAtomDatabase: creating and opening files, appending, committing, and reading molecules back by
index; each refusal of open, create, the getters and the adders with its text."""

import contextlib
import fcntl
import os
import pathlib
import random
import re
import resource
import signal
import socket
import stat
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import pytest
from conftest import (STORAGES, Items, assert_fields, build, fields, header_slot, in_child, plain, refused, rich, starts,
                      write)

from molarium._molarium_rs import PyAtomDatabase, PyMolecule

EXISTS = ("Database file already exists at '{}'. Use Database.open(path) for read-only access, "
          "Database.open(path, mmap=False) to append, or pass overwrite=True to recreate it.")


def exists(ending):
    before, after = EXISTS.split("{}")
    return re.compile(f"{re.escape(before)}/.*{re.escape(ending)}{re.escape(after)}")


NO_SLOTS = "Invalid data: Invalid or corrupted header (no valid header slots)"
SHORT = "IO error: failed to fill whole buffer"


def stored_path(tmp_path):
    return write(tmp_path / "stored.mol", [build(fields(2, seed=s)) for s in range(3)])


CREATE_AND_OPEN = [
    (lambda p, t: PyAtomDatabase(None), TypeError, starts("argument 'path': ")),
    (lambda p, t: PyAtomDatabase(p + "\0x"), ValueError, "IO error: file name contained an unexpected NUL byte"),
    (lambda p, t: PyAtomDatabase(str(t / "no" / "db.mol")), ValueError, starts("IO error: ")),
    (lambda p, t: PyAtomDatabase(str(t / "stored.mol")), FileExistsError, exists("/stored.mol")),
    (lambda p, t: PyAtomDatabase(str(t)), FileExistsError, exists("")),
    (lambda p, t: PyAtomDatabase(p[:-4] + "\udcff.mol"), UnicodeEncodeError, None),
    (lambda p, t: PyAtomDatabase(str(t), overwrite=True), ValueError, None),
    (lambda p, t: PyAtomDatabase(p, "gzip"), ValueError, "Invalid compression type"),
    (lambda p, t: PyAtomDatabase(str(t / "stored.mol"), "zstd "), ValueError, "Invalid compression type"),
    (lambda p, t: PyAtomDatabase(p, 2), TypeError, starts("argument 'compression': ")),
    (lambda p, t: PyAtomDatabase(p, "zstd", "3"), TypeError, starts("argument 'level': ")),
    (lambda p, t: PyAtomDatabase(p, "zstd", 2**31), OverflowError, None),
    (lambda p, t: PyAtomDatabase(p, overwrite=1), TypeError, starts("argument 'overwrite': ")),
    (lambda p, t: PyAtomDatabase.open(), TypeError, None),
    (lambda p, t: PyAtomDatabase.open(p), ValueError, starts("IO error: ")),
    (lambda p, t: PyAtomDatabase.open(str(t)), ValueError, starts("IO error: ")),
    (lambda p, t: PyAtomDatabase.open(str(t / "stored.mol"), mmap=1), TypeError, starts("argument 'mmap': ")),
    (lambda p, t: PyAtomDatabase.open(str(t / "stored.mol"), populate=None), TypeError,
     starts("argument 'populate': ")),
    (lambda p, t: PyAtomDatabase.open(p, False, True), ValueError, "populate=True requires mmap=True"),
]
FILES = [
    (b"", SHORT), (b"MOLR\x02\0\0", SHORT), (b"MOLX" + b"\0" * 8188, "Invalid data: Invalid file format"),
    (b"MOLR\x01\0\0\0" + b"\0" * 8184, "Invalid data: Unsupported file format version 1 (expected 2)"),
    (b"MOLR\xff\xff\xff\xff", "Invalid data: Unsupported file format version 4294967295 (expected 2)"),
    (b"MOLR\x02\0\0\0" + b"\0" * 4088, SHORT), (b"MOLR\x02\0\0\0" + b"\0" * 8184, NO_SLOTS),
    (b"MOLR\x02\0\0\0" + b"\xff" * 8184, NO_SLOTS),
    (header_slot(0)[:4092] + b"\0" * 4 + header_slot(0), None),  # a bad checksum in slot A only: slot B holds
]


@pytest.mark.parametrize("call, error, text", CREATE_AND_OPEN)
def test_create_and_open_refusals_touch_no_file(tmp_path, call, error, text):
    before = stored_path(tmp_path).read_bytes()
    refused(lambda: call(str(tmp_path / "new.mol"), tmp_path), error, text)
    assert (tmp_path / "stored.mol").read_bytes() == before and not (tmp_path / "new.mol").exists()


@pytest.mark.parametrize("through_link", [False, True], ids=["file", "link"])
@pytest.mark.parametrize("mode", [0o640, 0o604])
def test_overwrite_replaces_the_file_the_path_resolves_to_and_keeps_its_permission_bits(tmp_path, through_link, mode):
    target = write(tmp_path / "target.mol", [plain(2)])
    os.chmod(target, mode)
    path = tmp_path / "link.mol" if through_link else target
    if through_link:
        path.symlink_to("target.mol")  # relative to the link's folder, not to the working directory
    db = PyAtomDatabase(str(path), overwrite=True)
    db.add_molecule(plain(4))
    db.flush()
    assert path.is_symlink() == through_link and stat.S_IMODE(os.stat(target).st_mode) == mode
    again = PyAtomDatabase.open(str(target))
    assert len(again) == 1 and len(again[0].positions) == 4


# --- what creating over a path may destroy -----------------------------------------------------------
def node(tmp_path, kind):
    path = tmp_path / kind
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "socket":
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(str(path))
        sock.close()
    else:
        try:
            os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # a scratch /dev/null
        except PermissionError:
            pytest.skip("mknod is not permitted here")
    return path


NOT_REGULAR = {"fifo": "a FIFO", "socket": "a socket", "device": "a character device"}
OPENS = {"create": lambda p: PyAtomDatabase(p, overwrite=True), "open": PyAtomDatabase.open,
         "open unmapped": lambda p: PyAtomDatabase.open(p, mmap=False)}


@pytest.mark.parametrize("kind", NOT_REGULAR)
@pytest.mark.parametrize("through_link", [False, True], ids=["named", "link"])
@pytest.mark.parametrize("call", OPENS.values(), ids=OPENS.keys())
def test_what_is_not_a_regular_file_is_refused_at_once_and_left_in_place(tmp_path, kind, through_link, call):
    target = node(tmp_path, kind)
    path = tmp_path / "link.mol" if through_link else target
    if through_link:
        path.symlink_to(kind)
    before = os.lstat(target)
    refused(lambda: call(str(path)), ValueError, f"IO error: '{path}' is {NOT_REGULAR[kind]}, not a regular file")
    after = os.lstat(target)
    assert (after.st_ino, after.st_mode) == (before.st_ino, before.st_mode) and path.is_symlink() == through_link
    assert sorted(os.listdir(tmp_path)) == sorted({kind, path.name})


NOBODY, MEMBER, GROUP = 65534, 65533, 65532  # unprivileged users, and a group MEMBER belongs to
# The children are forked, since an unprivileged user cannot start this interpreter from root's
# home. CPython 3.12 and later warn when the parent has threads (the worker pool's, idle between
# calls); the child runs only a create and an append.
FORKS = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")


def as_user(work, uid=NOBODY, groups=()):
    """work() in a forked child that runs as an unprivileged user when this process is root."""
    def run():
        if os.geteuid() == 0:
            os.setgroups(list(groups))
            os.setgid(uid)
            os.setuid(uid)
        return work()
    return in_child(run)


@pytest.fixture
def own_folder(monkeypatch):
    """The unprivileged user's folder, reachable by that user and made the working directory."""
    folder = pathlib.Path(tempfile.mkdtemp())
    if os.geteuid() == 0:
        os.chown(folder, NOBODY, NOBODY)
    monkeypatch.chdir(folder)
    yield folder
    shutil.rmtree(folder)


def appended(db, n=4):
    db.add_molecule(plain(n))
    db.flush()
    return len(db)


def replace_and_append():
    return appended(PyAtomDatabase("db.mol", overwrite=True))


def descriptors(spare):
    """Leaves the process `spare` more descriptors than it holds now."""
    lowest_free = os.open(os.devnull, os.O_RDONLY)
    os.close(lowest_free)
    resource.setrlimit(resource.RLIMIT_NOFILE, (lowest_free + spare, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))


def file_size(limit):
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))


@FORKS
@pytest.mark.parametrize("old", [True, False], ids=["overwrite", "fresh"])
@pytest.mark.parametrize("limit, error", [
    (lambda: descriptors(0), "IO error: Too many open files (os error 24)"),
    (lambda: descriptors(1), "IO error: Too many open files (os error 24)"),
    (lambda: descriptors(2), "IO error: Too many open files (os error 24)"),
    (lambda: file_size(6000), "IO error: File too large (os error 27)"),
], ids=["no descriptor", "one descriptor", "two descriptors", "6000-byte files"])
def test_a_create_that_fails_before_the_new_file_is_whole_leaves_the_path_as_it_was(tmp_path, monkeypatch, limit,
                                                                                      error, old):
    monkeypatch.chdir(tmp_path)
    before = write(tmp_path / "db.mol", [plain(2), plain(3)]).read_bytes() if old else None

    def create():
        limit()
        return replace_and_append()

    assert in_child(create) == ("ValueError", error)
    if old:
        assert (tmp_path / "db.mol").read_bytes() == before and os.listdir(tmp_path) == ["db.mol"]
    else:
        assert os.listdir(tmp_path) == [] and appended(PyAtomDatabase("db.mol")) == 1  # a retry is not refused


@FORKS
@pytest.mark.skipif(not hasattr(os, "fork"), reason="this platform cannot fork")
def test_a_fresh_create_killed_at_any_moment_leaves_nothing_or_a_whole_database(tmp_path):
    path, rng = tmp_path / "db.mol", random.Random(3)
    for _ in range(150):
        pid = os.fork()
        if pid == 0:
            try:
                while True:
                    PyAtomDatabase(str(path))
                    os.remove(path)
            finally:
                os._exit(1)
        time.sleep(rng.uniform(0, 0.004))
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        if path.exists():
            assert len(PyAtomDatabase.open(str(path))) == 0
            os.remove(path)
    assert set(os.listdir(tmp_path)) <= {n for n in os.listdir(tmp_path) if n.startswith(".db.mol.")}
    assert appended(PyAtomDatabase(str(path))) == 1


@FORKS
@pytest.mark.parametrize("umask", [0o022, 0o077, 0o277])
def test_a_new_file_has_the_mode_of_a_plain_create_and_its_handle_writes_it(own_folder, umask):
    def create():
        os.umask(umask)
        return appended(PyAtomDatabase("db.mol"))

    assert as_user(create) == ("ok", 1)
    assert stat.S_IMODE(os.stat(own_folder / "db.mol").st_mode) == 0o666 & ~umask
    assert os.listdir(own_folder) == ["db.mol"] and len(PyAtomDatabase.open("db.mol")) == 1


ROOT_ONLY = pytest.mark.skipif(os.geteuid() != 0, reason="only root can act as another user here")
PERMISSION = "IO error: Permission denied (os error 13)"


@contextlib.contextmanager
def kernel_protection(name):
    """fs.<name> set to 1 for the duration, one test at a time across workers; skips where it cannot be set."""
    setting = pathlib.Path("/proc/sys/fs") / name
    with open(os.path.join(tempfile.gettempdir(), "molarium-sysctl.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            old = setting.read_text()
            setting.write_text("1")
        except OSError:
            pytest.skip(f"fs.{name} cannot be set here")
        try:
            yield
        finally:
            setting.write_text(old)


@pytest.fixture
def sticky_folder():
    """A folder like /tmp: root's, world-writable, sticky."""
    folder = pathlib.Path(tempfile.mkdtemp())
    os.chmod(folder, 0o1777)
    yield folder
    shutil.rmtree(folder)


def plant_link(folder, target):
    return lambda: os.symlink(target, folder / "run.mol")


def plant_file(folder, target):
    return lambda: os.chmod(write(folder / "run.mol", [plain(2)]), 0o666)


@FORKS
@ROOT_ONLY
@pytest.mark.parametrize("protection, plant, target_exists, overwrite", [
    ("protected_symlinks", plant_link, True, True),
    ("protected_symlinks", plant_link, False, False),
    ("protected_regular", plant_file, False, True),
], ids=["link to root's file", "dangling link", "another user's file"])
def test_root_is_refused_what_the_kernel_protects_in_a_sticky_folder(tmp_path, sticky_folder, protection, plant,
                                                                      target_exists, overwrite):
    target = tmp_path / "secret.mol"  # root's alone
    if target_exists:
        write(target, [plain(2)])
    with kernel_protection(protection):
        assert as_user(plant(sticky_folder, target)) == ("ok", None)
        before = state(sticky_folder / "run.mol", target)
        refused(lambda: PyAtomDatabase(str(sticky_folder / "run.mol"), overwrite=overwrite), ValueError, PERMISSION)
    assert state(sticky_folder / "run.mol", target) == before and os.listdir(sticky_folder) == ["run.mol"]
    assert target.exists() == target_exists


def state(*paths):
    """Each path's inode, owner and, for a regular file, its bytes; links are not followed."""
    def one(path):
        if not os.path.lexists(path):
            return None
        status = os.lstat(path)
        return status.st_ino, status.st_uid, path.read_bytes() if stat.S_ISREG(status.st_mode) else os.readlink(path)
    return [one(path) for path in paths]


@contextlib.contextmanager
def coming_and_going(path, put, uid=None):
    """Another process, as `uid` if given, that puts something at the path with put() and takes it
    away again, in a loop, for the duration."""
    pid = os.fork()
    if pid == 0:
        try:
            if uid is not None:
                os.setgroups([])
                os.setgid(uid)
                os.setuid(uid)
            while True:
                with contextlib.suppress(OSError):
                    put()
                with contextlib.suppress(OSError):
                    os.unlink(path)
        finally:
            os._exit(1)
    try:
        yield
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)


@FORKS
@ROOT_ONLY
def test_root_never_follows_a_link_another_user_plants_and_removes_in_a_loop(tmp_path, sticky_folder):
    secret, link = write(tmp_path / "secret.mol", [plain(2)]), sticky_folder / "run.mol"
    before = secret.read_bytes()
    with kernel_protection("protected_symlinks"):
        for target, overwrite in ((secret, True), (tmp_path / "new.mol", False)):
            with coming_and_going(link, lambda: os.symlink(target, link), NOBODY):
                end = time.monotonic() + 1
                while time.monotonic() < end:
                    with contextlib.suppress(ValueError, FileExistsError):
                        PyAtomDatabase(str(link), overwrite=overwrite)
                    with contextlib.suppress(FileNotFoundError):
                        if not stat.S_ISLNK(os.lstat(link).st_mode):
                            os.remove(link)  # made while no link was there: root's, which the attacker may not remove
    assert secret.read_bytes() == before and not (tmp_path / "new.mol").exists()


@FORKS
def test_a_link_that_comes_and_goes_at_the_path_is_followed_or_not_there(tmp_path):
    link, made = tmp_path / "latest.mol", tmp_path / "run.mol"
    failures, end = set(), time.monotonic() + 1
    with coming_and_going(link, lambda: os.symlink("run.mol", link)):
        while time.monotonic() < end:
            try:
                PyAtomDatabase(str(link), overwrite=True)
            except ValueError as error:
                failures.add(str(error))
            with contextlib.suppress(FileNotFoundError):
                os.remove(made)
    assert failures <= {"IO error: Resource temporarily unavailable (os error 11)"}  # only when it never settles


@FORKS
@ROOT_ONLY
@pytest.mark.parametrize("mode", [0o1733, 0o733], ids=["sticky", "plain"])
def test_a_folder_that_may_be_written_but_not_listed_takes_new_and_replacing_files(mode):
    folder = pathlib.Path(tempfile.mkdtemp())
    try:
        os.chmod(folder, mode)
        path = str(folder / "db.mol")
        outcome = as_user(lambda: (appended(PyAtomDatabase(path)), appended(PyAtomDatabase(path, overwrite=True), 5)))
        assert outcome == ("ok", (1, 1)) and os.listdir(folder) == ["db.mol"]
        assert os.stat(path).st_uid == NOBODY and len(PyAtomDatabase.open(path)[0].positions) == 5
    finally:
        shutil.rmtree(folder)


USER_NAMESPACE = """
import sys
import numpy as np
from molarium._molarium_rs import PyAtomDatabase, PyMolecule
db = PyAtomDatabase(sys.argv[1], overwrite=True)
db.add_molecule(PyMolecule(np.zeros((4, 3), np.float32), np.ones(4, np.uint8)))
db.flush()
print(len(db))
"""


@ROOT_ONLY
@pytest.mark.parametrize("protected", [False, True],
                         ids=["owner not mapped", "another user's file in a sticky folder, caller mapped to nobody"])
def test_an_overwrite_in_a_user_namespace_carries_what_it_may_and_refuses_what_the_kernel_protects(tmp_path,
                                                                                                  sticky_folder,
                                                                                                  protected):
    folder = sticky_folder if protected else tmp_path
    path = write(folder / "db.mol", [plain(2)])
    os.chown(path, 1234 if protected else NOBODY, GROUP)  # neither mapped in the namespace
    os.chmod(path, 0o666)
    mapping = ["--map-user=65534", "--map-group=65534"] if protected else ["-r"]
    if subprocess.run(["unshare", "-U", *mapping, "true"], capture_output=True).returncode != 0:
        pytest.skip("no user namespace can be made here")
    before = state(path)
    with kernel_protection("protected_regular") if protected else contextlib.nullcontext():
        run = subprocess.run(["unshare", "-U", *mapping, sys.executable, "-c", USER_NAMESPACE, str(path)],
                             capture_output=True, text=True, timeout=120)
    assert os.listdir(folder) == ["db.mol"]
    if protected:
        assert run.stdout == "" and run.stderr.endswith(f"ValueError: {PERMISSION}\n") and state(path) == before
        return
    assert (run.stdout, run.stderr) == ("1\n", "")
    after = os.stat(path)
    assert (after.st_uid, stat.S_IMODE(after.st_mode)) == (0, 0o666)
    assert len(PyAtomDatabase.open(str(path))[0].positions) == 4


def test_a_path_as_long_as_the_kernel_takes_is_created_and_replaced(tmp_path):
    folder = str(tmp_path)
    while 4095 - len(folder) > 250:
        folder += "/" + "d" * min(200, 4095 - len(folder) - 60)
    os.makedirs(folder)
    path = folder + "/" + "n" * (4095 - len(folder) - 1)
    assert len(path) == 4095
    assert appended(PyAtomDatabase(path)) == 1 and appended(PyAtomDatabase(path, overwrite=True), 5) == 1
    assert os.listdir(folder) == [os.path.basename(path)] and len(PyAtomDatabase.open(path)[0].positions) == 5


@FORKS
@pytest.mark.parametrize("mode, replaced", [(0o444, False), (0o400, False), (0o000, False), (0o200, True),
                                            (0o640, True)])
def test_an_owner_replaces_only_a_database_it_may_write_and_can_then_write_it(own_folder, mode, replaced):
    folder = own_folder
    assert as_user(lambda: os.chmod(write("db.mol", [plain(2)]), mode)) == ("ok", None)
    before = (folder / "db.mol").read_bytes()
    outcome = as_user(replace_and_append)
    after = os.stat(folder / "db.mol")
    assert stat.S_IMODE(after.st_mode) == mode and os.listdir(folder) == ["db.mol"]
    if replaced:
        assert outcome == ("ok", 1) and after.st_uid == (NOBODY if os.geteuid() == 0 else os.geteuid())
        assert len(PyAtomDatabase.open(str(folder / "db.mol"))[0].positions) == 4
    else:
        assert outcome == ("ValueError", "IO error: Permission denied (os error 13)")
        assert (folder / "db.mol").read_bytes() == before


@FORKS
@pytest.mark.skipif(os.geteuid() != 0, reason="only root can make files of other users")
@pytest.mark.parametrize("by, owner", [(0, NOBODY), (MEMBER, MEMBER)], ids=["root", "a member of the group"])
def test_an_overwrite_keeps_the_owner_and_group_it_may_set(own_folder, by, owner):
    os.chmod(own_folder, 0o777)
    assert as_user(lambda: os.chmod(write("db.mol", [plain(2)]), 0o660)) == ("ok", None)
    os.chown("db.mol", NOBODY, GROUP)
    assert as_user(replace_and_append, by, [GROUP]) == ("ok", 1)
    after = os.stat("db.mol")
    assert (after.st_uid, after.st_gid, stat.S_IMODE(after.st_mode)) == (owner, GROUP, 0o660)
    assert as_user(lambda: appended(PyAtomDatabase.open("db.mol", mmap=False), 5), NOBODY, [GROUP]) == ("ok", 2)


READER = """
import sys, time
from molarium._molarium_rs import PyAtomDatabase
failures, end = set(), time.monotonic() + float(sys.argv[2])
while time.monotonic() < end:
    try:
        PyAtomDatabase.open(sys.argv[1], mmap=False)
    except ValueError as error:
        failures.add(str(error))
print(sorted(failures))
"""


@FORKS
@pytest.mark.parametrize("fresh, churn, sticky", [(False, False, False), (True, False, False), (False, True, False),
                                                  (False, True, True)],
                         ids=["overwrites", "fresh creates", "overwrites of a file that comes and goes",
                              "the same in a sticky folder"])
def test_a_reader_opening_the_path_during_creates_finds_nothing_or_a_whole_database(tmp_path, fresh, churn, sticky):
    if sticky:
        os.chmod(tmp_path, 0o1777)
    path, other = write(tmp_path / "db.mol", [plain(2)]), write(tmp_path / "db.mol.other", [plain(1)])
    reader = subprocess.Popen([sys.executable, "-c", READER, str(path), "2"], stdout=subprocess.PIPE, text=True)
    with coming_and_going(path, lambda: os.link(other, path)) if churn else contextlib.nullcontext():
        while reader.poll() is None:
            if fresh:
                os.remove(path)
            try:
                PyAtomDatabase(str(path), overwrite=not fresh).add_molecule(plain(3))
            except (ValueError, RuntimeError):
                assert churn  # the old file went, or came back, at every try, or the new one was replaced
    missing = "'IO error: No such file or directory (os error 2)'"
    assert reader.stdout.read().strip() in ([f"[{missing}]", "[]"] if fresh or churn else ["[]"])
    assert set(os.listdir(tmp_path)) - {"db.mol.other"} <= {"db.mol"}  # no temporary left
    assert path.exists() or churn


@pytest.mark.parametrize("content, text", FILES)
@pytest.mark.parametrize("mmap", [True, False])
def test_files_that_are_no_database_are_refused(tmp_path, content, text, mmap):
    (tmp_path / "bad.mol").write_bytes(content)
    if text is None:
        assert len(PyAtomDatabase.open(str(tmp_path / "bad.mol"), mmap=mmap)) == 0
    else:
        refused(lambda: PyAtomDatabase.open(str(tmp_path / "bad.mol"), mmap=mmap), ValueError, text)


@pytest.mark.parametrize("level", [2**31 - 1, -(2**31), 0, -1, 23])
def test_zstd_levels_outside_the_usual_range_store_or_refuse_clearly(tmp_path, level):
    db = PyAtomDatabase(str(tmp_path / "db.mol"), "zstd", level)
    try:
        db.add_molecule(rich())
    except ValueError as error:
        assert str(error).startswith("Compression error: ")
        return
    db.flush()
    np.testing.assert_array_equal(PyAtomDatabase.open(str(tmp_path / "db.mol"))[0].forces, rich().forces)


READS = [
    (lambda d: d.get_molecule(3), IndexError, "Index 3 out of bounds for database of length 3"),
    (lambda d: d[2**64 - 1], IndexError, None), (lambda d: d[-1], OverflowError, None),
    (lambda d: d["0"], TypeError, starts("argument 'index': ")),
    (lambda d: d.get_molecules("01"), TypeError, "argument 'indices': Can't extract `str` to `Vec`"),
    (lambda d: d.get_molecules(5), TypeError, "argument 'indices': 'int' object cannot be converted to 'Sequence'"),
    (lambda d: d.get_molecules([0, 3]), ValueError, starts("Invalid data: ")),
    (lambda d: d.get_molecules([0, -1]), OverflowError, None),
    (lambda d: d.get_molecules([2**64 - 1]), ValueError, None),
    (lambda d: d.get_molecules(Items([0, ZeroDivisionError("broken")])), ZeroDivisionError, None),
]


@pytest.mark.parametrize("mmap", [True, False])
@pytest.mark.parametrize("call, error, text", READS)
def test_read_refusals(tmp_path, mmap, call, error, text):
    db = PyAtomDatabase.open(str(stored_path(tmp_path)), mmap=mmap)
    refused(lambda: call(db), error, text)
    assert_fields(db[2], fields(2, seed=2))


@pytest.mark.parametrize("codec, mmap", STORAGES)
@pytest.mark.parametrize("tail", [False, True], ids=["committed", "uncommitted-tail"])
def test_get_molecules_past_the_end_fails_in_the_engine(tmp_path, codec, mmap, tail):
    path = write(tmp_path / "db.mol", [plain(2), plain(2)], codec)
    if tail:  # appended and never committed: bytes follow the index
        size, writer = path.stat().st_size, PyAtomDatabase.open(str(path), mmap=False)
        writer.add_molecule(plain(3))
        del writer
        assert path.stat().st_size > size
    db = PyAtomDatabase.open(str(path), mmap=mmap)
    for index in (2, 5):
        missing = f"Invalid data: Missing {'mmap' if codec == 'none' else 'compressed'} bytes for molecule {index}"
        out_of_bounds = f"Invalid data: Index {index} out of bounds"
        refused(lambda: db.get_molecules([0, index]), ValueError, missing if mmap else out_of_bounds)
        refused(lambda: db.get_molecules_flat([0, index]), ValueError, out_of_bounds)


@pytest.mark.parametrize("codec, mmap", STORAGES)
def test_every_index_container_selects_the_same_molecules_in_order(tmp_path, codec, mmap):
    values = [fields(n, seed=n) for n in (2, 3, 1, 4)]
    db = PyAtomDatabase.open(str(write(tmp_path / "db.mol", [build(v) for v in values], codec)), mmap=mmap)
    indices = [3, 0, 0, 2, 1]
    array = np.array(indices)
    containers = [indices, tuple(indices), range(0, 0), Items(indices), [np.int64(i) for i in indices],
                  np.repeat(array, 2)[::2], array[::-1][::-1]]
    containers += [array.astype(d) for d in (np.int8, np.int32, np.uint16, np.uint64, ">i8", "<u4")]
    for container in containers:
        chosen = [indices[i] for i in range(len(container))]
        molecules = db.get_molecules(container)
        assert len(molecules) == len(chosen)
        for mol, index in zip(molecules, chosen):
            assert_fields(mol, values[index])
        assert db.get_molecules_flat(container)["n_atoms"].tolist() == [len(values[i]["positions"]) for i in chosen]
    molecules = db.get_molecules(indices)
    assert molecules[1] is not molecules[2]
    molecules[1].energy = 99.0
    assert molecules[2].energy == values[0]["energy"]
    assert_fields(db[True], values[1]) if mmap else assert_fields(db.get_molecule(np.int64(1)), values[1])


def with_properties(keys):
    mol = plain(3)
    for key in keys:
        mol.set_property(key, 1.5)
    return mol


def long_key(length=256):
    return with_properties(["k" * length])


ADDS = [
    (lambda d: d.add_molecule(5), TypeError, "argument 'molecule': 'int' object cannot be converted to 'PyMolecule'"),
    (lambda d: d.add_molecules([plain(3), 5]), TypeError,
        "argument 'molecules': 'int' object cannot be converted to 'PyMolecule'"),
    (lambda d: d.add_molecules("m"), TypeError, "argument 'molecules': Can't extract `str` to `Vec`"),
    (lambda d: d.add_molecules(Items([0, ZeroDivisionError("broken")])), (TypeError, ZeroDivisionError), None),
    (lambda d: d.add_molecule(plain(3, np.float64)), ValueError, starts("Invalid data: ")),
    (lambda d: d.add_molecule(long_key()), ValueError,
     re.compile(f"(Invalid data: )?Section key '{'k' * 256}' is too long")),
    (lambda d: d.add_molecules([long_key()] * 3), ValueError, None),
    (lambda d: d.add_arrays_batch(np.zeros((1500, 3, 3), np.float32), np.ones((1500, 3), np.uint8),
                                  properties={"k" * 256: np.zeros(1500)}), ValueError, None),
    (lambda d: d.add_molecule(with_properties(f"p{i}" for i in range(65536))), ValueError,
     re.compile("(Invalid data: )?Too many SOA sections")),
]


@pytest.mark.parametrize("call, error, text", ADDS)
def test_add_refusals_leave_the_database_usable(tmp_path, call, error, text):
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    db.add_molecule(plain(3))
    refused(lambda: call(db), error, text)
    db.add_molecule(long_key(255))
    db.flush()
    again = PyAtomDatabase.open(str(tmp_path / "db.mol"))
    assert len(again) == 2 and again[1].has_property("k" * 255)


def forces_of(dtype, path=None):
    """Two molecules with forces of `dtype`, the second with an energy; views of a file at `path` if given."""
    molecules = [PyMolecule(np.zeros((2, 3), np.float32), np.ones(2, np.uint8), forces=np.ones((2, 3), dtype),
                            energy=energy) for energy in (None, 1.0)]
    return molecules if path is None else PyAtomDatabase.open(str(write(path, molecules))).get_molecules([0, 1])


# Views of different layouts take the append path that derives a schema from each record.
@pytest.mark.parametrize("first, later", [(lambda p: [plain(3)], lambda p: forces_of(np.float64, p)),
                                          (lambda p: forces_of(np.float32, p), lambda p: forces_of(np.float64))],
                         ids=["plain-then-views", "views-then-owned"])
def test_a_file_with_records_keeps_record_format_2(tmp_path, first, later):
    path = tmp_path / "db.mol"
    db = PyAtomDatabase(str(path))
    db.add_molecules(first(tmp_path / "first.mol"))
    before = (path.read_bytes(), len(db))
    refused(lambda: db.add_molecules(later(tmp_path / "later.mol")), ValueError,
            "Invalid data: record format 2 does not support float64 forces")
    assert (path.read_bytes(), len(db)) == before
