"""Main native library interface mapping out public Python module interface class pointers."""

from typing import Any, List, Optional, final

__all__ = ["ZELEngine", "PPPTriplet", "HumanDeltaChain", "SealedRecord"]
__version__: str

@final
class ZELEngine:
    """High-performance Python extension wrapper container exposed for model integration bindings."""

    def __new__(cls, wal_path: str) -> "ZELEngine": ...
    def capture(
        self,
        ctx: Any,
        prompt: str,
        reasoning_trace: Any,
        output: str,
        ppp_triplet: "PPPTriplet",
        human_delta_chain: "HumanDeltaChain",
        auto_insight: bool = True,
    ) -> "SealedRecord":
        """Captures execution contexts, runs real-time consistency checks, and signs an immutable audit record."""
    def public_key_hex(self) -> str:
        """Exposes the verifying identity public hex configuration signature."""

@final
class PPPTriplet:
    """A triad of metadata anchoring the lineage, physical origin, and analytical intent of an event block."""

    provenance: str
    """Cryptographic or system lineage tracking the structural history."""
    place: str
    """The specific systemic, environmental, or geographic processing node."""
    purpose: str
    """The logical framework intent guiding the execution loop."""

    def __new__(cls, provenance: str, place: str, purpose: str) -> "PPPTriplet": ...

@final
class HumanDeltaChain:
    """An audit node linking autonomous determinations to definitive human-in-the-loop review overrides."""

    chain_id: str
    """Unique identity tracking the active sequence."""
    agent_decision_ref: str
    """Reference signature pointer linking directly back to the original model output."""
    resolved: bool
    """Evaluation state marking whether review processing has formally closed."""
    terminal_node: str
    """Terminal validation node sealing the chain integrity state."""

    def __new__(
        cls,
        agent_decision_ref: str,
        resolved: bool,
        terminal_node: str,
        chain_id: Optional[str] = None,
    ) -> "HumanDeltaChain": ...

@final
class SealedRecord:
    """A court-admissible, tamper-evident data structure capturing an immutable point-in-time calculation state."""

    @property
    def id(self) -> str:
        """Universally unique identifier managing the tracking envelope."""
    @property
    def timestamp(self) -> str:
        """RFC3339 timestamp recording standard real-world clock time."""
    @property
    def monotonic_nanos(self) -> int:
        """Monotonic clock offset logging real-world physical processing sequence order."""
    @property
    def hash(self) -> str:
        """BLAKE3 hash string locking total structure components."""
    @property
    def signature(self) -> List[int]:
        """Ed25519 digital signature verifying authority origins."""
    @property
    def merkle_root(self) -> str:
        """Accumulated chain integrity root verifying sequencing order."""
    @property
    def coherence_score(self) -> float:
        """Similarity rating measuring historical continuity states."""
    @property
    def reputation_scalar(self) -> float:
        """System health scale monitoring moving reliability baselines."""
    @property
    def ppp_json(self) -> str:
        """JSON serialization holding provenance parameters."""
    @property
    def ctx_json(self) -> str:
        """JSON string capturing overall operational environment conditions."""
    @property
    def prompt(self) -> str:
        """Standard engineering input used for generating calculations."""
    @property
    def reasoning_trace_json(self) -> str:
        """JSON representation outlining internal calculation steps."""
    @property
    def output(self) -> str:
        """Definitive answer generated through computational operations."""
    @property
    def human_delta_chain_json(self) -> str:
        """JSON structure tracking human oversight and adjustments."""
    @property
    def core_insight_json(self) -> Optional[str]:
        """JSON representation storing analytical insight parameters."""
