"""build_from_source reads in batches (the next one on a thread of its own
while the books apply the current one) and holds back the tail of each batch
for the next one's look-ahead: no message may be lost, applied twice or read
past the limit, whatever the limit and the batch boundaries."""

import feedgen
import pytest
import tidemark


def books(builder):
    return [(t, builder.get_full_depth(t)) for t in builder.get_active_tokens()]


@pytest.fixture(scope="module")
def path(tmp_path_factory):
    out = str(tmp_path_factory.mktemp("intake") / "feed.bin")
    feedgen.write_feed(out, 12_000, 30, seed=9, mode="market")
    return out


@pytest.mark.parametrize("limit", [1, 15, 16, 17, 1025, 3001, 4095, 4096, 4097, 4112, 8193])
@pytest.mark.parametrize("types", [None, ["N", "T"]])
def test_limited_calls_in_a_row_build_the_same_books_as_one(path, limit, types):
    whole = tidemark.OrderbookBuilder()
    whole.apply_filter(types)
    loader = tidemark.StreamingBinaryLoader()
    loader.open_stream(path)
    total = whole.build_from_source(loader)

    parts = tidemark.OrderbookBuilder()
    parts.apply_filter(types)
    loader.open_stream(path)
    counts = []
    while (n := parts.build_from_source(loader, limit=limit)) != 0:
        counts.append(n)
        # Each call stops right after the message that reached its limit.
        assert n == limit or loader.get_next_msg() is None
    assert sum(counts) == total
    assert books(parts) == books(whole)
