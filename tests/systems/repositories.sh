#!/usr/bin/env bash
# repositories.sh: every build's packages and make repo's trial
# repositories of them, for the other system tests; every signature and
# file of them verifies, and each repository offers what its release can
# run, by its apt dist and as dnf lists it.
. "$(dirname "$0")/lib.sh"
where=repositories

for build in "${builds[@]}"; do must "could not package $build" "$source_dir/scripts/package.sh" programs "$build"; done
must "could not make the trial repositories" "$source_dir/scripts/repo.sh" "${builds[@]}"
keep "$source_dir/build/repo" repo && cp -r "$source_dir/build/repo" "$work/repo"
must "build/repo does not verify" verify_tree "$work/repo"
say "$(sed 's/^verify: //' "$out")"
for release in $releases; do
    got=$(awk -v k="$keyring_package" '/^Package:/ && $2 != k { print $2 }' \
        "$work/repo/apt/dists/$release/main/binary-amd64/Packages" | sort | xargs)
    # shellcheck disable=SC2046 # package names, split
    equals "apt dist $release holds" "$got" "$(sorted $(offered_of "$release"))"
    say "apt/dists/$release: signed, holds $got"
done
have "dnf's lists of the rpm repositories" dnf || exit 0
for name in $rhels; do
    mkdir "$work/dnf-$name"
    must "dnf cannot read rpm/$name" dnf_in "$work/dnf-$name" "$name" --quiet list --available
    got=$(awk -v r="$release_package" '$1 ~ /^libcwork/ && $1 !~ "^" r { sub(/\.x86_64$/, "", $1); print $1 }' "$out" | sort | xargs)
    # shellcheck disable=SC2046 # package names, split
    equals "dnf lists in rpm/$name" "$got" "$(sorted $(offered_of "$name"))"
    say "rpm/$name: dnf lists $got"
done
