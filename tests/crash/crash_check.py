#!/usr/bin/env python3
"""Crash-state checker: what a power cut could leave of a collection.

Runs a program under strace inside a collection, replays the file-system
calls it made on a model of the collection, and checks every crash point
under this model of a disk:

  * changes of names (create, link, unlink, rename, mkdir, symlink, rmdir),
    those of child processes included, reach the disk in program order: a
    crash keeps some prefix of them;
  * the bytes written to a file survive only if an fsync or fdatasync of
    that file, or a syncfs or sync, came after the write and before the
    crash.

At every crash point (right after each change of names) it checks:

  1. every tune (a file that begins with "PSID") is whole: under its old
     file, or in a new file holding the same bytes whose writes were synced;
  2. the document, when one is named, stands whole under its name;
  3. with an undo record named: every change of names in the collection was
     made when every entry written before it was on the disk, and the
     entries on the disk name the paths it changed.

Replayed to the end, the model must equal the tree the program left.

Usage:
  crash_check.py [--document REL] [--record REL] [--stdin FILE] ROOT -- CMD...

Exit status: 0 when every crash point holds, 1 when one does not, 2 when the
run cannot be traced.
"""

import argparse
import copy
import hashlib
import json
import os
import re
import stat
import subprocess
import sys
import tempfile

# The calls the model needs: those that name, write, sync, or hand out files.
TRACED = ("open,openat,creat,write,pwrite64,writev,pwritev,pwritev2,copy_file_range,sendfile,"
          "ftruncate,fallocate,fsync,fdatasync,syncfs,sync,link,linkat,unlink,unlinkat,rename,"
          "renameat,renameat2,mkdir,mkdirat,rmdir,symlink,symlinkat,close,dup,dup2,dup3,fcntl,"
          "clone,clone3,fork,vfork,chdir,fchdir")

O_CREAT, O_TRUNC = "O_CREAT", "O_TRUNC"


class Node:
    """A file, directory or link of the model."""
    __slots__ = ("kind", "children", "nlink", "dirty", "written", "durable", "original", "ident")

    def __init__(self, kind, ident, original=None):
        self.kind = kind            # "dir", "file" or "link"
        self.children = {} if kind == "dir" else None
        self.nlink = 0              # names in the model
        self.dirty = False          # holds bytes not yet synced
        self.written = 0            # bytes appended so far (for the record)
        self.durable = 0            # of which synced
        self.original = original    # content hash when it stood before the run
        self.ident = ident


class Failure(Exception):
    pass


def unquote(text):
    """The bytes of a C-escaped string as strace prints it (without quotes)."""
    out = bytearray()
    i = 0
    simple = {"n": 10, "t": 9, "r": 13, "v": 11, "f": 12, "\\": 92, '"': 34, "'": 39, "a": 7, "b": 8}
    while i < len(text):
        c = text[i]
        if c != "\\":
            out += c.encode()
            i += 1
            continue
        n = text[i + 1]
        if n == "x":
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
        elif n in "01234567":
            j = i + 1
            while j < len(text) and j < i + 4 and text[j] in "01234567":
                j += 1
            out.append(int(text[i + 1:j], 8))
            i = j
        else:
            out.append(simple[n])
            i += 2
    return bytes(out)


def split_args(text):
    """The top-level arguments of a call, as strings."""
    args, depth, cur, i = [], 0, [], 0
    while i < len(text):
        c = text[i]
        if c == '"':
            j = i + 1
            while text[j] != '"':
                j += 2 if text[j] == "\\" else 1
            cur.append(text[i:j + 1])
            i = j + 1
            continue
        if c == "<" and cur and re.search(r"(\d|AT_FDCWD)$", "".join(cur)):
            j = text.index(">", i)
            cur.append(text[i:j + 1])
            i = j + 1
            continue
        if c in "{[(":
            depth += 1
        elif c in "}])":
            depth -= 1
        if c == "," and depth == 0:
            args.append("".join(cur).strip())
            cur = []
        else:
            cur.append(c)
        i += 1
    if cur:
        args.append("".join(cur).strip())
    return args


LINE = re.compile(r"^(\d+)\s+(.*)$")
CALL = re.compile(r"^(\w+)\((.*)\)\s+=\s+(-?\d+|\?)(?:<[^>]*>)?(.*)$")


