"""Command line: ``brov demo``, ``brov cluster`` and ``brov label`` (also
``python -m halvek.algorithms.src.brov``).

Errors are reported on one line, ``brov: error: ...``, with exit status 1
(2 for a bad command line); output files appear whole or not at all.
"""

import os
import sys

from ..version import package_version
from . import cluster, common, demo, label, outputs
from .common import CliError, Parser, Progress


def build_parser():
    parser = Parser(prog="brov", description="Label-guided clustering of points through their minimum spanning tree.")
    parser.add_argument("--version", action="version", version="brov %s" % package_version())
    sub = parser.add_subparsers(dest="command", metavar="{demo,cluster,label}")
    sub.required = True

    def shared_options(p):
        p.add_argument("-q", "--quiet", action="store_true", help="no progress on stderr")
        p.add_argument("--method", choices=["auto", "exact", "knn"], default="auto",
                       help="tree: 'auto' is exact up to 32 coordinates and a k-NN graph above; 'exact' in any dimension")
        p.add_argument("--n-neighbors", type=int, default=10, help="k of the k-NN graph (default 10)")

    demo.add_parser(sub, shared_options)
    cluster.add_parser(sub, shared_options)
    label.add_parser(sub, shared_options)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        with outputs.termination_as_exception():
            return _run(args)
    except outputs.Terminated as stop:
        print("brov: terminated", file=sys.stderr)
        return 128 + stop.signum


def _run(args):
    try:
        if args.command == "demo":
            return demo.run_demo(args, Progress(not args.quiet and args.n >= common.PROGRESS_FROM))
        if args.command == "label":
            return label.run_label(args, Progress(not args.quiet))
        return cluster.run_cluster(args, Progress(not args.quiet and _looks_large(args.points)))
    except CliError as error:
        message = " ".join(str(error).split())
        print("brov: error: %s" % message, file=sys.stderr)
        return 1
    except (OSError, MemoryError) as error:
        print("brov: error: %s" % (" ".join(str(error).split()) or type(error).__name__), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("brov: interrupted", file=sys.stderr)
        return 130


def _looks_large(path):
    """Whether the points file is big enough to report progress (about PROGRESS_FROM rows)."""
    try:
        return os.path.getsize(path) > common.PROGRESS_FROM * 24
    except OSError:
        return False


if __name__ == "__main__":
    sys.exit(main())
