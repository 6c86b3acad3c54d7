#!/usr/bin/python3
"""Checks README.md and the pages of docs/ against the source tree.

  check-docs.py SOURCE_DIR

- Every C++ block (```cpp) is exactly the content of one file of
  docs/samples/, which the test build compiles, and every sample there is
  shown on some page (files named *_test.cc run the samples and are not
  shown).
- Every relative link leads to an existing file and, with a #fragment into
  a Markdown page, to one of its headings.
- README.md stays within a screenful or so: at most 300 lines.

Prints each finding as PAGE:LINE: what, and exits 1 if there is any.
Standard library only.
"""

import difflib
import pathlib
import re
import sys

CPP_LANGUAGES = {"cpp", "c++", "cc", "cxx"}
README_MAX_LINES = 300

FENCE = re.compile(r"^(\s*)(```+|~~~+)\s*([\w+-]*)")
LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
INLINE_CODE = re.compile(r"(`+).*?\1")


def fenced_blocks(lines):
    """(first line number, language, text) of each fenced block; the fence's
    indentation is taken off its lines, as Markdown does."""
    blocks = []
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        indent, fence, language = len(m.group(1)), m.group(2), m.group(3)
        body = []
        j = i + 1
        while j < len(lines) and not lines[j].strip().startswith(fence):
            line = lines[j]
            body.append(line[indent:] if line[:indent].strip() == "" else line)
            j += 1
        blocks.append((i + 1, language.lower(), "".join(body)))
        i = j + 1
    return blocks


def prose_lines(lines):
    """(line number, text) of the lines outside fenced blocks."""
    inside = None
    for number, line in enumerate(lines, 1):
        m = FENCE.match(line)
        if inside is None and m:
            inside = m.group(2)
            continue
        if inside is not None:
            if line.strip().startswith(inside):
                inside = None
            continue
        yield number, line


def slug(heading):
    """The anchor that GitHub (and most renderers) give a heading."""
    text = INLINE_CODE.sub(lambda m: m.group(0).strip("`"), heading)
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)  # a link's text
    text = re.sub(r"[^\w\- ]", "", text.strip().lower())
    return text.replace(" ", "-")


def anchors(page):
    seen = {}
    result = set()
    for _, line in prose_lines(page.read_text(encoding="utf-8").splitlines(True)):
        m = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not m:
            continue
        base = slug(m.group(1))
        n = seen.get(base, 0)
        seen[base] = n + 1
        result.add(base if n == 0 else f"{base}-{n}")
    return result


def main(root):
    root = pathlib.Path(root).resolve()
    pages = [root / "README.md"] + sorted((root / "docs").glob("*.md"))
    samples = {p: p.read_text(encoding="utf-8")
               for p in sorted((root / "docs" / "samples").glob("*.cc"))}
    shown = set()
    findings = []

    for page in pages:
        name = page.relative_to(root)
        lines = page.read_text(encoding="utf-8").splitlines(True)

        for number, language, text in fenced_blocks(lines):
            if language not in CPP_LANGUAGES:
                continue
            match = [p for p, content in samples.items() if content == text]
            if match:
                shown.update(match)
                continue
            closest = max(samples, default=None, key=lambda p: difflib.SequenceMatcher(
                None, samples[p], text).ratio())
            hint = ""
            if closest is not None:
                diff = difflib.unified_diff(
                    samples[closest].splitlines(True), text.splitlines(True),
                    str(closest.relative_to(root)), f"{name}:{number}", n=1)
                hint = "\n" + "".join(diff)
            findings.append(f"{name}:{number}: the C++ block is not a file of "
                            f"docs/samples/{hint}")

        for number, line in prose_lines(lines):
            # A link inside inline code is text, not a link.
            for target in LINK.findall(INLINE_CODE.sub("", line)):
                if re.match(r"^[a-z][a-z0-9+.-]*:", target, re.I):
                    continue  # http:, https:, mailto:
                path, _, fragment = target.partition("#")
                dest = (page.parent / path).resolve() if path else page
                if not dest.exists():
                    findings.append(f"{name}:{number}: link to {target}: "
                                    f"no such file")
                elif fragment and dest.suffix == ".md" \
                        and fragment not in anchors(dest):
                    findings.append(f"{name}:{number}: link to {target}: "
                                    f"no heading #{fragment} there")

    for sample in samples:
        if sample not in shown and not sample.name.endswith("_test.cc"):
            findings.append(f"{sample.relative_to(root)}: shown on no page")

    count = len((root / "README.md").read_text(encoding="utf-8").splitlines())
    if count > README_MAX_LINES:
        findings.append(f"README.md: {count} lines, more than "
                        f"{README_MAX_LINES}: move the detail into docs/")

    for finding in findings:
        print(finding)
    if not findings:
        print(f"check-docs: {len(pages)} pages, {len(shown)} samples, "
              "links resolve")
    return 1 if findings else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: check-docs.py SOURCE_DIR")
    sys.exit(main(sys.argv[1]))
