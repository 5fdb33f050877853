"""Print every function's result on its record's fixed inputs, each double as float.hex.

One line per call, so that two interpreters' outputs compare with `cmp` and a difference names its
call. Records that share their inputs run side by side, input by input.
"""

import itertools
import json
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from signatures import RECORDS, fingerprint_inputs  # noqa: E402


def encode(value):
    if isinstance(value, float):
        return value.hex()
    if isinstance(value, (list, tuple)):
        return [encode(v) for v in value]
    raise TypeError(f"unexpected result type {type(value).__name__}")


def calls():
    inputs = fingerprint_inputs()
    for make, group in itertools.groupby(RECORDS.values(), key=lambda r: r.fingerprint):
        group = list(group)
        for suffix, args in make(inputs):
            for record in group:
                yield f"{record.name} {suffix}".rstrip(), record, args


if __name__ == "__main__":
    for label, record, args in calls():
        print(label, json.dumps(encode(record.function(*args))))
