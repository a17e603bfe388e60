#!/usr/bin/python3
"""Generates XML documents and XPath expressions inside the subset the store
answers, and what libxml2 (through lxml) selects for each of them.

Documents are kept where the store's meaning of XPath and XPath 1.0 agree:
an element that is compared or searched by value holds exactly one text node
(leaf names), positions are only asked on child steps, and numbers are plain
integers.

Output, one record per line, fields separated by tabs, text hex-encoded:
  D <index> <xml>                      a document (UTF-8 text, hex)
  N <parent> <type> <name> <ns> <value> one node part of the last document, in
                                       the order the shredder writes them
  Q <xpath> <flags> <hits>             an expression; hits: space-separated
                                       doc:part pairs; flags: "-" or "ns" when
                                       the expression must skip documents with
                                       namespace declarations
Usage: gen_cases.py SEED DOCS EXPRS
       gen_cases.py SEED DOCS EXPRS --check RESULTS
The second form reads the fragment sets the store returned for the same
documents and expressions (lines "<expression index> <hex text>", the query
selecting every document, stored as records 1, 2, ... in order, and the
expression giving the fragments), compares
each fragment, canonicalised, with what libxml2 selects, reports every
disagreement and exits with 1 when there was one.
"""
import random
import sys

from lxml import etree

LEAVES = ["b", "c", "d", "title"]
INNER = ["item", "list", "a"]
VALUES = ["x", "y", "gold", "old gold", "1", "2", "10", "a&b", "<x>", "q\"t"]
NUMBERS = ["1", "2", "3", "10", "25"]
NS = "urn:example:p"


def hexs(s):
    return s.encode("utf-8").hex() if s else "-"


class Gen:
    def __init__(self, seed):
        self.r = random.Random(seed)

    def leaf(self, parent, ns):
        # Prefixed leaves have a local name of their own: an unprefixed name
        # test matches the local name whatever the prefix.
        if ns and self.r.random() < 0.3:
            e = etree.SubElement(parent, "{%s}note" % NS)
        else:
            e = etree.SubElement(parent, self.r.choice(LEAVES))
        e.text = self.r.choice(VALUES)
        if self.r.random() < 0.2:
            e.set("type", self.r.choice(VALUES[:4]))
        return e

    def fill(self, e, depth, ns):
        if self.r.random() < 0.5:
            e.set("id", self.r.choice(NUMBERS))
        if self.r.random() < 0.25:
            e.set("type", self.r.choice(VALUES[:4]))
        # Mixed content now and then, with at most one text node per
        # element: contains() reads only the first text child.
        texts = 0
        if self.r.random() < 0.15:
            e.text = self.r.choice(VALUES)
            texts = 1
        for _ in range(self.r.randint(1, 4)):
            k = self.r.random()
            if depth < 3 and k < 0.45:
                c = etree.SubElement(e, self.r.choice(INNER))
                self.fill(c, depth + 1, ns)
            elif k < 0.92:
                c = self.leaf(e, ns)
            elif k < 0.97:
                c = etree.Comment(self.r.choice(VALUES[:4]))
                e.append(c)
            else:
                c = etree.ProcessingInstruction("pi", self.r.choice(VALUES[:4]))
                e.append(c)
            if texts == 0 and self.r.random() < 0.08:
                c.tail = self.r.choice(VALUES)
                texts = 1

    def document(self):
        ns = self.r.random() < 0.2
        root = etree.Element("r", nsmap={"p": NS} if ns else None)
        self.fill(root, 0, ns)
        return root, ns


def shred(root):
    """Node parts in the order the SAX shredder writes them, and a map from
    lxml nodes (and text/attribute positions) to part numbers."""
    nodes = []
    index = {}

    def add(parent, typ, name, ns, value):
        nodes.append((parent, typ, name, ns, value))
        return len(nodes)

    def qname(tag):
        if tag.startswith("{"):
            uri, local = tag[1:].split("}")
            return local, "p"
        return tag, ""

    def walk(e, parent, parent_name):
        if isinstance(e, etree._Comment):
            index[e] = add(parent, "COMMENT", parent_name if parent else "", "", e.text or "")
        elif isinstance(e, etree._ProcessingInstruction):
            index[e] = add(parent, "PROCESSING_INSTRUCTION", e.target, "", e.text or "")
        else:
            local, prefix = qname(e.tag)
            me = add(parent, "ELEMENT", local, prefix, "")
            index[e] = me
            # Namespace declarations are attributes of the stored document.
            inherited = e.getparent().nsmap if e.getparent() is not None else {}
            for pfx, uri in e.nsmap.items():
                if pfx and inherited.get(pfx) != uri:
                    add(me, "ATTRIBUTE", pfx, "xmlns", uri)
            for k, v in e.attrib.items():
                alocal, aprefix = qname(k)
                index[(e, "@" + k)] = add(me, "ATTRIBUTE", alocal, aprefix, v)
            if e.text:
                index[(e, "text")] = add(me, "TEXT", local, "", e.text)
            for c in e:
                walk(c, me, local)
                if c.tail:
                    index[(c, "tail")] = add(me, "TEXT", local, "", c.tail)

    walk(root, 0, "")
    return nodes, index


