# Shared by run.sh, test.sh and .ci/run: the Debian packages the project needs, and the build.

PELVARO_PACKAGES=(
    cmake ninja-build g++ dpkg-dev file clang-format
    qt6-base-dev libqt6sql6-sqlite qt6-qpa-plugins libcurl4-openssl-dev
    sqlite3
    # a PostgreSQL server that the tests start in a folder of their own, and the drivers
    postgresql libqt6sql6-psql libqt6sql6-odbc unixodbc odbc-postgresql
    # the status page's HTTP server; the browser and promtool that its tests run
    pkg-config libmicrohttpd-dev chromium prometheus
)

# Installs whatever of PELVARO_PACKAGES is missing (as root with apt-get); when not root, says
# exactly what to run and stops.
ensure_packages() {
    local missing=()
    local package
    for package in "${PELVARO_PACKAGES[@]}" "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "Es fehlen Debian-Pakete. Bitte als root ausführen:" >&2
        echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
        exit 1
    fi
    echo "Installiere: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# build_tree DIR [cmake options...]: configures (once) and builds the project in DIR.
build_tree() {
    local dir="$1"
    shift
    cmake -S "$PELVARO_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" -j "$(nproc)"
}
