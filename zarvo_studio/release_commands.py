"""The release commands: rollout, rollback, promote, resign, and head (a release of a folder
published without one).

    rollout  FOLDER --share N [--channel C]            raise the share of a staged rollout
    rollback FOLDER [--to N] [--channel C]             a new release naming an earlier one
    promote  FOLDER SOURCE [--release N] [--channel C] [--rollout N]
                                                       a release of channel SOURCE onto C
    resign   FOLDER [--channel C]                      the same head with a fresh expiry
    head     FOLDER [--channel C] [--rollout N] [--launcher NAME]
                                                       a release of the classic documents in FOLDER

Each writes the channel's head (heads/<channel>.json, default channel "live") in the served
folder FOLDER and a record of the release beside it (releases/<channel>/<n>.json); none
touches a manifest or a file of the game. Upload the folder afterwards when it is served
from object storage. A signed channel needs --sign KEY.pem each time: a head expires after
--head-expires-days (default 7), so sign it again before (resign).
"""
import argparse
import hashlib
import os
import sys

from . import heads, releases

DEFAULT_LAUNCHER = "Zarvo Vestra.exe"
OK, REFUSED, NOTHING_TO_DO, FAILED = 0, 1, 3, 4  # as status.py numbers them


def add_common(parser):
    parser.add_argument("folder", metavar="FOLDER", help="the publication folder that is served")
    parser.add_argument("--channel", metavar="NAME", default=heads.DEFAULT_CHANNEL,
                        help=f"the channel (default {heads.DEFAULT_CHANNEL})")
    parser.add_argument("--sign", metavar="KEY.pem", help="sign the head with this ECDSA P-256 key")
    parser.add_argument("--head-expires-days", metavar="N", type=float, default=heads.HEAD_EXPIRES_DAYS,
                        help=f"days until a signed head expires (default {heads.HEAD_EXPIRES_DAYS:g})")


def _rollout_arguments(p):
    p.add_argument("--share", metavar="N", type=int, required=True,
                   help="per cent of installs that take the head's release (100 ends the rollout)")


def _rollback_arguments(p):
    p.add_argument("--to", metavar="N", type=int,
                   help="the release to go back to (default: the one the installs outside a rollout "
                        "run, or the latest with other manifests)")


def _promote_arguments(p):
    p.add_argument("source", metavar="SOURCE", help="the channel it comes from, e.g. beta")
    p.add_argument("--release", metavar="N", type=int, help="its release (default: its head's)")
    p.add_argument("--rollout", metavar="N", type=int, default=100,
                   help="per cent of installs that take it at first (default 100)")


def _head_arguments(p):
    p.add_argument("--rollout", metavar="N", type=int, default=100,
                   help="per cent of installs that take it at first (default 100)")
    p.add_argument("--launcher", metavar="NAME", default=DEFAULT_LAUNCHER,
                   help=f'the launcher in the light manifest (default "{DEFAULT_LAUNCHER}")')


class Command:
    """One release command as a subcommand of the studio's command (cli.py)."""

    def __init__(self, name, summary, text, arguments, work):
        self.name, self.SUMMARY, self.__doc__ = name, summary, text
        self._arguments, self._work = arguments, work

    def add_arguments(self, parser):
        add_common(parser)
        if self._arguments:
            self._arguments(parser)

    def run(self, args, out, err, result):
        return run(args, out, err, result, self._work)


def head_signer(args):
    if not args.sign:
        return None
    try:
        from . import sign
    except ImportError as e:
        raise releases.ReleaseError(f"--sign: needs python3-cryptography ({e})")
    try:
        return heads.HeadSigner(sign.load_private_key(args.sign), args.head_expires_days)
    except sign.SignError as e:
        raise releases.ReleaseError(f"--sign: {e}")


def describe(head):
    text = f"{heads.head_name(head['channel'])}: release {head['release']}"
    if "previous" in head:
        text += f" for {head['rollout']}% of installs, release {head['previous']} for the rest"
    return text


def signed_note(folder, channel):
    head = heads.read_head(folder, channel)
    if head and "_expires" in head:
        return (f"signed; expires {heads.expiry_text(head['_expires'])}: sign it again before "
                f"(resign --channel {channel} --sign KEY.pem)")
    return None


class Unchanged(Exception):
    """Nothing to write: the head already says it (status NOTHING_TO_DO)."""

    def __init__(self, head, text):
        super().__init__(text)
        self.head = head


