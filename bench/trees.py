#!/usr/bin/env python3
"""Writes a server tree for bench/run.sh: COUNT files of SIZE random bytes below packages/bin,
release 1.1.0 listing them with hashes and sizes as update-publish does, update.json naming it,
and the listed paths one a line in TREE/paths. The same manifest without hashes and sizes is kept
beside it as TREE/bare.json, the listed one as TREE/listed.json.

    trees.py TREE COUNT SIZE [--layout many|deep|big]

many: many/f0001.bin ...; deep: h/042/f42001 (a thousand to a folder); big: big.bin.
"""
import argparse
import hashlib
import json
import os

parser = argparse.ArgumentParser()
parser.add_argument("tree")
parser.add_argument("count", type=int)
parser.add_argument("size", type=int)
parser.add_argument("--layout", choices=["many", "deep", "big"], default="many")
args = parser.parse_args()

bin_dir = os.path.join(args.tree, "packages", "bin")
width = len(str(args.count))


def path_of(i):
    if args.layout == "big":
        return "big.bin"
    if args.layout == "deep":
        return "h/%03d/f%d" % (i // 1000, i)
    return "many/f%0*d.bin" % (width, i + 1)


paths, files = [], {}
for i in range(args.count):
    path = path_of(i)
    target = os.path.join(bin_dir, path)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    digest = hashlib.sha256()
    with open(target, "wb") as out:
        left = args.size
        while left:
            chunk = os.urandom(min(left, 1 << 20))
            digest.update(chunk)
            out.write(chunk)
            left -= len(chunk)
    paths.append(path)
    files[path] = {"sha256": digest.hexdigest(), "size": args.size}

version_dir = os.path.join(args.tree, "packages", "version")
os.makedirs(version_dir, exist_ok=True)
listed = {"value": paths, "version": "1.1.0", "follows": None, "files": files}
for name, manifest in (("listed.json", listed), ("bare.json", {"value": paths})):
    with open(os.path.join(args.tree, name), "w") as out:
        json.dump(manifest, out, indent=4)
with open(os.path.join(args.tree, "listed.json")) as src, \
        open(os.path.join(version_dir, "1.1.0.json"), "w") as out:
    out.write(src.read())
with open(os.path.join(args.tree, "packages", "update.json"), "w") as out:
    json.dump({"updateList": [{"version": "1.1.0", "updateType": 0, "updateTime": "",
                               "reason": "bench"}]}, out)
with open(os.path.join(args.tree, "paths"), "w") as out:
    out.write("".join(p + "\n" for p in paths))