def part_of(result, index):
    if isinstance(result, etree._ElementUnicodeResult):
        owner = result.getparent()
        if result.is_attribute:
            return index[(owner, "@" + result.attrname)]
        if result.is_tail:
            return index[(owner, "tail")]
        return index[(owner, "text")]
    return index[result]


def expressions(r, count):
    leaf = lambda: r.choice(LEAVES)
    inner = lambda: r.choice(INNER)
    val = lambda: r.choice(VALUES)
    num = lambda: r.choice(NUMBERS)
    # (template, needs documents without namespace declarations)
    forms = [
        lambda: "/r", lambda: "/*", lambda: "/r/%s" % inner(), lambda: "/r/*",
        lambda: "//%s" % leaf(), lambda: "//%s/%s" % (inner(), leaf()), lambda: "/r//%s" % leaf(),
        lambda: "//*", lambda: "//@id", lambda: "//%s/@type" % leaf(), lambda: "//%s/text()" % leaf(),
        lambda: "//text()", lambda: "//comment()", lambda: "//processing-instruction()",
        lambda: "//%s/node()" % inner(), lambda: "//p:note", lambda: "//p:*", lambda: "//*[p:note='%s']" % val(),
        lambda: "//%s/.." % leaf(), lambda: "//%s/parent::%s" % (leaf(), inner()),
        lambda: "//%s/ancestor::*" % leaf(), lambda: "//%s/ancestor::%s" % (leaf(), inner()),
        lambda: "//%s/ancestor-or-self::%s" % (leaf(), r.choice(INNER + LEAVES)),
        lambda: "//%s/descendant::%s" % (inner(), leaf()),
        lambda: "//%s/descendant-or-self::%s" % (inner(), inner()),
        lambda: "//%s/following-sibling::*" % leaf(), lambda: "//%s/following-sibling::%s" % (leaf(), leaf()),
        lambda: "//%s/preceding-sibling::*" % leaf(), lambda: "//%s/preceding-sibling::%s" % (leaf(), inner()),
        lambda: "//%s/following::%s" % (inner(), leaf()), lambda: "//%s/preceding::%s" % (inner(), leaf()),
        lambda: "//%s/following::text()" % leaf(), lambda: "//%s/following-sibling::comment()" % leaf(),
        lambda: "//%s[%s='%s']" % (inner(), leaf(), val()), lambda: "//%s[@id='%s']" % (inner(), num()),
        lambda: "//*[@id>%s]" % num(), lambda: "//*[@id<=%s]" % num(), lambda: "//*[@id<%s]" % num(),
        lambda: "//*[@id>=%s]" % num(), lambda: "//%s[@id!='%s']" % (inner(), num()),
        lambda: "//%s[.='%s']" % (leaf(), val()), lambda: "//%s[%s]" % (inner(), leaf()),
        lambda: "//%s[@type]" % r.choice(INNER + LEAVES), lambda: "//%s[%d]" % (inner(), r.randint(1, 3)),
        lambda: "//%s[%d]" % (leaf(), r.randint(1, 3)), lambda: "/r/*[%d]" % r.randint(1, 4),
        lambda: "//%s[position()=last()]" % leaf(), lambda: "//%s[last()-1]" % inner(),
        lambda: "//%s[position()>%d]" % (leaf(), r.randint(1, 2)),
        lambda: "//%s[position()<=%d]" % (inner(), r.randint(1, 2)),
        lambda: "//%s[contains(.,'%s')]" % (leaf(), r.choice(["ol", "x", "1", "&", "d g"])),
        lambda: "//*[contains(@type,'%s')]" % r.choice(["ol", "x", "g"]),
        lambda: "//*[text()='%s']" % val(), lambda: "//*[contains(text(),'%s')]" % r.choice(["ol", "y", "1"]),
        lambda: "//%s[%s='%s' and @id]" % (inner(), leaf(), val()),
        lambda: "//%s[%s='%s' or %s='%s']" % (inner(), leaf(), val(), leaf(), val()),
        lambda: "//%s[@id][%d]" % (inner(), r.randint(1, 2)), lambda: "//%s[%s][%d]" % (inner(), leaf(), r.randint(1, 2)),
        lambda: "//%s[%s/%s='%s']" % (inner(), inner(), leaf(), val()),
        lambda: "//%s[%s!='%s']" % (inner(), leaf(), val()),
        lambda: "//%s | //%s" % (leaf(), leaf()), lambda: "/r/%s | //%s/@id" % (inner(), inner()),
        lambda: "//%s[%s/%s]" % (inner(), inner(), leaf()), lambda: "//%s[%s[@type]]" % (inner(), leaf()),
        lambda: "//%s/%s[%d]/@*" % (inner(), leaf(), r.randint(1, 2)),
        lambda: "//%s[@type='%s']/following-sibling::%s" % (leaf(), val(), leaf()),
        lambda: "//@*[.='%s']" % val(), lambda: "//%s/text()[.='%s']" % (leaf(), val()),
        lambda: "//%s[%s[contains(text(),'%s')]]" % (inner(), leaf(), r.choice(["ol", "x"])),
        lambda: "//%s[./%s='%s']" % (inner(), leaf(), val()), lambda: "//%s/./%s" % (inner(), leaf()),
        lambda: "//%s[%s[%d]='%s']" % (inner(), leaf(), r.randint(1, 2), val()),
        lambda: "//%s[.//%s='%s']" % (inner(), leaf(), val()),
        lambda: "/r/%s/%s[@id and %s]" % (inner(), inner(), leaf()),
    ]
    out = []
    for i in range(count):
        e = r.choice(forms)() if i % 2 == 0 else composed(r)
        out.append((e, "@*" in e))
    return out


