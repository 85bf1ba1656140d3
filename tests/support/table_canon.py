#!/usr/bin/env python3
"""Reads a table the programs wrote back with Python's own parsers and prints it one row per
line, the fields separated by tabs, so that a test can compare what the CSV and the JSON say.

    table_canon.py csv FILE          any CSV (a byte order mark is reported as the line "BOM")
    table_canon.py report-json FILE  the JSON of 'tessaroven-ctl report'
    table_canon.py totals-json FILE  the JSON of 'tessaroven-ctl totals'
    table_canon.py log-json FILE     the JSON of 'tessaroven-ctl log'

Exits 1 with the parser's complaint when the file is not what it should be.
"""
import csv, io, json, re, sys

def rows_of(kind, raw):
    if kind == "csv":
        out = []
        if raw.startswith(b"\xef\xbb\xbf"):
            out.append(["BOM"])
            raw = raw[3:]
        text = raw.decode("utf-8")  # strict: bytes that are no UTF-8 fail here
        # RFC 4180: every record ends in CRLF; a line break stands alone only in a quoted field.
        bare = re.sub(r'"(?:[^"]|"")*"', '""', text)
        if re.search(r"(?<!\r)\n|\r(?!\n)", bare) or (text and not text.endswith("\r\n")):
            raise ValueError("a record does not end in CRLF")
        out.extend(csv.reader(io.StringIO(text, newline=""), strict=True))
        return out
    doc = json.loads(raw.decode("utf-8"))
    if kind == "report-json":
        out = [[doc["by"]] + doc["months"] + ["total"]]
        for row in doc["rows"]:
            if len(row["pages"]) != len(doc["months"]):
                raise ValueError("a row has not one figure per month")
            out.append([row["name"]] + [str(n) for n in row["pages"]] + [str(row["total"])])
        out.append(["total"] + [str(n) for n in doc["monthTotals"]] + [str(doc["total"])])
        out.append(["printer", "-" if doc["printer"] is None else doc["printer"],
                    doc["from"], doc["to"]])
        return out
    if kind == "totals-json":
        out = [["printer", "month", doc["by"], "pages"]]
        for g in doc["groups"]:
            out.append([doc["printer"], doc["month"], g["name"], str(g["pages"])])
        out.append(["total", str(doc["total"])])
        return out
    if kind == "log-json":
        out = [["time", "printer", "computer", "user", "pages"]]
        for r in doc:
            out.append([r["time"], r["printer"], r["computer"], r["user"], str(r["pages"])])
        return out
    raise ValueError("unknown kind " + kind)

def main():
    kind, path = sys.argv[1], sys.argv[2]
    with open(path, "rb") as f:
        raw = f.read()
    try:
        rows = rows_of(kind, raw)
    except (ValueError, KeyError, TypeError, csv.Error) as e:
        print("table_canon: %s: %s" % (path, e), file=sys.stderr)
        sys.exit(1)
    for row in rows:
        sys.stdout.write("\t".join(row) + "\n")

if __name__ == "__main__":
    main()
