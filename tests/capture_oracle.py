"""Independent re-derivation of what a capture must produce, for the host tests.

Nothing here touches ``vorm_zel``: the seal text, digests and chain step
come from ``vorm_zel_audit`` (pure Python over ``blake3``), the signature
check from ``cryptography``, and the record's JSON texts and the log line are
rebuilt here, so a fault in the module's own writers or hashing cannot hide
behind a shared helper.
"""
import calendar
import re
from decimal import Decimal

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

# The audit package is this project's second, independent rendering of the
# record members, seal text and chain step; the tests check the module
# against it instead of keeping a third copy here.
from vorm_zel_audit.record import FIELDS  # noqa: F401  (re-exported)
from vorm_zel_audit.seal import chain_text, payload_digest, seal_number, seal_text  # noqa: F401
from vorm_zel_audit.seal import next_root_hex as next_root  # noqa: F401

GENESIS_HEX = "df840a304e772ef4cdfb23293d8adadde8d43567bde4b0190c3d954f696f0b0a"

LESSON = "Decision aligns well with historical pattern."

UUID4_RE = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")
RECORD_ID_RE = re.compile(r"zel_" + UUID4_RE.pattern)
TIMESTAMP_RE = re.compile(
    r"(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(?:\.(\d{3}|\d{6}|\d{9}))?\+00:00"
)
HEX64_RE = re.compile(r"[0-9a-f]{64}")


# ---------------------------------------------------------------- numbers --

def _shortest_digits(x):
    """Shortest round-trip digits of a finite non-zero |x| and the decimal
    exponent of its first digit, taken from repr()."""
    sign, digits, exponent = Decimal(repr(abs(x))).as_tuple()
    text = "".join(map(str, digits)).lstrip("0")
    trailing = len(text) - len(text.rstrip("0"))
    # value = int(text) * 10**exponent; drop trailing zeros into the exponent
    exponent += trailing
    text = text.rstrip("0")
    first = len(text) - 1 + exponent
    return text, first


def _positional(digits, first):
    if first >= len(digits) - 1:  # integral value
        return digits + "0" * (first - len(digits) + 1) + ".0"
    if first >= 0:
        return digits[: first + 1] + "." + digits[first + 1 :]
    return "0." + "0" * (-first - 1) + digits


def _scientific(digits, first, plus):
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    if first < 0:
        return mantissa + "e-" + str(-first)
    return mantissa + ("e+" if plus else "e") + str(first)


def json_float(x):
    """The module writer's float layout (used by the log line and insights)."""
    if x != x or x in (float("inf"), float("-inf")):
        return "null"
    sign = "-" if str(x).startswith("-") else ""
    if x == 0:
        return sign + "0.0"
    digits, first = _shortest_digits(x)
    if -5 <= first <= 15:
        return sign + _positional(digits, first)
    return sign + _scientific(digits, first, plus=True)


# ----------------------------------------------------------------- strings --

_SHORT_ESCAPES = {
    '"': '\\"',
    "\\": "\\\\",
    "\b": "\\b",
    "\t": "\\t",
    "\n": "\\n",
    "\f": "\\f",
    "\r": "\\r",
}


def json_string(text):
    """A JSON string by the module's rule: only the quote, the backslash and
    bytes below 0x20 are replaced; non-ASCII and 0x7F stay as they are."""
    out = ['"']
    for ch in text:
        if ch in _SHORT_ESCAPES:
            out.append(_SHORT_ESCAPES[ch])
        elif ord(ch) < 0x20:
            out.append("\\u%04x" % ord(ch))
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def ppp_json(provenance, place, purpose):
    return "{%s:%s,%s:%s,%s:%s}" % (
        json_string("provenance"), json_string(provenance),
        json_string("place"), json_string(place),
        json_string("purpose"), json_string(purpose),
    )


def chain_json(chain_id, agent_decision_ref, resolved, terminal_node):
    return "{%s:%s,%s:%s,%s:%s,%s:%s}" % (
        json_string("chain_id"), json_string(chain_id),
        json_string("agent_decision_ref"), json_string(agent_decision_ref),
        json_string("resolved"), "true" if resolved else "false",
        json_string("terminal_node"), json_string(terminal_node),
    )


def insight_json(confidence, vector):
    """The core insight text for a coherence and a quantised delta vector."""
    return '{"lesson":%s,"confidence":%s,"delta":{"vector":[%s],"confidence":%s,"delta_norm":%s}}' % (
        json_string(LESSON),
        json_float(confidence),
        ",".join(str(int(v)) for v in vector),
        json_float(confidence),
        json_float(0.18),
    )


# ------------------------------------------------------------ cryptography --

def seal_hash(provenance, place, purpose, prompt, coherence, reputation):
    return payload_digest(provenance, place, purpose, prompt, coherence, reputation).hex()


def signature_verifies(public_key_hex, message, signature):
    key = Ed25519PublicKey.from_public_bytes(bytes.fromhex(public_key_hex))
    try:
        key.verify(bytes(signature), message)
    except InvalidSignature:
        return False
    return True


# ------------------------------------------------------------------ record --

def record_values(record):
    """The fifteen fields of a returned record, as host values, in order."""
    return [(name, getattr(record, name)) for name in FIELDS]


def log_line(values):
    """The exact bytes of a log line (without its line feed) for the given
    (name, value) pairs, written by the module writer's rules."""
    parts = []
    for name, value in values:
        if value is None:
            text = "null"
        elif isinstance(value, bool):
            text = "true" if value else "false"
        elif isinstance(value, int):
            text = str(value)
        elif isinstance(value, float):
            text = json_float(value)
        elif isinstance(value, str):
            text = json_string(value)
        elif isinstance(value, list):
            text = "[" + ",".join(str(int(v)) for v in value) + "]"
        else:  # pragma: no cover - the record holds nothing else
            raise TypeError(type(value))
        parts.append(json_string(name) + ":" + text)
    return ("{" + ",".join(parts) + "}").encode("utf-8")


def timestamp_nanos(text):
    """Nanoseconds since 1970 of a record timestamp; raises on a bad form."""
    match = TIMESTAMP_RE.fullmatch(text)
    if match is None:
        raise ValueError("not a record timestamp: %r" % text)
    year, month, day, hour, minute, second, fraction = match.groups()
    seconds = calendar.timegm(
        (int(year), int(month), int(day), int(hour), int(minute), int(second), 0, 0, 0)
    )
    nanos = int((fraction or "").ljust(9, "0"))
    return seconds * 1_000_000_000 + nanos


def canonical_fraction(text):
    """True when the timestamp's fraction is the shortest of 0/3/6/9 digits
    for its value and a 9-digit fraction is in whole 100 ns."""
    match = TIMESTAMP_RE.fullmatch(text)
    fraction = match.group(7)
    if fraction is None:
        return True
    nanos = int(fraction.ljust(9, "0"))
    if nanos == 0:
        return False
    if len(fraction) == 3:
        return True
    if len(fraction) == 6:
        return nanos % 1_000_000 != 0
    return nanos % 1_000 != 0 and nanos % 100 == 0
