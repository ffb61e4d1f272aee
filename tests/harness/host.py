"""Host working directories: the session copy of the sample host, per-test working
directories with the INI files, in-place INI edits, and Python run in a subprocess."""
import importlib
import importlib.util
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from .paths import IMPORT_PATH, SAMPLE_HOST

CFG_INI = Path("cfg") / "oxa.ini"
ROOT_INI = Path("oxa.ini")

_SECTION = re.compile(r"\[(?P<name>.+)\]")
_KEY = re.compile(r"(?P<key>[^=:\s][^=:]*?)\s*[=:]")


def copy_sample_host(dest):
    """Copy the sample host tree to dest (which must not exist); returns dest."""
    dest = Path(dest)
    shutil.copytree(SAMPLE_HOST, dest, ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))
    (dest / "log").mkdir(exist_ok=True)
    return dest


def edit_ini(text, changes):
    """Set or remove keys of an INI text, keeping everything else (comments included).

    changes: {section: {key: value}}; a value None removes the key. Keys are matched
    without regard to case, as the configuration parser does; a missing key is added at
    the end of its section, a missing section at the end of the text.
    """
    pending = {section: {k.lower(): (k, v) for k, v in keys.items()} for section, keys in changes.items()}
    out = []
    section_lines = []
    current = None

    def flush():
        keys = pending.pop(current, {}) if current is not None else {}
        tail = []
        while section_lines and not section_lines[-1].strip():
            tail.insert(0, section_lines.pop())
        out.extend(section_lines)
        out.extend("%s = %s\n" % (k, v) for k, v in keys.values() if v is not None)
        out.extend(tail)
        section_lines.clear()

    for line in text.splitlines(keepends=True):
        if not line.endswith("\n"):
            line += "\n"
        stripped = line.strip()
        header = _SECTION.fullmatch(stripped)
        if header:
            flush()
            current = header.group("name")
            section_lines.append(line)
            continue
        match = _KEY.match(line)
        if current in pending and match and not line[0].isspace() and stripped[0] not in "#;":
            key = match.group("key").lower()
            if key in pending[current]:
                name, value = pending[current].pop(key)
                if value is not None:
                    section_lines.append("%s = %s\n" % (name, value))
                continue
        section_lines.append(line)
    flush()
    for section, keys in pending.items():
        values = [(k, v) for k, v in keys.values() if v is not None]
        if out and out[-1].strip():
            out.append("\n")
        out.append("[%s]\n" % section)
        out.extend("%s = %s\n" % kv for kv in values)
    return "".join(out)


class WorkDir:
    """A test's working directory: cfg/oxa.ini, oxa.ini and log/ as a host keeps them."""

    def __init__(self, path):
        self.path = Path(path)

    @classmethod
    def create(cls, path):
        path = Path(path)
        (path / "cfg").mkdir(parents=True)
        (path / "log").mkdir()
        shutil.copyfile(SAMPLE_HOST / CFG_INI, path / CFG_INI)
        shutil.copyfile(SAMPLE_HOST / ROOT_INI, path / ROOT_INI)
        return cls(path)

    @property
    def cfg_ini(self):
        return self.path / CFG_INI

    @property
    def root_ini(self):
        return self.path / ROOT_INI

    @property
    def log_dir(self):
        return self.path / "log"

    def _ini(self, which):
        if which == "cfg":
            return self.cfg_ini
        if which == "root":
            return self.root_ini
        raise ValueError("which must be 'cfg' (cfg/oxa.ini) or 'root' (oxa.ini), not %r" % (which,))

    def write_cfg_ini(self, text):
        self.cfg_ini.parent.mkdir(exist_ok=True)
        self.cfg_ini.write_text(text, encoding="utf-8")

    def write_root_ini(self, text):
        self.root_ini.write_text(text, encoding="utf-8")

    def delete_cfg_ini(self):
        self.cfg_ini.unlink(missing_ok=True)

    def delete_root_ini(self):
        self.root_ini.unlink(missing_ok=True)

    def set_ini(self, changes, which="cfg"):
        """Set or remove keys in place (see edit_ini), e.g.
        set_ini({"CLOUD": {"upload": 1, "debug": None}})."""
        path = self._ini(which)
        text = path.read_text(encoding="utf-8") if path.exists() else ""
        path.write_text(edit_ini(text, changes), encoding="utf-8")

    def remove_log(self):
        shutil.rmtree(self.log_dir, ignore_errors=True)

    def log_files(self):
        """{file name: text} of every file under log/."""
        if not self.log_dir.is_dir():
            return {}
        return {p.name: p.read_text() for p in sorted(self.log_dir.iterdir()) if p.is_file()}

    def read_log(self, name):
        """Text of log/<name>, or None when the file does not exist."""
        path = self.log_dir / name
        return path.read_text() if path.exists() else None


