"""Feed-file bytes through every reader of the module.

Each input is written to a file and read by the message cache, by the
streaming loader opened without and with counting (read to the end with a
look-ahead before every message, rewound, read again), by the order books
fed from the cache, from the loader and from the dicts, and by
tidemark_tools.scan_feed where the package has it. Nothing may crash; every
failure must be a documented RuntimeError; where the framings agree by
definition (spaces and whole order and trade records only) every path gives
the same messages and the same books.

    python fuzz/fuzz_feed.py [libFuzzer flags] [corpus dirs]
"""

import sys

import atheris

try:  # a consumer of the scans; its own code is not what is fuzzed here
    import pyarrow
except ImportError:
    pyarrow = None

with atheris.instrument_imports():
    import common
    import tidemark

    import tidemark_tools

scan_feed = getattr(tidemark_tools, "scan_feed", None) if pyarrow is not None else None


def read_all(loader) -> tuple[list, str | None]:
    """The messages up to the end or the first error, with the error's text.
    Checks the look-ahead before every message and the state after the end."""
    messages = []
    while True:
        try:
            at_end = loader.is_end_of_msg()
        except RuntimeError as e:
            ahead = str(e)
            assert ahead in common.READ_ERRORS, ahead
            at_end = None
        try:
            msg = loader.get_next_msg()
        except RuntimeError as e:
            assert at_end is None and str(e) == ahead, (at_end, str(e))
            # After a cut-short record the cursor is at the end of the file.
            assert loader.get_next_msg() is None and loader.is_end_of_msg()
            return messages, str(e)
        if msg is None:
            assert at_end is True
            assert loader.is_end_of_msg() and loader.get_next_msg() is None
            return messages, None
        assert at_end is False
        messages.append(msg)


def books(feed) -> list:
    builder = tidemark.OrderbookBuilder()
    feed(builder)
    return common.book_state(builder)


def check_scan(path: str, messages: list, error: str | None, open_error: str | None) -> None:
    # Batches of a few rows put batch borders everywhere, the default none.
    try:
        scan = scan_feed(path, batch_rows=(1, 2, 3, 7, 65536)[len(messages) % 5])
    except RuntimeError as e:
        assert str(e) == open_error, (str(e), open_error)
        return
    assert open_error is None, open_error
    tables = []
    for _ in range(2):  # every stream reads the file again from its start
        try:
            tables.append(pyarrow.table(scan))
        except OSError as e:  # the stream's failure, as pyarrow reports it
            assert error is not None and error in str(e), (error, repr(e))
            continue
        assert error is None, error
    if tables:
        assert len(tables) == 2 and tables[1].equals(tables[0])
        rows = tables[0].to_pylist()
        assert len(rows) == len(messages)
        for row, msg in zip(rows, messages, strict=True):
            assert all(row[k] == msg.get(k) for k in row), (row, msg)


def TestOneInput(data: bytes) -> None:
    path = common.scratch_file(data)

    cache = tidemark.MessageCacheReader()
    count = cache.load_to_cache(path)
    cached = cache.get_all_messages()
    assert count == len(cache) == len(cached)
    summary = cache.get_cache_summary()
    assert summary["total_orders"] + summary["total_trades"] == count
    assert cache.get_order_message() + cache.get_trade_message() == sorted(
        cached, key=lambda m: m["message_kind"] != "order"
    )
    if count:
        assert cache[-1] == cached[-1]

    loader = tidemark.StreamingBinaryLoader()
    open_error = None
    try:
        assert loader.open_stream(path, count_messages=False) == 0
    except RuntimeError as e:
        open_error = str(e)
        assert common.is_open_error(open_error), open_error
    if open_error is None:
        streamed, error = read_all(loader)
        loader.reset_cursor()
        assert read_all(loader) == (streamed, error)
    else:
        streamed, error = [], None

    counting = tidemark.StreamingBinaryLoader()
    try:
        counted = counting.open_stream(path)
    except RuntimeError as e:
        assert str(e) in (open_error, error), (str(e), open_error, error)
    else:
        assert open_error is None and error is None and counted == len(streamed)
        assert read_all(counting) == (streamed, None)

    if scan_feed is not None:
        check_scan(path, streamed, error, open_error)

    if common.framings_agree(data):
        assert cached == streamed
        by_cache = books(lambda b: b.build_from_list(cache))
        by_dicts = books(lambda b: b.build_from_list(streamed))
        assert by_cache == by_dicts
        if open_error is None:
            loader.reset_cursor()
            assert books(lambda b: b.build_from_source(loader)) == by_cache


def main() -> None:
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
