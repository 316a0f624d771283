# The front door. CMake does the work; each glibc generation is one preset.
#
#   make run       build, then run every program under a header naming it
#   make check     build, then run the whole test suite
#
#   make install   install the first generation (generations.txt) into $(PREFIX) (and $(DESTDIR))
#   make uninstall remove what make install put there
#   make package   a .tar.gz, a .deb and an .rpm per generation, in build/packages
#   make repo      signed apt and rpm repositories of them, in build/repo,
#                  with a throwaway key: a trial
#   make release REPO=DIR [REBUILDS=DIR] [REBUILDERS=KEYS [THRESHOLD=K]]
#                  build them again in a clean root of the build release and
#                  publish those into the repository tree DIR, signed with
#                  LIBCWORK_SIGNING_KEY, keeping every earlier version (and
#                  the rebuilders' attestations in REBUILDS; the -rebuilt
#                  dists hold what K of the rebuilders in KEYS matched); at
#                  a version published already, add rebuilds alone
#   make verify REPO=DIR|URL [FINGERPRINT=HEX] [ACCEPT_OLDER=yes]
#                  [REBUILDERS=KEYS [THRESHOLD=K]] [ATTESTATIONS=DIR|URL]
#                  check a published tree end to end, against the key HEX or
#                  else the tree's own, and refuse one older than it accepted
#                  before (or whose newest version K of the rebuilders in
#                  KEYS have not matched)
#   make rebuild REPO=DIR|URL [VERSION=V] [FINGERPRINT=HEX] [ATTEST=KEY]
#                  verify it, check that V's source is its recorded commit,
#                  build V again in its recorded root, compare every file a
#                  client can be handed of V, and with ATTEST sign what it found
#   make systems [ONLY=REGEX]  install and run the packages on real Debian
#                  systems and on rpm roots, from the files and from the
#                  repositories, and check releases, verify and rebuild; the
#                  system tests whose names REGEX matches, with ONLY
#   make hosts     build and check the project on every Debian release in the
#                  table, as the build machine
#   make dist      the source archive, in build/
#   make bench     instructions, write(2) calls and peak memory per executable
#   make lint      clang-format, clang-tidy and cppcheck on the sources,
#                  lintian and rpmlint on the packages
#   make reproducible  build everything again elsewhere and compare the bytes
#
# CI=true configures with the ci- presets: compiler warnings are errors.

# The generations, in the order of the table that defines them; the first
# is the one make install installs, and the one the build machine's tools
# (lint, hosts) work from.
GENERATIONS := $(shell cmake -P cmake/generations.cmake 2>/dev/null)
FIRST := $(firstword $(GENERATIONS))
CONFIGURED := $(addprefix configure-,$(GENERATIONS))
PRESET_PREFIX := $(if $(filter true,$(CI)),ci-)
PREFIX ?= /usr/local
MAKEFLAGS += --no-print-directory
SHELL := bash

.PHONY: hostcheck no-generations $(CONFIGURED) all run check install uninstall package repo release verify rebuild systems hosts dist bench lint reproducible clean $(GENERATIONS)

# ctest OPTION...: the tests the options pick, of every generation in one
# run, so that every core stays busy to the end and one summary counts them
# all; then the reasons for any skipped test, once each.
ctest = @printf 'subdirs("%s")\n' $(GENERATIONS) >build/CTestTestfile.cmake; status=0; \
	ctest --test-dir build --output-on-failure --no-tests=error --parallel $(NPROC) $(1) || status=1; \
	awk 'sub(/^SKIP: /, "") { n[$$0]++ } END { for (why in n) printf "skipped %d tests: %s\n", n[why], why }' \
		build/Testing/Temporary/LastTest.log; \
	exit $$status
NPROC := $(shell nproc)

# Where CMake cannot read the table, hostcheck names a missing or old
# CMake, and otherwise CMake says what is wrong with the table.
all: $(or $(GENERATIONS),hostcheck no-generations)
no-generations:
	@cmake -P cmake/generations.cmake && exit 1

# Tools too old are refused before anything is built.
hostcheck:
	@scripts/hostcheck.sh

# configure-GEN: the tree configured, its facts written and its sysroot
# fetched, and nothing built.
$(CONFIGURED): configure-%: hostcheck
	cmake --preset $(PRESET_PREFIX)$* >/dev/null

$(GENERATIONS): %: configure-%
	cmake --build --preset $@ --parallel

