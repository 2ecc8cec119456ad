#!/usr/bin/env python3
"""Every relative link of README.md and docs/*.md leads to a file of the checkout, and every
#anchor to a heading of the page it names (GitHub's way of making anchors of headings)."""
import os
import re
import sys
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
LINK = re.compile(r"(?<!!)\[[^\]]*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")


def anchors(path):
    found, seen = set(), {}
    in_code = False
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("```"):
                in_code = not in_code
            if in_code or not line.startswith("#"):
                continue
            text = line.lstrip("#").strip().lower()
            text = re.sub(r"[^\w\- ]", "", text.replace("`", "")).replace(" ", "-")
            n = seen.get(text, 0)
            seen[text] = n + 1
            found.add(text if n == 0 else f"{text}-{n}")
    return found


def broken_links(root):
    pages = [os.path.join(root, "README.md")] + sorted(
        os.path.join(root, "docs", n) for n in os.listdir(os.path.join(root, "docs")) if n.endswith(".md"))
    problems = []
    for page in pages:
        with open(page, encoding="utf-8") as f:
            text = re.sub(r"```.*?```", "", f.read(), flags=re.S)
        for target in LINK.findall(text):
            if re.match(r"[a-z]+:", target):
                continue  # https:, mailto: ...
            path, _, anchor = target.partition("#")
            full = os.path.normpath(os.path.join(os.path.dirname(page), urllib.parse.unquote(path))) if path else page
            where = f"{os.path.relpath(page, root)}: {target}"
            if not os.path.exists(full):
                problems.append(f"{where}: no such file")
            elif anchor and full.endswith(".md") and anchor not in anchors(full):
                problems.append(f"{where}: no such heading")
    return problems


class Links(unittest.TestCase):
    def test_every_relative_link_resolves(self):
        self.assertEqual(broken_links(ROOT), [])

    def test_a_broken_link_is_found(self):
        import tempfile
        with tempfile.TemporaryDirectory() as tmp:
            os.makedirs(os.path.join(tmp, "docs"))
            with open(os.path.join(tmp, "README.md"), "w", encoding="utf-8") as f:
                f.write("# Top\n[a](docs/a.md#there) [b](docs/gone.md) [c](#top)\n")
            with open(os.path.join(tmp, "docs", "a.md"), "w", encoding="utf-8") as f:
                f.write("# Elsewhere\n")
            self.assertEqual(broken_links(tmp), ["README.md: docs/a.md#there: no such heading",
                                                 "README.md: docs/gone.md: no such file"])


if __name__ == "__main__":
    sys.exit(unittest.main())
