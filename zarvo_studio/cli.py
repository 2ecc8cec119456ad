"""zarvo-studio: the studio's command, one subcommand per task.

A subcommand is a module of this package listed in COMMANDS with:
  SUMMARY                       one line for `zarvo-studio --help`
  EPILOG                        (optional) more text for its --help
  add_arguments(parser)         its options (the parser's description is the module's first
                                paragraph, its epilog the rest of the module's __doc__)
  run(args, out, err, result)   does the work and returns an exit status of status.py; it
                                writes its text to out and err and fills the dict result with
                                what --json prints (files, bytes, objects, the release, ...)
"""
import argparse
import importlib
import json
import sys

from . import __version__, status

COMMANDS = ("publish", "check", "upload")


def _description(module):
    doc = (module.__doc__ or "").strip("\n")
    head, _, rest = doc.partition("\n\n")
    return head, rest


def build_parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--json", action="store_true",
                        help="print one JSON document on standard output saying what was done "
                             "(the text goes to standard error)")
    parser = argparse.ArgumentParser(
        prog="zarvo-studio", description="Publish a Zarvo Vestra game, check and upload it.",
        epilog="Run zarvo-studio COMMAND --help for a command's options.\n\n" + status.TEXT,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"zarvo-studio {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", title="commands")
    commands.required = True
    for name in COMMANDS:
        module = importlib.import_module(f".{name}", __package__)
        head, rest = _description(module)
        sub = commands.add_parser(name, parents=[common], help=module.SUMMARY, description=head,
                                  epilog="\n\n".join(filter(None, (
                                      rest, getattr(module, "EPILOG", "").rstrip(), status.TEXT))),
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        module.add_arguments(sub)
        sub.set_defaults(run=module.run, parser=sub)
    return parser


def main(argv=None, out=None, err=None):
    out = out or sys.stdout
    err = err or sys.stderr
    args = build_parser().parse_args(sys.argv[1:] if argv is None else argv)
    result = {}
    # With --json the document alone goes to standard output: the text joins the errors.
    text = err if args.json else out
    try:
        code = args.run(args, text, err, result)
    except status.Missing as e:
        print(f"zarvo-studio {args.command}: {e}", file=err)
        result["error"] = str(e)
        code = status.MISSING
    except KeyboardInterrupt:
        print(f"zarvo-studio {args.command}: interrupted", file=err)
        code = 130
    if args.json:
        document = {"command": args.command, "status": code}
        document.update(result)
        json.dump(document, out, indent=1, sort_keys=False)
        out.write("\n")
        out.flush()
    return code
