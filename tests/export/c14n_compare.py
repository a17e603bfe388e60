#!/usr/bin/python3
"""Compares rebuilt documents with their originals as XML infosets.

Reads lines "ORIGINAL<TAB>REBUILT" from the file named by the first argument.
Both documents are parsed with their DTD (defaults and entities, the rebuilt
one relative to the original's place), written in canonical form (C14N 1.0,
comments kept), and compared after the differences reconstruction documents:
the line feed it writes after each closing tag at the end of the document.
Empty elements need no allowance: the canonical form writes every element
as a start and an end tag.

Prints one line per document that differs ("DIFF path: ...") or does not
parse ("ERROR path: ..."), then "compared N, differing M". Exit status 0
when all are equal.
"""
import re
import sys

from lxml import etree

# Closing tags, each maybe followed by one line feed, up to the end.
TRAILING = re.compile(rb"(?:</[^<>]+>\n?)+$")


def canonical(path, base_url):
    parser = etree.XMLParser(load_dtd=True, attribute_defaults=True, resolve_entities=True,
                             no_network=True, huge_tree=True, remove_blank_text=False)
    with open(path, "rb") as f:
        data = f.read()
    tree = etree.fromstring(data, parser, base_url=base_url).getroottree()
    c14n = etree.tostring(tree, method="c14n")
    m = TRAILING.search(c14n)
    if m:
        c14n = c14n[:m.start()] + m.group(0).replace(b">\n", b">")
    return c14n


def first_difference(a, b):
    n = min(len(a), len(b))
    i = next((k for k in range(n) if a[k] != b[k]), n)
    lo = max(0, i - 40)
    return "at byte %d: original %r, rebuilt %r" % (i, a[lo:i + 40], b[lo:i + 40])


def main():
    compared = differing = 0
    with open(sys.argv[1], encoding="utf-8") as manifest:
        for line in manifest:
            line = line.rstrip("\n")
            if not line:
                continue
            original, rebuilt = line.split("\t")
            compared += 1
            try:
                a = canonical(original, original)
            except Exception as e:  # the original itself: nothing to compare
                print("ERROR %s: original does not parse: %s" % (original, e))
                differing += 1
                continue
            try:
                b = canonical(rebuilt, original)
            except Exception as e:
                print("ERROR %s: rebuilt text does not parse: %s" % (original, e))
                differing += 1
                continue
            if a != b:
                print("DIFF %s: %s" % (original, first_difference(a, b)))
                differing += 1
    print("compared %d, differing %d" % (compared, differing))
    return 0 if differing == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
