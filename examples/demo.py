"""Calderwick demo: index a synthetic product catalogue and query it.

Every answer is computed twice, by the index and by a plain Python scan over
the same objects, and the two are checked against each other.

    python examples/demo.py [NUMBER_OF_PRODUCTS]   (default 200000)
"""
import random
import sys
import time

from Calderwick import Index, Indexable, PyQueryExpr as Q

SEED = 20261208
CATEGORIES = ["lamp", "chair", "table", "sofa", "desk", "shelf", "rug", "mirror", "clock", "vase"]
COLORS = ["red", "green", "blue", "black", "white", "oak", "walnut", "grey"]
TAGS = ["sale", "new", "eco", "handmade", "imported", "limited", "bestseller", "outdoor"]
CITIES = ["Lyon", "Porto", "Graz", "Turku", "Ghent", "Bergen", "Cork", "Brno"]


def make_catalogue(n):
    rng = random.Random(SEED)
    sellers = [Indexable(name=f"seller-{i:03d}", city=rng.choice(CITIES), rating=rng.randint(1, 5)) for i in range(300)]
    products = []
    for i in range(n):
        category = rng.choice(CATEGORIES)
        products.append(Indexable(
            sku=f"{category[:3].upper()}-{i:07d}",
            title=f"{rng.choice(COLORS)} {category} {rng.randint(1, 999)}",
            category=category,
            color=rng.choice(COLORS),
            price=round(rng.lognormvariate(4, 0.8), 2),
            stock=rng.randint(0, 500),
            in_stock=rng.random() < 0.8,
            tags=rng.sample(TAGS, rng.randint(0, 3)),
            seller=rng.choice(sellers),
        ))
    return products


def progress(label, done, total):
    width = 30
    filled = width * done // total
    sys.stdout.write(f"\r{label} [{'#' * filled}{'.' * (width - filled)}] {done:>9,}/{total:,}")
    sys.stdout.flush()


def timed(f):
    start = time.perf_counter()
    result = f()
    return result, time.perf_counter() - start


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    print(f"Calderwick demo: {n:,} products\n")
    products, t_make = timed(lambda: make_catalogue(n))
    print(f"generated in {t_make:.2f} s")

    index = Index()
    start = time.perf_counter()
    step = max(1, n // 50)
    for i, p in enumerate(products):
        index.add_object(p)
        if i % step == 0:
            progress("indexing", i, n)
    progress("indexing", n, n)
    print(f"  {time.perf_counter() - start:.2f} s\n")

    cases = [
        ("category == 'lamp'", Q.eq("category", "lamp"), lambda p: p.category == "lamp"),
        ("lamp and red", Q.and_(Q.eq("category", "lamp"), Q.eq("color", "red")),
         lambda p: p.category == "lamp" and p.color == "red"),
        ("20 <= price <= 40", Q.bt("price", 20, 40), lambda p: 20 <= p.price <= 40),
        ("stock > 450 and in stock", Q.and_(Q.gt("stock", 450), Q.eq("in_stock", True)),
         lambda p: p.stock > 450 and p.in_stock is True),
        ("sku starts with 'CHA-00'", Q.starts_with("sku", "CHA-00"), lambda p: p.sku.startswith("CHA-00")),
        ("title contains 'oak sofa'", Q.contains("title", "oak sofa"), lambda p: "oak sofa" in p.title),
        ("seller.city == 'Porto'", Q.eq("seller.city", "Porto"), lambda p: p.seller.city == "Porto"),
        ("tags has 'eco' or 'sale'", Q.in_("tags", ["eco", "sale"]), lambda p: "eco" in p.tags or "sale" in p.tags),
        ("not blue, price < 15", Q.and_(Q.not_(Q.eq("color", "blue")), Q.lt("price", 15)),
         lambda p: p.color != "blue" and p.price < 15),
    ]

    print(f"{'query':<28} {'hits':>8} {'index':>10} {'scan':>10} {'speed-up':>9}  same")
    all_same = True

    def run(label, expr, predicate, source):
        nonlocal all_same
        hits, t_index = timed(lambda: index.reduced_query(expr).collect())
        expected, t_scan = timed(lambda: [p for p in source if predicate(p)])
        same = sorted(map(id, hits)) == sorted(map(id, expected))
        all_same &= same
        print(f"{label:<28} {len(hits):>8,} {t_index * 1e3:>8.1f}ms {t_scan * 1e3:>8.1f}ms {t_scan / t_index:>8.1f}x  {'yes' if same else 'NO'}")

    for label, expr, predicate in cases:
        run(label, expr, predicate, products)

    print("\nnarrowing in place to in-stock products ...")
    (_, t_reduce) = timed(lambda: index.reduce(in_stock=True))
    members = [p for p in products if p.in_stock is True]
    print(f"  {len(index.collect()):,} members left ({t_reduce * 1e3:.1f} ms)")
    run("lamp (after narrowing)", Q.eq("category", "lamp"), lambda p: p.category == "lamp", members)

    print("\nupdating attributes: every 'walnut' chair becomes 'oak' ...")
    walnut = index.reduced_query(Q.and_(Q.eq("category", "chair"), Q.eq("color", "walnut"))).collect()
    for p in walnut:
        p.color = "oak"
    run("chair and oak", Q.and_(Q.eq("category", "chair"), Q.eq("color", "oak")),
        lambda p: p.category == "chair" and p.color == "oak", members)
    print("\nevery answer matches the plain scan" if all_same else "\nMISMATCH between index and scan")
    return 0 if all_same else 1


if __name__ == "__main__":
    sys.exit(main())
