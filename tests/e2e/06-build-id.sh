#!/usr/bin/env bash
# 06-build-id.sh: the build identifier header follows the checkout's revision
# at every build, stays untouched while the revision stays, and holds 40 zeros
# outside a git checkout.
. "$(dirname "$0")/common.sh"
trap cleanup EXIT
WORKDIR=$(mktemp -d) RUNDIR=$WORKDIR/plain && mkdir "$RUNDIR" && _CLEANUP+=("rm -rf '$WORKDIR'")
command -v git > /dev/null || { echo "SKIP: $SCRIPT_NAME: needs git" >&2; exit 77; }
repo=$WORKDIR/repo header=$WORKDIR/BuildId.h
make_id() {  # prints the revision written for checkout $1
    cmake -DSOURCE_DIR="$1" -DOUTPUT="$header" -DGIT_EXECUTABLE="$(command -v git)" \
        -P "$SRC/cmake/BuildId.cmake" && sed -n 's/^#define VELMORA_REVISION "\(.*\)"$/\1/p' "$header"
}
commit() { git -C "$repo" -c user.name=e2e -c user.email=e2e@localhost commit -q --allow-empty -m x; }
git init -q "$repo" && commit || fail "git init"
[ "$(make_id "$repo")" = "$(git -C "$repo" rev-parse HEAD)" ] || fail "first revision"
touch -d @0 "$header" && make_id "$repo" > /dev/null
[ "$(stat -c %Y "$header")" -eq 0 ] || fail "rewritten while the revision stayed"
commit && [ "$(make_id "$repo")" = "$(git -C "$repo" rev-parse HEAD)" ] || fail "new revision"
[ "$(make_id "$RUNDIR")" = "$(printf '0%.0s' {1..40})" ] || fail "no zeros outside git"
pass
