#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Scan a folder of images across a Dask cluster with velkor.

    python3 examples/dask_scan.py DIR
    python3 examples/dask_scan.py --scheduler tcp://scheduler:8786 -K key.txt DIR

Every file under DIR (sub-folders included) is one task; each task runs
velkor.scan_files on a worker and sends back its finds as plain records.
They are printed as JSON lines, the find objects `velkor scan --json`
prints for the same files, image by image (paths in byte order) and by
offset within each image.

Without --scheduler the script starts a cluster of two local worker
processes and stops it at the end.  With --scheduler ADDRESS it uses that
cluster's workers instead: each needs the velkor Python package and its
library (python3-velkor) and must see the images under the same paths (a
shared or network file system).  The key, if any, travels to the workers
with the tasks.

Needs Dask's distributed scheduler (Debian: python3-distributed).
"""

import argparse
import contextlib
import functools
import json
import os
import sys
import tempfile

import velkor
from dask.distributed import Client, LocalCluster


def scan_image(path, key=None, data_sized=False, all=False):
    """The task: one image's finds, as a list of plain, picklable records."""
    return list(velkor.scan_files([path], key, data_sized=data_sized, all=all))


def images(folder):
    """The regular files under folder, in byte order of their paths; links
    to folders are not followed, so a loop of links cannot recur."""
    found = []

    def fail(e):  # a folder that cannot be read, the top one included
        raise e

    for root, dirs, files in os.walk(folder, onerror=fail):
        found += [p for p in (os.path.join(root, f) for f in files) if os.path.isfile(p)]
    return sorted(found, key=os.fsencode)


def read_key(args):
    if args.key_env is not None:
        if args.key_env not in os.environ:
            sys.exit(f"dask_scan: {args.key_env}: no such environment variable")
        return os.environ[args.key_env]
    if args.key_file is not None:
        # The first line, as `velkor -K` takes it.
        with open(args.key_file, "rb") as f:
            line = f.readline(4096).rstrip(b"\n")
        return line[:-1] if line.endswith(b"\r") else line
    return None


def main():
    ap = argparse.ArgumentParser(description="Scan a folder of images across a Dask cluster.")
    ap.add_argument("folder", metavar="DIR")
    ap.add_argument("--scheduler", metavar="ADDRESS",
                    help="a running cluster's scheduler, e.g. tcp://scheduler:8786 "
                         "(default: two local worker processes)")
    keys = ap.add_mutually_exclusive_group()
    keys.add_argument("-K", "--key-file", metavar="FILE", help="the key text: FILE's first line")
    keys.add_argument("--key-env", metavar="NAME", help="the key text: environment variable NAME")
    ap.add_argument("--data-sized", action="store_true",
                    help="containers' cipher tables as long as their fields")
    ap.add_argument("--all", action="store_true", help="also the finds that fail their checks")
    args = ap.parse_args()

    key = read_key(args)
    try:
        velkor.scan_files([], key)  # a key outside the rules fails here, not on a worker
    except velkor.Error as e:
        sys.exit(f"dask_scan: key: {e}")
    try:
        paths = images(args.folder)
    except OSError as e:
        sys.exit(f"dask_scan: {e.filename}: {e.strerror}")

    status = 0
    with contextlib.ExitStack() as stack:
        if args.scheduler:
            client = stack.enter_context(Client(args.scheduler))
        else:
            # The workers' scratch files go to a private folder that goes
            # with them, not to the current folder or a shared one.
            scratch = stack.enter_context(tempfile.TemporaryDirectory(prefix="dask_scan."))
            cluster = stack.enter_context(LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                local_directory=scratch))
            client = stack.enter_context(Client(cluster))
        # (client.map's own key= names the tasks: the scan's options go in
        # through partial.)
        task = functools.partial(scan_image, key=key, data_sized=args.data_sized, all=args.all)
        futures = client.map(task, paths, pure=False)
        # In the images' order, each as soon as it and those before it are
        # in.  An image that cannot be read is reported and the rest go on,
        # as with velkor scan.
        for path, future in zip(paths, futures):
            try:
                records = future.result()
            except OSError as e:
                print(f"dask_scan: {path}: {e.strerror}", file=sys.stderr)
                status = 1
                continue
            finally:
                future.release()
            try:
                for record in records:
                    print(json.dumps(record, ensure_ascii=False, separators=(",", ":")))
                sys.stdout.flush()
            except BrokenPipeError:
                # The reader has gone (| head): stop quietly, and let the
                # cluster shut down.
                os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
                return 1
    return status

if __name__ == "__main__":
    sys.exit(main())