def composed(r):
    """A path of one to three steps with predicates, built so that the
    store's meaning and XPath 1.0 agree (see the module comment)."""
    val = lambda: "'%s'" % r.choice(VALUES)
    num = lambda: r.choice(NUMBERS)

    def simple_predicate(kind):
        opts = [
            lambda: r.choice(LEAVES), lambda: "@id", lambda: "@type",
            lambda: "%s=%s" % (r.choice(LEAVES), val()), lambda: "%s!=%s" % (r.choice(LEAVES), val()),
            lambda: "@id%s%s" % (r.choice(["=", "!=", "<", ">", "<=", ">="]), num()),
            lambda: "@type=%s" % val(), lambda: "contains(@type,'%s')" % r.choice(["o", "ld", "x"]),
            lambda: "text()=%s" % val(), lambda: "contains(text(),'%s')" % r.choice(["o", "1", "x", "&"]),
            lambda: "%s/%s" % (r.choice(INNER), r.choice(LEAVES)),
            lambda: "%s[@id]" % r.choice(INNER + LEAVES),
            lambda: "%s/%s=%s" % (r.choice(INNER), r.choice(LEAVES), val()),
            lambda: "comment()", lambda: "*[%d]" % r.randint(1, 2),
        ]
        if kind == "leaf":
            opts += [lambda: ".=%s" % val(), lambda: "contains(.,'%s')" % r.choice(["o", "1", "x", "old g"])]
        return r.choice(opts)()

    def predicate(kind, axis):
        k = r.random()
        if axis == "child" and k < 0.25:
            return r.choice([
                lambda: str(r.randint(1, 3)), lambda: "last()-%d" % r.randint(0, 1),
                lambda: "position()=last()", lambda: "position()%s%d" % (r.choice(["<", ">", "<=", ">=", "!="]), r.randint(1, 3)),
            ])()
        if k < 0.4:
            return "%s %s %s" % (simple_predicate(kind), r.choice(["and", "or"]), simple_predicate(kind))
        return simple_predicate(kind)

    def step(first):
        k = r.random()
        name_kind = r.choice(["inner", "leaf", "any"])
        name = {"inner": lambda: r.choice(INNER), "leaf": lambda: r.choice(LEAVES), "any": lambda: "*"}[name_kind]()
        kind = "leaf" if name_kind == "leaf" else "other"
        if first or k < 0.55:
            return ("child", name, kind, "")
        if k < 0.65:
            return ("descendant", name, kind, "descendant::")
        if k < 0.72:
            return ("dos", name, kind, "/")  # written as //name
        if k < 0.78:
            return ("parent", "*", "other", "")  # ..
        if k < 0.84:
            return ("ancestor", r.choice(INNER + ["*"]), "other", "ancestor::")
        axis = r.choice(["following-sibling", "preceding-sibling", "following", "preceding"])
        return (axis, name, kind, axis + "::")

    parts = []
    n = r.randint(1, 3)
    previous = None
    for i in range(n):
        axis, name, kind, written = step(i == 0)
        # ".." is parent::*, so it never reaches the document node: it only
        # follows steps that cannot select the document element.
        if axis == "parent" and previous == "*":
            axis, name, kind, written = "child", r.choice(LEAVES), "leaf", ""
        previous = name
        if axis == "parent":
            text = ".."
        else:
            text = written + name
            for _ in range(r.choice([0, 0, 1, 1, 2])):
                text += "[%s]" % predicate(kind, axis if axis != "dos" else "child")
        parts.append(text)
    head = r.choice(["/r/", "//", "/r//"])
    tail = r.choice(["", "", "", "/@id", "/text()", "/@*"])
    if parts[-1] == "..":
        tail = ""
    return head + "/".join(parts) + tail