def parse_trace(path):
    """(tid, name, args, result) for each completed call, in completion order."""
    pending = {}
    with open(path, encoding="latin-1") as f:
        for raw in f:
            m = LINE.match(raw.rstrip("\n"))
            if not m:
                continue
            tid, rest = int(m.group(1)), m.group(2)
            if rest.startswith("---") or rest.startswith("+++"):
                continue
            if rest.endswith("<unfinished ...>"):
                start = rest[: -len("<unfinished ...>")].rstrip()
                if start.startswith("close("):
                    # A descriptor is free from the moment close begins:
                    # another thread's open may return it before this
                    # close is shown to end.
                    yield tid, "close", split_args(start[len("close("):]), 0
                    start = None
                pending[tid] = start
                continue
            r = re.match(r"^<\.\.\. (\w+) resumed>\s?(.*)$", rest)
            if r:
                start = pending.pop(tid, r.group(1) + "(")
                if start is None:
                    continue
                rest = start + r.group(2)
            c = CALL.match(rest)
            if not c or c.group(3) == "?":
                continue
            yield tid, c.group(1), split_args(c.group(2)), int(c.group(3))


def fd_of(arg):
    m = re.match(r"^(-?\d+)", arg)
    return int(m.group(1)) if m else None


def dir_of(arg):
    """The path shown for a directory argument (AT_FDCWD or an fd)."""
    m = re.match(r"^(?:AT_FDCWD|-?\d+)<(.*)>", arg)
    return m.group(1) if m else None