class SettingsModule:
    """Edits the session copy of cfg/oxa_can_change_env.py and reloads it."""

    NAME = "cfg.oxa_can_change_env"

    def __init__(self):
        self.module = importlib.import_module(self.NAME)
        self.path = Path(self.module.__file__)
        self.original = self.path.read_text(encoding="utf-8")
        self._mtime_ns = self.path.stat().st_mtime_ns

    def write(self, text, *, reload=True, clean=False):
        """Replace the module's source. The import system trusts a cached bytecode file
        whose recorded source mtime (whole seconds) and size still match, so the cache is
        dropped and the mtime moved forward by at least a second.

        reload: reload the module now (otherwise the next reload, e.g. the engine's on a
        tick, picks the text up). clean: before reloading, remove every name the module
        holds, so names that the new text no longer defines disappear (a plain reload
        keeps them, as it would in a running host).
        """
        self.path.write_text(text, encoding="utf-8")
        self._mtime_ns = max(self.path.stat().st_mtime_ns, self._mtime_ns + 1_000_000_000)
        os.utime(self.path, ns=(self._mtime_ns, self._mtime_ns))
        cached = Path(importlib.util.cache_from_source(str(self.path)))
        cached.unlink(missing_ok=True)
        if clean:
            for name in [n for n in vars(self.module) if not (n.startswith("__") and n.endswith("__"))]:
                delattr(self.module, name)
        if reload:
            importlib.reload(self.module)
        return self.module

    def restore(self):
        self.write(self.original, clean=True)


def run_python(code, where, files=None, *, base="sample", env=None, timeout=120):
    """Run `python3 -c code` in a host directory laid out at `where`.

    base: "sample" starts from a copy of the sample host (with log/), "empty" from nothing.
    files: {relative path: text or bytes} written on top; None removes that path.
    The child's working directory is `where`; PYTHONPATH is `where`, then the root of the
    module under test and the repository (harness.paths.IMPORT_PATH). Returns the
    CompletedProcess (text output);
    its attribute `where` is the directory.
    """
    where = Path(where)
    if base == "sample":
        copy_sample_host(where)
    elif base == "empty":
        where.mkdir(parents=True, exist_ok=True)
    else:
        raise ValueError("base must be 'sample' or 'empty', not %r" % (base,))
    for rel, content in (files or {}).items():
        target = where / rel
        if content is None:
            if target.is_dir():
                shutil.rmtree(target)
            else:
                target.unlink(missing_ok=True)
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            target.write_bytes(content)
        else:
            target.write_text(content, encoding="utf-8")
    child_env = dict(os.environ)
    child_env.update(env or {})
    child_env["PYTHONPATH"] = os.pathsep.join([str(where)] + IMPORT_PATH)
    child_env.setdefault("PYTHONFAULTHANDLER", "1")
    proc = subprocess.run(
        [sys.executable, "-c", code],
        cwd=where,
        env=child_env,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    proc.where = where
    return proc