run: all
	@for exe in $(foreach g,$(GENERATIONS),build/$(g)/bin/*); do \
		echo "==> $$exe (runs on glibc $$(scripts/glibc-floor.sh $$exe) and later)"; \
		$$exe || exit 1; echo; \
	done

# Every generation's tests but the system tests, which need root (make systems, make hosts).
check: all
	$(call ctest,-LE 'systems|hosts')

# What each install put where (cmake's manifest, with DESTDIR in front),
# kept where make clean leaves it, so that
# make uninstall with the same PREFIX and DESTDIR removes exactly that.
INSTALLED := build/installed.txt

install: $(FIRST)
	DESTDIR="$(DESTDIR)" cmake --install build/$(FIRST) --prefix "$(PREFIX)"
	@awk -v destdir="$(DESTDIR)" '{ print destdir $$0 }' build/$(FIRST)/install_manifest.txt | \
		sort -u - $(wildcard $(INSTALLED)) -o $(INSTALLED)

uninstall:
	@scripts/uninstall.sh $(INSTALLED) "$(DESTDIR)$(PREFIX)"

package: all
	@. build/$(FIRST)/facts.sh && rm -f "$$packages_dir"/*.deb "$$packages_dir"/*.rpm "$$packages_dir"/*.tar.gz && \
		for g in $(GENERATIONS); do scripts/package.sh programs build/$$g || exit 1; done && \
		ls -1 "$$packages_dir"/*.*

repo: package
	@scripts/repo.sh $(foreach g,$(GENERATIONS),build/$(g))

# REPO reaches the scripts through the environment exactly as it was
# given: make expands nothing in it, and no shell reads it as a command.
unexport REPO REBUILDS REBUILDERS THRESHOLD ATTESTATIONS
export LIBCWORK_REPO := $(value REPO)
export LIBCWORK_REBUILDS := $(value REBUILDS)
export LIBCWORK_REBUILDERS := $(value REBUILDERS)
export LIBCWORK_THRESHOLD := $(value THRESHOLD)
export LIBCWORK_ATTESTATIONS := $(value ATTESTATIONS)
ifneq ($(filter release verify rebuild,$(MAKECMDGOALS)),)
$(if $(value REPO),,$(error make $(filter release verify rebuild,$(MAKECMDGOALS)) needs REPO=, \
	the repository tree: a directory (for make verify and make rebuild, a URL too)))
endif
# The packages published are built again, from the source archive, in a
# clean root of the build release; the trees here are only configured,
# which fetches the sysroots.
release: $(CONFIGURED)
	@source=$$(scripts/dist.sh) && \
		LIBCWORK_SOURCE="$$source" scripts/release.sh "$$LIBCWORK_REPO" $(foreach g,$(GENERATIONS),build/$(g))

verify:
	@REBUILDERS="$$LIBCWORK_REBUILDERS" THRESHOLD="$$LIBCWORK_THRESHOLD" ATTESTATIONS="$$LIBCWORK_ATTESTATIONS" \
		/usr/bin/python3 scripts/verify.py "$$LIBCWORK_REPO"

rebuild: $(CONFIGURED)
	@scripts/rebuild.sh build/$(FIRST) "$$LIBCWORK_REPO"

# A missing tool (mmdebstrap) skips them, saying so.
systems: all
	$(call ctest,-L systems $(if $(ONLY),-R '$(ONLY)'))

hosts: all
	$(call ctest,-L hosts)

dist:
	@scripts/dist.sh

bench: all
	@for g in $(GENERATIONS); do cmake --build --preset $$g --target bench_baseline >/dev/null || exit 1; done
	bench/bench.sh $(foreach g,$(GENERATIONS),build/$(g))

lint: package
	@cmake --build --preset $(FIRST) --target lint
	scripts/lint-packages.sh $(foreach g,$(GENERATIONS),build/$(g))

# It builds again from the files git tracks: say so before building.
reproducible:
	@git rev-parse --git-dir >/dev/null 2>&1 || \
		{ echo "make reproducible needs a git checkout: it builds again from the files git tracks" >&2; exit 1; }
	@$(MAKE) package >/dev/null
	scripts/reproducible.sh $(foreach g,$(GENERATIONS),build/$(g))

clean:
	[ ! -f build/$(FIRST)/facts.sh ] || (. build/$(FIRST)/facts.sh && rm -rf "$$packages_dir")
	rm -rf $(foreach g,$(GENERATIONS),build/$(g)) build/libcwork-*.tar.gz \
		build/CTestTestfile.cmake build/Testing
