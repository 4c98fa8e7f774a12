"""A made-up product catalogue for the tour: products sold by sellers who have addresses.

Every object is an ``Indexable`` subclass, so each attribute write reaches every index that
holds the object. Sellers (and their addresses) are shared by many products, which is what
makes dotted queries such as ``seller.country`` worth having.
"""

import random

from Veldrake import Indexable

CATEGORIES = {  # name -> (relative weight, typical price)
    "books": (18, 14.0),
    "music": (9, 11.0),
    "toys": (10, 25.0),
    "garden": (8, 40.0),
    "kitchen": (11, 30.0),
    "electronics": (12, 180.0),
    "sports": (9, 45.0),
    "fashion": (13, 35.0),
    "beauty": (6, 18.0),
    "office": (4, 20.0),
}
TAGS = ["eco", "handmade", "vintage", "bestseller", "new", "gift", "bundle", "refurbished",
        "imported", "local", "premium", "budget", "limited-run", "kids", "outdoor", "indoor"]
ADJECTIVES = ["oak", "brass", "linen", "copper", "velvet", "matte", "walnut", "steel",
              "cotton", "glass", "amber", "slate", "ivory", "cedar", "indigo", "coral"]
NOUNS = {
    "books": ["novel", "atlas", "cookbook", "memoir", "comic", "almanac"],
    "music": ["vinyl", "cd", "songbook", "cassette", "box set"],
    "toys": ["robot", "puzzle", "kite", "yo-yo", "blocks", "doll"],
    "garden": ["trowel", "planter", "hose", "shears", "lantern"],
    "kitchen": ["kettle", "skillet", "whisk", "teapot", "grater", "mug"],
    "electronics": ["speaker", "headset", "charger", "camera", "tablet", "router"],
    "sports": ["racket", "ball", "mat", "helmet", "bottle"],
    "fashion": ["scarf", "jacket", "belt", "hat", "sneakers", "tote"],
    "beauty": ["soap", "serum", "comb", "balm", "brush"],
    "office": ["stapler", "notebook", "pen", "lamp", "binder"],
}
CITIES = {  # country -> cities
    "FR": ["Paris", "Lyon", "Nantes", "Lille"], "DE": ["Berlin", "Munich", "Hamburg", "Leipzig"],
    "ES": ["Madrid", "Seville", "Valencia"], "IT": ["Milan", "Turin", "Naples"],
    "NL": ["Utrecht", "Rotterdam"], "PL": ["Warsaw", "Krakow", "Gdansk"],
    "SE": ["Malmo", "Uppsala"], "PT": ["Porto", "Lisbon"], "US": ["Austin", "Boston", "Denver",
    "Seattle"], "CA": ["Montreal", "Calgary"], "JP": ["Osaka", "Sapporo", "Kyoto"],
    "KR": ["Busan", "Seoul"], "BR": ["Recife", "Curitiba"], "MX": ["Puebla", "Merida"],
    "IN": ["Pune", "Jaipur"], "AU": ["Perth", "Hobart"],
}


class Address(Indexable):
    """Where a seller ships from."""

    def __repr__(self):
        return f"Address({self.city}, {self.country})"


class Seller(Indexable):
    """A shop; many products point at the same Seller object."""

    def __repr__(self):
        return f"Seller({self.name})"


class Product(Indexable):
    """One catalogue entry."""

    def __repr__(self):
        return f"Product({self.sku} {self.name})"

    @property
    def label(self):
        return f"{self.sku} {self.name}"


def make_sellers(rng, count):
    countries = list(CITIES)
    sellers = []
    for i in range(count):
        country = rng.choice(countries)
        address = Address(city=rng.choice(CITIES[country]), country=country,
                          postcode=f"{rng.randrange(10000, 99999)}")
        sellers.append(Seller(
            name=f"shop-{i:04d}",
            country=country,
            rating=round(rng.uniform(2.0, 5.0), 1),
            verified=rng.random() < 0.7,
            address=address,
        ))
    return sellers


def make_products(rng, count, sellers):
    names = list(CATEGORIES)
    weights = [CATEGORIES[c][0] for c in names]
    categories = rng.choices(names, weights=weights, k=count)
    products = []
    for i, category in enumerate(categories):
        typical = CATEGORIES[category][1]
        price = round(max(1.0, rng.lognormvariate(0.0, 0.6) * typical), 2)
        # ~5% of the stock numbers are stored as floats: 30 and 30.0 are the same number.
        stock = rng.choice((0, 0, 1, 2, 3, 5, 8, 12, 20, 40, 75, 150, 300))
        if rng.random() < 0.05:
            stock = float(stock)
        products.append(Product(
            sku=f"P{i:06d}",
            name=f"{rng.choice(ADJECTIVES)} {rng.choice(NOUNS[category])}",
            category=category,
            price=price,
            stock=stock,
            rating=round(rng.triangular(1.0, 5.0, 4.2), 1),
            reviews=int(rng.paretovariate(1.2)) - 1,
            on_sale=rng.random() < 0.15,
            tags=rng.sample(TAGS, rng.randrange(0, 4)),
            seller=rng.choice(sellers),
        ))
    return products


def make_catalogue(seed, products, sellers):
    """Returns (sellers, products), the same every time for a given seed."""
    rng = random.Random(seed)
    seller_objs = make_sellers(rng, sellers)
    return seller_objs, make_products(rng, products, seller_objs)
