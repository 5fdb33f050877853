"""gdb script (.ci/levels): run the kernel test program's --as-asked calls with a breakpoint on
every per-level build of every kernel, and fail unless the level VALMORA_KERNEL_LEVEL asks for ran
and no wider one did (kernels capped below it run narrower builds).
Usage: OFFERED="baseline avx2" VALMORA_KERNEL_LEVEL=avx2 gdb -batch -nx -x .ci/builds-run.py --args test_kernels --as-asked
where OFFERED lists the levels this processor offers, narrowest first."""

import os
import re

import gdb

LEVELS = os.environ["OFFERED"].split()
asked = os.environ["VALMORA_KERNEL_LEVEL"]
gdb.execute("set pagination off")
gdb.execute("set confirm off")
gdb.execute(r"rbreak valmora::lanes::run_\(" + r"\|".join(LEVELS) + r"\)<", to_string=True)
for b in gdb.breakpoints():
    b.silent = True
    b.commands = "continue"
gdb.execute("run", to_string=True)
hits = dict.fromkeys(LEVELS, 0)
for b in gdb.breakpoints():
    found = re.search(r"run_(" + "|".join(LEVELS) + r")I", b.location or "")  # in the mangled name
    if found:
        hits[found.group(1)] += b.hit_count
print("builds entered:", ", ".join(f"{level} {n}" for level, n in hits.items()))
wider = LEVELS[LEVELS.index(asked) + 1:]
if hits[asked] == 0 or any(hits[level] for level in wider):
    print(f"builds-run: asked for {asked}, ran {hits}")
    gdb.execute("quit 1")
