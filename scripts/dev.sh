#!/usr/bin/env bash
# One set-up path for everything (README, CI, demo): system packages, the virtual
# environment, the tools, the build. Idempotent: a second run only checks stamps.
#
#   scripts/dev.sh setup          install what is missing and build the package
#   scripts/dev.sh demo [ARGS]    set up, then run the demo command (python -m vantle)
#   scripts/dev.sh test [ARGS]    set up, then lint, check the stubs, build the API reference and
#                                 run the tests, on the system's python3 and on a second CPython
#   scripts/dev.sh docs           set up, then build the API reference into build/docs
#   scripts/dev.sh sanitize       build with ASan/UBSan into .venv-asan and run the tests there
#   scripts/dev.sh bench [ARGS]   set up, then run every benchmark (bench/run_all.py)
#
# The package is built once, as a stable-ABI wheel (cp38-abi3), by the system's python3, and
# that same wheel is installed into both test environments. The second CPython is the newest
# 3.13 of pyenv (Debian 13's system Python is 3.13); VANTLE_SECOND_PYTHON names another
# interpreter, or none when empty.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
venv="${VANTLE_VENV:-$root/.venv}"
py="$venv/bin/python"
wheel_dir="$venv/wheel"

debian_packages=(
    g++ clang-format pkg-config
    python3-dev python3-venv python3-gi python3-gst-1.0
    gir1.2-gstreamer-1.0 gir1.2-gst-plugins-base-1.0 gir1.2-gst-rtsp-server-1.0 openssl
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
    gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libyuv-dev
)

# What the second interpreter's environment builds: PyGObject and pycairo from source, and
# GStreamer's Python overrides from Debian's source package (unpacked by dpkg-source).
second_debian_packages=(gcc libgirepository1.0-dev libcairo2-dev dpkg-dev)

log() { printf '[vantle] %s\n' "$*" >&2; }

# install_system_packages PACKAGE...
install_system_packages() {
    local missing=()
    for p in "$@"; do
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
    want="$(tree_hash scripts/requirements-dev.txt scripts/requirements-test.txt)-$gi_stubs"
    have="$(cat "$venv/.tools-stamp" 2>/dev/null || true)"
    if [ "$want" != "$have" ]; then
        log "installing build and test tools into $venv"
        "$py" -m pip install -q --disable-pip-version-check -r scripts/requirements-dev.txt
        "$py" -m pip install -q --disable-pip-version-check --no-deps "$gi_stubs"
        echo "$want" >"$venv/.tools-stamp"
    fi
}

# The wheel, built by the system's python3 and installed into .venv; the second environment
# installs the same file. Warnings are errors here (VANTLE_WERROR), not in a user's build.
build_package() {
    local want have
    want="$(tree_hash src CMakeLists.txt pyproject.toml)-${VANTLE_CMAKE_ARGS:-}"
    have="$(cat "$venv/.build-stamp" 2>/dev/null || true)"
    [ "$want" = "$have" ] && ls "$wheel_dir"/vantle-*.whl >/dev/null 2>&1 && return 0
    log "building the vantle wheel and installing it into $venv"
    local args=(--config-settings=cmake.define.VANTLE_WERROR=ON)
    [ -n "${VANTLE_CMAKE_ARGS:-}" ] && args+=(--config-settings="cmake.args=${VANTLE_CMAKE_ARGS}")
    [ -n "${VANTLE_BUILD_DIR:-}" ] && args+=(--config-settings="build-dir=${VANTLE_BUILD_DIR}")
    rm -rf "$wheel_dir"
    "$py" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w "$wheel_dir" "${args[@]}" .
    "$py" -m pip install -q --disable-pip-version-check --no-deps --force-reinstall "$wheel_dir"/vantle-*.whl
    echo "$want" >"$venv/.build-stamp"
}

setup() {
    install_system_packages "${debian_packages[@]}"
    make_venv
    build_package
}

# ----- the second interpreter -----

# PyGObject for the second interpreter, from source against the system's gobject-introspection
# (1.74 on Debian 12; 3.50 and later want girepository-2.0 of GLib 2.80), and pycairo, which it
# requires.
second_gi="PyGObject==3.48.2 pycairo==1.29.2"

second_python() {
    if [ -n "${VANTLE_SECOND_PYTHON+set}" ]; then
        printf '%s' "$VANTLE_SECOND_PYTHON"
        return
    fi
    local pyenv="${PYENV_ROOT:-${HOME:-/root}/.pyenv}"
    { ls -d "$pyenv"/versions/3.13.*/bin/python3 2>/dev/null || true; } | sort -V | tail -n 1
}

