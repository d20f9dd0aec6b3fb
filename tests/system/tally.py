"""The checks of a test script, counted, and the closing line ctest reads."""
import sys

passed = 0
failures = []


def check(condition, what):
    """Counts one check; a failed one is printed with what it was."""
    global passed
    if condition:
        passed += 1
    else:
        failures.append(what)
        print("FAILED:", what)


def finish():
    print("%d passed, %d failed" % (passed, len(failures)))
    sys.exit(1 if failures else 0)
