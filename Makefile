# Everyday commands. Each one first installs the Debian packages its purpose
# needs (scripts/install-deps.sh).
#   make         build (the service, the stand-in library, the tools)
#   make run     build and serve on port 60002 (PORT=... to change)
#   make test    build and run the whole test suite
#   make bench   optimised build, then the load benchmark and its chart
#   make sizing  optimised build, then each part's processor time per
#                request, the front on 1 and 2 cores, and throughput with
#                1-3 hosts in the cluster (root); docs/sizing.md
#   make front   HAProxy in front of INSTANCES instances, in the foreground
#   make fuzz    libFuzzer targets under ASan/UBSan, FUZZ_SECONDS each
#   make soak    optimised build, then SOAK_SECONDS of mixed load and checks
#   make cluster the simulated cluster, in the foreground (root)
#   make check-system  the system suite, tests/system/ (root): every proof
#                below, and SYSTEM="NAME" runs the scenarios matching NAME
#   make check-package     the package built, linted, installed, run, purged
#   make check-systemd     the package under a booted systemd in a container
#   make cluster-test      the cluster's fault scenarios under load
#   make check-front       gmi-fleet, the access log and the throttle against
#                          the shipped front on loopback
#   make check-alerts      the alert rules under the cluster's faults, through
#                          Prometheus and Alertmanager
#   make check-image       the image run and checked as the README runs it
#   make check-kubernetes  deploy/kubernetes/ validated, then played with podman
#   make check-readme      make run and make test on a fresh Debian 12
#   make install build, then install under PREFIX (/usr/local), staged in DESTDIR
#   make deb     the Debian package, dist/gmi-server_<version>_<arch>.deb
#   make image   the OCI image gmi-server:<version>, with podman (as root)
#   make validate-kubernetes  deploy/kubernetes/ against the API's schema
#   make pictures          docs/pictures/*.svg from their graphviz sources (*.dot)
#   make clean   remove build output

BUILD    ?= build
PORT     ?= 60002
JOBS     ?= $(shell nproc)
SANITIZE ?=
PREFIX   ?= /usr/local
DESTDIR  ?=

.PHONY: build run test bench sizing front cluster fuzz soak install deb image validate-kubernetes \
        pictures clean check-system check-package check-systemd cluster-test check-front \
        check-alerts check-image check-kubernetes check-readme

# $(1): build directory, $(2): further CMake arguments.
define build_tree
	cmake -S . -B $(1) $(2)
	cmake --build $(1) -j $(JOBS)
endef

