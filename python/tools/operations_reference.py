"""The operation methods' reference in docs/python.md, made from bmpfun.operations().

    PYTHONPATH=BUILD/python/stage python3 python/tools/operations_reference.py --write docs/python.md

replaces the text between the two marker lines with the table the registry gives now;
--check fails (exit 1) when the page holds another. python/tests/test_docs.py checks it.
"""
import sys

BEGIN = "<!-- operations: made by python/tools/operations_reference.py from bmpfun.operations() -->"
END = "<!-- end of operations -->"


def argument_text(op, a):
    if op.values:
        meaning = ", ".join(f"{value} {name}" for value, name in op.values)
    elif a.extent:
        meaning = f"a {a.extent} of the image"
    else:
        meaning = f"useful {a.low} to {a.high}"
    return f"`{a.name}`: {a.type}, {meaning}"


def table(operations):
    lines = ["| method | in a chain | arguments | result | what it does |", "|---|---|---|---|---|"]
    for op in operations:
        names = ", ".join(a.name for a in op.arguments)
        if op.method == "sampling":
            call = "`image.sampling = method` (property)"
        else:
            call = f"`{op.method}({names})`"
        chain = op.name + ("=" + ",".join(a.name for a in op.arguments) if op.arguments else "")
        arguments = "; ".join(argument_text(op, a) for a in op.arguments) or "none"
        result = "a new Image" if op.makes_new_image else "in place, None"
        if op.method == "sampling":
            result = "reads back a `bmpfun.Sampling`"
        lines.append(f"| {call} | `{chain}` | {arguments} | {result} | {op.summary} |")
    return "\n".join(lines) + "\n"


def replaced(page, operations):
    start, end = page.index(BEGIN) + len(BEGIN) + 1, page.index(END)
    return page[:start] + table(operations) + page[end:]


def main(argv):
    import bmpfun

    if len(argv) != 3 or argv[1] not in ("--write", "--check"):
        sys.exit(f"usage: {argv[0]} --write|--check PAGE")
    with open(argv[2]) as f:
        page = f.read()
    wanted = replaced(page, bmpfun.operations())
    if argv[1] == "--check":
        if wanted != page:
            sys.exit(f"{argv[2]}: the operations table is not the registry's; run {argv[0]} --write {argv[2]}")
        return
    with open(argv[2], "w") as f:
        f.write(wanted)


if __name__ == "__main__":
    main(sys.argv)
