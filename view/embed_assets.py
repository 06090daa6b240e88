#!/usr/bin/env python3
"""Writes a C++ file holding the page's files, so that the program is the whole install.

Usage: embed_assets.py OUTPUT URL=FILE...
"""
import mimetypes
import sys

TYPES = {".js": "text/javascript; charset=utf-8", ".css": "text/css; charset=utf-8",
         ".html": "text/html; charset=utf-8"}


def main() -> None:
    output, pairs = sys.argv[1], sys.argv[2:]
    lines = ['#include "server.hpp"', "", "namespace jointbus::view {", "", "namespace {", ""]
    table = []
    for index, pair in enumerate(pairs):
        url, path = pair.split("=", 1)
        with open(path, "rb") as f:
            data = f.read()
        suffix = path[path.rfind("."):]
        kind = TYPES.get(suffix) or mimetypes.guess_type(path)[0] or "application/octet-stream"
        body = ",".join(str(b) for b in data)
        lines.append(f"const unsigned char kAsset{index}[] = {{{body}}};")
        table.append(f'        {{"{url}", "{kind}", kAsset{index}, sizeof kAsset{index}}},')
    lines += ["", "}  // namespace", "", "const std::vector<Asset>& assets() {",
              "    static const std::vector<Asset> kAssets{", *table, "    };",
              "    return kAssets;", "}", "", "}  // namespace jointbus::view", ""]
    with open(output, "w") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main()
