"""What one verification proved, and what it did not, in plain words.

Every report carries this statement, in its text as one line and in its JSON
as the ``proven`` object, so that nobody reads more into a pass than it holds:

- a record's signature covers its ``hash``, and the hash is BLAKE3 of the
  seal text: provenance, place, purpose and prompt run together, then the two
  scores. So the signature binds those values as one concatenated text, not
  where one ends and the next begins;
- ``merkle_root`` is an unkeyed chain: its links can be checked for
  consistency, but whoever edits a log can delete, reorder or splice records
  and recompute every root, so a consistent chain proves neither
  completeness nor order;
- the other members are sealed by nothing;
- a key read from the key file beside the log proves only self-consistency;
- signed checkpoints (``LOG.checkpoints``) that match the log prove every
  byte of the lines they cover, and so their order and number; not lines cut
  off together with the checkpoints that covered them.
"""
from __future__ import annotations

import dataclasses
from typing import Dict, List, Optional

# What a record's signature covers: the payload digest (``hash``) is BLAKE3 of
# the seal text built from these members, and the signature is over it.
SEALED = ("ppp_json (its provenance, place and purpose values, concatenated with the prompt)", "prompt",
          "coherence_score", "reputation_scalar", "hash", "signature")
# Sealed by nothing. ``merkle_root`` is checked for consistency only: the chain
# step needs no key.
NOT_SEALED = ("id", "timestamp", "monotonic_nanos", "merkle_root", "ctx_json", "reasoning_trace_json", "output",
              "human_delta_chain_json", "core_insight_json")

NOT_PROVEN_WITHOUT_NOTARY = (
    "that the log is complete, in order, or free of removed, reordered or spliced records (merkle_root is an "
    "unkeyed chain that anyone can recompute)",
    "the members no signature covers: " + ", ".join(NOT_SEALED),
    "where provenance, place, purpose and prompt divide (the seal binds their concatenation)",
)
NOTARIZED_CUT = ("that no lines were cut off together with the checkpoints that covered them (a copy of a "
                 "checkpoint kept elsewhere shows that)")


@dataclasses.dataclass
class Proven:
    """The statement of one verification.

    ``records_verified``: records whose hash and signature verified in this
    run. ``lines_on_checkpoint_word``: lines not checked again because an
    (unsigned) checkpoint vouched for their bytes. ``lines_notarized``: the
    first lines, byte for byte as the key signed them in the latest signed
    checkpoint. ``chains_consistent``: records were checked in this run and
    no chain failure was found. ``complete_and_in_order``: every complete
    line is notarised. ``key_pinned``: the key came from
    outside the log's directory (given, or a key file elsewhere, or a
    checkpoint that was itself made with a pinned key).
    """

    statement: str
    records_verified: int
    records_failed: int
    lines_on_checkpoint_word: int
    lines_notarized: int
    key_source: Optional[str]
    key_pinned: bool
    chains_consistent: bool
    complete_and_in_order: bool
    sealed_members: List[str]
    unsealed_members: List[str]
    not_proven: List[str]

    def to_dict(self) -> Dict[str, object]:
        return dataclasses.asdict(self)


def state(records: int, records_verified: int, records_failed: int, lines_on_checkpoint_word: int,
          chain_failures: int, key_source: Optional[str], key_pinned: bool, notarized_lines: int = 0,
          lines: int = 0) -> Proven:
    """Build the statement for a verification that saw ``records`` records in
    ``lines`` complete lines, the first ``notarized_lines`` of which match the
    latest signed checkpoint (0 when there is none, or the checkpoints fail)."""
    if notarized_lines and notarized_lines >= lines:
        not_proven = [NOTARIZED_CUT]
    elif notarized_lines:
        not_proven = ["for lines %d to %d, after the latest signed checkpoint: %s" % (
            notarized_lines + 1, lines, "; ".join(NOT_PROVEN_WITHOUT_NOTARY)), NOTARIZED_CUT]
    else:
        not_proven = list(NOT_PROVEN_WITHOUT_NOTARY)
    if lines_on_checkpoint_word:
        not_proven.insert(0, "that the checkpoint that vouched for the first lines is genuine: it is not signed, so "
                             "it counts only if it was kept where the log's writers cannot change it")
    if not key_pinned:
        not_proven.insert(0, "that the key is the engine's: it was not pinned (self-consistency only)")
    records_checked = records_verified + records_failed
    key = "the public key %s" % (key_source or "given")
    if records == 0 and not notarized_lines:
        statement = "nothing was verified: the log holds no records"
    else:
        parts = []
        if records_verified:
            parts.append("the hash and signature of %d record%s with %s" % (
                records_verified, "" if records_verified == 1 else "s", key))
        if notarized_lines:
            parts.append("every byte of lines 1 to %d, so every member of their records, their order and their "
                         "number, as the key signed them in the latest checkpoint" % notarized_lines)
        if lines_on_checkpoint_word:
            parts.append("the bytes of the first %d lines, unchanged since a checkpoint that vouched for them "
                         "(not checked again in this run; --recheck does)" % lines_on_checkpoint_word)
        if records_checked and not chain_failures:
            parts.append("that the chain links are consistent" if not lines_on_checkpoint_word else
                         "that the chain links of the lines checked in this run are consistent")
        statement = "proven: " + ("; ".join(parts) if parts else "nothing")
        if records_failed:
            statement += "; %d record%s failed" % (records_failed, "" if records_failed == 1 else "s")
        statement += ". Not proven: " + "; ".join(not_proven) + "."
    return Proven(statement, records_verified, records_failed, lines_on_checkpoint_word, notarized_lines, key_source,
                  key_pinned, bool(records_checked) and chain_failures == 0,
                  bool(notarized_lines) and notarized_lines >= lines, list(SEALED), list(NOT_SEALED), not_proven)
