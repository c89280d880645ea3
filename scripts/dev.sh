#!/usr/bin/env bash
# One set-up path for everything (README, CI, demo): system packages, the virtual
# environment, the tools, the build. Idempotent: a second run only checks stamps.
#
#   scripts/dev.sh setup          install what is missing and build the package
#   scripts/dev.sh demo [ARGS]    set up, then run the demo command (python -m vantle)
#   scripts/dev.sh test [ARGS]    set up, then lint, check the stubs and run the tests
#   scripts/dev.sh sanitize       build with ASan/UBSan into .venv-asan and run the tests there
#   scripts/dev.sh bench [ARGS]   set up, then run every benchmark (bench/run_all.py)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
venv="${VANTLE_VENV:-$root/.venv}"
py="$venv/bin/python"

debian_packages=(
    g++ clang-format pkg-config
    python3-dev python3-venv python3-gi python3-gst-1.0
    gir1.2-gstreamer-1.0 gir1.2-gst-plugins-base-1.0 gir1.2-gst-rtsp-server-1.0 openssl
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
    gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libyuv-dev
)

log() { printf '[vantle] %s\n' "$*" >&2; }

install_system_packages() {
    local missing=()
    for p in "${debian_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing Debian packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Hash of a list of files and directories, for the stamps below.
tree_hash() { find "$@" -type f -not -path '*/__pycache__/*' -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -c1-16; }

# Type stubs of the GObject bindings (Gst, GstApp, GLib, GObject), for stubtest and for type
# checking code that uses the package. Installed without dependencies: the bindings come from
# the system (python3-gi), and the index's PyGObject would try to build pycairo here. Gst has a
# single version, so the package's default stub selection includes it.
gi_stubs="pygobject-stubs==2.20.0"

make_venv() {
    if [ ! -x "$py" ]; then
        log "creating $venv from /usr/bin/python3 (with the system's gi and GStreamer bindings)"
        /usr/bin/python3 -m venv --system-site-packages "$venv"
    fi
    local want have
    want="$(tree_hash scripts/requirements-dev.txt)-$gi_stubs"
    have="$(cat "$venv/.tools-stamp" 2>/dev/null || true)"
    if [ "$want" != "$have" ]; then
        log "installing build and test tools into $venv"
        "$py" -m pip install -q --disable-pip-version-check -r scripts/requirements-dev.txt
        "$py" -m pip install -q --disable-pip-version-check --no-deps "$gi_stubs"
        echo "$want" >"$venv/.tools-stamp"
    fi
}

build_package() {
    local want have
    want="$(tree_hash src CMakeLists.txt pyproject.toml)-${VANTLE_CMAKE_ARGS:-}"
    have="$(cat "$venv/.build-stamp" 2>/dev/null || true)"
    [ "$want" = "$have" ] && return 0
    log "building and installing vantle into $venv"
    local args=()
    [ -n "${VANTLE_CMAKE_ARGS:-}" ] && args+=(--config-settings="cmake.args=${VANTLE_CMAKE_ARGS}")
    [ -n "${VANTLE_BUILD_DIR:-}" ] && args+=(--config-settings="build-dir=${VANTLE_BUILD_DIR}")
    "$py" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps "${args[@]}" .
    echo "$want" >"$venv/.build-stamp"
}

setup() {
    install_system_packages
    make_venv
    build_package
}

lint() {
    log "lint: ruff, clang-format"
    "$py" -m ruff check --quiet src tests bench scripts examples
    "$py" -m ruff format --check --quiet src tests bench scripts examples
    git ls-files -co --exclude-standard 'src/*.cpp' 'src/*.h' | xargs -r clang-format --dry-run -Werror
}

stubs() {
    if ls src/vantle/*/*.pyi >/dev/null 2>&1; then
        log "stubtest: the stubs against the installed package"
        # The whole package as installed: every stub against its module, and the package's
        # names (the stub of its root) against what it exports.
        (cd /tmp && "$py" -m mypy.stubtest --mypy-config-file "$root/pyproject.toml" \
            --allowlist "$root/scripts/stubtest-allowlist.txt" vantle)
    fi
}

cmd="${1:-setup}"
shift || true
case "$cmd" in
    setup) setup ;;
    demo)
        setup
        exec "$py" -m vantle "$@"
        ;;
    test)
        setup
        lint
        stubs
        log "pytest"
        exec "$py" -m pytest -q "$@"
        ;;
    bench)
        setup
        exec "$py" bench/run_all.py "$@"
        ;;
    sanitize)
        install_system_packages
        exec "$root/scripts/sanitize.sh" "$@"
        ;;
    *)
        echo "usage: $0 {setup|demo|test|bench|sanitize} [args]" >&2
        exit 2
        ;;
esac
