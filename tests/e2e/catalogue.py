"""The tool's messages, as tests/messages.expected holds them byte for byte:
read by the end-to-end and package checks, and written as a C++ header for
the unit tests (catalogue.py --cpp HEADER), so the file is read in one place."""
import os
import sys


def load_messages():
    path = os.path.join(os.path.dirname(__file__), "..", "messages.expected")
    texts = {}
    with open(path, encoding="utf-8") as file:
        for line in file:
            if line.startswith("#") or "\t" not in line:
                continue
            name, quoted = line.rstrip("\n").split("\t")
            texts[name] = quoted[1:-1].replace("\\n", "\n")
    return texts


def wide_literal(text):
    """A C++ wide string literal of `text`, ASCII but for \\u escapes."""
    escaped = {"\n": "\\n", '"': '\\"', "\\": "\\\\"}
    return 'L"' + "".join(escaped.get(c) or (c if c < "\x7f" else f"\\u{ord(c):04X}")
                          for c in text) + '"'


def write_cpp(path):
    lines = ["// Made from tests/messages.expected by tests/e2e/catalogue.py --cpp.",
             "struct ExpectedMessage {\n  const char* name;\n  const wchar_t* text;\n};",
             "constexpr ExpectedMessage EXPECTED_MESSAGES[] = {"]
    lines += [f'    {{"{name}", {wide_literal(text)}}},' for name, text in load_messages().items()]
    with open(path, "w", encoding="ascii") as file:
        file.write("\n".join([*lines, "};", ""]))


if __name__ == "__main__":
    if sys.argv[1:2] != ["--cpp"] or len(sys.argv) != 3:
        raise SystemExit("usage: catalogue.py --cpp HEADER")
    write_cpp(sys.argv[2])
