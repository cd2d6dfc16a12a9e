#!/usr/bin/env bash
# 06-build-id.sh: the build identifier header follows the checkout's revision
# at every build, is left untouched while the revision stays, and holds 40
# zeros outside a git checkout.
. "$(dirname "$0")/common.sh"
trap cleanup EXIT
make_workdir
GIT=$(command -v git) || { echo "SKIP: $SCRIPT_NAME: needs git" >&2; exit 77; }
repo=$WORKDIR/repo header=$WORKDIR/BuildId.h
make_id() {
    cmake -DSOURCE_DIR="$1" -DOUTPUT="$header" -DGIT_EXECUTABLE="$GIT" \
        -P "$SRC/cmake/BuildId.cmake" || fail "the build identifier script failed"
    sed -n 's/^#define VELMORA_REVISION "\([0-9a-f]*\)"$/\1/p' "$header"
}
commit() { git -C "$repo" -c user.name=e2e -c user.email=e2e@localhost commit -q --allow-empty -m "$1"; }
git init -q "$repo" && commit one || fail "git init"
[ "$(make_id "$repo")" = "$(git -C "$repo" rev-parse HEAD)" ] || fail "first revision"
touch -d @0 "$header"
make_id "$repo" > /dev/null
[ "$(stat -c %Y "$header")" -eq 0 ] || fail "rewritten while the revision stayed"
commit two
[ "$(make_id "$repo")" = "$(git -C "$repo" rev-parse HEAD)" ] || fail "new revision not taken"
[ "$(make_id "$WORKDIR/Velmora")" = "$(printf '0%.0s' {1..40})" ] || fail "no zeros outside git"
pass
