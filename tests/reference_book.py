"""A plain reading of the order book rules, written for the tests.

Levels live in dicts keyed by price, so this model has none of the native
book's paging; only the window bounds follow the widening arithmetic, since
they decide which prices can rest.
"""

from __future__ import annotations

U32 = 2**32 - 1


class RefBook:
    def __init__(self, price: int) -> None:
        self.min_price = price - 10_000 if price >= 10_000 else 0
        self.max_price = min(price + 10_000, U32)
        self.bids: dict[int, int] = {}
        self.asks: dict[int, int] = {}
        self.orders: dict[int, list] = {}  # id -> [price, quantity, is_sell]

    def widen(self, p: int) -> None:
        if p < self.min_price:
            l0 = p - p // 4
            r = (self.min_price - l0) % 10
            l1 = 0 if r > l0 else l0 - r
            self.min_price = l1 or 1
        elif p > self.max_price:
            u0 = min(p + p // 4, U32)
            self.max_price = min(-(-u0 // 10) * 10, U32)

    def fits(self, p: int) -> bool:
        if not self.min_price <= p <= self.max_price:
            self.widen(p)
        return self.min_price <= p <= self.max_price

    def side(self, is_sell: bool) -> dict[int, int]:
        return self.asks if is_sell else self.bids

    def add(self, is_sell: bool, price: int, qty: int) -> None:
        levels = self.side(is_sell)
        levels[price] = levels.get(price, 0) + qty
        if levels[price] == 0:
            del levels[price]

    def remove(self, order_id: int) -> None:
        order = self.orders.pop(order_id, None)
        if order is not None:
            self.add(order[2], order[0], -order[1])

    def depth(self):
        bids = sorted(self.bids.items(), reverse=True)
        asks = sorted(self.asks.items())
        return bids, asks


class RefBookSet:
    def __init__(self) -> None:
        self.books: dict[int, RefBook] = {}
        self.filter: list[str] | None = None

    def apply(self, m: dict) -> bool:
        t = m["msg_type"]
        if self.filter is not None and t not in self.filter:
            return False
        if t in "NM" and m["order_type"] not in ("B", "S"):
            return False
        token = m["token"] & U32
        book = self.books.get(token)
        if t == "T":
            if book is None:
                return True
            q = max(m["trade_quantity"], 0)
            for oid in (m["buy_order_id"], m["sell_order_id"]):
                order = book.orders.get(oid)
                if order is None:
                    continue
                r = order[1]
                used = min(r, q)
                order[1] -= used
                book.add(order[2], order[0], -used)
                if r <= q:
                    del book.orders[oid]
            return True
        if t == "X":
            if book is not None:
                book.remove(m["order_id"])
            return True
        if book is None:
            book = self.books[token] = RefBook(m["price"])
        is_sell = m["order_type"] != "B"
        if t == "M":
            book.remove(m["order_id"])
        if m["quantity"] == 0 or not book.fits(m["price"]):
            return True
        # A new order that reuses a resting id replaces the stored order: the
        # old order's quantity leaves its level first.
        book.remove(m["order_id"])
        book.orders[m["order_id"]] = [m["price"], m["quantity"], is_sell]
        book.add(is_sell, m["price"], m["quantity"])
        return True

    def full_depth(self, token: int) -> dict:
        book = self.books.get(token)
        bids, asks = book.depth() if book else ([], [])
        return {
            "token": token,
            "found": book is not None,
            "best_bid": bids[0] if bids else None,
            "best_ask": asks[0] if asks else None,
            "spread": max(asks[0][0] - bids[0][0], 0) if bids and asks else None,
            "bids": bids,
            "asks": asks,
        }

    def snapshot_row(self, token: int, levels: int = 5) -> str:
        book = self.books.get(token)
        bids, asks = book.depth() if book else ([], [])
        bids, asks = bids[:levels], asks[:levels]
        mid = (bids[0][0] + asks[0][0]) // 2 if bids and asks else 0
        fields = [0, 0, mid]
        for i in range(5):
            b = bids[i] if i < len(bids) else (0, 0)
            a = asks[i] if i < len(asks) else (0, 0)
            fields += [b[0], b[1], a[0], a[1]]
        return ",".join(map(str, fields))
