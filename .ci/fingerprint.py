"""Print every function's result on its record's fixed inputs, each double as float.hex.

One line per call, so that two interpreters' outputs compare with `cmp` and a difference names its
call. Records that share their inputs run side by side, input by input.

float.hex prints every NaN as "nan", so NaN bits are not compared here, across interpreters or
platforms: a NaN the arithmetic makes is the processor's default NaN, negative on x86-64 and
positive on aarch64. The fixed inputs make none: every NaN printed must be the quiet NaN a function
returns by rule (a window too short), and NaN bits are checked on each platform by the oracle
tests' NaN cases instead.
"""

import itertools
import json
import pathlib
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from signatures import RECORDS, fingerprint_inputs  # noqa: E402


RULE_NAN = struct.pack("<d", float("nan"))  # 0x7ff8000000000000 on every platform


def encode(value):
    if isinstance(value, float):
        if value != value and struct.pack("<d", value) != RULE_NAN:
            raise ValueError(f"a NaN made by the arithmetic ({struct.pack('>d', value).hex()}): its bits differ "
                             "between processor families, and the fixed inputs must make none")
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
