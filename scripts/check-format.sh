#!/usr/bin/env bash
# Fails, naming each file, when a C++ file of the project differs from .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(find src tests tools bench -name '*.cpp' -o -name '*.h' | sort)
unformatted=()
for file in "${files[@]}"; do
    clang-format --dry-run --Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done
if [ ${#unformatted[@]} -gt 0 ]; then
    echo "Nicht nach .clang-format formatiert (clang-format -i <Datei>):" >&2
    printf '  %s\n' "${unformatted[@]}" >&2
    exit 1
fi
echo "Formatierung: ${#files[@]} Dateien geprüft."