build:
	@scripts/install-deps.sh run
	$(call build_tree,$(BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=$(SANITIZE))

# The service loads ./libAuthSrv.so, so it runs in a directory holding the
# stand-in library. It signs and checks with the public development key
# unless AUTHSRV_KEYS brings keys of your own.
run: build
	mkdir -p run
	cp $(BUILD)/libAuthSrv.so run/
	cd run && AUTHSRV_KEYS=$${AUTHSRV_KEYS:-development} exec ../$(BUILD)/gmi-server $(PORT)

test:
	@scripts/install-deps.sh test
	$(call build_tree,$(BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=$(SANITIZE))
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

bench:
	@scripts/install-deps.sh bench
	$(call build_tree,build-release,-DCMAKE_BUILD_TYPE=Release)
	bench/run.sh build-release

# bench/sizing.py: SIZING_PHASES picks some of "costs threads scaling" (all
# three by default; keepalived's row and scaling need root), SIZING_SECONDS
# and SIZING_ROUNDS the length of each run and how many, SIZING_HOST_CPU
# each host's share of a core in the scaling run.
sizing:
	@scripts/install-deps.sh bench cluster
	$(call build_tree,build-release,-DCMAKE_BUILD_TYPE=Release)
	bench/sizing.py build-release $(SIZING_PHASES)

# FRONT_PORT (60080), FRONT_TLS_PORT (60443), FRONT_ADMIN_PORT (60444),
# FRONT_METRICS_PORT (60081), FRONT_EDGE_PORT (60445), INSTANCES (2) and
# BASE_PORT (60002; instances three ports apart, 60002, 60005, ...) are read
# by the script; the shipped deploy/haproxy/gmi-server.cfg is what runs.
front: build
	@scripts/install-deps.sh front
	scripts/front.sh $(BUILD)

# Network namespaces gmi-client, gmi-edge1, gmi-edge2 and gmi-node1..3 on
# one bridge; see docs/deploying.md, "Across hosts".
cluster: build
	@scripts/install-deps.sh cluster
	scripts/cluster/cluster.py $(BUILD)

# The system suite, as root, with Debian's pytest and python3 (never an
# interpreter PATH happens to find first). Each target below is a marker
# of it; SYSTEM="NAME" narrows any of them to the scenarios whose names
# hold NAME (pytest -k). The report, JUnit XML, goes to
# $(BUILD)/system-tests.xml.
PYTEST = BUILD=$(BUILD) /usr/bin/python3 -m pytest tests/system \
         --junitxml=$(BUILD)/system-tests.xml $(if $(SYSTEM),-k "$(SYSTEM)")
check-system: build
	@scripts/install-deps.sh system deb check-systemd cluster front front-checks alerts image kube readme
	$(PYTEST)
check-package: build
	@scripts/install-deps.sh system deb
	$(PYTEST) -m package
check-systemd: build
	@scripts/install-deps.sh system check-systemd
	$(PYTEST) -m systemd
cluster-test: build
	@scripts/install-deps.sh system cluster
	$(PYTEST) -m cluster
check-front: build
	@scripts/install-deps.sh system front front-checks
	$(PYTEST) -m front
check-alerts: build
	@scripts/install-deps.sh system cluster alerts
	$(PYTEST) -m alerts
check-image: build
	@scripts/install-deps.sh system image
	$(PYTEST) -m image
check-kubernetes: build
	@scripts/install-deps.sh system image kube
	$(PYTEST) -m kubernetes
check-readme: build
	@scripts/install-deps.sh system readme
	$(PYTEST) -m readme

# Built with clang into its own tree; only the fuzz targets and what they
# load are built there.
fuzz:
	@scripts/install-deps.sh fuzz
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++-14 -DGMI_FUZZ=ON
	cmake --build build-fuzz -j $(JOBS) --target fuzzers
	fuzz/run.sh build-fuzz

# Builds only what the soak runs.
soak:
	@scripts/install-deps.sh bench
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release
	cmake --build build-release -j $(JOBS) --target gmi-server AuthSrv gmi-token
	bench/soak.sh build-release

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# Built in a copy of the tree under build-deb/, so that debhelper's output
# never lands in the working tree.
deb:
	@scripts/install-deps.sh deb
	JOBS=$(JOBS) scripts/build-deb.sh build-deb

# The image's programs, optimised and stripped, from a tree of their own;
# its root of Debian libraries is cached (scripts/build-image.sh).
image:
	@scripts/install-deps.sh image
	cmake -S . -B build-image -DCMAKE_BUILD_TYPE=Release -DGMI_BUILD_TESTS=OFF -DGMI_BUILD_BENCH=OFF
	cmake --build build-image -j $(JOBS) --target gmi-server gmi-authz gmi-token AuthSrv gmi-server-init
	scripts/build-image.sh build-image

# Every manifest against the Kubernetes API's schema, with the npm package
# kubernetes-models: Debian 12 packages no offline validator (its kubectl
# validates only against a live cluster's API). Its version and every
# dependency's are pinned, with their hashes, in
# tests/kubernetes-schema/package-lock.json; `npm ci` installs exactly
# that or fails.
validate-kubernetes:
	@scripts/install-deps.sh kube
	npm ci --prefix tests/kubernetes-schema --silent --no-audit --no-fund
	node tests/kubernetes-schema/validate.mjs deploy/kubernetes/*.yaml

# The SVGs are committed, so that the docs show them wherever they are read;
# run this after changing a .dot and commit both.
pictures:
	@scripts/install-deps.sh docs
	for source in docs/pictures/*.dot; do \
	  dot -Tsvg "$$source" -o "$${source%.dot}.svg" || exit 1; \
	done
	bench/sizing-chart.sh docs/pictures/sizing-scaling.csv docs/pictures/sizing-scaling.svg

clean:
	rm -rf build build-* run dist
