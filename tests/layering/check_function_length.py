#!/usr/bin/env python3
"""No function in the sources is longer than 80 lines.

A long function is read as a list of steps with no names; split into named
steps, each can be read (and reviewed) on its own.  Tables are exempt: a
brace-enclosed initializer (`... = {`) is data, however long.

A function runs from the first line of its signature to its closing brace,
blank and comment lines included; a lambda counts with the function that
holds it.  The scan strips comments, string and character literals and
preprocessor lines, then follows the braces: a brace opened outside any
function whose text since the last `;`, `{` or `}` ends in `)` (and
qualifiers such as `const`, `override`, `noexcept`, `-> type`) opens a
function body.  A file whose braces do not balance fails the check, since
its functions could not be measured.

    tests/layering/check_function_length.py SRC_DIR [LIMIT]
"""
import os
import re
import sys

SIGNATURE_END = re.compile(
    r"\)\s*(?:(?:const|override|noexcept|final|mutable)\s*|->\s*[\w:<>,*&\s]+)*$")
CONTROL = re.compile(r"(?:if|for|while|switch|catch)\b")
NAMESPACE = re.compile(r'\bnamespace\b|\bextern\s+"')


def blank(text):
    """The text with everything but line breaks turned into spaces."""
    return re.sub(r"[^\n]", " ", text)


def strip(text):
    """Comments, literals and preprocessor lines blanked, lines kept."""
    out = []
    i, n = 0, len(text)
    while i < n:
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
            continue
        if text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(blank(text[i:j]))
            i = j
            continue
        raw = re.match(r'R"([^(\s]*)\(', text[i:i + 20])
        if raw and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            end = ")" + raw.group(1) + '"'
            j = text.find(end, i)
            j = n if j < 0 else j + len(end)
            out.append(blank(text[i:j]))
            i = j
            continue
        c = text[i]
        if c in "\"'":
            # A digit separator (1'000'000) opens no character literal.
            if c == "'" and i > 0 and text[i - 1].isdigit():
                out.append(" ")
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(c + blank(text[i + 1:j]) + c)
            i = j + 1
            continue
        out.append(c)
        i += 1
    stripped = "".join(out)
    return re.sub(r"(?m)^[ \t]*#.*(?:\\\n.*)*", lambda m: blank(m.group(0)),
                  stripped)


def long_functions(path, limit):
    """(lines, first line) of each function over `limit` lines; None when
    the braces do not balance."""
    with open(path, encoding="utf-8", errors="replace") as f:
        code = strip(f.read())
    stack = []  # (is_function, first line)
    found = []
    header, header_line, line = "", 1, 1
    for c in code:
        if c == "{":
            text = header.strip()
            in_function = any(is_function for is_function, _ in stack)
            is_function = (not in_function and not NAMESPACE.search(text) and
                           not CONTROL.match(text) and
                           SIGNATURE_END.search(text) is not None)
            stack.append((is_function, header_line if is_function else line))
            header, header_line = "", line
        elif c == "}":
            if not stack:
                return None
            is_function, first = stack.pop()
            if is_function and line - first + 1 > limit:
                found.append((line - first + 1, first))
            header, header_line = "", line
        elif c == ";":
            header, header_line = "", line
        else:
            if not header.strip() and not c.isspace():
                header_line = line
            header += c
        if c == "\n":
            line += 1
    return None if stack else found


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__.strip().splitlines()[-1].strip())
    root = sys.argv[1]
    limit = int(sys.argv[2]) if len(sys.argv) == 3 else 80
    failed = False
    files = 0
    for folder, _, names in sorted(os.walk(root)):
        for name in sorted(names):
            if not name.endswith((".cc", ".h")):
                continue
            path = os.path.join(folder, name)
            files += 1
            found = long_functions(path, limit)
            if found is None:
                print("function length: %s: its braces do not balance" % path)
                failed = True
                continue
            for lines, first in found:
                print("function length: %s:%d: a function of %d lines "
                      "(at most %d): split it into named steps" %
                      (path, first, lines, limit))
                failed = True
    if files < 20:
        print("function length: only %d files found under %s" % (files, root))
        sys.exit(1)
    if not failed:
        print("function length: %d files, no function over %d lines" %
              (files, limit))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
