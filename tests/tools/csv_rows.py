#!/usr/bin/env python3
"""Prints the rows of a CSV file, as Python's csv module reads them, as one JSON list."""
import csv
import json
import sys

with open(sys.argv[1], newline="", encoding="utf-8") as f:
    print(json.dumps(list(csv.reader(f))))
