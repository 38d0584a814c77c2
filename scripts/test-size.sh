#!/usr/bin/env bash
# Prints the size of the tests against the code they test, in non-blank,
# non-comment lines of C++: tests are tests/ and every tools/**/tests and
# server/tests; the code is src/, server/ and the rest of tools/; bench/ counts
# on neither side. The owner's
# rule: tests roughly a quarter to a third of the code.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

lines() { # lines FIND-ARGS...: non-blank lines left once // comments are gone
    find "$@" -type f \( -name '*.cpp' -o -name '*.h' \) -print0 2>/dev/null | xargs -0 -r cat |
        sed -E 's://.*$::' | grep -cv '^[[:space:]]*$' || true
}

src=$(lines src)
tools=$(lines tools -not -path '*/tests/*')
server=$(lines server -not -path '*/tests/*')
tests=$(( $(lines tests) + $(lines tools -path '*/tests/*') + $(lines server -path '*/tests/*') ))
code=$((src + tools + server))
echo "test size: tests ${tests} lines = $((100 * tests / code))% of src ${src} + tools ${tools} + server ${server} (the rule: about a third, 40% at most)"
