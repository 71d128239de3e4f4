"""Shared by the effects' table generators: the command line (write, or --check against a
committed file) and the C layout of a float table."""
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def c_table(name, words, per_line=4, ctype="float"):
    """`inline constexpr <ctype> name[n] = {...};` with `words` (literal strings) per_line a line."""
    lines = ["inline constexpr %s %s[%d] = {" % (ctype, name, len(words))]
    for i in range(0, len(words), per_line):
        lines.append("    " + ", ".join(words[i:i + per_line]) + ",")
    lines.append("};")
    return lines


def f32_literal(value):
    """A double already rounded to float, as a hex-float literal the compiler reads back exactly."""
    if value == 0:
        return "0.0f"
    mantissa, exponent = float(value).hex().split("p")
    return mantissa.rstrip("0").rstrip(".") + "p" + exponent + "f"


def run(render, default, argv=None):
    """  script [OUTPUT]      write render() to OUTPUT (default: the file in the tree)
       script --check FILE  exit 1 when FILE differs from render()"""
    argv = sys.argv[1:] if argv is None else argv
    text = render()
    if len(argv) >= 2 and argv[0] == "--check":
        if Path(argv[1]).read_text() != text:
            print("%s differs from the generator's output" % argv[1])
            return 1
        return 0
    Path(argv[0] if argv else ROOT / default).write_text(text)
    return 0
