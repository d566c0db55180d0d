# Sourced by the scripts of tools/: find_pythons prints "X.Y path" for the first CPython
# 3.11 or newer found of each minor version: on PATH as python3.X, then those installed by
# version managers (pyenv, asdf, uv, /usr/local, /opt/python). Version managers' shims are
# not trusted: pyenv's python3.12 fails while another version is pyenv's global one, so
# every candidate is run and its own answer kept.
find_pythons() {
  local candidates=() py version
  local -A seen=()
  for minor in 11 12 13 14 15 16; do candidates+=("python3.$minor"); done
  local pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
  command -v pyenv >/dev/null && pyenv_root=$(pyenv root)
  shopt -s nullglob
  candidates+=("$pyenv_root"/versions/3.*/bin/python3.[0-9]*
    "${ASDF_DATA_DIR:-$HOME/.asdf}"/installs/python/3.*/bin/python3.[0-9]*
    "${UV_PYTHON_INSTALL_DIR:-$HOME/.local/share/uv/python}"/cpython-3.*/bin/python3.[0-9]*
    /usr/local/bin/python3.[0-9]* /opt/python/*/bin/python3.[0-9]*)
  shopt -u nullglob
  for py in "${candidates[@]}"; do
    [[ $py == *-config || $py == *t ]] && continue  # build helpers; free-threaded builds
    # Absolute path and version from the interpreter itself, so shims resolve to what runs.
    version=$("$py" -c 'import sys
ok = sys.version_info >= (3, 11) and sys.implementation.name == "cpython"
print("%d.%d %s" % (*sys.version_info[:2], sys.executable) if ok else "")' 2>/dev/null) || continue
    [ -z "$version" ] && continue
    [ -n "${seen[${version%% *}]:-}" ] && continue
    seen[${version%% *}]=1
    echo "$version"
  done
}