def hash_file(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Model:
    def __init__(self, root):
        self.root = os.path.realpath(root)
        self.top = Node("dir", ".")
        self.top.nlink = 1
        self.nodes = []
        self.tables = {}   # tid -> fd table (a dict shared by threads)
        self.cwd = {}      # tid -> directory path
        self.counter = 0
        self._load(self.root, self.top, "")

    def _load(self, path, node, rel):
        for name in sorted(os.listdir(path)):
            full = os.path.join(path, name)
            st = os.lstat(full)
            sub = rel + "/" + name if rel else name
            if stat.S_ISDIR(st.st_mode):
                child = Node("dir", sub)
                self._load(full, child, sub)
            elif stat.S_ISLNK(st.st_mode):
                child = Node("link", sub)
            else:
                child = Node("file", sub, hash_file(full) if stat.S_ISREG(st.st_mode) else "special")
            child.nlink = 1
            node.children[name] = child
            self.nodes.append(child)

    # Paths -----------------------------------------------------------------
    def rel(self, path, base):
        """|path| (bytes-like str) relative to the collection, or None outside."""
        full = os.path.normpath(os.path.join(base, path))
        if full == self.root:
            return ""
        if full.startswith(self.root + "/"):
            return full[len(self.root) + 1:]
        return None

    def parent_and_name(self, rel):
        parts = rel.split("/")
        node = self.top
        for p in parts[:-1]:
            node = node.children.get(p) if node.kind == "dir" else None
            if node is None or node.kind != "dir":
                return None, parts[-1]
        return node, parts[-1]

    def lookup(self, rel):
        if rel == "":
            return self.top
        parent, name = self.parent_and_name(rel)
        return parent.children.get(name) if parent is not None else None

    def new_node(self, kind):
        self.counter += 1
        node = Node(kind, "#%d" % self.counter)
        self.nodes.append(node)
        return node

    def place(self, rel, node, replace=False):
        parent, name = self.parent_and_name(rel)
        if parent is None:
            raise Failure("model: no directory for %s" % rel)
        old = parent.children.get(name)
        if old is not None:
            if not replace:
                raise Failure("model: %s exists already" % rel)
            old.nlink -= 1
        parent.children[name] = node
        node.nlink += 1

    def drop(self, rel):
        parent, name = self.parent_and_name(rel)
        node = parent.children.pop(name) if parent is not None and name in parent.children else None
        if node is None:
            raise Failure("model: nothing at %s to remove" % rel)
        node.nlink -= 1
        return node

    def walk(self, node=None, rel=""):
        node = node or self.top
        for name, child in node.children.items():
            sub = rel + "/" + name if rel else name
            yield sub, child
            if child.kind == "dir":
                yield from self.walk(child, sub)


class Checker:
    def __init__(self, root, document=None, record=None):
        self.model = Model(root)
        self.document = document
        self.record_rel = record
        self.record_text = b""
        self.checking = False
        self.tunes = [(rel, n) for rel, n in self.model.walk()
                      if n.kind == "file" and n.original not in (None, "special")
                      and open(os.path.join(self.model.root, rel), "rb").read(4) == b"PSID"]
        self.doc_dir = None
        if document:
            parent, name = self.model.parent_and_name(document)
            self.doc_dir, self.doc_name = parent, name
        self.changes = []   # (op index, kind, rel paths, record ok)
        self.points = []    # per crash point: snapshot needed for checks
        self.problems = []

    # Replay ----------------------------------------------------------------
    def table(self, tid):
        # A child's first calls can be shown before its parent's clone
        # returns, so who made whom is known from a first look at the trace.
        if tid not in self.tables:
            parent = self.parents.get(tid)
            if parent is None:
                self.tables[tid] = {}
            else:
                shared = self.table(parent[0])
                self.tables[tid] = shared if parent[1] else dict(shared)
                self.model.cwd[tid] = self.model.cwd.get(parent[0], self.model.root)
        return self.tables[tid]

    @property
    def tables(self):
        return self.model.tables

    def base(self, tid, dirarg):
        shown = dir_of(dirarg) if dirarg is not None else None
        return shown if shown is not None else self.model.cwd.get(tid, self.model.root)

    def node_of_fd(self, tid, arg):
        fd = fd_of(arg)
        return self.table(tid).get(fd)

    def replay(self, calls):
        m = self.model
        for tid, name, a, ret in calls:
            if ret < 0:
                continue
            change = None
            tab = self.table(tid)
            if name in ("clone", "clone3", "fork", "vfork"):
                self.table(ret)
            elif name in ("open", "openat", "creat"):
                if name == "openat":
                    base, path, flags = self.base(tid, a[0]), unquote(a[1][1:-1]).decode("latin-1"), a[2]
                else:
                    base, path = self.base(tid, None), unquote(a[0][1:-1]).decode("latin-1")
                    flags = a[1] if name == "open" else "O_CREAT|O_TRUNC|O_WRONLY"
                rel = m.rel(path, base)
                if rel is None:
                    tab.pop(ret, None)
                    continue
                if "O_TMPFILE" in flags:
                    node = m.new_node("file")
                else:
                    node = m.lookup(rel)
                    if node is None and O_CREAT in flags:
                        node = m.new_node("file")
                        m.place(rel, node)
                        change = ("create", [rel])
                    elif node is not None and O_TRUNC in flags and ("O_WRONLY" in flags or "O_RDWR" in flags):
                        node.dirty = True
                        node.written = 0
                if node is not None:
                    tab[ret] = node
                else:
                    tab.pop(ret, None)
            elif name in ("write", "pwrite64", "writev", "pwritev", "pwritev2", "fallocate", "ftruncate"):
                node = self.node_of_fd(tid, a[0])
                if node is not None:
                    node.dirty = True
                    if name == "ftruncate":
                        node.written = int(a[1])
                        node.durable = min(node.durable, node.written)
                    elif name != "fallocate":
                        node.written += ret
            elif name in ("copy_file_range", "sendfile"):
                node = self.node_of_fd(tid, a[2] if name == "copy_file_range" else a[0])
                if node is not None and ret > 0:
                    node.dirty = True
                    node.written += ret
            elif name in ("fsync", "fdatasync"):
                node = self.node_of_fd(tid, a[0])
                if node is not None:
                    node.dirty = False
                    node.durable = node.written
            elif name in ("syncfs", "sync"):
                for node in m.nodes:
                    node.dirty = False
                    node.durable = node.written
            elif name in ("close",):
                tab.pop(fd_of(a[0]), None)
            elif name in ("dup", "dup2", "dup3") or (name == "fcntl" and "F_DUPFD" in a[1]):
                node = self.node_of_fd(tid, a[0])
                if node is not None:
                    tab[ret] = node
            elif name in ("link", "linkat"):
                if name == "linkat":
                    src_base, src, dst_base, dst = self.base(tid, a[0]), a[1], self.base(tid, a[2]), a[3]
                    empty = "AT_EMPTY_PATH" in a[4] and src == '""'
                else:
                    src_base = dst_base = self.base(tid, None)
                    src, dst, empty = a[0], a[1], False
                node = self.node_of_fd(tid, a[0]) if empty else None
                if not empty:
                    srel = m.rel(unquote(src[1:-1]).decode("latin-1"), src_base)
                    node = m.lookup(srel) if srel is not None else None
                drel = m.rel(unquote(dst[1:-1]).decode("latin-1"), dst_base)
                if drel is not None:
                    if node is None:
                        raise Failure("model: a link to a file it does not know, at %s" % drel)
                    m.place(drel, node)
                    change = ("link", [drel])
            elif name in ("unlink", "unlinkat", "rmdir"):
                if name == "unlinkat":
                    base, path = self.base(tid, a[0]), a[1]
                else:
                    base, path = self.base(tid, None), a[0]
                rel = m.rel(unquote(path[1:-1]).decode("latin-1"), base)
                if rel is not None:
                    m.drop(rel)
                    change = ("unlink", [rel])
            elif name in ("rename", "renameat", "renameat2"):
                if name == "rename":
                    sb = db = self.base(tid, None)
                    src, dst = a[0], a[1]
                else:
                    sb, src, db, dst = self.base(tid, a[0]), a[1], self.base(tid, a[2]), a[3]
                srel = m.rel(unquote(src[1:-1]).decode("latin-1"), sb)
                drel = m.rel(unquote(dst[1:-1]).decode("latin-1"), db)
                if srel is not None and drel is not None:
                    node = m.drop(srel)
                    m.place(drel, node, replace=True)
                    node.nlink -= 0
                    change = ("rename", [srel, drel])
                elif srel is not None or drel is not None:
                    raise Failure("model: a rename across the collection's edge")
            elif name in ("mkdir", "mkdirat", "symlink", "symlinkat"):
                if name == "mkdirat":
                    base, path = self.base(tid, a[0]), a[1]
                elif name == "symlinkat":
                    base, path = self.base(tid, a[1]), a[2]
                elif name == "symlink":
                    base, path = self.base(tid, None), a[1]
                else:
                    base, path = self.base(tid, None), a[0]
                rel = m.rel(unquote(path[1:-1]).decode("latin-1"), base)
                if rel is not None:
                    m.place(rel, m.new_node("dir" if name.startswith("mkdir") else "link"))
                    change = ("create", [rel])
            elif name in ("chdir", "fchdir"):
                raise Failure("model: the program changed its directory")
            if change is not None and self.checking:
                self.check_point(*change)

    # Checks ----------------------------------------------------------------
    def record_node(self):
        return self.model.lookup(self.record_rel) if self.record_rel else None

    def check_point(self, kind, paths):
        point = len(self.points)
        self.points.append((kind, paths))
        # 3. The record: every entry written before the change is on the disk,
        # and the entries on the disk name what it changed.
        if self.record_rel and not any(p in (self.record_rel, "tuvo_2.err") for p in paths):
            rec = self.record_node()
            if rec is None or rec.written != rec.durable:
                self.problems.append("point %d (%s %s): the record holds entries not yet on the disk"
                                     % (point, kind, " -> ".join(paths)))
            else:
                self.pending_names.append((point, kind, paths, rec.durable))
        # 1. Every tune whole, under its old name or a synced copy.
        for rel, node in self.tunes:
            if node.nlink > 0:
                continue
            if not any(n.nlink > 0 and not n.dirty for n in self.copies.get(node.original, ())):
                self.problems.append("point %d (%s %s): the tune %s is lost" % (point, kind, " -> ".join(paths), rel))
        # 2. The document whole under its name.
        if self.doc_dir is not None:
            doc = self.doc_dir.children.get(self.doc_name) if self.doc_dir.nlink > 0 else None
            if doc is None or doc.dirty:
                self.problems.append("point %d (%s %s): the document is %s" % (
                    point, kind, " -> ".join(paths), "gone" if doc is None else "not yet on the disk"))

    def run(self, trace_path):
        calls = list(parse_trace(trace_path))
        self.parents = {}
        for tid, name, a, ret in calls:
            if name in ("clone", "clone3", "fork", "vfork") and ret > 0:
                flags = " ".join(a)
                self.parents[ret] = (tid, "CLONE_FILES" in flags or "CLONE_THREAD" in flags)
        start = copy.deepcopy(self.model)
        # First pass: where each new file ends, to know which tune it copies.
        self.checking = False
        self.replay(calls)
        self.compare_tree(self.model)
        final_hash = {}
        for rel, node in self.model.walk():
            if node.kind == "file" and node.original is None:
                final_hash[node.ident] = hash_file(os.path.join(self.model.root, rel))
        # Second pass, from the start again: the crash points. New files are
        # numbered in the same order, so their final contents are known.
        self.model = start
        self.tunes = [(rel, start.lookup(rel)) for rel, _ in self.tunes]
        if self.document:
            self.doc_dir, self.doc_name = start.parent_and_name(self.document)
        self.checking = True
        self.copies = {}
        self.pending_names = []
        made = self.model.new_node

        def new_node(kind):
            node = made(kind)
            h = final_hash.get(node.ident)
            if h is not None:
                self.copies.setdefault(h, []).append(node)
            return node
        self.model.new_node = new_node
        self.replay(calls)
        self.check_record_names()

    def compare_tree(self, model):
        """Replayed to the end, the model is the tree the program left."""
        real = {}
        for dirpath, dirs, files in os.walk(self.model.root):
            for n in dirs + files:
                full = os.path.join(dirpath, n)
                st = os.lstat(full)
                kind = "dir" if stat.S_ISDIR(st.st_mode) else "link" if stat.S_ISLNK(st.st_mode) else "file"
                real[os.path.relpath(full, self.model.root)] = kind
        modelled = {rel: n.kind for rel, n in model.walk()}
        if real != modelled:
            only_real = sorted(set(real) - set(modelled))[:5]
            only_model = sorted(set(modelled) - set(real))[:5]
            raise Failure("replay: the model differs from the tree left (only on disk: %s; only in the model: %s)"
                          % (only_real, only_model))

    def check_record_names(self):
        if not self.record_rel:
            return
        path = os.path.join(self.model.root, self.record_rel)
        text = open(path, "rb").read() if os.path.exists(path) else b""
        for point, kind, paths, durable in self.pending_names:
            held = text[:durable]
            for rel in paths:
                # The record writes the paths of the collection's own table
                # as they stand there, others from "./".
                forms = [json.dumps(p, ensure_ascii=False).encode("utf-8") for p in ("./" + rel, rel)]
                if not any(f in held for f in forms):
                    self.problems.append("point %d (%s %s): no entry on the disk names %s"
                                         % (point, kind, " -> ".join(paths), rel))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--document")
    ap.add_argument("--record")
    ap.add_argument("--stdin")
    ap.add_argument("--keep-trace")
    ap.add_argument("root")
    ap.add_argument("command", nargs=argparse.REMAINDER)
    args = ap.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    checker = Checker(args.root, args.document, args.record)
    with tempfile.TemporaryDirectory() as tmp:
        trace = args.keep_trace or os.path.join(tmp, "trace")
        stdin = open(args.stdin, "rb") if args.stdin else subprocess.DEVNULL
        # LeakSanitizer cannot work under a tracer and would abort a program
        # built with it at its exit; leaks are the other tests' concern.
        env = dict(os.environ)
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS", ""), "detect_leaks=0"]))
        done = subprocess.run(["strace", "-f", "-y", "-qq", "-e", "signal=none", "-e", "trace=" + TRACED,
                               "-o", trace, "--"] + command, cwd=args.root, stdin=stdin, env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if not os.path.exists(trace) or os.path.getsize(trace) == 0:
            print("crash_check: the program could not be traced: %s" % done.stderr.decode(errors="replace").strip())
            return 2
        try:
            checker.run(trace)
        except Failure as e:
            print("crash_check: %s" % e)
            return 1
    points = len(checker.points)
    if checker.problems:
        for p in checker.problems[:int(os.environ.get("CRASH_CHECK_SHOW", "20"))]:
            print(p)
        print("crash_check: %d problems at %d crash points" % (len(checker.problems), points))
        return 1
    print("crash_check: %d crash points, %d tunes: none loses a tune%s%s" % (
        points, len(checker.tunes), " or the document" if args.document else "",
        ", and every change is in the record on the disk first" if args.record else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
