# The front door. CMake does the work; each glibc generation is one preset.
#
#   make run       build, then run every program under a header naming it
#   make check     build, then run the whole test suite
#
#   make install   install the current generation into $(PREFIX) (and $(DESTDIR))
#   make package   a .tar.gz and a .deb per generation, in build/packages
#   make dist      the source archive, in build/
#   make bench     instructions, write(2) calls and peak memory per executable
#   make lint      clang-format, clang-tidy and cppcheck on the sources
#   make reproducible  build a second copy elsewhere and compare the executables
#
# CI=true turns compiler warnings into errors.

GENERATIONS := current legacy
SOURCES := bufcopy/bufcopy.cpp buffill/buffill.cpp greetloop/greetloop.cpp
PREFIX ?= /usr/local
VERSION := $(shell sed -n 's/^ *VERSION \([0-9.]*\)$$/\1/p' CMakeLists.txt)
MAKEFLAGS += --no-print-directory

ifeq ($(CI),true)
CONFIGURE_FLAGS += -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
endif

.PHONY: all run check install package dist bench lint reproducible clean $(GENERATIONS)

all: $(GENERATIONS)

$(GENERATIONS):
	cmake --preset $@ $(CONFIGURE_FLAGS) >/dev/null
	cmake --build --preset $@ --parallel

run: all
	@for exe in $(foreach g,$(GENERATIONS),build/$(g)/bin/*); do \
		echo "==> $$exe (runs on glibc $$(scripts/glibc-floor.sh $$exe) and later)"; \
		$$exe || exit 1; \
		echo; \
	done

check: all
	@for g in $(GENERATIONS); do ctest --preset $$g --parallel 2 || exit 1; done

install: current
	DESTDIR="$(DESTDIR)" cmake --install build/current --prefix "$(PREFIX)"

package: all
	@for g in $(GENERATIONS); do cpack --preset $$g || exit 1; done
	@ls -1 build/packages/*.tar.gz build/packages/*.deb

dist:
	mkdir -p build
	git archive --prefix=libcwork-$(VERSION)/ -o build/libcwork-$(VERSION).tar.gz HEAD
	@echo build/libcwork-$(VERSION).tar.gz

bench: all
	@for g in $(GENERATIONS); do cmake --build --preset $$g --target empty >/dev/null || exit 1; done
	bench/bench.sh $(foreach g,$(GENERATIONS),build/$(g))

# The compile commands are g++'s, with warning flags that clang does not know.
lint: current
	clang-format --dry-run --Werror $(SOURCES) bench/empty.cpp tests/calltrace.c
	clang-tidy --quiet -p build/current --extra-arg=-Wno-unknown-warning-option $(SOURCES) 2>/dev/null
	cppcheck --enable=all --std=c++17 --language=c++ --error-exitcode=1 \
		--suppress=missingIncludeSystem --inline-suppr --quiet $(SOURCES)

reproducible: all
	scripts/reproducible.sh

clean:
	rm -rf build/current build/legacy build/packages build/libcwork-*.tar.gz
