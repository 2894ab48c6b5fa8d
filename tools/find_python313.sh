#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter: a pyenv build or Debian's python3.13
# (installed with apt when the distribution offers it). Fails with a clear message otherwise.
set -euo pipefail

is_313() { [ -x "$1" ] && "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; }

candidates=()
[ -n "${PYTHON313:-}" ] && candidates+=("$PYTHON313")
for root in "${PYENV_ROOT:-}" "$HOME/.pyenv" /root/.pyenv; do
  [ -n "$root" ] || continue
  for p in "$root"/versions/3.13.*/bin/python3.13; do candidates+=("$p"); done
done
candidates+=(/usr/bin/python3.13 /usr/local/bin/python3.13)

for p in "${candidates[@]}"; do
  if is_313 "$p"; then echo "$p"; exit 0; fi
done

# Debian 13 ships python3.13; its venv module is a separate package.
if command -v apt-get >/dev/null && apt-cache policy python3.13 2>/dev/null | grep -q 'Candidate: [0-9]'; then
  SUDO=$([ "$(id -u)" -eq 0 ] && echo "" || echo sudo)
  $SUDO apt-get install -y python3.13-dev python3.13-venv >&2
  if is_313 /usr/bin/python3.13; then echo /usr/bin/python3.13; exit 0; fi
fi

echo "error: no Python 3.13 found (looked for \$PYTHON313, pyenv's versions/3.13.*, /usr/bin/python3.13)." >&2
echo "       Install it with pyenv or 'apt-get install python3.13-dev python3.13-venv', or set PYTHON313." >&2
exit 1
