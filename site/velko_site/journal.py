"""The journal: each worker appends its records to a file of its own before it answers, and the
loader (loader.py) puts them into the database later.

A journal is a file `w<pid>-<16 hex digits>.journal` in the configuration's journal folder, opened
with O_APPEND by the worker that writes it and held under an exclusive flock() while it is open: a
journal whose lock can be taken has no writer any more (its worker ended, was killed, or moved on
to a new journal), and once loaded it can go.  Each record is one line, written with one write():

    <CRC-32 of the rest, 8 hex digits> TAB <kind> TAB <field> TAB ... LF

    D  at  ident  product  campaign  referrer            a copy handed out
    I  at  line-id  form  length  session                an information request; form: v (a
                                                         verified identifier), o (the old form),
                                                         u (neither); line-id is unique to the line
    O  at  line-id  form  outcome  detail  version       how a run ended (outcomes.py), reported by
       arch  length  session                             the stub; form, length and session as for I

`at` is UTC text as the database stores it; the other fields hold no blank, tab or line break
(identifiers, names, outcome codes and app.stored_text's escaped text; a detail may be empty).  A
line the loader finds without its LF is not yet whole while its writer lives and a torn tail when
it has gone; a line whose CRC does not match is never loaded.

Durability: a record is in the kernel's page cache once write() returns, before the request is
answered, so a crash of the process loses nothing.  A background thread fsync()s the journal every
FLUSH_INTERVAL seconds, never a request: a power loss can lose the lines of the last interval.
"""
import ctypes
import errno
import fcntl
import os
import secrets
import sys
import threading
import time
import zlib

FLUSH_INTERVAL = 0.1
# A journal grows to this many bytes, then its worker starts a new one (the loader removes the old
# one once it has loaded it).
ROTATE_BYTES = 64 * 1024 * 1024
SUFFIX = ".journal"


def _write_holding_the_interpreter():
    """libc's write(fd, data) as a function that keeps the interpreter's lock (the GIL) through
    the system call, or None where libc cannot be reached so.  os.write() lets the lock go for the
    call and waits to take it back after: in a worker whose other threads are busy that wait holds
    the journal's lock too, so the threads that journal next queue behind it, and the hand-overs
    cost more than the write does (a line goes to the page cache in a few microseconds).  Measured
    in a busy worker (2 workers of 8 threads, 8 clients at once): the information endpoint's
    handler took 60 us of processor time and 306 us from start to end with os.write(), 45 us and
    52 us with this."""
    try:
        call = ctypes.PyDLL(None, use_errno=True).write
    except (OSError, AttributeError):
        return None
    call.argtypes = (ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t)
    call.restype = ctypes.c_ssize_t

    def write(fd, data):
        while True:
            written = call(fd, data, len(data))
            if written >= 0:
                return written
            code = ctypes.get_errno()
            if code != errno.EINTR:
                raise OSError(code, os.strerror(code))

    return write


# A line's one write() system call; raises OSError as os.write() does.
write_line = _write_holding_the_interpreter() or os.write


class JournalError(Exception):
    """A record could not be written: nothing of the request may be sent."""


def encode(fields):
    """The line (bytes) for `fields` (texts), its CRC first."""
    body = "\t".join(fields).encode("ascii")
    return b"%08x\t%s\n" % (zlib.crc32(body), body)


def decode(line):
    """The fields (texts) of a whole line (bytes, its LF included), or None when its CRC or its
    form is wrong."""
    if len(line) < 10 or line[8:9] != b"\t" or not line.endswith(b"\n"):
        return None
    body = line[9:-1]
    try:
        if int(line[:8], 16) != zlib.crc32(body):
            return None
        return body.decode("ascii").split("\t")
    except ValueError:  # not hex, or not ASCII
        return None


def _log(text):
    print("velko-site: journal: %s" % text, file=sys.stderr, flush=True)


