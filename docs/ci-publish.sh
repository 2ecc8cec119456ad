#!/usr/bin/env bash
# A pipeline's publish step: a game build folder published, checked and uploaded to an S3
# bucket, each step's --json read back. Run from the launcher's checkout (or with zarvo-studio
# installed: docs/publishing.md), with the AWS credentials in the environment:
#
#   GAME_DIR=build/game STAGING=build/publication BUCKET_URL=s3://zarvo-updates/live \
#   [ENDPOINT_URL=https://...] [SIGNING_KEY=secrets/zarvo-2026.pem] docs/ci-publish.sh
#
# Exit status: 0 when the release is uploaded or was already there; otherwise the failing
# step's own status (docs/publishing.md, "Exit statuses").
set -euo pipefail
: "${GAME_DIR:?the game build folder}" "${STAGING:?the publication folder, kept between runs}"
: "${BUCKET_URL:?s3://BUCKET/PREFIX}"

if command -v zarvo-studio >/dev/null; then
    studio() { zarvo-studio "$@"; }
else  # from the checkout this script lies in
    top=$(cd "$(dirname "$0")/.." && pwd)
    studio() { PYTHONPATH="$top${PYTHONPATH:+:$PYTHONPATH}" python3 -m zarvo_studio "$@"; }
fi
field() {  # field FILE KEY...: one value of a --json document
    python3 -c 'import json, sys
value = json.load(open(sys.argv[1]))
for key in sys.argv[2:]:
    value = value[key]
print(value)' "$@"
}
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT

sign=()
[ -n "${SIGNING_KEY:-}" ] && sign=(--sign "$SIGNING_KEY")
status=0
studio publish "$GAME_DIR" "$STAGING" --light '*.exe' 'config/**' "${sign[@]}" --json \
    >"$reports/publish.json" || status=$?
case $status in
    0) echo "ci: release $(field "$reports/publish.json" release) published:" \
            "$(field "$reports/publish.json" files) files, $(field "$reports/publish.json" bytes) bytes" ;;
    3) echo "ci: the game is unchanged; nothing new to publish" ;;
    *) echo "ci: publish failed with status $status" >&2; exit "$status" ;;
esac

studio check "$STAGING" --json >"$reports/check.json" || {
    echo "ci: the publication has problems: $(field "$reports/check.json" problems)" >&2
    exit 1
}

endpoint=()
[ -n "${ENDPOINT_URL:-}" ] && endpoint=(--endpoint-url "$ENDPOINT_URL")
status=0
studio upload "$STAGING" "$BUCKET_URL" "${endpoint[@]}" --json >"$reports/upload.json" || status=$?
case $status in
    0) echo "ci: uploaded $(field "$reports/upload.json" sent) files" \
            "($(field "$reports/upload.json" sent_bytes) bytes), copied" \
            "$(field "$reports/upload.json" copied) on the server" ;;
    3) echo "ci: the bucket already holds this release" ;;
    *) echo "ci: upload failed with status $status: $(field "$reports/upload.json" error)" >&2
       exit "$status" ;;
esac
