#!/usr/bin/python3
"""The benchmark's queries in libxml2 (through lxml) over the same files:
median milliseconds of warm runs, with the parse included (every file read
and parsed, then the query) and excluded (the query on parsed trees), for
the count of selected nodes and for the selected nodes serialised.

Usage: libxml2_bench.py CORPUS-DIR QUERIES-FILE [RUNS]
"""
import glob
import os
import statistics
import sys
import time

from lxml import etree


def timed(fn, runs):
    fn()  # warm up
    out = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        out.append((time.perf_counter() - t0) * 1e3)
    return statistics.median(out)


def main():
    corpus, queries_file = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    queries = [q.strip() for q in open(queries_file) if q.strip()]
    sets = {
        "SMALL": sorted(glob.glob(os.path.join(corpus, "small", "*.xml"))),
        "BIG": [os.path.join(corpus, "big.xml")],
    }
    print("%-66s %-5s %12s %12s %12s %12s" % ("query", "base", "parse+count", "count", "parse+nodes", "nodes"))
    for base, files in sets.items():
        trees = [etree.parse(f) for f in files]
        for q in queries:
            xp = etree.XPath(q)

            def count(parse):
                n = 0
                for i, f in enumerate(files):
                    t = etree.parse(f) if parse else trees[i]
                    n += len(xp(t))
                return n

            def nodes(parse):
                n = 0
                for i, f in enumerate(files):
                    t = etree.parse(f) if parse else trees[i]
                    for x in xp(t):
                        n += len(etree.tostring(x)) if isinstance(x, etree._Element) else len(x)
                return n

            print("%-66s %-5s %12.1f %12.1f %12.1f %12.1f" % (
                q, base, timed(lambda: count(True), runs), timed(lambda: count(False), runs),
                timed(lambda: nodes(True), runs), timed(lambda: nodes(False), runs)))
            sys.stdout.flush()
        del trees


if __name__ == "__main__":
    main()
