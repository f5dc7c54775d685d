"""The demo runs and tells its story, without colour when not on a terminal."""
import os
import pathlib
import subprocess
import sys

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"


def test_demo_report():
    result = subprocess.run([sys.executable, str(DEMO)], capture_output=True, text=True, env=os.environ.copy(),
                            timeout=120, check=True)
    out = result.stdout
    assert "\033[" not in out
    assert "BLOCKED" in out and "REDACTED" in out and "LOOP" in out
    assert "[EMAIL_REDACTED]" in out and "broken at index 4" in out
    assert out.rstrip().splitlines()[-1] == (
        "9 turns screened: 1 injection blocked, 4 PII items redacted, 1 loop caught, "
        "audit chain of 9 records verified and its tampering detected."
    )
