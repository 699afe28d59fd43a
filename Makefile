# For a fresh Debian machine (each installs what is missing first):
#   make demo           builds, runs a fiscal day against the emulator
#   make test           builds both targets, runs every test
#   make package        the Debian packages, in build/native and build/linux-<arch>
#   make package-win32  the Windows bundle (a zip), in build
.PHONY: test demo deps native biblioteca asan windows windows-cdecl windows64 linux fuzz fuzz-build bench \
	clean package partilha \
	package-win32

BUILD ?= build
JOBS ?= $(shell nproc)
# Tests at once, three a core: many of the end-to-end ones wait on a device's time limits, not on
# the CPU (at four a core the timing of satd's keep-alive check under the sanitizers no longer
# holds).
CTEST_JOBS ?= $(shell echo $$(( $$(nproc) * 3 )))
CMAKE_NATIVE = cmake -S . -B $(BUILD)/native -DCMAKE_BUILD_TYPE=RelWithDebInfo
CMAKE_DEMO = cmake -S . -B $(BUILD)/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSAT_TESTS=OFF
# The library alone, as a distribution or a POS vendor builds it: zlib and GoogleTest, and none of
# the tools' packages (a lookup of one fails the configuration).
CMAKE_BIBLIOTECA = cmake -S . -B $(BUILD)/biblioteca -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DSAT_TOOLS=OFF -DSAT_EXTRATO=OFF --no-warn-unused-cli $(foreach p,LibXml2 nlohmann_json tomlplusplus Boost \
	OpenSSL PkgConfig Python3,-DCMAKE_DISABLE_FIND_PACKAGE_$(p)=ON)
CMAKE_ASAN = cmake -S . -B $(BUILD)/asan -DCMAKE_BUILD_TYPE=Debug -DSAT_SANITIZE=ON
CMAKE_FUZZ = CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DSAT_FUZZ=ON -DSAT_TESTS=OFF
# make fuzz runs each fuzz target this long; make test runs each for FUZZ_FUMACA seconds.
FUZZ_SEGUNDOS ?= 300
FUZZ_FUMACA ?= 5
ASAN_AMBIENTE = ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
CMAKE_WINDOWS = cmake -S . -B $(BUILD)/win32 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DSAT_SATEMU=$(CURDIR)/$(BUILD)/native/satemu \
	-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-i686.cmake
CMAKE_WINDOWS_CDECL = cmake -S . -B $(BUILD)/win32-cdecl -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DSAT_SATEMU=$(CURDIR)/$(BUILD)/native/satemu -DSAT_CDECL=ON \
	-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-i686.cmake
CMAKE_WINDOWS64 = cmake -S . -B $(BUILD)/win64 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DSAT_SATEMU=$(CURDIR)/$(BUILD)/native/satemu \
	-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-x86_64.cmake
# A kernel without 32-bit support runs no 32-bit program, wine32 included: the x86 DLLs are then
# built and their export tables checked, and their wine tests are left out (cmake/testes.py says
# so). Only the DLL, where its tests cannot run. Expanded when the recipe runs, after deps has
# installed wine: read when make starts, a fresh machine would have no wine yet and build only the
# DLL, whose tests would then run without their programs.
CDECL_ALVO = $(shell /usr/lib/wine/wine --version >/dev/null 2>&1 || echo --target sat)

# Every build, then every test of them all in one ctest run (cmake/testes.py gathers them):
# unit and end-to-end tests of each build (valgrind runs in the native one), the packages, the
# fuzz smoke runs.
test: native biblioteca asan windows windows-cdecl windows64 linux fuzz-build package-win32
	@python3 cmake/testes.py $(abspath $(BUILD)) $(abspath $(BUILD))/native/satemu $(FUZZ_FUMACA)
	$(ASAN_AMBIENTE) ctest --test-dir $(BUILD) --output-on-failure --timeout 600 -j$(CTEST_JOBS)

# Only what the demo runs, without the tests and what they need: the library, satemu, satcli and
# satd, in a folder of their own.
demo:
	@bash cmake/install-deps.sh demo
	@$(CMAKE_DEMO) >/dev/null
	cmake --build $(BUILD)/demo --target sat satemu satcli satd -j$(JOBS)
	@bash tools/demo.sh $(BUILD)/demo

# A build folder is configured once: cmake --build configures it again when a CMakeLists.txt
# changes, and a change of this Makefile configures every folder again.
$(BUILD)/native/Makefile: Makefile | deps
	@$(CMAKE_NATIVE) >/dev/null && touch $@
$(BUILD)/biblioteca/Makefile: Makefile | deps
	@$(CMAKE_BIBLIOTECA) >/dev/null && touch $@
$(BUILD)/asan/Makefile: Makefile | deps
	@$(CMAKE_ASAN) >/dev/null && touch $@
