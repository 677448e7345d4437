#!/usr/bin/env python3
"""Loads the collector's daily CSV files into an SQLite database, one table per row layout.

    load-sqlite.py flows.db NetFlow-20261209.csv [more files ...]

The file has no header line and mixes two layouts, told apart only by their field count:
version 5 rows have 8 fields, version 9 rows 7. Lines end with CR LF. Uses only Python's
standard library; the database can then be queried with the sqlite3 shell.
"""
import csv
import sqlite3
import sys

SCHEMA = """
CREATE TABLE IF NOT EXISTS v5_flows (
    first INTEGER, first_minus_last INTEGER, srcaddr TEXT, srcport INTEGER,
    dstaddr TEXT, dstport INTEGER, prot INTEGER, bytes INTEGER,
    -- the second field is First minus Last modulo 2^32; the duration is its negation
    duration_ms INTEGER GENERATED ALWAYS AS ((4294967296 - first_minus_last) % 4294967296) VIRTUAL
);
CREATE TABLE IF NOT EXISTS v9_flows (
    srcaddr TEXT, srcport INTEGER, dstaddr TEXT, dstport INTEGER, protocol INTEGER, bytes INTEGER
);
"""


def load(db, paths):
    db.executescript(SCHEMA)
    for path in paths:
        # newline="" lets the csv module take CR LF as the line end.
        with open(path, newline="", encoding="ascii") as f:
            v5, v9 = [], []
            for row in csv.reader(f):
                if len(row) == 8:
                    v5.append(row)
                elif len(row) == 7:
                    # Fields 6 and 7 both hold the byte count; 2^31 and more come out negative.
                    v9.append(row[:5] + [int(row[5]) % 2**32])
                else:
                    raise ValueError(f"{path}: a row of {len(row)} fields: {row}")
        db.executemany("INSERT INTO v5_flows VALUES (?, ?, ?, ?, ?, ?, ?, ?)", v5)
        db.executemany("INSERT INTO v9_flows VALUES (?, ?, ?, ?, ?, ?)", v9)
    db.commit()


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    db = sqlite3.connect(sys.argv[1])
    load(db, sys.argv[2:])
    for table in ("v5_flows", "v9_flows"):
        count, total = db.execute(f"SELECT count(*), coalesce(sum(bytes), 0) FROM {table}").fetchone()
        print(f"{table}: {count} flows, bytes: {total}")


if __name__ == "__main__":
    main()
