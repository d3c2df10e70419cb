"""Reading followed streams in tests without depending on the machine's speed."""

import threading


def read_until(reader, stream, count):
    """The batches of a followed stream until `count` more rows have come,
    then whatever it hands out after stop(). Stopping only once the rows are
    in keeps a slow machine from cutting the stream short; a stop after 60 s
    keeps a fault from hanging the test."""
    safety = threading.Timer(60, stream.stop)
    safety.start()
    out, have = [], 0
    try:
        while have < count:
            batch = reader.read_next_batch()
            out.append(batch)
            have += batch.num_rows
    except StopIteration:
        return out
    finally:
        stream.stop()
        safety.cancel()
    return out + list(reader)