class Journal:
    """The journal of this process in `folder`, opened by the first append() in each process (a
    worker forked from the process that made this writes a journal of its own).

    append(fields) writes one line; raises JournalError when the line could not be written whole
    (a full disk, an I/O error).  The file is then left as it is (its torn tail is never loaded)
    and the next append() starts a new journal.  append_numbered() writes a line with a line id:
    a text no other line of any journal carries."""

    def __init__(self, folder, flush_interval=FLUSH_INTERVAL):
        self.folder = folder
        self.flush_interval = flush_interval
        self._lock = threading.Lock()
        self._pid = None
        # A process forked from this one starts afresh (checked without a system call per line).
        os.register_at_fork(after_in_child=self._forked)

    def _forked(self):
        self._lock = threading.Lock()
        self._pid = None

    def _reset(self):
        self._pid = os.getpid()
        self._fd = None            # the journal being written, or None: open one at the next append
        self._name = None
        self._size = 0
        self._prefix = "w%d-%s" % (os.getpid(), secrets.token_hex(8))  # of this process's line ids
        self._seq = 0
        self._dirty = False        # lines written since the last fsync
        self._new_file = False     # a journal made since the last fsync of the folder
        self._retired = []         # journals left, to fsync and close (the flusher's job)
        threading.Thread(target=self._flusher, name="journal-flusher", daemon=True).start()

    def _open(self):
        name = "w%d-%s" % (os.getpid(), secrets.token_hex(8))
        path = os.path.join(self.folder, name + SUFFIX)
        # Made under another name and locked before it takes its own: the loader never sees a
        # journal without its writer's lock (it would take it for one whose writer has gone).
        try:
            os.makedirs(self.folder, 0o750, exist_ok=True)
            fd = os.open(path + ".new", os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o640)
        except OSError as e:
            raise JournalError("cannot make %s: %s" % (e.filename or path, e.strerror)) from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            os.rename(path + ".new", path)
        except OSError as e:
            os.close(fd)
            raise JournalError("cannot make %s: %s" % (path, e.strerror)) from None
        self._fd, self._name, self._size, self._new_file = fd, name, 0, True

    def _retire(self):
        if self._fd is not None:
            self._retired.append(self._fd)
            self._dirty = True
        self._fd = None

    def append(self, fields):
        line = encode(fields)
        with self._lock:
            if self._pid is None:
                self._reset()
            self._write(line)

    def append_numbered(self, kind, at, fields):
        """append([kind, at, a new line id, *fields]) (texts), with the journal's lock taken once
        for the id and the line: what each request without a key of its own writes.  The id is the
        process's pid, 64 random bits drawn when it first wrote, and a count."""
        rest = "\t".join(fields)
        with self._lock:
            if self._pid is None:
                self._reset()
            self._seq += 1
            body = ("%s\t%s\t%s.%d\t%s" % (kind, at, self._prefix, self._seq, rest)).encode("ascii")
            self._write(b"%08x\t%s\n" % (zlib.crc32(body), body))

    def _write(self, line):
        """Writes `line` (bytes) with one write(), the lock held; raises JournalError."""
        if self._fd is None:
            self._open()
        try:
            written = write_line(self._fd, line)
        except OSError as e:
            self._retire()
            raise JournalError("cannot write to %s: %s" % (self._name, e.strerror)) from None
        if written != len(line):
            self._retire()
            raise JournalError("%s: wrote %d of a line's %d bytes (is the disk full?)"
                               % (self._name, written, len(line)))
        self._size += written
        self._dirty = True
        if self._size >= ROTATE_BYTES:
            self._retire()

    def _flusher(self):
        while True:
            time.sleep(self.flush_interval)
            self.flush()

    def flush(self):
        """Makes every line written so far durable (fsync), and closes the journals left."""
        with self._lock:
            if not self._dirty or self._pid is None:
                return
            fd, retired, new_file = self._fd, self._retired, self._new_file
            self._retired, self._dirty, self._new_file = [], False, False
        # Only this thread closes a journal, so `fd` stays open while it is synced.
        for each in retired + ([fd] if fd is not None else []):
            try:
                os.fsync(each)
            except OSError as e:
                # The kernel may have dropped the pages it could not write: say so, and go on
                # in a new journal.
                _log("fsync failed (%s): lines of the last %.1f s may be lost at a power cut"
                     % (e.strerror, self.flush_interval))
                with self._lock:
                    if self._fd == each:
                        self._retire()
        for each in retired:
            os.close(each)
        if new_file:
            try:
                dir_fd = os.open(self.folder, os.O_RDONLY | os.O_DIRECTORY)
                try:
                    os.fsync(dir_fd)
                finally:
                    os.close(dir_fd)
            except OSError as e:
                _log("fsync of %s failed: %s" % (self.folder, e.strerror))
