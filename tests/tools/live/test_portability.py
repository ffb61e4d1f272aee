"""What must hold on every supported Python, including on those that lack a newer standard
library's features."""
import io
import os
import tarfile

import pytest

from brindle_tools.live import host
from brindle_tools.live.host import unpack_host


def archive(*members):
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w") as tar:
        for name, link in members:
            info = tarfile.TarInfo(name)
            if link:
                info.type, info.linkname = tarfile.SYMTYPE, link
                tar.addfile(info)
            else:
                info.size = 2
                tar.addfile(info, io.BytesIO(b"x\n"))
    return data.getvalue()


# Forced on an interpreter that has the filter, the fallback's unfiltered extraction warns.
@pytest.mark.filterwarnings("ignore:Python 3.14 will, by default, filter:DeprecationWarning")
@pytest.mark.parametrize("data_filter", [True, False], ids=["data filter", "without it"])
def test_a_host_archive_reaching_outside_its_directory_is_refused(tmp_path, monkeypatch, data_filter):
    if data_filter and not host.HAS_DATA_FILTER:
        pytest.skip("this interpreter's tarfile has no data filter")
    monkeypatch.setattr(host, "HAS_DATA_FILTER", data_filter)
    target = tmp_path / "host"
    for bad in (("../escaped.txt", None), ("cfg/passwd", "/etc/passwd"), ("cfg/up", "../../escaped.txt")):
        with pytest.raises(tarfile.TarError):
            unpack_host(archive(("cfg/oxa.ini", None), bad), target)
        assert not (tmp_path / "escaped.txt").exists()
    unpack_host(archive(("cfg/oxa.ini", None), ("oxa.ini", None)), target)
    assert (target / "cfg" / "oxa.ini").read_text() == "x\n"


def test_a_shipped_host_follows_its_links_and_names_what_cannot_be_shipped(tmp_path):
    from brindle_tools.common.errors import UsageError
    from brindle_tools.research.ray_cluster import host_archive

    (tmp_path / "strategies").mkdir()
    (tmp_path / "strategies" / "mine.py").write_text("AI_Strategy = {}\n")
    home = tmp_path / "host"
    (home / "cfg").mkdir(parents=True)
    (home / "cfg" / "oxa_can_change_env.py").symlink_to(tmp_path / "strategies" / "mine.py")
    (home / "shared").symlink_to(home / "cfg")
    unpack_host(host_archive(home), tmp_path / "shipped")
    shipped = tmp_path / "shipped"
    assert (shipped / "shared" / "oxa_can_change_env.py").read_text() == "AI_Strategy = {}\n"
    assert not (shipped / "cfg" / "oxa_can_change_env.py").is_symlink()
    os.mkfifo(home / "cfg" / "feed")
    with pytest.raises(UsageError, match="feed is a FIFO: only files and folders can be shipped"):
        host_archive(home)
    (home / "cfg" / "feed").unlink()
    (home / "cfg" / "up").symlink_to(home)
    with pytest.raises(UsageError, match="up links to a folder that holds it"):
        host_archive(home)


def test_a_failed_ray_task_is_reported_by_its_own_error_in_plain_text():
    from brindle_tools.research.ray_cluster import error_text

    class TaskError(Exception):  # what Ray raises for a task that raised
        cause = TypeError("extractall() got an unexpected keyword argument 'filter'")

    coloured = "\x1b[36mray::execute_run()\x1b[39m (pid=1, ip=127.0.0.1)\nTraceback ..."
    assert error_text(TaskError(coloured)) == "TypeError: extractall() got an unexpected keyword argument 'filter'"
    assert error_text(RuntimeError(coloured)) == "RuntimeError: ray::execute_run() (pid=1, ip=127.0.0.1)"
