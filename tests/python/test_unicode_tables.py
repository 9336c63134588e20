"""The committed character property tables match the installed Unicode
Character Database (skipped where the database is not installed)."""

import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
GENERATOR = os.path.join(ROOT, "src", "common", "gen_unicode_tables.py")
UCD = "/usr/share/unicode"


@pytest.mark.skipif(not os.path.isfile(os.path.join(UCD, "UnicodeData.txt")),
                    reason="Unicode Character Database not installed")
def test_generated_tables_are_current():
    result = subprocess.run([sys.executable, GENERATOR, "--ucd", UCD, "--check"],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
