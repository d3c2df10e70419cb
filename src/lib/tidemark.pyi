"""Type information for the native module tidemark.

Feed files of the exchange's tick-by-tick feed as message dicts, whole files
in memory, order books per token, contract masters and feed file paths.
Prices and quantities are the feed's integers everywhere; no value is a float.
"""

from collections.abc import Iterator
from typing import Any, Literal, NotRequired, SupportsIndex, TypeAlias, TypedDict, final

__all__ = [
    "MessageCacheReader",
    "StreamingBinaryLoader",
    "OrderbookBuilder",
    "FeedPathBuilder",
    "SymbolMaster",
]

# ---------------------------------------------------------------- message dicts
# These names exist for type checking only; the module defines no such
# attributes. Import them under `if TYPE_CHECKING:`.

class OrderMessage(TypedDict):
    """An order message (types N, M, X) as get_next_msg and the cache give it.

    Sixteen keys in this order; a dict enriched from a contract master has the
    three contract keys set and "expiry", "lot_size" and "name" appended.
    """

    message_kind: Literal["order"]
    seq_no: int
    msg_len: int
    stream_id: int
    msg_type: str
    exch_ts: int
    local_ts: int
    order_id: int
    token: int
    order_type: str
    price: int
    quantity: int
    flags: bool
    token_symbol: str | None
    strike_price: int | None
    option_type: str | None
    expiry: NotRequired[str]
    lot_size: NotRequired[int]
    name: NotRequired[str]

class TradeMessage(TypedDict):
    """A trade message (type T); "token", "trade_price" and "trade_quantity"
    are signed 32-bit values, the ids and timestamps unsigned 64-bit ones."""

    message_kind: Literal["trade"]
    seq_no: int
    msg_len: int
    stream_id: int
    msg_type: str
    exch_ts: int
    local_ts: int
    buy_order_id: int
    sell_order_id: int
    token: int
    trade_price: int
    trade_quantity: int
    flags: bool
    token_symbol: str | None
    strike_price: int | None
    option_type: str | None
    expiry: NotRequired[str]
    lot_size: NotRequired[int]
    name: NotRequired[str]

# Narrow one by its "message_kind" key.
Message: TypeAlias = OrderMessage | TradeMessage

# What the books and SymbolMaster.enrich accept: a message dict from this
# module, or a hand-made dict carrying at least the keys the books read.
MessageInput: TypeAlias = OrderMessage | TradeMessage | dict[str, Any]
MessageListInput: TypeAlias = (
    list[Message] | list[OrderMessage] | list[TradeMessage] | list[dict[str, Any]]
)

# One price level: (price, total resting quantity at that price).
Level: TypeAlias = tuple[int, int]

class Snapshot(TypedDict):
    """OrderbookBuilder.get_snapshot: the best levels of one book."""

    token: int
    found: bool
    mid_price: int
    best_bid: Level | None
    best_ask: Level | None
    spread: int | None
    bids: list[Level]
    asks: list[Level]

class Depth(TypedDict):
    """OrderbookBuilder.get_full_depth: every level of one book."""

    token: int
    found: bool
    best_bid: Level | None
    best_ask: Level | None
    spread: int | None
    bids: list[Level]
    asks: list[Level]

class Lookup(TypedDict):
    """SymbolMaster.lookup: the contract of one token, None values when not found."""

    token: int
    found: bool
    symbol: str | None
    name: str | None
    option_type: str | None
    strike: int | None
    expiry: str | None
    lot_size: int | None

class CacheSummary(TypedDict):
    """MessageCacheReader.get_cache_summary."""

    file_source: str | None
    total_messages: int
    total_orders: int
    total_trades: int
    memory_usage_bytes: int

# ---------------------------------------------------------------- classes

@final
class MessageCacheReader:
    """A whole feed file decoded into memory; messages indexed from 0."""

    def load_to_cache(self, file_path: str) -> int: ...
    def get_all_messages(self) -> list[Message]: ...
    def get_order_message(self) -> list[OrderMessage]: ...
    def get_trade_message(self) -> list[TradeMessage]: ...
    def get_all_trade_message(self) -> list[TradeMessage]: ...
    def get_cache_summary(self) -> CacheSummary: ...
    @property
    def messages(self) -> list[Message]: ...
    def __len__(self) -> int: ...
    def __getitem__(self, key: SupportsIndex, /) -> Message: ...
    # Iteration runs through __getitem__ (the sequence protocol) at run time;
    # type checkers need the method spelled out.
    def __iter__(self) -> Iterator[Message]: ...

@final
class StreamingBinaryLoader:
    """One feed file read message by message through an open handle."""

    def open_stream(self, file_path: str, count_messages: bool = True) -> int: ...
    def reset_cursor(self) -> None: ...
    def get_next_msg(self) -> Message | None: ...
    def is_end_of_msg(self) -> bool: ...
    def attach_symbol_master(self, master: SymbolMaster) -> None: ...
    def detach_symbol_master(self) -> None: ...

@final
class OrderbookBuilder:
    """One limit order book per token, rebuilt from messages."""

    def apply_filter(self, logic_criteria: list[str] | tuple[str, ...] | None = None) -> None: ...
    def orderbook_add_msg(self, msg: MessageInput) -> bool: ...
    def build_from_list(self, source: MessageCacheReader | MessageListInput) -> int: ...
    def build_from_source(
        self,
        source: MessageCacheReader | StreamingBinaryLoader,
        limit: SupportsIndex | None = None,
    ) -> int: ...
    def get_active_tokens(self) -> list[int]: ...
    def get_full_depth(self, token: SupportsIndex) -> Depth: ...
    def get_snapshot(
        self, token: SupportsIndex, levels: SupportsIndex | None = None
    ) -> Snapshot: ...
    def snapshot_header(self) -> str: ...
    def get_snapshot_row(
        self, token: SupportsIndex, levels: SupportsIndex | None = None
    ) -> str: ...

@final
class FeedPathBuilder:
    """Paths of recorded feed files on the shared store."""

    def build(
        self,
        segment: str,
        stream_id: SupportsIndex,
        day: SupportsIndex,
        month: SupportsIndex,
        year: SupportsIndex,
        base_path: str | None = None,
    ) -> str: ...
    def build_and_verify(
        self,
        segment: str,
        stream_id: SupportsIndex,
        day: SupportsIndex,
        month: SupportsIndex,
        year: SupportsIndex,
        base_path: str | None = None,
    ) -> str: ...

@final
class SymbolMaster:
    """A contract master: token to contract lookups and message enrichment."""

    def load(self, csv_path: str) -> int: ...
    def load_for_date(
        self,
        segment: str,
        day: SupportsIndex,
        month: SupportsIndex,
        year: SupportsIndex,
        base_path: str | None = None,
    ) -> int: ...
    def lookup(self, token: SupportsIndex) -> Lookup: ...
    def enrich(self, msg: MessageInput) -> bool: ...
    def __len__(self) -> int: ...
