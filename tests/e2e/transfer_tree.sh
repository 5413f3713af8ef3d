# A tree sent with --recursive arrives as it was under the receiver's download directory:
# paths, bytes, an empty directory, the owner-execute bit, two names that differ only in
# case, and the times of files and directories with --times; a link planted at the receiver
# is never followed (the path through it is refused, with the reason), and nothing lands
# outside the download directory.
. "$(dirname "$0")/lib/link.bash"

mkdir -p a/src/x a/src/empty b/dl/src outside
printf 'all:\n' >a/src/Makefile
printf 'clean:\n' >a/src/makefile
for i in $(seq 2000); do echo "int f$i(void);"; done >a/src/x/f.h
printf '#!/bin/sh\n' >a/src/run.sh
chmod 755 a/src/run.sh
touch -d '2001-02-03 04:05:06' a/src/x/f.h
ln -s ../../outside b/dl/src/trap
mkdir a/src/trap && printf 'not through the link\n' >a/src/trap/file
touch -d '2002-03-04 05:06:07' a/src/x a/src/empty a/src  # after all made in them
timeout "$SAFETY" "$CABLE" --door-a --door-b --stderr-a a.err --stderr-b b.err --report report -- \
    sh -c "cd a && exec '$FAST' -E 2 --recursive src" \
    -- sh -c "cd b && exec '$FAST' -E 2 --times -d dl" || true  # A: src/trap/file refused
for f in Makefile makefile x/f.h run.sh; do cmp -s "a/src/$f" "b/dl/src/$f" || fail "src/$f differs"; done
[ -d b/dl/src/empty ] || fail "the empty directory did not arrive"
[ -x b/dl/src/run.sh ] && [ ! -x b/dl/src/Makefile ] || fail "the execute bits: $(ls -l b/dl/src)"
for f in x/f.h x empty .; do
    [ "$(stat -c %Y "b/dl/src/$f")" = "$(stat -c %Y "a/src/$f")" ] || fail "the time of src/$f"
done
[ -z "$(ls -A outside)" ] || fail "written through the planted link: $(ls -A outside)"
[ -L b/dl/src/trap ] || fail "the planted link was replaced"
grep -q "refused src/trap/file: it exists as something other than a directory" b.err ||
    fail "no reason for the refused path: $(cat b.err)"
echo "transfer_tree: ok"