$(BUILD)/win32/Makefile: Makefile | deps
	@$(CMAKE_WINDOWS) >/dev/null && touch $@
$(BUILD)/win32-cdecl/Makefile: Makefile | deps
	@$(CMAKE_WINDOWS_CDECL) >/dev/null && touch $@
$(BUILD)/win64/Makefile: Makefile | deps
	@$(CMAKE_WINDOWS64) >/dev/null && touch $@
$(BUILD)/fuzz/Makefile: Makefile | deps
	@$(CMAKE_FUZZ) >/dev/null && touch $@

deps:
	@bash cmake/install-deps.sh

native: deps $(BUILD)/native/Makefile
	cmake --build $(BUILD)/native -j$(JOBS)

biblioteca: deps $(BUILD)/biblioteca/Makefile
	cmake --build $(BUILD)/biblioteca -j$(JOBS)

asan: deps $(BUILD)/asan/Makefile
	cmake --build $(BUILD)/asan -j$(JOBS)

windows: deps $(BUILD)/win32/Makefile
	cmake --build $(BUILD)/win32 -j$(JOBS)

# The x86 DLL with __cdecl exports, for POS programs written for a cdecl SAT library.
windows-cdecl: deps native $(BUILD)/win32-cdecl/Makefile
	cmake --build $(BUILD)/win32-cdecl $(CDECL_ALVO) -j$(JOBS)

windows64: deps native $(BUILD)/win64/Makefile
	cmake --build $(BUILD)/win64 -j$(JOBS)

# The library for Linux on arm64, armhf and i386, its tests run under qemu-user.
linux: deps native
	bash cmake/arquiteturas.sh construir $(abspath $(BUILD)) $(JOBS)

# libsat2 and libsat-dev for every architecture, sat-ferramentas and satd for this one.
package: native linux
	cd $(BUILD)/native && cpack
	bash cmake/arquiteturas.sh empacotar $(abspath $(BUILD)) $(JOBS)

PARTES_WIN32 = $(foreach b,win32 win32-cdecl win64,$(abspath $(BUILD))/$(b)/pacote-partes.cmake)
# Only what the bundle holds: each build's sat.dll and satextrato.dll, satcli.exe for x86 and x64,
# and the texts (satemu's manual is the native build's, made from its --help), not the Windows
# tests.
package-win32: deps $(foreach b,win32 win32-cdecl win64 native,$(BUILD)/$(b)/Makefile)
	cmake --build $(BUILD)/win32 --target sat satextrato satcli -j$(JOBS)
	cmake --build $(BUILD)/win32-cdecl --target sat satextrato -j$(JOBS)
	cmake --build $(BUILD)/win64 --target sat satextrato satcli -j$(JOBS)
	cmake --build $(BUILD)/native --target paginas_man -j$(JOBS)
	@cmake "-DPARTES=$(PARTES_WIN32)" -DSAIDA=$(abspath $(BUILD)) -DCABECALHO=$(CURDIR)/include/sat.h \
		-DCABECALHO_EXTRATO=$(CURDIR)/extrato/include/satextrato.h \
		-DREADME=$(CURDIR)/README.md -DMANUAL=$(abspath $(BUILD))/native/packaging/man/satemu.1 \
		-P packaging/pacote-win32.cmake

fuzz-build: deps $(BUILD)/fuzz/Makefile
	cmake --build $(BUILD)/fuzz --target fuzz_todos -j$(JOBS)

fuzz: fuzz-build
	bash tests/fuzz/roda.sh $(BUILD)/fuzz $(FUZZ_SEGUNDOS)

bench: native windows
	cmake --build $(BUILD)/native --target sat_bench venda_bench latencia_bench satemu_medicao satd_bench \
		extrato_e2e -j$(JOBS)
	cmake --build $(BUILD)/win32 --target latencia_bench -j$(JOBS)
	@echo "== beyond the device's own time, native"
	bash tests/com_satemu.sh $(BUILD)/native/satemu --pronto nativo $(BUILD)/native/latencia_bench
	@echo "== beyond the device's own time, sat.dll under wine"
	bash tests/com_satemu.sh $(BUILD)/native/satemu --pronto wine $(BUILD)/win32/latencia_bench.exe
	$(BUILD)/native/sat_bench
	bash tests/e2e/callgrind_consulta.sh $(BUILD)/native
	$(BUILD)/native/venda_bench
	bash tests/e2e/venda_callgrind.sh $(BUILD)/native
	$(BUILD)/native/satemu_medicao
	$(BUILD)/native/satd_bench
	$(BUILD)/native/extrato_e2e --gtest_also_run_disabled_tests --gtest_filter='*Medicao'

# The share of tests against code by area; SINCE=REV counts only what was added since REV.
partilha:
	@bash cmake/partilha.sh $(SINCE)

clean:
	rm -rf $(BUILD)
