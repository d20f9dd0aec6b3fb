#!/usr/bin/env python3
# read_description.py JSON OUT: parses what blankimg --output=json printed
# with Python's parser, checks its keys, their order and their types, and
# writes the filename, as-created and the errors to OUT, a line each.
import json, sys

NUMBERS = ["virtual-size", "cylinders", "heads", "sectors", "bytes-per-sector", "blocksize",
           "block-count", "block-bytes", "file-size", "actual-size"]
text = open(sys.argv[1], encoding="utf-8").read()
description = json.loads(text)
assert text.endswith("}\n") and text.count("\n") == 1, "not one object on one line"
assert list(description) == ["filename"] + NUMBERS + ["as-created", "errors"], list(description)
assert all(type(description[key]) is int for key in NUMBERS)
assert type(description["as-created"]) is bool and all(type(e) is str for e in description["errors"])
lines = [description["filename"], str(description["as-created"]).lower()] + description["errors"]
open(sys.argv[2], "w", encoding="utf-8").write("\n".join(lines) + "\n")
