"""What a Dask cluster needs of a batch beyond its jobs: the soundfont, sent to each
worker once and kept there as a local file that the worker maps, so that a remote
cluster needs no shared file system. Imported only when a batch runs on Dask."""
from __future__ import annotations

import hashlib
import os
from typing import Any

from distributed import WorkerPlugin, get_worker

from .batch import Rendered, render_bytes
from .render import RenderOptions


class SoundFontUpload(WorkerPlugin):
    """Writes the soundfont into each worker's local folder as it joins the cluster,
    under a name of its contents, then lets its bytes go."""

    def __init__(self, data: bytes, file_name: str) -> None:
        self.data, self.file_name = data, file_name

    def setup(self, worker: Any) -> None:
        path = os.path.join(worker.local_directory, self.file_name)
        if not os.path.exists(path):
            partial = f"{path}.{os.getpid()}.part"
            with open(partial, "wb") as file:
                file.write(self.data)
            os.replace(partial, path)
        self.data = b""


def upload_soundfont(client: Any, path: str | os.PathLike[str]) -> str:
    """Sends the soundfont at `path` to every worker, now and as they join; returns the
    name it has in each worker's local folder."""
    with open(path, "rb") as file:
        data = file.read()
    digest = hashlib.sha256(data).hexdigest()[:16]
    file_name = f"ostina-{digest}{os.path.splitext(os.fspath(path))[1].lower()}"
    client.register_plugin(SoundFontUpload(data, file_name), name=f"ostina-soundfont-{digest}")
    return file_name


def render_with_upload(source: str, midi: bytes, options: RenderOptions, file_name: str) -> Rendered:
    """`render_bytes` with the soundfont this worker keeps as `file_name`; runs on a worker."""
    local = os.path.join(get_worker().local_directory, file_name)
    return render_bytes(source, midi, options.replace(soundfont=local))
