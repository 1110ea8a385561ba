"""Verifiers that check what the caller expects, not only that a record is well formed.

`verify_opening(record)` says only that the record hashes up to the root it
carries: a member, a non-member and a record of any other tree all verify.
`opening_claim` also checks that the record names the root and the cell the
caller asks about, and answers with its claim; `setop_result` checks a proof
against the two input roots and the operation the caller expects, and answers
with the result root it proves.
"""

from __future__ import annotations

from typing import Any, Literal

from zarel._zarel import Tree, suid_to_cid, verify_opening, verify_setop

__all__ = ["opening_claim", "setop_result"]

_OPS = ("union", "intersect", "difference")


def _root_text(root: Any, name: str) -> str:
    if isinstance(root, Tree):
        return root.root_hex
    if isinstance(root, (bytes, bytearray, memoryview)) and len(root) == 32:
        return bytes(root).hex()
    if isinstance(root, str) and len(root) == 64:
        try:
            bytes.fromhex(root)
        except ValueError:
            pass
        else:
            return root.lower()
    raise ValueError(f"{name} must be a root: 64 hex digits, 32 bytes or a Tree, got {root!r}")


def _opened_cell(record: dict[str, Any]) -> tuple[int, str] | None:
    """The cid a record opens and its claim, when every entries list opens exactly one child."""
    a, b = record.get("A"), record.get("B")
    node = record.get("opening")
    if not isinstance(a, int) or not isinstance(b, int):
        return None
    cid = None
    while isinstance(node, dict) and "claim" not in node:
        entries = node.get("entries")
        if not isinstance(entries, list):
            return None
        opened = [k for k, e in enumerate(entries) if isinstance(e, dict)]
        if len(opened) != 1:
            return None
        cid = a + opened[0] if cid is None else cid * a + opened[0]
        node = entries[opened[0]]
    if cid is None or not isinstance(node, dict) or node.get("claim") not in ("full", "empty"):
        return None
    return cid, node["claim"]


def opening_claim(record: Any, *, root: Any, cid: int | str) -> Literal["full", "empty"] | None:
    """"full" or "empty" when `record` verifies and opens `cid` of the tree with `root`; else None.

    `root` is the root expected (64 hex digits, 32 bytes or a `Tree`), `cid` the
    cell expected (a cid or a suid). "full": the tree covers the whole cell;
    "empty": it covers none of it. None for a record that does not verify,
    names another root or opens another cell: `verify_opening` alone answers
    True for all of those.
    """
    want_root = _root_text(root, "root")
    want_cid = suid_to_cid(cid) if isinstance(cid, str) else cid
    if not isinstance(record, dict) or not verify_opening(record):
        return None
    opened = _opened_cell(record)
    if opened is None or record.get("root") != want_root or opened[0] != want_cid:
        return None
    return "full" if opened[1] == "full" else "empty"


def setop_result(proof: Any, *, root_a: Any, root_b: Any,
                 op: Literal["union", "intersect", "difference"]) -> str | None:
    """The result root (hex) that `proof` proves for `root_a` `op` `root_b`, or None.

    None when the proof does not verify or names other input roots or another
    operation. The roots are 64 hex digits, 32 bytes or `Tree`s.
    """
    if op not in _OPS:
        raise ValueError(f"op must be one of {', '.join(_OPS)}, got {op!r}")
    a, b = _root_text(root_a, "root_a"), _root_text(root_b, "root_b")
    if not isinstance(proof, dict) or not verify_setop(proof):
        return None
    if proof.get("root_a") != a or proof.get("root_b") != b or proof.get("op") != op:
        return None
    result = proof.get("root_c")
    return result if isinstance(result, str) else None
