#!/usr/bin/env python3
"""Loads the collector's daily CSV files into two pandas data frames, one per row layout.

    load-pandas.py NetFlow-20261209.csv [more files ...]

The file has no header line and mixes two layouts, told apart only by their field count:
version 5 rows have 8 fields, version 9 rows 7. Lines end with CR LF.
"""
import sys

import pandas as pd

V5_COLUMNS = ["first", "first_minus_last", "srcaddr", "srcport", "dstaddr", "dstport", "prot", "bytes"]
V9_COLUMNS = ["srcaddr", "srcport", "dstaddr", "dstport", "protocol", "bytes", "bytes_again"]


def load(paths):
    # Read every field as text into eight columns: a version 9 row leaves the eighth empty.
    raw = pd.concat(
        (pd.read_csv(p, header=None, names=range(8), dtype=str, keep_default_na=False) for p in paths),
        ignore_index=True,
    )
    is_v5 = raw[7] != ""

    v5 = raw[is_v5].copy()
    v5.columns = V5_COLUMNS
    for column in ["first", "first_minus_last", "srcport", "dstport", "prot", "bytes"]:
        v5[column] = v5[column].astype("int64")
    # The second field is First minus Last modulo 2^32; the flow's duration is its negation.
    v5["duration_ms"] = (-v5["first_minus_last"]) % 2**32

    v9 = raw[~is_v5].iloc[:, :7].copy()
    v9.columns = V9_COLUMNS
    for column in ["srcport", "dstport", "protocol", "bytes", "bytes_again"]:
        v9[column] = v9[column].astype("int64")
    # Byte counts of 2^31 and more are written as negative 32-bit numbers.
    v9["bytes"] = v9["bytes"] % 2**32
    v9 = v9.drop(columns="bytes_again")
    return v5.reset_index(drop=True), v9.reset_index(drop=True)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    v5, v9 = load(sys.argv[1:])
    print(f"version 5 flows: {len(v5)}, bytes: {v5['bytes'].sum()}")
    print(f"version 9 flows: {len(v9)}, bytes: {v9['bytes'].sum()}")
    top = pd.concat([v5[["srcaddr", "bytes"]], v9[["srcaddr", "bytes"]]]).groupby("srcaddr")["bytes"].sum()
    print("top sources by bytes:")
    print(top.sort_values(ascending=False).head(5).to_string())


if __name__ == "__main__":
    main()
