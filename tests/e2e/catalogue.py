"""The tool's messages, as tests/messages.expected holds them byte for byte."""
import os


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
