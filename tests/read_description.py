#!/usr/bin/env python3
"""read_description.py JSON OUT: parses what blankimg --output=json printed,
checks its keys and their types, and writes the filename, as-created and
the errors to OUT, a line each."""
import json
import sys

NUMBERS = ["virtual-size", "cylinders", "heads", "sectors", "bytes-per-sector", "blocksize",
           "block-count", "block-bytes", "file-size", "actual-size"]
with open(sys.argv[1], encoding="utf-8") as printed:
    text = printed.read()
description = json.loads(text)
assert text.endswith("}\n") and text.count("\n") == 1, "not one object on one line"
assert list(description) == ["filename"] + NUMBERS + ["as-created", "errors"], list(description)
assert all(type(description[key]) is int for key in NUMBERS)
assert type(description["as-created"]) is bool
assert all(type(error) is str for error in description["errors"])
with open(sys.argv[2], "w", encoding="utf-8", errors="surrogateescape") as out:
    out.write("\n".join([description["filename"], str(description["as-created"]).lower()] +
                        description["errors"]) + "\n")
