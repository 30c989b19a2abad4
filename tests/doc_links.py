#!/usr/bin/env python3
"""Checks the documentation's references against the tree it sits in.

    tests/doc_links.py [ROOT]

In ROOT/README.md and ROOT/docs/*.md (ROOT defaults to the repository this
script is in):
  - every relative link, [text](path), ![alt](path) or [id]: path, must name
    a file or directory that exists; a #anchor, alone or after a Markdown
    file, must name one of that file's headings (GitHub's heading ids);
  - every `make TARGET` written as code (inline or in a fenced block) must
    name a target of ROOT/Makefile.
Prints one line per broken reference, FILE:LINE: what, and exits 1 if there
is any; links in code and links to other sites are not followed.
"""

import glob
import os
import re
import shlex
import subprocess
import sys

FENCE = re.compile(r"^\s*(```|~~~)")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
INLINE_LINK = re.compile(r"!?\[[^\]]*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE_LINK = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s.*)?$")
HEADING = re.compile(r"^\s{0,3}#{1,6}\s+(.*?)\s*#*\s*$")
HTML_ANCHOR = re.compile(r"<a\s+(?:name|id)=\"([^\"]+)\"")
SCHEME = re.compile(r"^[a-zA-Z][a-zA-Z0-9+.-]*:")
# `make` as a command: at the start or after a shell separator or `sudo`,
# its words up to the next separator or comment.
MAKE_COMMAND = re.compile(r"(?:^|[;&|(]\s*|\bsudo\s+)(?:[A-Z_]+=\S*\s+)*make\b([^;&|)#]*)")
# make's options that take the next word as their value.
OPTIONS_WITH_VALUE = {"-C", "-f", "-I", "-j", "-l", "-o", "-W"}


def markdown_lines(path):
    """(line number, text outside fenced code, code on the line) for each line."""
    in_fence = False
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if FENCE.match(line):
                in_fence = not in_fence
                continue
            if in_fence:
                yield number, "", [line]
            else:
                spans = [m.group(2).strip() for m in CODE_SPAN.finditer(line)]
                yield number, CODE_SPAN.sub("", line), spans


def github_id(heading):
    """The id GitHub gives a heading: lower case, punctuation dropped,
    spaces as hyphens."""
    text = re.sub(r"`|\*\*|__|\[([^\]]*)\]\([^)]*\)", r"\1", heading)
    text = re.sub(r"[^\w\- ]", "", text.lower())
    return text.replace(" ", "-")


def anchors(path):
    found = set()
    seen = {}
    for _, text, _ in markdown_lines(path):
        heading = HEADING.match(text)
        if heading:
            base = github_id(heading.group(1))
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else f"{base}-{count}")
        found.update(HTML_ANCHOR.findall(text))
    return found


def make_targets(root):
    """The targets ROOT/Makefile defines, from make's own database."""
    database = subprocess.run(
        ["make", "-C", root, "-pRrq", ":"],
        capture_output=True, text=True, check=False).stdout
    targets = set()
    not_a_target = False
    for line in database.splitlines():
        if line.startswith("# Not a target"):
            not_a_target = True
            continue
        rule = re.match(r"^([^#\s%=:][^=:]*):(?!=)", line)
        if rule and not not_a_target:
            targets.update(rule.group(1).split())
        not_a_target = False
    return {t for t in targets if not t.startswith(".")}


def targets_named(words):
    """The targets in the words after `make`: not options, not VAR=value."""
    try:
        words = shlex.split(words)
    except ValueError:
        words = words.split()
    named = []
    skip_value = False
    for word in words:
        if skip_value:
            skip_value = False
        elif word in OPTIONS_WITH_VALUE:
            skip_value = True
        elif word.startswith("-") or "=" in word:
            continue
        elif re.fullmatch(r"[\w.-]+", word):
            named.append(word)
    return named


def link_problem(document, target, root):
    path, _, anchor = target.partition("#")
    if path:
        resolved = os.path.normpath(os.path.join(os.path.dirname(document), path))
        if not os.path.exists(resolved):
            return f"link '{target}': no such file"
        if not os.path.realpath(resolved).startswith(os.path.realpath(root) + os.sep):
            return f"link '{target}': outside the repository"
    else:
        resolved = document
    if anchor and resolved.endswith(".md") and anchor not in anchors(resolved):
        return f"link '{target}': no heading '#{anchor}' in {os.path.relpath(resolved, root)}"
    return None


def problems(document, root, targets):
    name = os.path.relpath(document, root)
    for number, text, code in markdown_lines(document):
        links = INLINE_LINK.findall(text) + REFERENCE_LINK.findall(text)
        for target in links:
            if SCHEME.match(target):
                continue
            problem = link_problem(document, target, root)
            if problem:
                yield f"{name}:{number}: {problem}"
        for snippet in code:
            for command in MAKE_COMMAND.finditer(snippet):
                for target in targets_named(command.group(1)):
                    if target not in targets:
                        yield f"{name}:{number}: 'make {target}': no such target in Makefile"


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, ".."))
    documents = [os.path.join(root, "README.md")]
    documents += sorted(glob.glob(os.path.join(root, "docs", "*.md")))
    targets = make_targets(root)
    broken = []
    for document in documents:
        if os.path.exists(document):
            broken += problems(document, root, targets)
    for line in broken:
        print(line)
    checked = ", ".join(os.path.relpath(d, root) for d in documents if os.path.exists(d))
    if broken:
        # The findings first, whatever buffers each stream has when both go
        # to one pipe.
        sys.stdout.flush()
        print(f"{len(broken)} broken reference(s) in {checked}", file=sys.stderr)
        return 1
    print(f"every link and make target resolves in {checked}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