def canonical(node):
    """Text of a selected node as both sides are compared: elements, comments
    and processing instructions in exclusive canonical form without the
    white space reconstruction adds around markup; texts as themselves;
    attributes as nothing (a fragment of an attribute node is empty)."""
    if isinstance(node, etree._ElementUnicodeResult):
        return "" if node.is_attribute else str(node).strip()
    if isinstance(node, str):
        return node.strip()
    copy = etree.fromstring(etree.tostring(node, with_tail=False)) if isinstance(node, etree._Element) and not isinstance(
        node, (etree._Comment, etree._ProcessingInstruction)) else None
    if copy is None:
        t = node.text.strip() if node.text else ""
        if isinstance(node, etree._Comment):
            return "<!--%s-->" % t
        return "<?%s%s?>" % (node.target, " " + t if t else "")
    for e in copy.iter():
        if e.text is not None:
            e.text = e.text.strip() or None
        if e.tail is not None:
            e.tail = e.tail.strip() or None
        if isinstance(e, etree._ProcessingInstruction) and e.text:
            e.text = e.text.strip()
    return etree.tostring(copy, method="c14n", with_comments=True, exclusive=True).decode("utf-8")


def store_fragments(text):
    """(record id, canonical fragment) pairs of a fragment set."""
    root = etree.fromstring(text.encode("utf-8"))
    ns = "{urn:vorn:vornxml:3.0}"
    out = []
    for f in root:
        ris = int(f.get(ns + "RID"))
        kids = [k for k in f]
        if kids:
            node = kids[0]
            # Namespace declarations of the wrapper are in scope of the copy.
            out.append((ris, canonical(node)))
        else:
            out.append((ris, canonical(f.text or "")))
    return out


def check(docs, exprs, results_path):
    results = {}
    with open(results_path) as fh:
        for line in fh:
            i, h = line.rstrip("\n").split("\t")
            results[int(i)] = bytes.fromhex(h).decode("utf-8") if h != "-" else ""
    bad = 0
    pairs = 0
    for n, (xpath, needs_plain) in enumerate(exprs):
        if n not in results:
            continue
        expected = []
        for i, (root, ns, index) in enumerate(docs):
            res = root.getroottree().xpath(xpath, namespaces={"p": NS})
            pairs += 1
            for x in sorted(res, key=lambda x: part_of(x, index)):
                expected.append((i + 1, canonical(x)))
        text = results[n]
        try:
            got = store_fragments(text) if text.startswith("<?xml") else [("error", text)]
        except etree.XMLSyntaxError as e:
            got = [("unparsable", str(e))]
        if needs_plain:
            plain = {i + 1 for i, d in enumerate(docs) if not d[1]}
            expected = [x for x in expected if x[0] in plain]
            got = [x for x in got if x[0] in plain or not isinstance(x[0], int)]
        if got != expected:
            bad += 1
            if bad <= 15:
                print("MISMATCH %s" % xpath)
                exp_only = [x for x in expected if x not in got][:4]
                got_only = [x for x in got if x not in expected][:4]
                print("  libxml2 only: %r" % exp_only)
                print("  store only:   %r" % got_only)
    print("%d expressions, %d expression-document pairs, %d disagreements" % (len(results), pairs, bad))
    return bad


def main():
    seed, ndocs, nexpr = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    g = Gen(seed)
    docs = []
    out = sys.stdout
    lines = []
    for i in range(ndocs):
        root, ns = g.document()
        xml = etree.tostring(root, encoding="unicode")
        nodes, index = shred(root)
        docs.append((root, ns, index))
        lines.append("D\t%d\t%s\n" % (i, hexs(xml)))
        for n in nodes:
            lines.append("N\t%d\t%s\t%s\t%s\t%s\n" % (n[0], n[1], hexs(n[2]), hexs(n[3]), hexs(n[4])))
    exprs = expressions(g.r, nexpr)
    if "--check" in sys.argv:
        sys.exit(1 if check(docs, exprs, sys.argv[sys.argv.index("--check") + 1]) else 0)
    out.writelines(lines)
    for xpath, needs_plain in exprs:
        hits = []
        for i, (root, ns, index) in enumerate(docs):
            if needs_plain and ns:
                continue
            res = root.getroottree().xpath(xpath, namespaces={"p": NS})
            parts = sorted(part_of(x, index) for x in res)
            hits.extend("%d:%d" % (i, p) for p in parts)
        out.write("Q\t%s\t%s\t%s\n" % (hexs(xpath), "ns" if needs_plain else "-", " ".join(hits)))


if __name__ == "__main__":
    main()
