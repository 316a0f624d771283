# The front door. CMake does the work; each glibc generation is one preset.
#
#   make run      build, then run every program under a header naming it
#   make check    build, then run the whole test suite
#
# CI=true turns compiler warnings into errors.

GENERATIONS := current legacy
MAKEFLAGS += --no-print-directory

ifeq ($(CI),true)
CONFIGURE_FLAGS += -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
endif

.PHONY: all run check clean $(GENERATIONS)

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

clean:
	rm -rf build/current build/legacy
