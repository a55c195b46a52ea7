# Sourced by the scripts that need a particular CPython.

find_python() {  # find_python 3.13 -> path of a CPython 3.13, or nothing
    local version=$1 candidate
    local pyenv_root
    pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for candidate in "$pyenv_root"/versions/"$version".*/bin/python3 "/usr/bin/python$version" \
                     "$(command -v "python$version" 2>/dev/null || true)"; do
        if [ -x "$candidate" ] && "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" 2>/dev/null; then
            echo "$candidate"
            return
        fi
    done
}