# GStreamer's overrides of its bindings (gi/overrides/Gst.py and the compiled _gi_gst they
# import) come from Debian's python3-gst-1.0 for the system's python3 only. The second
# environment gets the same release, built from Debian's source package of it: the Python
# files copied, _gi_gst compiled for that interpreter.
gst_overrides() {
    local second_venv="$1" second_py="$1/bin/python"
    local package version want
    package="$(dpkg-query -W -f='${source:Package}' python3-gst-1.0)"
    version="$(dpkg-query -W -f='${source:Version}' python3-gst-1.0)"
    want="$package=$version"
    [ "$(cat "$second_venv/.gst-overrides-stamp" 2>/dev/null || true)" = "$want" ] && return 0
    log "building GStreamer's Python overrides ($want) for $second_venv"
    local work="$second_venv/gst-python"
    rm -rf "$work"
    mkdir -p "$work/sources.list.d" "$work/lists/partial" "$work/cache/archives/partial"
    # Source entries made from the machine's own apt sources, read into an apt state of their
    # own: the system's apt configuration is left as it is.
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -e "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$work/sources.list.d/$(basename "$f")"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -e "$f" ] && sed -n 's/^deb /deb-src /p' "$f" >"$work/sources.list.d/$(basename "$f" .list)-src.list"
    done
    local apt=(apt-get -qq -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/sources.list.d"
        -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache")
    [ "$(id -u)" -eq 0 ] && apt+=(-o APT::Sandbox::User=root)
    # A source that has no source index only warns; the download below fails if none has it.
    "${apt[@]}" update || log "apt-get update of the source entries reported errors (see above)"
    (cd "$work" && "${apt[@]}" source --download-only "$want")
    # apt-get has checked every file against the signed source index; dpkg-source would only
    # warn that it holds no key for the uploader's signature.
    dpkg-source --no-check -x "$work"/*.dsc "$work/src" >/dev/null
    local overrides include suffix pygobject
    overrides="$("$second_py" -c 'import gi.overrides; print(gi.overrides.__path__[0])')"
    include="$("$second_py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
    suffix="$("$second_py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
    pygobject="$(dirname "$(find "$second_venv/include" -name pygobject.h -print -quit)")"
    cp "$work"/src/gi/overrides/Gst*.py "$overrides/"
    # shellcheck disable=SC2046 # pkg-config's flags are words
    cc -shared -fPIC -O2 -I"$include" -I"$pygobject" $(pkg-config --cflags gstreamer-1.0) \
        "$work/src/gi/overrides/gstmodule.c" -o "$overrides/_gi_gst$suffix" $(pkg-config --libs gstreamer-1.0)
    rm -rf "$work"
    echo "$want" >"$second_venv/.gst-overrides-stamp"
}

# Makes the second test environment, with the wheel of build_package, and sets second_py to
# its python; leaves second_py empty (and says why) when there is no second interpreter.
second_py=""
setup_second() {
    local python
    python="$(second_python)"
    if [ -z "$python" ] || [ ! -x "$python" ]; then
        log "no second CPython (pyenv's 3.13 under ${PYENV_ROOT:-${HOME:-/root}/.pyenv}/versions, or VANTLE_SECOND_PYTHON): the tests run on $("$py" -V) only"
        return 0
    fi
    local version second_venv
    version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    second_venv="${VANTLE_SECOND_VENV:-$root/.venv-py$version}"
    install_system_packages "${second_debian_packages[@]}"
    if [ ! -x "$second_venv/bin/python" ]; then
        log "creating $second_venv from $python"
        "$python" -m venv "$second_venv"
    fi
    local want have
    want="$(tree_hash scripts/requirements-test.txt)-$second_gi"
    have="$(cat "$second_venv/.tools-stamp" 2>/dev/null || true)"
    if [ "$want" != "$have" ]; then
        log "installing PyGObject (built from source) and the test tools into $second_venv"
        # shellcheck disable=SC2086 # one word per requirement
        "$second_venv/bin/python" -m pip install -q --disable-pip-version-check -r scripts/requirements-test.txt $second_gi
        echo "$want" >"$second_venv/.tools-stamp"
    fi
    gst_overrides "$second_venv"
    local wheel
    wheel="$(ls "$wheel_dir"/vantle-*.whl)"
    want="$(sha256sum "$wheel" | cut -c1-16)"
    have="$(cat "$second_venv/.build-stamp" 2>/dev/null || true)"
    if [ "$want" != "$have" ]; then
        log "installing $(basename "$wheel") into $second_venv"
        "$second_venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps --force-reinstall "$wheel"
        echo "$want" >"$second_venv/.build-stamp"
    fi
    second_py="$second_venv/bin/python"
}

lint() {
    log "lint: ruff, clang-format"
    "$py" -m ruff check --quiet src tests bench scripts examples docs
    "$py" -m ruff format --check --quiet src tests bench scripts examples docs
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

# The API reference from the installed package's docstrings, every page read again (-E: the
# docstrings live outside the sources Sphinx watches); a warning fails the build.
docs() {
    log "docs: the API reference into build/docs"
    "$py" -m sphinx -q -E -W --keep-going -b html -d build/docs/.doctrees docs/api build/docs
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
        setup_second
        lint
        stubs
        docs
        log "pytest on $("$py" -V)"
        status=0
        "$py" -m pytest -q "$@" || status=$?
        if [ -n "$second_py" ]; then
            # The same wheel on the second interpreter; the longest groups (soak, load, the Ray
            # cluster) run on the first only. A -m of the caller's comes later and wins.
            log "pytest on $("$second_py" -V), the same wheel, without the slow and ray tests"
            second_status=0
            "$second_py" -m pytest -q -m "not slow and not ray" "$@" || second_status=$?
            # 5: the markers left out every test the arguments chose.
            [ "$second_status" -eq 5 ] && second_status=0
            [ "$status" -eq 0 ] && status=$second_status
        fi
        exit "$status"
        ;;
    docs)
        setup
        docs
        ;;
    bench)
        setup
        exec "$py" bench/run_all.py "$@"
        ;;
    sanitize)
        install_system_packages "${debian_packages[@]}"
        exec "$root/scripts/sanitize.sh" "$@"
        ;;
    *)
        echo "usage: $0 {setup|demo|test|docs|bench|sanitize} [args]" >&2
        exit 2
        ;;
esac
