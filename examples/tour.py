"""A short tour of haldo: coefficient vectors in both scalar flavours."""

import haldo


def main() -> None:
    v = haldo.BasisReal()
    v.ones(3)
    w = haldo.BasisReal()
    w.zeros(3)
    w.set(1, 2.5)
    print("real vector v + w:", flush=True)
    (v + w).print()

    c = haldo.BasisComplex()
    c.ones(2)
    c.set(0, -1.0)
    print("complex vector c - c is zero:", (c - c).get(0) == 0, flush=True)

    try:
        v + c
    except TypeError as exc:
        print("mixing flavours is refused:", exc, flush=True)
    try:
        v.get(3)
    except IndexError as exc:
        print("reading past the end:", exc, flush=True)


if __name__ == "__main__":
    main()
