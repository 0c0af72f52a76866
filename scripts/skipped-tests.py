#!/usr/bin/env python3
"""Says how many tests ctest skipped and why, from its JUnit file.

    scripts/skipped-tests.py [--ci] RESULTS.xml

With --ci it fails when a skip is not marked "not applicable here:": under CI
every program a test starts is installed and everything runs as root, so any
other skip is a test that never ran (tests/support/Infrastructure.h).
"""
import sys
import xml.etree.ElementTree as ElementTree

ALLOWED = "not applicable here:"


def skip_reason(output):
    """The message gtest printed under "Skipped"; for another program (a
    script that exits with its skip code) its last line of output."""
    lines = output.splitlines()
    for index, line in enumerate(lines):
        if line.endswith(": Skipped"):
            reason = []
            for text in lines[index + 1:]:
                if text.startswith("[  SKIPPED ]"):
                    break
                reason.append(text.strip())
            return " ".join(part for part in reason if part) or "(no reason given)"
    printed = [line.strip() for line in lines if line.strip()]
    return printed[-1] if printed else "(no reason given)"


def main(arguments):
    ci = "--ci" in arguments
    paths = [argument for argument in arguments if argument != "--ci"]
    if len(paths) != 1:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        root = ElementTree.parse(paths[0]).getroot()
    except (OSError, ElementTree.ParseError) as error:
        print(f"no test results to read: {error}", file=sys.stderr)
        return 1
    skipped = []
    for case in root.iter("testcase"):
        if case.find("skipped") is None:
            continue
        output = case.findtext("system-out") or ""
        skipped.append((case.get("name"), skip_reason(output)))
    print(f"{len(skipped)} tests skipped")
    hidden = []
    for name, reason in skipped:
        print(f"  skipped {name}: {reason}")
        if not reason.startswith(ALLOWED):
            hidden.append(name)
    if ci and hidden:
        print(f"FAILED: under CI only \"{ALLOWED}\" skips are allowed; "
              f"{len(hidden)} other skipped tests never ran")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
