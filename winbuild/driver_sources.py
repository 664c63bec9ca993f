#!/usr/bin/env python3
"""Prints the driver's source files listed in driver_sources.cmake, one repository-relative path a line."""

import re
import sys

VARIABLE = "DRIVER_SOURCES"
# Prefixes that name the repository root in the list; any other variable is refused rather than guessed.
ROOT_VARIABLES = ("${CMAKE_CURRENT_LIST_DIR}/", "${CMAKE_SOURCE_DIR}/", "${PROJECT_SOURCE_DIR}/",
                  "${CMAKE_CURRENT_SOURCE_DIR}/")


def strip_comments(text):
    text = re.sub(r"#\[(=*)\[.*?\]\1\]", " ", text, flags=re.S)
    out = []
    for line in text.splitlines():
        quoted = False
        for i, c in enumerate(line):
            if c == '"':
                quoted = not quoted
            elif c == "#" and not quoted:
                line = line[:i]
                break
        out.append(line)
    return "\n".join(out)


def parse(text):
    """Sources from set(DRIVER_SOURCES ...) and list(APPEND DRIVER_SOURCES ...), in order."""
    sources = []
    found = False
    for command, args in re.findall(r"\b(set|list)\s*\(([^)]*)\)", strip_comments(text), flags=re.I):
        words = [w.strip('"') for w in re.findall(r'"[^"]*"|[^\s"]+', args)]
        if command.lower() == "set" and words[:1] == [VARIABLE]:
            found = True
            sources = words[1:]
        elif command.lower() == "list" and [w.upper() for w in words[:1]] == ["APPEND"] and words[1:2] == [VARIABLE]:
            found = True
            sources += words[2:]
    if not found:
        raise ValueError("no set(%s ...) found" % VARIABLE)
    result = []
    for word in sources:
        for prefix in ROOT_VARIABLES:
            if word.startswith(prefix):
                word = word[len(prefix):]
        if "${" in word or word.startswith("/"):
            raise ValueError("cannot resolve source path %r" % word)
        if word.upper() in ("CACHE", "PARENT_SCOPE", "STRING", "INTERNAL"):
            break
        result.append(word)
    return result


def main():
    if len(sys.argv) != 2:
        print("usage: driver_sources.py driver_sources.cmake", file=sys.stderr)
        return 2
    try:
        with open(sys.argv[1]) as f:
            sources = parse(f.read())
    except (OSError, ValueError) as e:
        print("driver_sources.py: %s: %s" % (sys.argv[1], e), file=sys.stderr)
        return 1
    for source in sources:
        print(source)
    return 0


if __name__ == "__main__":
    sys.exit(main())
