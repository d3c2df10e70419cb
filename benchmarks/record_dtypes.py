"""The feed's order (47-byte) and trade (54-byte) records as numpy structured
dtypes: what a numpy user writes by hand to decode a file, used by the
reference rows of the benchmarks."""

import numpy as np

ORDER = np.dtype(
    [
        ("msg_len", "<u2"), ("stream_id", "<u2"), ("seq_no", "<u4"), ("msg_type", "S1"),
        ("exch_ts", "<u8"), ("order_id", "<u8"), ("token", "<u4"), ("order_type", "S1"),
        ("price", "<u4"), ("quantity", "<u4"), ("local_ts", "<u8"), ("flags", "u1"),
    ]
)  # fmt: skip
TRADE = np.dtype(
    [
        ("msg_len", "<u2"), ("stream_id", "<u2"), ("seq_no", "<u4"), ("msg_type", "S1"),
        ("exch_ts", "<u8"), ("buy_order_id", "<u8"), ("sell_order_id", "<u8"),
        ("token", "<i4"), ("trade_price", "<i4"), ("trade_quantity", "<i4"),
        ("local_ts", "<u8"), ("flags", "u1"),
    ]
)  # fmt: skip
assert ORDER.itemsize == 47 and TRADE.itemsize == 54
