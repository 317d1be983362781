"""Seal the decisions of a simulated agent into ./audit.wal.

A small support-triage agent reads tickets, decides what to do with each and
hands every decision to a ZELEngine. Some decisions go to a human reviewer,
whose verdict travels with the record. At the end the script prints what was
sealed and how fast.

    python examples/seal_decisions.py [--decisions N] [--wal PATH]
"""
import argparse
import os
import random
import shlex
import sys
import sysconfig
import time

import vorm_zel

TOPICS = ["billing", "login", "shipping", "refund", "outage", "privacy", "upgrade"]
CUSTOMERS = ["Ada", "Bjørn", "Chidi", "Dolores", "Émile", "Fumiko", "Gus", "Hana"]
ACTIONS = {
    "billing": "adjust the invoice and notify finance",
    "login": "reset the credentials and enforce a second factor",
    "shipping": "open a carrier trace and promise an update within 24 hours",
    "refund": "refund the order in full",
    "outage": "link the ticket to the incident and escalate to on-call",
    "privacy": "route to the data-protection officer",
    "upgrade": "offer the annual plan with the loyalty discount",
}


def simulated_ticket(rng, number):
    topic = rng.choice(TOPICS)
    customer = rng.choice(CUSTOMERS)
    detail = " ".join(rng.choice(["urgent", "again", "since Monday", "order #%d" % rng.randint(1000, 9999),
                                  "please", "\"asap\"", "see attachment"]) for _ in range(rng.randint(1, 6)))
    prompt = "Ticket %d from %s about %s: %s" % (number, customer, topic, detail)
    return topic, customer, prompt


def decide(rng, topic, prompt):
    steps = [
        {"step": "classify", "topic": topic, "confidence": round(rng.uniform(0.6, 0.99), 3)},
        {"step": "policy", "rule": "%s-standard" % topic, "applies": rng.random() > 0.1},
    ]
    output = "Decision: %s." % ACTIONS[topic]
    if rng.random() < 0.2:
        output += "\nNote: the customer reported this before; add a goodwill credit."
    return steps, output


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--decisions", type=int, default=3000)
    parser.add_argument("--wal", default="audit.wal")
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    rng = random.Random(args.seed)
    engine = vorm_zel.ZELEngine(args.wal)
    lines_before = _count_lines(args.wal)

    insights = 0
    record = None
    started = time.perf_counter()
    for number in range(1, args.decisions + 1):
        topic, customer, prompt = simulated_ticket(rng, number)
        steps, output = decide(rng, topic, prompt)
        ctx = {"ticket": number, "customer": customer, "channel": rng.choice(["email", "chat", "phone"]),
               "priority": rng.randint(1, 5)}
        triplet = vorm_zel.PPPTriplet("triage-agent/v3", "eu-west-1/worker-%d" % rng.randint(1, 4),
                                      "resolve customer ticket")
        reviewed = rng.random() < 0.15
        review = vorm_zel.HumanDeltaChain(
            agent_decision_ref="ticket-%d" % number,
            resolved=reviewed and rng.random() < 0.8,
            terminal_node=rng.choice(["supervisor-ana", "supervisor-ben"]) if reviewed else "auto",
        )
        record = engine.capture(ctx, prompt, steps, output, triplet, review)
        if record.core_insight_json is not None:
            insights += 1
    elapsed = time.perf_counter() - started

    written = _count_lines(args.wal) - lines_before
    print("log:               %s" % os.path.abspath(args.wal))
    print("records written:   %d" % written)
    print("insights made:     %d" % insights)
    print("final reputation:  %.6f" % (record.reputation_scalar if record else 0.5))
    print("last merkle root:  %s" % (record.merkle_root if record else "-"))
    print("captures / second: %.0f" % (args.decisions / elapsed if elapsed > 0 else float("inf")))
    print("public key:        %s" % engine.public_key_hex())
    print("verify it with:    %s" % verify_command(args.wal, engine.public_key_hex()))


def verify_command(wal, public_key):
    """The command that verifies the log, runnable as printed from here even
    in a shell where this interpreter's environment is not activated: its
    vorm-zel script by path, or `python -m vorm_zel_audit` without one."""
    script = os.path.join(sysconfig.get_path("scripts"), "vorm-zel")
    command = [script] if os.access(script, os.X_OK) else [sys.executable, "-m", "vorm_zel_audit"]
    return " ".join(shlex.quote(word) for word in command + ["verify", wal, "--public-key", public_key])


def _count_lines(path):
    try:
        with open(path, "rb") as handle:
            return sum(1 for _ in handle)
    except FileNotFoundError:
        return 0


if __name__ == "__main__":
    main()
