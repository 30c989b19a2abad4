"""The guides' commands as written: a test runs a fenced block of docs/
as an operator would paste it, so a guide that drifts from the system
fails here."""

import re


def documented_blocks(project, guide, *markers):
    """The fenced blocks of docs/GUIDE holding each marker, in turn."""
    with open(f"{project}/docs/{guide}") as text:
        blocks = re.findall(r"^```\n(.*?)^```$", text.read(), re.M | re.S)
    return [next(block for block in blocks if marker in block) for marker in markers]
