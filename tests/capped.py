"""Run untrusted work in a child process under a time limit and an address-space cap, so that a
regression (a hang, an allocation sized by a hostile header) fails a test instead of hurting the
machine."""
import json
import os
import resource
import subprocess
import sys
import textwrap

# The child measures what the work costs: address space is capped at what the imports left
# plus CAP bytes, and the peak resident growth during the work is reported.
PRELUDE = r"""
import json, os, resource, sys, time
import numpy as np
import tarvic, tarvic.io, tarvic.transform_file
for optional in ("laspy", "lazrs", "lzf"):
    try:
        __import__(optional)
    except ImportError:
        pass

def _kib(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1])

resource.setrlimit(resource.RLIMIT_AS, (_kib("VmSize") * 1024 + int(sys.argv[1]), resource.RLIM_INFINITY))
with open("/proc/self/clear_refs", "w") as f:  # the peak so far was the imports'
    f.write("5")
_base = _kib("VmRSS")
_t0 = time.perf_counter()
result = {}
try:
"""

EPILOGUE = r"""
except BaseException as exc:
    result = {"error": type(exc).__name__, "message": str(exc)}
result["seconds"] = time.perf_counter() - _t0
result["peak"] = (_kib("VmHWM") - _base) * 1024
print(json.dumps(result))
"""

AVAILABLE = os.path.exists("/proc/self/clear_refs") and hasattr(resource, "RLIMIT_AS")
SKIP_REASON = "needs Linux's per-process peak-memory accounting and address-space limits"


def run_capped(body, *args, cap=256 << 20, timeout=60):
    """Run `body` (statements that set the dict `result`) in a fresh interpreter whose address
    space may grow by `cap` bytes; returns `result` plus "seconds" and "peak" (bytes), or
    {"error": exception name, "message": ...} for an exception. `args` become sys.argv[2:]."""
    code = PRELUDE + textwrap.indent(textwrap.dedent(body), "    ") + EPILOGUE
    proc = subprocess.run([sys.executable, "-c", code, str(cap), *map(str, args)], capture_output=True,
                          timeout=timeout)
    out, err = proc.stdout.decode(errors="replace"), proc.stderr.decode(errors="replace")
    assert proc.returncode == 0, f"child exited {proc.returncode}\n{out}\n{err[-3000:]}"
    return json.loads(out.strip().splitlines()[-1])


def limit_address_space(limit=4 << 30):
    """A preexec_fn for subprocess: cap the child's address space (4 GiB by default)."""
    def apply():
        resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
    return apply
