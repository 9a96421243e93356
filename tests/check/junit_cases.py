#!/usr/bin/python3
# Reads a JUnit file as CI systems' tooling does (junitparser) and prints what it found, as
# JSON: the suite's counts and, per test case, its name, time and failure.
import json
import sys

from junitparser import JUnitXml, TestSuite

xml = JUnitXml.fromfile(sys.argv[1])
suites = [xml] if isinstance(xml, TestSuite) else list(xml)
cases = []
for suite in suites:
    for case in suite:
        failures = [r for r in case.result if r._tag == "failure"]
        cases.append({
            "name": case.name,
            "time": case.time,
            "failure_type": failures[0].type if failures else None,
            "failure_message": failures[0].message if failures else None,
        })
properties = {p.name: p.value for s in suites for p in s.properties()}
print(json.dumps({"suites": len(suites), "tests": sum(s.tests for s in suites),
                  "failures": sum(s.failures for s in suites), "cases": cases,
                  "properties": properties}))
