#!/usr/bin/env python3
"""Passes only when GoogleTest's XML report shows every expected test run and none failed.

usage: gtest_verdict.py <expected> <report.xml>
<expected> is the output of --gtest_list_tests of the programs that hold the same tests. A
program that crashed or hung writes no report, or one without all the tests: both fail.
"""
import sys
import xml.etree.ElementTree as ElementTree


def listed_tests(path):
    names, suite = set(), None
    with open(path, encoding="utf-8") as listing:
        for line in listing:
            line = line.split("#")[0].rstrip()
            if not line:
                continue
            if not line.startswith(" "):
                suite = line.strip()
            else:
                names.add(suite + line.strip())
    return names


def main():
    expected_path, report_path = sys.argv[1:3]
    expected = listed_tests(expected_path)
    try:
        root = ElementTree.parse(report_path).getroot()
    except (OSError, ElementTree.ParseError) as error:
        print(f"No test report ({error}): the test program did not end normally",
              file=sys.stderr)
        return 1
    ran, failed = set(), []
    for case in root.iter("testcase"):
        name = case.get("classname", "") + "." + case.get("name", "")
        if case.get("status") == "run":
            ran.add(name)
        if case.find("failure") is not None or case.find("error") is not None:
            failed.append(name)
    problems = []
    if not expected:
        problems.append("no tests were expected: the test list is empty")
    if failed:
        problems.append("failed: " + ", ".join(sorted(failed)))
    if root.get("failures", "0") != "0" or root.get("errors", "0") != "0":
        problems.append(f"the report counts {root.get('failures')} failures and "
                        f"{root.get('errors')} errors")
    missing = expected - ran
    if missing:
        problems.append(f"{len(missing)} expected tests did not run: " +
                        ", ".join(sorted(missing)[:20]))
    unexpected = ran - expected
    if unexpected:
        problems.append("tests that the Linux build does not have: " +
                        ", ".join(sorted(unexpected)[:20]))
    if problems:
        for problem in problems:
            print(problem, file=sys.stderr)
        return 1
    print(f"{len(ran)} tests ran under Wine, none failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
