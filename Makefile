# Everything starts here: `make run` and `make test` set up a fresh Debian 12
# machine, build, and run.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
ifeq ($(CI),true)
CMAKE_FLAGS += -DONDIRA_WERROR=ON
endif
PREFIX ?= /usr/local
# CI builds fresh clones in other folders: let ccache share their results.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := true

.PHONY: all deps configure build run test install clean

all: build

deps:
	./scripts/install-deps

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)

configure: $(BUILD_DIR)/build.ninja

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: deps
	$(MAKE) build
	./$(BUILD_DIR)/Ondira.bundle/Ondira

test: deps
	$(MAKE) build
	./scripts/run-tests $(BUILD_DIR)

install: build
	cmake --install $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
