#!/usr/bin/env python3
# read_description.py JSON...: parses each file of what blankimg
# --output=json printed with Python's parser, checks its keys, their order
# and their types, and writes the filename, as-created, the error count and
# the errors to JSON.read, a line each. One Python for every file.
import json, sys

NUMBERS = ["virtual-size", "cylinders", "heads", "sectors", "bytes-per-sector", "blocksize",
           "block-count", "block-bytes", "file-size", "actual-size"]
for path in sys.argv[1:]:
    text = open(path, encoding="utf-8").read()
    description = json.loads(text)
    assert text.endswith("}\n") and text.count("\n") == 1, "not one object on one line"
    assert "\u2028" not in text and "\u2029" not in text, "a line separator left raw"
    assert list(description) == ["filename"] + NUMBERS + ["as-created", "data-offset", "partitions", "error-count", "errors"], list(description)
    assert all(type(description[key]) is int for key in NUMBERS + ["error-count"])
    assert type(description["as-created"]) is bool and all(type(e) is str for e in description["errors"])
    assert len(description["errors"]) == min(description["error-count"], 10)
    lines = [description["filename"], str(description["as-created"]).lower(),
             str(description["error-count"])] + description["errors"]
    open(path + ".read", "w", encoding="utf-8").write("\n".join(lines) + "\n")