def run_rollout(args, say):
    signer = head_signer(args)
    head = heads.read_head(args.folder, args.channel)
    if signer is None and head and head.get("rollout") == args.share:
        raise Unchanged(head, f"the share is {args.share}% already")
    return releases.set_rollout(args.folder, args.channel, args.share, signer)


def run_rollback(args, say):
    record, head = releases.rollback(args.folder, args.channel, args.to, head_signer(args))
    say(f"release {head['release']} names the manifests of release {record['source']}")
    return head


def run_promote(args, say):
    record, head = releases.promote(args.folder, args.source, args.channel, args.release,
                                    args.rollout, head_signer(args))
    say(f"release {head['release']} of {args.channel} is release {record['source']}")
    return head


def run_resign(args, say):
    if not args.sign:
        raise releases.ReleaseError("resign needs --sign KEY.pem")
    return releases.resign(args.folder, args.channel, head_signer(args))


def run_head(args, say):
    """A release of the documents a classic publish left in FOLDER."""
    root = os.fsencode(args.folder)
    documents = {}
    for kind, name in heads.DOCUMENT_NAMES.items():
        try:
            with open(os.path.join(root, name.encode()), "rb") as f:
                documents[kind] = f.read()
        except FileNotFoundError:
            if kind != "display":
                raise releases.ReleaseError(f"{name}: missing; publish FOLDER first")
    digest = hashlib.sha256()
    try:
        with open(os.path.join(root, b"update", os.fsencode(args.launcher)), "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                digest.update(block)
    except OSError as e:
        raise releases.ReleaseError(f"update/{args.launcher}: {e.strerror}")
    signer = head_signer(args)
    record, head = releases.publish(args.folder, args.channel, documents, digest.hexdigest(),
                                    args.rollout, signer)
    if record is None and signer is None:
        raise Unchanged(head, f"the head already names these manifests: release {head['release']} kept")
    return heads.read_head(args.folder, args.channel)


def run(args, out, err, result, work):
    """Runs a parsed release command; returns the exit status (status.py's numbers)."""
    def say(text):
        print(text, file=out)
    code = OK
    try:
        head = work(args, say)
    except Unchanged as e:
        say(str(e))
        head, code = e.head, NOTHING_TO_DO
    except (releases.ReleaseError, heads.HeadError) as e:
        print(f"zarvo-studio {args.command}: refused: {e}", file=err)
        result["error"] = str(e)
        return REFUSED
    except OSError as e:
        print(f"zarvo-studio {args.command}: failed: {e}", file=err)
        result["error"] = str(e)
        return FAILED
    say(describe(dict(head, channel=args.channel)))
    note = signed_note(args.folder, args.channel)
    if note:
        say(note)
    result.update(channel=args.channel, head=heads.head_name(args.channel), release=head["release"])
    if "previous" in head:
        result.update(rollout=head["rollout"], previous=head["previous"])
    return code


COMMANDS = {
    "rollout": Command("rollout", "raise the share of installs that take a staged release",
                       "Raise the share of installs that take a channel's staged release.",
                       _rollout_arguments, run_rollout),
    "rollback": Command("rollback", "a new release naming an earlier one",
                        "Publish a new release of a channel that names an earlier release's manifests.",
                        _rollback_arguments, run_rollback),
    "promote": Command("promote", "a release of another channel onto this one",
                       "Make a release of channel SOURCE (default its head's) a release of --channel.",
                       _promote_arguments, run_promote),
    "resign": Command("resign", "sign a channel's head again with a fresh expiry",
                      "Sign a channel's head again with a fresh expiry, changing nothing else.",
                      None, run_resign),
    "head": Command("head", "make the classic documents of a folder a release of a channel",
                    "Make the classic documents of FOLDER (published without a head) a release.",
                    _head_arguments, run_head),
}


def main(argv=None):
    """Runs one release command on its own (python3 -m zarvo_studio.release_commands ...)."""
    parser = argparse.ArgumentParser(prog="python3 -m zarvo_studio.release_commands",
                                     description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    for name, command in COMMANDS.items():
        command.add_arguments(sub.add_parser(name, help=command.SUMMARY, description=command.__doc__))
    args = parser.parse_args(argv)
    return COMMANDS[args.command].run(args, sys.stdout, sys.stderr, {})


if __name__ == "__main__":
    sys.exit(main())
