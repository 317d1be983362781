"""The converter turns what json.dumps refuses into plain values, and
leaves what json.dumps accepts as json.dumps would write it."""
import collections
import dataclasses
import datetime
import decimal
import enum
import json
import pathlib
import uuid

import pydantic
import pytest

from vorm_zel_audit.agents import JsonConverter, to_jsonable


class Colour(enum.Enum):
    RED = "red"


class Level(enum.IntEnum):
    HIGH = 3


@dataclasses.dataclass
class Ticket:
    number: int
    opened: datetime.date
    tags: frozenset


class Order(pydantic.BaseModel):
    id: uuid.UUID
    total: decimal.Decimal
    placed: datetime.datetime


UTC = datetime.timezone.utc


@pytest.mark.parametrize("value, expected", [
    (datetime.datetime(2026, 12, 7, 4, 13, 8, 120000, tzinfo=UTC), "2026-12-07T04:13:08.120000+00:00"),
    (datetime.datetime(2026, 12, 7, 4, 13), "2026-12-07T04:13:00"),
    (datetime.date(2026, 12, 7), "2026-12-07"),
    (datetime.time(4, 13, 8), "04:13:08"),
    (datetime.timedelta(minutes=1, microseconds=5), 60.000005),
    (uuid.UUID("12345678-1234-5678-1234-567812345678"), "12345678-1234-5678-1234-567812345678"),
    (decimal.Decimal("0.10"), "0.10"),
    (decimal.Decimal("1E+400"), "1E+400"),
    (b"\x00\xff agent", "AP8gYWdlbnQ="),
    (bytearray(b"ab"), "YWI="),
    (memoryview(b"ab"), "YWI="),
    ({"b", "a", "c"}, ["a", "b", "c"]),
    (frozenset({3, 1, 2}), [1, 2, 3]),
    ({1, "1"}, ["1", 1]),  # by JSON text: a quote sorts before a digit
    (pathlib.PurePosixPath("/var/log/audit.wal"), "/var/log/audit.wal"),
    (Colour.RED, "red"),
    (Level.HIGH, 3),
    (Ticket(17, datetime.date(2026, 1, 2), frozenset({"b", "a"})),
     {"number": 17, "opened": "2026-01-02", "tags": ["a", "b"]}),
    (Order(id=uuid.UUID(int=7), total=decimal.Decimal("12.50"), placed=datetime.datetime(2026, 1, 2, tzinfo=UTC)),
     {"id": str(uuid.UUID(int=7)), "total": "12.50", "placed": "2026-01-02T00:00:00+00:00"}),
    (collections.deque([1, (2, 3)]), [1, [2, 3]]),
    (collections.OrderedDict([("z", 1), ("a", 2)]), {"z": 1, "a": 2}),
    ({uuid.UUID(int=1): 1, (1, 2): 2, Colour.RED: 3, 4: 4, None: 5},
     {str(uuid.UUID(int=1)): 1, "[1, 2]": 2, "red": 3, 4: 4, None: 5}),
    ({"when": [{"at": datetime.date(2026, 1, 1), "ids": {uuid.UUID(int=2)}}]},
     {"when": [{"at": "2026-01-01", "ids": [str(uuid.UUID(int=2))]}]}),
], ids=lambda v: type(v).__name__)
def test_awkward_values(value, expected):
    converted = to_jsonable(value)
    assert converted == expected
    assert json.loads(json.dumps(converted)) == json.loads(json.dumps(expected))


@pytest.mark.parametrize("value", [
    {"a": [1, 2.5, True, None, "ü"], 3: {"nested": ()}},
    [float("nan"), float("inf"), -0.0, 10 ** 30],
    "plain",
])
def test_what_json_dumps_takes_is_written_as_json_dumps_writes_it(value):
    assert json.dumps(to_jsonable(value)) == json.dumps(value)


def test_cycles_and_depth_become_marked_text():
    loop = {"name": "loop"}
    loop["self"] = loop
    assert to_jsonable(loop) == {"name": "loop", "self": "<circular reference: dict>"}
    shared = [1]
    assert to_jsonable([shared, shared]) == [[1], [1]]  # a repeat is no cycle
    deep = current = []
    for _ in range(500):
        current.append([])
        current = current[0]
    converted = JsonConverter(max_depth=10)(deep)
    for _ in range(10):
        converted = converted[0]
    assert converted == "<nested deeper than 10 levels: list>"
    json.dumps(to_jsonable(deep))  # the default depth stays well inside json.dumps' own


def test_unknown_types_go_through_default():
    class Opaque:
        def __repr__(self):
            return "Opaque()"

    assert to_jsonable({"x": Opaque()}) == {"x": "Opaque()"}

    class Tagged(JsonConverter):
        def default(self, value):
            return {"type": type(value).__name__}

    assert Tagged()([Opaque()]) == [{"type": "Opaque"}]
    assert to_jsonable(Ticket) == repr(Ticket)  # a dataclass's class is no record


def test_the_result_is_a_fresh_structure():
    original = {"items": [1, 2], "meta": {"k": "v"}}
    converted = to_jsonable(original)
    converted["items"].append(3)
    converted["meta"]["k"] = "changed"
    assert original == {"items": [1, 2], "meta": {"k": "v"}}
