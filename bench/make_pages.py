"""Writes COUNT web pages as users fetch them, the same bytes for the same SEED.

usage: make_pages.py SEED COUNT FOLDER      (files p00000.html, p00001.html, ...)

Every page is 60-80 KiB. Its head holds a charset declaration, the title and the
description near the top, then what real heads carry (style sheets, scripts, inline
styles, social and structured-data tags), and closes between 5 and 40 KiB; the body has
an <h1> near its top and ordinary markup and text to the end. The pages come in three kinds:
  early    the keywords meta tag in the first kilobyte as well (about half the pages)
  nokw     no keywords meta tag: a title-meta decision waits for more (about 45 %)
  long     no keywords, and the head closes past 64 KiB (about 5 %)
A summary of what was written goes to standard output.
"""
import os
import random
import sys

KIB = 1024
WORDS = ("bakery bread flour oven market street garden river station museum library "
         "season winter summer delivery opening hours price family kitchen recipe fresh "
         "local order table coffee morning evening weekend service quality crème brûlée "
         "über café naïve déjà").split()


def text(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n))


def head_blocks(rng, n):
    """Pieces of a real head that hold none of the patterns the rules look for."""
    blocks = []
    for i in range(n):
        kind = rng.randrange(6)
        if kind == 0:
            blocks.append('<link rel="stylesheet" href="/assets/css/%s-%d.css" media="all">\n'
                          % (rng.choice(WORDS[:20]), i))
        elif kind == 1:
            body = ";".join("var v%d=%d" % (j, rng.randrange(10**6)) for j in range(rng.randrange(20, 80)))
            blocks.append("<script>(function(w,d){%s;w.dataLayer=w.dataLayer||[];})(window,document);"
                          "</script>\n" % body)
        elif kind == 2:
            rules = "".join(".c%d-%d{margin:%dpx auto;padding:0 %dpx;color:#%06x}" %
                            (i, j, rng.randrange(40), rng.randrange(40), rng.randrange(1 << 24))
                            for j in range(rng.randrange(10, 50)))
            blocks.append("<style>%s</style>\n" % rules)
        elif kind == 3:
            blocks.append('<meta property="og:%s" content="%s">\n' % (rng.choice(WORDS[:20]), text(rng, 8)))
        elif kind == 4:
            blocks.append('<script type="application/ld+json">{"@context":"https://schema.org",'
                          '"@type":"Organization","name":"%s","description":"%s"}</script>\n'
                          % (text(rng, 3), text(rng, 40)))
        else:
            blocks.append('<link rel="preload" href="/assets/fonts/f%d.woff2" as="font" crossorigin>\n' % i)
    return [b.encode() for b in blocks]


def body_blocks(rng, n):
    blocks = []
    for i in range(n):
        kind = rng.randrange(4)
        if kind == 0:
            blocks.append("<p>%s</p>\n" % text(rng, rng.randrange(30, 120)))
        elif kind == 1:
            items = "".join('<li><a href="/catalogue/%d.html">%s</a></li>' % (rng.randrange(10**5), text(rng, 3))
                            for _ in range(rng.randrange(5, 20)))
            blocks.append('<ul class="menu">%s</ul>\n' % items)
        elif kind == 2:
            blocks.append('<div class="card"><img src="/img/%d.jpg" alt="%s"><span>%s</span></div>\n'
                          % (i, text(rng, 4), text(rng, 20)))
        else:
            cells = "".join("<td>%s</td>" % text(rng, 2) for _ in range(rng.randrange(3, 8)))
            blocks.append("<table><tr>%s</tr></table>\n" % cells)
    return [b.encode() for b in blocks]


def fill(rng, blocks, size):
    """Whole blocks up to SIZE bytes, then a comment that makes the size exact."""
    out = bytearray()
    while True:
        block = rng.choice(blocks)
        if len(out) + len(block) + 8 > size:
            break
        out += block
    pad = size - len(out)
    if pad >= 7:
        out += b"<!--" + b"." * (pad - 7) + b"-->"
    else:
        out += b"\n" * pad
    return bytes(out)


def page(rng, kind, number, heads, bodies):
    title = "%s %d" % (text(rng, 3).title(), number)
    top = ['<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n',
           '<meta name="viewport" content="width=device-width, initial-scale=1">\n',
           "<title>%s</title>\n" % title,
           '<meta name="description" content="%s">\n' % text(rng, 20)]
    if kind == "early":
        top.append('<meta name="keywords" content="%s">\n' % ", ".join(rng.sample(WORDS, 6)))
    top = "".join(top).encode()
    if kind == "long":
        head_close = rng.randrange(64 * KIB + 256, 72 * KIB)
        size = rng.randrange(max(60 * KIB, head_close + 2 * KIB), 80 * KIB + 1)
    else:
        head_close = rng.randrange(5 * KIB, 40 * KIB + 1)
        size = rng.randrange(60 * KIB, 80 * KIB + 1)
    head = top + fill(rng, heads, head_close - len(top))
    body_top = ("</head>\n<body>\n<header><h1>%s</h1></header>\n" % title).encode()
    end = b"</body>\n</html>\n"
    body = body_top + fill(rng, bodies, size - len(head) - len(body_top) - len(end)) + end
    return head + body, len(head)


def main():
    seed, count, folder = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    rng = random.Random(seed)
    heads, bodies = head_blocks(rng, 400), body_blocks(rng, 400)
    os.makedirs(folder, exist_ok=True)
    kinds = {"early": 0, "nokw": 0, "long": 0}
    sizes, closes = [], []
    for number in range(count):
        r = rng.random()
        kind = "long" if r < 0.05 else "nokw" if r < 0.50 else "early"
        data, head_close = page(rng, kind, number, heads, bodies)
        with open(os.path.join(folder, "p%05d.html" % number), "wb") as f:
            f.write(data)
        kinds[kind] += 1
        sizes.append(len(data))
        closes.append(head_close)
    print("%d pages (seed %d): %d with all three title-meta tags early, %d without keywords, "
          "%d with the head past 64 KiB; %.1f-%.1f KiB, head closing at %.1f-%.1f KiB"
          % (count, seed, kinds["early"], kinds["nokw"], kinds["long"], min(sizes) / KIB,
             max(sizes) / KIB, min(closes) / KIB, max(closes) / KIB))


if __name__ == "__main__":
    main()
