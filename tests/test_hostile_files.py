"""Files that change under the reader, very large files and hostile contract masters."""

import json
import os
import subprocess
import sys
import textwrap

from feedgen import generate
from reference_decoder import scan_reference

# ---------------------------------------------------------------- truncated while loading

# Loads the file named by argv[1] once stdin says go, then prints the message
# count and the dicts at the positions listed in argv[2] (those below the count).
LOAD_SCRIPT = textwrap.dedent(
    """
    import json, sys, tidemark
    sys.stdin.readline()
    cache = tidemark.MessageCacheReader()
    n = cache.load_to_cache(sys.argv[1])
    print(json.dumps([n, [cache[i] for i in json.loads(sys.argv[2]) if i < n]]), flush=True)
    """
)

# Watches the process argv[1] until it holds the file argv[2] open, then cuts
# the file to argv[3] bytes.
TRUNCATE_SCRIPT = textwrap.dedent(
    """
    import os, sys, time
    pid, path, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
    fds = f"/proc/{pid}/fd"
    print("ready", flush=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        for fd in os.listdir(fds):
            try:
                if os.readlink(f"{fds}/{fd}") == path:
                    os.truncate(path, size)
                    print("truncated", flush=True)
                    sys.exit(0)
            except OSError:
                pass
    sys.exit("the loader never opened the file")
    """
)


def test_file_truncated_by_another_process_during_load(tmp_path):
    """A file cut to a quarter of its size while load_to_cache reads it gives
    the messages of the bytes read, a prefix of the file's messages, and never
    kills the interpreter."""
    block = b"".join(generate(20_000, 50, seed=3))
    expected = scan_reference(block)
    repeats = 96
    path = str(tmp_path / "shrinking.bin")
    with open(path, "wb") as f:
        for _ in range(repeats):
            f.write(block)
    size = len(block) * repeats
    cut = size // 4
    total = len(expected) * repeats
    samples = sorted({0, 1, len(expected) - 1, len(expected), *range(7, total, 7919)})

    loader = subprocess.Popen(
        [sys.executable, "-c", LOAD_SCRIPT, path, json.dumps(samples)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    cutter = subprocess.Popen(
        [sys.executable, "-c", TRUNCATE_SCRIPT, str(loader.pid), path, str(cut)],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert cutter.stdout.readline() == "ready\n"
        out, _ = loader.communicate("go\n", timeout=120)
        assert cutter.wait(timeout=60) == 0
    finally:
        loader.kill()
        cutter.kill()
    assert loader.returncode == 0, f"the loading interpreter died: {loader.returncode}"
    count, dicts = json.loads(out)
    # At least every whole block below the cut was read; the file really shrank
    # under the load.
    assert (cut // len(block)) * len(expected) <= count < total
    assert os.path.getsize(path) == cut
    shown = [i for i in samples if i < count]
    assert dicts == [expected[i % len(expected)] for i in shown]
