#!/usr/bin/env python3
"""A design sweep run as shards on a Dask cluster, its CSV written whole.

    python3 examples/dask_sweep.py [--scheduler ADDRESS] [--shards N] [VEHICLE.toml]
                                   [--set KEY=VALUE]... --sweep KEY=VALUES...

VEHICLE.toml, --set and --sweep are transition-study's, written as they are for it. The
grid is cut into N contiguous shards (transition-study --shard K/N), each run as one task
with the package transition on a worker; the shards' CSV, merged in shard order, goes to
standard output: the same bytes that transition-study writes for the whole grid. Without
--scheduler the tasks run on a LocalCluster of worker processes on this machine (one per
core); with it, on the dask.distributed cluster at ADDRESS, whose workers must import
transition. N defaults to four shards per worker thread.

Bad input is one line on standard error before any work: exit status 2 for a usage error,
1 for what transition-study refuses. Nothing is written unless every shard is done; a
write that fails is said in one line, exit status 1.
"""

import argparse
import errno
import os
import sys

import transition

me = "dask_sweep.py"

# The most designs a grid may hold, as transition-study takes it: the first of this many
# shards of any grid holds at most one design.
most_designs = 10**9


class Usage(argparse.ArgumentParser):
    def error(self, message):
        sys.stderr.write(f"{me}: {message} (see --help)\n")
        sys.exit(2)


def shard_count(text):
    if not text.isdigit() or not 1 <= int(text) <= most_designs:
        raise argparse.ArgumentTypeError(f"expected a whole number from 1 to {most_designs}, not '{text}'")
    return int(text)


def arguments(argv):
    parser = Usage(prog=me, description="Runs a transition-study sweep as shards on a Dask cluster and "
                   "writes the whole sweep's CSV.")
    parser.add_argument("vehicle", nargs="?", metavar="VEHICLE.toml",
                        help="vehicle file; without it, the built-in aircraft")
    parser.add_argument("--set", action="append", default=[], metavar="KEY=VALUE", help="as transition-study's")
    parser.add_argument("--sweep", action="append", required=True, metavar="KEY=VALUES",
                        help="KEY=FIRST:LAST:COUNT or KEY=V1,V2,..., as transition-study's")
    parser.add_argument("--shards", type=shard_count, metavar="N", help="shards to cut the grid into")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="a dask.distributed scheduler's address")
    return parser.parse_intermixed_args(argv)


def refuse(message):
    sys.stderr.write(message + "\n")
    sys.exit(1)


def run_shard(sweeps, vehicle, k, n):
    """One shard's CSV, header included, computed on a worker."""
    import transition

    return transition.sweep_csv(sweeps, vehicle, jobs=1, shard=(k, n))


def merged(header, parts):
    """The shards' CSV in shard order under one header: each part's own header dropped."""
    rows = []
    for part in parts:
        own, _, body = part.partition("\n")
        if own + "\n" != header:
            raise RuntimeError(f"a shard's header is '{own}', not the sweep's")
        rows.append(body)
    return header + "".join(rows)


def write_all(data):
    view = memoryview(data)
    while view:
        view = view[os.write(1, view):]


def main(argv):
    args = arguments(argv)
    # The vehicle and the sweep checked here, before any cluster is started: transition-study's
    # messages, a vehicle file's own prefixed by its name, any other by this program's.
    try:
        vehicle = transition.Vehicle.read(args.vehicle) if args.vehicle else transition.Vehicle()
        for setting in args.set:
            try:
                vehicle.apply(setting)
            except (KeyError, ValueError) as error:
                # The package names the method; transition-study names its option.
                refuse(f"{me}: --set {setting}" + error.args[0].removeprefix("Vehicle.apply"))
        header = transition.sweep_csv(args.sweep, vehicle, jobs=1, shard=(1, most_designs))
    except OSError as error:
        # The vehicle file: open()'s error, in transition-study's words.
        reason = "is a directory, not a vehicle file" if error.errno == errno.EISDIR else f"cannot read it: {error.strerror}"
        refuse(f"{error.filename}: {reason}")
    except (KeyError, ValueError) as error:
        message = error.args[0]
        refuse(message if args.vehicle and not message.startswith("-") else f"{me}: {message}")

    from dask.distributed import Client, LocalCluster

    try:
        if args.scheduler:
            client, cluster = Client(args.scheduler), None
        else:
            cluster = LocalCluster(processes=True, threads_per_worker=1, dashboard_address=None)
            client = Client(cluster)
    except (OSError, TimeoutError) as error:
        refuse(f"{me}: no cluster at {args.scheduler or 'this machine'}: {error}")
    try:
        threads = sum(w["nthreads"] for w in client.scheduler_info()["workers"].values())
        n = args.shards or 4 * max(threads, 1)
        tasks = [client.submit(run_shard, args.sweep, vehicle, k, n, pure=False) for k in range(1, n + 1)]
        text = merged(header, client.gather(tasks))
    except Exception as error:
        first = (str(error).splitlines() or [type(error).__name__])[0]
        refuse(f"{me}: the sweep failed: {first}")
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    try:
        write_all(text.encode())
    except OSError as error:
        refuse(f"{me}: cannot write the sweep: {os.strerror(error.errno)}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        sys.stderr.write(f"{me}: interrupted; nothing written\n")
        sys.exit(130)
