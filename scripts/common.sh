# Shared by run.sh, test.sh and .ci/run: the Debian packages the project needs, and the build.

# What building and running the program needs: the compiler, Qt, libcurl, the status page's HTTP
# server, and sqlite3 for the demo database.
PELVARO_PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libqt6sql6-sqlite qt6-qpa-plugins libcurl4-openssl-dev libmicrohttpd-dev
    sqlite3
)
# What the tests need beside: the format check, the packaging, a PostgreSQL server that they
# start in a folder of their own with its drivers, the browser and promtool of the status page's
# tests, Node.js for the page's own scripts, and what makes the page's certificates and password
# hashes as users make them (certtool, openssl, htpasswd, mkpasswd) with curl to fetch over TLS,
# and Qt WebSockets to drive the browser through its DevTools protocol.
PELVARO_TEST_PACKAGES=(
    clang-format dpkg-dev file
    postgresql libqt6sql6-psql libqt6sql6-odbc unixodbc odbc-postgresql
    chromium prometheus nodejs
    gnutls-bin openssl apache2-utils whois curl
    qt6-websockets-dev
)

# What package.sh ARCH needs beside, for the Debian architecture ARCH (arm64, armhf): the cross
# compiler; the target's Qt, libcurl and libmicrohttpd with their headers, its Qt SQLite driver and
# platform plugins, installed beside the machine's own through multiarch (all "Multi-Arch: same",
# so they and the machine's -dev packages install side by side); qemu to run what was built; and
# what CPack's packaging uses.
cross_packages() {
    printf '%s\n' "crossbuild-essential-$1" qemu-user-static dpkg-dev file \
        "qt6-base-dev:$1" "libqt6sql6-sqlite:$1" "qt6-qpa-plugins:$1" \
        "libcurl4-openssl-dev:$1" "libmicrohttpd-dev:$1"
}

# Installs whatever of PELVARO_PACKAGES and the packages named is missing (as root with
# apt-get); when not root, says exactly what to run and stops. A name with an architecture
# (qt6-base-dev:arm64) first adds that architecture to dpkg where it is missing.
ensure_packages() {
    local missing=()
    local architectures=()
    local package
    local known
    known=" $(dpkg --print-architecture) $(dpkg --print-foreign-architectures | tr '\n' ' ')"
    for package in "${PELVARO_PACKAGES[@]}" "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
            case "$package" in
                *:*) [[ "$known" == *" ${package##*:} "* ]] || architectures+=("${package##*:}") ;;
            esac
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    mapfile -t architectures < <(printf '%s\n' "${architectures[@]}" | sort -u | grep .)
    local add=""
    for package in "${architectures[@]}"; do
        add+="dpkg --add-architecture $package && "
    done
    if [ "$(id -u)" -ne 0 ]; then
        echo "Es fehlen Debian-Pakete. Bitte als root ausführen:" >&2
        echo "  ${add}apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
        exit 1
    fi
    echo "Installiere: ${missing[*]}"
    for package in "${architectures[@]}"; do
        dpkg --add-architecture "$package"
    done
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# build_tree DIR [cmake options...]: configures (once) and builds the project in DIR; with
# PELVARO_TARGETS set (names separated by blanks) only those targets.
build_tree() {
    local dir="$1"
    shift
    cmake -S "$PELVARO_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    local targets=()
    if [ -n "${PELVARO_TARGETS:-}" ]; then
        read -r -a targets <<< "$PELVARO_TARGETS"
        targets=(--target "${targets[@]}")
    fi
    cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
}
